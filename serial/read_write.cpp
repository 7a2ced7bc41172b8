// Reads and writes. The bus has no data path: both are refused there without being counted.
#include "driver/handlers.h"

VCB_PAGED NTSTATUS PortReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto header = (CommonDeviceData*)deviceObject->DeviceExtension;
    if (header->PnpState == PnpDeleted) {
        return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE, irp->IoStatus.Information);
    }
    // Ports are not served yet either.
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}
