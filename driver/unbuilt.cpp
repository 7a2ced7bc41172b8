// Handlers whose components are not built yet. Each refuses what it is given and goes away when
// its component lands.
#include "driver/handlers.h"

VCB_PAGED NTSTATUS BusDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PAGED_CODE();
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
}

VCB_PAGED NTSTATUS TapDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PAGED_CODE();
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}
