// A port's reads and writes.
#include "driver/handlers.h"

VCB_PAGED NTSTATUS PortReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto port = (PortDeviceData*)deviceObject->DeviceExtension;
    if (port->Header.PnpState == PnpDeleted) {
        return CompleteNoSuchDevice(irp);
    }
    // Not served yet.
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}
