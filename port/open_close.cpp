// A port's open, close, cleanup and flush: they switch the one receive ring shared by every handle
// on and off and end pending reads and waits; the port counts no opens.
#include "driver/handlers.h"
#include "serial/pending_queue.h"
#include "serial/ring.h"

VCB_PAGED NTSTATUS DispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto port = (PortDeviceData*)deviceObject->DeviceExtension;
    irp->IoStatus.Information = 0;
    if (port->Header.PnpState == PnpDeleted) {
        return CompleteNoSuchDevice(irp);
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
    auto port = (PortDeviceData*)deviceObject->DeviceExtension;
    irp->IoStatus.Information = 0;
    if (port->Header.PnpState == PnpDeleted) {
        return CompleteNoSuchDevice(irp);
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
