// A port's open, close, cleanup and flush: they switch the one receive ring shared by every handle
// on and off and end pending reads and waits; the port counts no opens.
#include "driver/handlers.h"
#include "serial/pending_queue.h"
#include "serial/ring.h"

namespace {

// An abort still aimed at a held request belongs to an earlier handle's cleanup and must reach
// that request; only a leftover with nothing held is cleared. The service threads change these
// flags under the same lock. Resident: it runs at DISPATCH_LEVEL while it holds the lock.
void ClearIdleAborts(PortDeviceData* port)
{
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    if (port->CurrentReadIrp == nullptr && !port->TakingRead) {
        WriteBooleanNoFence(&port->AbortCurrentRead, FALSE);
    }
    if (port->CurrentWaitIrp == nullptr && !port->TakingWait) {
        WriteBooleanNoFence(&port->AbortCurrentWait, FALSE);
    }
    KeReleaseSpinLock(&port->QueueLock, irql);
}

}  // namespace

VCB_PAGED NTSTATUS DispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto port = (PortDeviceData*)deviceObject->DeviceExtension;
    irp->IoStatus.Information = 0;
    if (ReadPnpState(&port->Header) == PnpDeleted) {
        return CompleteNoSuchDevice(irp);
    }
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
        ClearIdleAborts(port);
        // Every open starts from an empty ring. Without pool the old storage and its bytes stay,
        // and the open still succeeds.
        RingResize(&port->Ring, kRingDefaultSize);
        RingEnable(&port->Ring, TRUE);
        LineSettingsOpen(port);
        NTSTATUS status = LineTimingOpen(port);
        if (!NT_SUCCESS(status)) {
            // No handle comes of it, so no close: the port is left as a close leaves it.
            RingEnable(&port->Ring, FALSE);
            LineSettingsClose(port);
            WakeReadServiceThread(port);
            return CompleteRequest(irp, status);
        }
        // Another handle's held read sees its bytes gone, a change its interval clock starts on.
        WakeReadServiceThread(port);
    } else {
        // Without a cleanup before it (the handle's requests outlived it), a close still ends
        // the writes held for the line.
        LineTimingFlush(port);
        FlushReadQueue(deviceObject);
        FlushWaitQueue(deviceObject);
        // Unread bytes stay until the next open; what arrives from now on is dropped.
        RingEnable(&port->Ring, FALSE);
        LineSettingsClose(port);
    }
    return CompleteRequest(irp, STATUS_SUCCESS);
}

VCB_PAGED NTSTATUS DispatchCleanupFlush(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto port = (PortDeviceData*)deviceObject->DeviceExtension;
    irp->IoStatus.Information = 0;
    if (ReadPnpState(&port->Header) == PnpDeleted) {
        return CompleteNoSuchDevice(irp);
    }
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
        RingPurge(&port->Ring);
        // The held bytes are gone: a change of count the held read's interval clock starts on.
        WakeReadServiceThread(port);
    } else {
        // Cleanup of any handle ends every pending read, wait, held write and watch of the port.
        LineTimingFlush(port);
        FlushReadQueue(deviceObject);
        FlushWaitQueue(deviceObject);
        PartnerWatchFlush(port);
    }
    return CompleteRequest(irp, STATUS_SUCCESS);
}
