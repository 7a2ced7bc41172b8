// Handlers whose components are not built yet. Each refuses what it is given and goes away when
// its component lands.
#include "driver/handlers.h"
#include "routing/injection.h"

// Every code is unknown to the tap and routing handler until it exists.
VCB_PAGED NTSTATUS TapControl(PDEVICE_OBJECT, PIRP irp)
{
    PAGED_CODE();
    irp->IoStatus.Information = 0;
    return STATUS_INVALID_PARAMETER;
}

VCB_PAGED NTSTATUS TapDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PAGED_CODE();
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}

// Hub ports' bytes for the real port are lost until the tap can carry them.
_Use_decl_annotations_ VCB_PAGED NTSTATUS InjectWrite(PDEVICE_OBJECT, const UCHAR*, ULONG)
{
    PAGED_CODE();
    return STATUS_NOT_SUPPORTED;
}
