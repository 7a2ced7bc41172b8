// Open, close, cleanup and flush. On the bus they only succeed, counted through its gate: that is
// what lets the control application open the bus through its interface. On a port they switch
// the one receive ring shared by every handle on and off and end pending reads and waits; the
// port counts no opens.
#include "driver/gate.h"
#include "driver/handlers.h"
#include "serial/pending_queue.h"
#include "serial/ring.h"

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

    auto port = (PortDeviceData*)header;
    if (port->Header.PnpState == PnpDeleted) {
        return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
    }
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
        WriteBooleanNoFence(&port->AbortCurrentRead, FALSE);
        WriteBooleanNoFence(&port->AbortCurrentWait, FALSE);
        // Every open starts from an empty ring. Without pool the old storage and its bytes stay,
        // and the open still succeeds.
        RingResize(&port->Ring, kRingDefaultSize);
        RingEnable(&port->Ring, TRUE);
    } else {
        FlushReadQueue(deviceObject);
        FlushWaitQueue(deviceObject);
        // Unread bytes stay until the next open; what arrives from now on is dropped.
        RingEnable(&port->Ring, FALSE);
    }
    return CompleteRequest(irp, STATUS_SUCCESS);
}

VCB_PAGED NTSTATUS DispatchCleanupFlush(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto header = (CommonDeviceData*)deviceObject->DeviceExtension;
    if (header->IsFdo) {
        return BusOpenCloseCleanupFlush((BusDeviceData*)header, irp);
    }

    auto port = (PortDeviceData*)header;
    if (port->Header.PnpState == PnpDeleted) {
        return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
    }
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
        RingPurge(&port->Ring);
    } else {
        // Cleanup of any handle ends every pending read and wait of the port.
        FlushReadQueue(deviceObject);
        FlushWaitQueue(deviceObject);
    }
    return CompleteRequest(irp, STATUS_SUCCESS);
}
