// A port plugged in through the bus's plug-in request and opened, cleaned up, flushed and closed
// through the driver's own handlers (DispatchRequest: DispatchCreateClose, DispatchCleanupFlush).
// Reads and waits are not served by the driver yet, so handles from
// Open() route those two kinds of request to QueuePendingRequest, the driver's parking routine,
// with the test's own try routines: the requests are built by the harness as the I/O manager
// builds them, only their dispatch entry is the test's.
#pragma once

#include "bus_fixture.h"

#include <memory>

class PortQueueTest : public BusTest {
protected:
    void SetUp() override;
    void TearDown() override;  // removes the bus, which destroys the port and ends its threads

    // Try routines that reads and IOCTL_SERIAL_WAIT_ON_MASK requests are parked with.
    void SetTryRoutines(PendingTryRoutine* read, PendingTryRoutine* wait);
    // A handle opened through the driver's create handler, with reads and device control routed
    // to the parking routine; cleanup, flush and close go to the driver.
    std::unique_ptr<hk::File> Open();

    PDEVICE_OBJECT device_ = nullptr;
    PortDeviceData* port_ = nullptr;
};

// Where a read's bytes go, as the I/O manager set the request up for the port's I/O method.
// The request a port's service thread holds, as a test waiting for "held" must see it. The
// current field keeps naming a finished request until the thread lets it go, and a new request
// may get the finished one's address back while it still waits in the queue: a current request
// that is also queued is not held yet.
inline PIRP HeldRequest(PortDeviceData* port, bool read)
{
    PendingQueue* queue = read ? &port->ReadQueue : &port->WaitQueue;
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    PIRP current = read ? port->CurrentReadIrp : port->CurrentWaitIrp;
    for (PLIST_ENTRY entry = queue->PendingList.Flink; current != nullptr && entry != &queue->PendingList;
         entry = entry->Flink) {
        if (CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry) == current) {
            current = nullptr;
        }
    }
    KeReleaseSpinLock(&port->QueueLock, irql);
    return current;
}

inline PUCHAR ReadBuffer(PIRP irp)
{
    if (irp->Flags & IRP_BUFFERED_IO) return (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    if (irp->MdlAddress) return (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    return (PUCHAR)irp->UserBuffer;
}
