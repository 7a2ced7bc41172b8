// Event mask and waits. The event state lives in the port's ring under its Lock: RingWriteBlock
// and RingRead raise the receive events there, the write path raises SERIAL_EV_TXEMPTY, and a try
// of the pending wait takes out (and so reports once) the events its mask asks for. Nothing here
// completes a wait from the outside: a changed mask leaves MaskChangedMarker for the next try.
//
// Resident: every routine holds the ring's spin lock for part of its run.
#include "serial/events.h"

#include "device.h"
#include "driver/handlers.h"

NTSTATUS SetWaitMask(PortDeviceData* port, PIRP irp)
{
    ULONG mask = *(const ULONG*)irp->AssociatedIrp.SystemBuffer;
    ReceiveRing* ring = &port->Ring;
    RingAcquireLock(ring);
    // A transmit-empty from before the change is stale for whoever waits next.
    ring->EventBits &= ~(ULONG)SERIAL_EV_TXEMPTY;
    if (mask == 0) {
        ring->EventBits = 0;
    }
    if (ring->WaitPending) {
        ring->EventBits |= MaskChangedMarker;
    }
    ring->WaitMask = mask;
    RingReleaseLock(ring);
    // A pending wait ends with the marker, or at once on events the new mask finds waiting.
    WakeWaitServiceThread(port);
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS GetWaitMask(PortDeviceData* port, PIRP irp)
{
    RingAcquireLock(&port->Ring);
    ULONG mask = port->Ring.WaitMask;
    RingReleaseLock(&port->Ring);
    *(PULONG)irp->AssociatedIrp.SystemBuffer = mask;
    return CompleteRequest(irp, STATUS_SUCCESS, sizeof(ULONG));
}

NTSTATUS WaitOnMask(PortDeviceData* port, PIRP irp)
{
    RingAcquireLock(&port->Ring);
    ULONG mask = port->Ring.WaitMask;
    RingReleaseLock(&port->Ring);
    if (mask == 0) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    // One wait at a time may queue. The one the wait thread holds doesn't count: a new wait is
    // then tried at once and queued behind nothing.
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    BOOLEAN queued = !IsListEmpty(&port->WaitQueue.PendingList);
    KeReleaseSpinLock(&port->QueueLock, irql);
    if (queued) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    return QueuePendingRequest(port, irp, TryCompleteWait, &port->WaitQueue.Csq, &port->WaitQueue.WorkSemaphore,
                               &port->WaitQueue.PendingList);
}

NTSTATUS TryCompleteWait(PortDeviceData* port, PIRP irp)
{
    ReceiveRing* ring = &port->Ring;
    RingAcquireLock(ring);
    bool over = true;
    ULONG result = 0;
    if (ring->EventBits & MaskChangedMarker) {
        ring->EventBits &= ~MaskChangedMarker;
    } else if ((result = ring->WaitMask & ring->EventBits) != 0) {
        ring->EventBits &= ~result;
    } else {
        over = false;
    }
    // Pending from the first try until the wait is decided, in the same hold of the lock, so that
    // a mask change can't mark a wait that is already over.
    ring->WaitPending = over ? FALSE : TRUE;
    RingReleaseLock(ring);
    if (!over) {
        return STATUS_PENDING;
    }
    *(PULONG)irp->AssociatedIrp.SystemBuffer = result;
    return CompleteRequest(irp, STATUS_SUCCESS, sizeof(ULONG));
}
