// The requests an application's handle on the bus brings besides control: open, close, cleanup
// and flush only succeed, counted through the bus's gate (that is what lets the control
// application open the bus through its interface); the bus has no data path, so reads and writes
// are refused without being counted.
#include "driver/gate.h"
#include "driver/handlers.h"

VCB_PAGED NTSTATUS BusOpenCloseCleanupFlush(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto bus = (BusDeviceData*)deviceObject->DeviceExtension;
    IoGateAcquire(&bus->Gate);
    NTSTATUS status;
    if (ReadPnpState(&bus->Header) == PnpDeleted) {
        status = CompleteNoSuchDevice(irp);
    } else {
        status = CompleteRequest(irp, STATUS_SUCCESS);
    }
    IoGateRelease(&bus->Gate);
    return status;
}

VCB_PAGED NTSTATUS BusReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto bus = (BusDeviceData*)deviceObject->DeviceExtension;
    if (ReadPnpState(&bus->Header) == PnpDeleted) {
        return CompleteNoSuchDevice(irp);
    }
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}
