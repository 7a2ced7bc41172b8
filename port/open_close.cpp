// Open, close, cleanup and flush. On the bus they only succeed, counted through its gate: that is
// what lets the control application open the bus through its interface.
#include "driver/gate.h"
#include "driver/handlers.h"

static NTSTATUS BusOpenCloseCleanupFlush(BusDeviceData* bus, PIRP irp)
{
    IoGateAcquire(&bus->Gate);
    NTSTATUS status;
    if (bus->Header.PnpState == PnpDeleted) {
        status = STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    } else {
        status = CompleteRequest(irp, STATUS_SUCCESS);
    }
    IoGateRelease(&bus->Gate);
    return status;
}

VCB_PAGED NTSTATUS DispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto header = (CommonDeviceData*)deviceObject->DeviceExtension;
    if (header->IsFdo) {
        return BusOpenCloseCleanupFlush((BusDeviceData*)header, irp);
    }
    // Ports are not served yet.
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}

VCB_PAGED NTSTATUS DispatchCleanupFlush(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto header = (CommonDeviceData*)deviceObject->DeviceExtension;
    if (header->IsFdo) {
        return BusOpenCloseCleanupFlush((BusDeviceData*)header, irp);
    }
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}
