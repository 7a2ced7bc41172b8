// Pending queues of a port and their service threads. A read or a wait that cannot finish when
// it arrives is parked in its queue (a cancel-safe queue under the port's QueueLock); the queue's
// thread takes the oldest request, holds it as the port's current request and tries it again
// whenever it is woken (bytes arrived, an event, a setting changed, a cancel or a flush), and when
// one of the request's time-outs can have run out, until its try routine finishes it, it is
// cancelled, or a flush aborts it. Between tries the thread sleeps: a request that no time-out can
// end costs nothing until something wakes it. No timer and no DPC: all waiting happens in these
// two threads per port, and a port with nothing parked has both threads blocked on their
// semaphores.
//
// Ownership: while queued the queue owns a request and the I/O manager may cancel it; once taken
// out, the thread owns it alone until it completes it. The current-request fields and the abort
// flags change only under QueueLock, so that a flush and the thread's hand-over of a request
// never miss each other (see TakeNextRequest).
#include "device.h"
#include "runtime.h"
#include "serial/read.h"

namespace {

constexpr LONG kSemaphoreLimit = 0x7FFFFFFF;
// Thread access asked of the handle: all that a thread object had before Vista.
constexpr ACCESS_MASK kThreadAccess = 0x1F03FF;

// When a held request can next end by itself (absolute system time), given that nothing wakes
// its thread before; kReadNeverDue when only a wake-up can end it.
typedef LONGLONG PendingDueRoutine(PortDeviceData* port, PIRP irp);

// Waits have no time-out: only an event, a mask change, a cancel or a flush ends them.
LONGLONG WaitNeverDue(PortDeviceData*, PIRP) { return kReadNeverDue; }

// The fields of the port record that belong to one of its two queues.
struct QueueView {
    PendingQueue* Queue;
    PIRP* Current;
    BOOLEAN* Abort;
    BOOLEAN* Taking;
    PendingDueRoutine* Due;
};

QueueView ReadView(PortDeviceData* port)
{
    return {&port->ReadQueue, &port->CurrentReadIrp, &port->AbortCurrentRead, &port->TakingRead, ReadTimeoutDue};
}
QueueView WaitView(PortDeviceData* port)
{
    return {&port->WaitQueue, &port->CurrentWaitIrp, &port->AbortCurrentWait, &port->TakingWait, WaitNeverDue};
}

PortDeviceData* PortOf(PDEVICE_OBJECT portDevice) { return (PortDeviceData*)portDevice->DeviceExtension; }

PIRP ReadCurrent(const QueueView& view) { return (PIRP)ReadPointerNoFence((PVOID volatile*)view.Current); }
void WriteCurrent(const QueueView& view, PIRP irp) { WritePointerNoFence((PVOID volatile*)view.Current, irp); }

void CompleteCancelled(PIRP irp)
{
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// A wait that ends without a try deciding it (cancelled, flushed or aborted) leaves no wait in
// progress behind, unless another wait is still parked: otherwise the next mask change would
// mark a wait that no longer exists, and the next wait would end at once with an empty mask.
void CompleteCancelledWait(PortDeviceData* port, PIRP irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    PIRP current = ReadCurrent(WaitView(port));
    BOOLEAN othersParked = (current != nullptr && current != irp) || !IsListEmpty(&port->WaitQueue.PendingList);
    KeReleaseSpinLock(&port->QueueLock, irql);
    if (!othersParked) {
        RingSetWaitPending(&port->Ring, FALSE);
    }
    CompleteCancelled(irp);
}

void CompleteCancelledIn(PortDeviceData* port, const QueueView& view, PIRP irp)
{
    if (view.Queue == &port->WaitQueue) {
        CompleteCancelledWait(port, irp);
    } else {
        CompleteCancelled(irp);
    }
}

// ---- Cancel-safe queue callbacks ---------------------------------------------------------------
// The same set serves both queues. The lock and cancel-completion callbacks need the port record
// around the queue, so they are instantiated per queue with the queue's offset in the record.

PendingQueue* QueueOf(PIO_CSQ csq) { return CONTAINING_RECORD(csq, PendingQueue, Csq); }

VOID NTAPI QueueInsertIrp(PIO_CSQ csq, PIRP irp)
{
    InsertTailList(&QueueOf(csq)->PendingList, &irp->Tail.Overlay.ListEntry);
}

VOID NTAPI QueueRemoveIrp(PIO_CSQ csq, PIRP irp)
{
    UNREFERENCED_PARAMETER(csq);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
}

// The first request after `irp` (from the head without one) whose file object is the peek
// context; any request with a null context.
PIRP NTAPI QueuePeekNextIrp(PIO_CSQ csq, PIRP irp, PVOID peekContext)
{
    PLIST_ENTRY head = &QueueOf(csq)->PendingList;
    for (PLIST_ENTRY entry = irp == nullptr ? head->Flink : irp->Tail.Overlay.ListEntry.Flink; entry != head;
         entry = entry->Flink) {
        PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (peekContext == nullptr || IoGetCurrentIrpStackLocation(candidate)->FileObject == peekContext) {
            return candidate;
        }
    }
    return nullptr;
}

template <LONG QueueOffset>
PortDeviceData* PortOfCsq(PIO_CSQ csq)
{
    return (PortDeviceData*)((PUCHAR)QueueOf(csq) - QueueOffset);
}

template <LONG QueueOffset>
VOID NTAPI QueueAcquireLock(PIO_CSQ csq, PKIRQL irql)
{
    KeAcquireSpinLock(&PortOfCsq<QueueOffset>(csq)->QueueLock, irql);
}

template <LONG QueueOffset>
VOID NTAPI QueueReleaseLock(PIO_CSQ csq, KIRQL irql)
{
    KeReleaseSpinLock(&PortOfCsq<QueueOffset>(csq)->QueueLock, irql);
}

constexpr LONG kWaitQueueOffset = FIELD_OFFSET(PortDeviceData, WaitQueue);
constexpr LONG kReadQueueOffset = FIELD_OFFSET(PortDeviceData, ReadQueue);

// Called by the queue after it has released QueueLock, at up to DISPATCH_LEVEL.
template <LONG QueueOffset>
VOID NTAPI QueueCompleteCanceledIrp(PIO_CSQ csq, PIRP irp)
{
    if constexpr (QueueOffset == kWaitQueueOffset) {
        CompleteCancelledWait(PortOfCsq<QueueOffset>(csq), irp);
    } else {
        CompleteCancelled(irp);
    }
}

// ---- Service threads ---------------------------------------------------------------------------

// A read that leaves bytes behind raises SERIAL_EV_RXCHAR whatever the wait mask, which may end
// the port's parked wait.
void NoteCompleted(PortDeviceData* port, const PendingQueue* queue)
{
    if (queue == &port->ReadQueue) {
        WakeWaitServiceThread(port);
    }
}

// Takes the oldest request out of the queue and makes it the current one. The take is announced
// under QueueLock before the request is taken out: a flush that runs between the announcement
// and the removal sees the take and marks it for abort, so whatever the thread ends up holding
// cannot slip past that flush (it is cancelled at the first check). The request becomes current
// only once the thread owns it: a request still in the queue may be cancelled and freed, and
// must never be left behind as the current one. A take that comes to nothing clears the abort
// it drew.
PIRP TakeNextRequest(PortDeviceData* port, const QueueView& view, BOOLEAN startsReadClocks)
{
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    bool empty = IsListEmpty(&view.Queue->PendingList);
    if (!empty) {
        WriteBooleanNoFence(view.Taking, TRUE);
    }
    KeReleaseSpinLock(&port->QueueLock, irql);
    if (empty) {
        return nullptr;
    }

    PIRP irp = IoCsqRemoveNextIrp(&view.Queue->Csq, nullptr);
    KeAcquireSpinLock(&port->QueueLock, &irql);
    // The read's clocks start as it becomes current, so whoever sees it held sees them running.
    if (irp != nullptr && startsReadClocks) {
        LONGLONG now = RtQuerySystemTime();
        port->ReadStartTime = now;
        port->IntervalStartTime = now;
        port->LastSeenCount = 0;
        port->IntervalArmed = FALSE;
    }
    WriteCurrent(view, irp);
    WriteBooleanNoFence(view.Taking, FALSE);
    if (irp == nullptr) {
        WriteBooleanNoFence(view.Abort, FALSE);
    }
    KeReleaseSpinLock(&port->QueueLock, irql);
    return irp;
}

// The request is done: no current request, and no abort left over for the next one (a flush
// that came after the request finished aimed at nothing).
void ReleaseCurrentRequest(PortDeviceData* port, const QueueView& view)
{
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    WriteCurrent(view, nullptr);
    WriteBooleanNoFence(view.Abort, FALSE);
    KeReleaseSpinLock(&port->QueueLock, irql);
}

// The cancel routine of a request a service thread holds. The request stays the thread's to
// complete: the routine only wakes the thread, so that it sees the Cancel flag now rather than at
// the end of its poll. The wake-up is set before the cancel spin lock is released: once it is
// released the thread may complete the request and the port may go.
VOID NTAPI WakeOnCancel(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PortDeviceData* port = PortOf(deviceObject);
    KIRQL irql = irp->CancelIrql;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) {
        WakeReadServiceThread(port);
    } else {
        WakeWaitServiceThread(port);
    }
    IoReleaseCancelSpinLock(irql);
}

// Waits until the thread is woken or the request's next time-out is due (`due`, absolute system
// time, or kReadNeverDue: until woken). An absolute time-out follows a change of the system
// clock, as the try's own clocks do. A due time that passed between the try and now is waited
// for one PollInterval, never spun on: the next try finds it run out. Meanwhile
// the held request can be cancelled through WakeOnCancel; the routine is taken away again before
// the next try, which may complete the request.
void WaitForWakeUp(const QueueView& view, PIRP irp, LONGLONG due)
{
    IoSetCancelRoutine(irp, WakeOnCancel);
    // Cancelled before the routine was in place, so nobody will call it: no need to wait.
    if (ReadBooleanNoFence(&irp->Cancel) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        return;
    }
    LARGE_INTEGER until;
    until.QuadPart = due;
    PLARGE_INTEGER timeout = &until;
    if (due == kReadNeverDue) {
        timeout = nullptr;
    } else if (due <= RtQuerySystemTime()) {
        timeout = &view.Queue->PollInterval;
    }
    KeWaitForSingleObject(&view.Queue->WakeEvent, Executive, KernelMode, FALSE, timeout);
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        // The routine was called: it holds the cancel spin lock for as long as it uses the
        // request, so taking the lock once waits for it to be done.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoReleaseCancelSpinLock(irql);
    }
}

// Tries the held request whenever the thread is woken, and when its next time-out is due, until
// it is finished, cancelled or aborted. No lock is held while trying, completing or waiting.
void ServeRequest(PortDeviceData* port, const QueueView& view, PIRP irp)
{
    auto tryRoutine = reinterpret_cast<PendingTryRoutine*>(irp->Tail.Overlay.DriverContext[0]);
    irp->Tail.Overlay.DriverContext[0] = nullptr;
    for (;;) {
        if (ReadBooleanNoFence(&irp->Cancel) || ReadBooleanNoFence(view.Abort)) {
            CompleteCancelledIn(port, view, irp);
            return;
        }
        if (tryRoutine(port, irp) != STATUS_PENDING) {
            NoteCompleted(port, view.Queue);
            return;
        }
        WaitForWakeUp(view, irp, view.Due(port, irp));
    }
}

void ServeQueue(PortDeviceData* port, const QueueView& view, BOOLEAN startsReadClocks)
{
    KeSetPriorityThread(KeGetCurrentThread(), kServiceThreadPriority);
    for (;;) {
        KeWaitForSingleObject(&view.Queue->WorkSemaphore, Executive, KernelMode, FALSE, nullptr);
        if (ReadBooleanNoFence(&view.Queue->StopThread)) {
            // Cleared as the last touch of the port record: a start that could not reference
            // this thread's object waits for exactly that.
            WriteBooleanNoFence(&view.Queue->StopThread, FALSE);
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
        // The semaphore may run ahead of the queue (requests cancelled or flushed after their
        // release): then there is nothing to take.
        PIRP irp = TakeNextRequest(port, view, startsReadClocks);
        if (irp == nullptr) {
            continue;
        }
        ServeRequest(port, view, irp);
        ReleaseCurrentRequest(port, view);
    }
}

_Function_class_(KSTART_ROUTINE)
VOID NTAPI ReadServiceThread(PVOID context)
{
    PortDeviceData* port = PortOf((PDEVICE_OBJECT)context);
    ServeQueue(port, ReadView(port), TRUE);
}

_Function_class_(KSTART_ROUTINE)
VOID NTAPI WaitServiceThread(PVOID context)
{
    PortDeviceData* port = PortOf((PDEVICE_OBJECT)context);
    ServeQueue(port, WaitView(port), FALSE);
}

// ---- Start, stop, flush -------------------------------------------------------------------------

// A queue that was never started has no poll interval (the record is zero-filled at creation);
// the start sets it once, before any other thread can use the queue.
bool Started(const PendingQueue* queue) { return queue->PollInterval.QuadPart != 0; }

void DrainQueue(PortDeviceData* port, const QueueView& view)
{
    PIRP irp;
    while ((irp = IoCsqRemoveNextIrp(&view.Queue->Csq, nullptr)) != nullptr) {
        CompleteCancelledIn(port, view, irp);
    }
}

void FlushQueue(PortDeviceData* port, const QueueView& view)
{
    if (!Started(view.Queue)) {
        return;
    }
    DrainQueue(port, view);
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    if (ReadCurrent(view) != nullptr || ReadBooleanNoFence(view.Taking)) {
        WriteBooleanNoFence(view.Abort, TRUE);
    }
    KeReleaseSpinLock(&port->QueueLock, irql);
    KeSetEvent(&view.Queue->WakeEvent, IO_NO_INCREMENT, FALSE);
}

// The thread runs but its object could not be referenced, so it cannot be waited on: ask it to
// end and wait until it acknowledges by clearing StopThread, its last touch of the port record.
void EndUnreferencedThread(PendingQueue* queue)
{
    WriteBooleanNoFence(&queue->StopThread, TRUE);
    KeReleaseSemaphore(&queue->WorkSemaphore, IO_NO_INCREMENT, 1, FALSE);
    LARGE_INTEGER pause;
    pause.QuadPart = kPollInterval;
    while (ReadBooleanNoFence(&queue->StopThread)) {
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

VCB_PAGED NTSTATUS StartQueue(PDEVICE_OBJECT portDevice, PendingQueue* queue, PKSTART_ROUTINE serviceThread,
                              PIO_CSQ_ACQUIRE_LOCK acquireLock, PIO_CSQ_RELEASE_LOCK releaseLock,
                              PIO_CSQ_COMPLETE_CANCELED_IRP completeCanceled)
{
    PAGED_CODE();
    KeInitializeSemaphore(&queue->WorkSemaphore, 0, kSemaphoreLimit);
    KeInitializeEvent(&queue->WakeEvent, SynchronizationEvent, FALSE);
    InitializeListHead(&queue->PendingList);
    IoCsqInitialize(&queue->Csq, QueueInsertIrp, QueueRemoveIrp, QueuePeekNextIrp, acquireLock, releaseLock,
                    completeCanceled);
    queue->PollInterval.QuadPart = kPollInterval;
    queue->StopThread = FALSE;
    queue->ServiceThread = nullptr;

    // A kernel handle: the plug-in runs in the control application's process, whose handle
    // table the application could tamper with before the reference below is taken.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, serviceThread, portDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID thread;
    NTSTATUS referenced = ObReferenceObjectByHandle(handle, kThreadAccess, nullptr, KernelMode, &thread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(referenced)) {
        EndUnreferencedThread(queue);
        return referenced;
    }
    queue->ServiceThread = (PKTHREAD)thread;
    return status;
}

NTSTATUS StopQueue(PortDeviceData* port, const QueueView& view)
{
    PendingQueue* queue = view.Queue;
    if (!Started(queue)) {
        return STATUS_SUCCESS;
    }
    FlushQueue(port, view);
    if (queue->ServiceThread != nullptr) {
        // A thread holding a request is woken by the flush, sees its abort, cancels the
        // request, then finds this release with StopThread set and ends.
        WriteBooleanNoFence(&queue->StopThread, TRUE);
        KeReleaseSemaphore(&queue->WorkSemaphore, IO_NO_INCREMENT, 1, TRUE);
        KeWaitForSingleObject(queue->ServiceThread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(queue->ServiceThread);
        queue->ServiceThread = nullptr;
    }
    // With the thread gone nothing serves the queue: a request parked while it was ending is
    // cancelled rather than left behind.
    DrainQueue(port, view);
    return STATUS_SUCCESS;
}

}  // namespace

VCB_PAGED NTSTATUS StartWaitQueue(PDEVICE_OBJECT portDevice)
{
    PAGED_CODE();
    return StartQueue(portDevice, &PortOf(portDevice)->WaitQueue, WaitServiceThread,
                      QueueAcquireLock<kWaitQueueOffset>, QueueReleaseLock<kWaitQueueOffset>,
                      QueueCompleteCanceledIrp<kWaitQueueOffset>);
}

VCB_PAGED NTSTATUS StartReadQueue(PDEVICE_OBJECT portDevice)
{
    PAGED_CODE();
    return StartQueue(portDevice, &PortOf(portDevice)->ReadQueue, ReadServiceThread,
                      QueueAcquireLock<kReadQueueOffset>, QueueReleaseLock<kReadQueueOffset>,
                      QueueCompleteCanceledIrp<kReadQueueOffset>);
}

// Resident: the release with Wait TRUE returns at DISPATCH_LEVEL until the wait that follows.
NTSTATUS StopWaitQueue(PDEVICE_OBJECT portDevice)
{
    PortDeviceData* port = PortOf(portDevice);
    return StopQueue(port, WaitView(port));
}

NTSTATUS StopReadQueue(PDEVICE_OBJECT portDevice)
{
    PortDeviceData* port = PortOf(portDevice);
    return StopQueue(port, ReadView(port));
}

void FlushReadQueue(PDEVICE_OBJECT portDevice)
{
    PortDeviceData* port = PortOf(portDevice);
    FlushQueue(port, ReadView(port));
}

void FlushWaitQueue(PDEVICE_OBJECT portDevice)
{
    PortDeviceData* port = PortOf(portDevice);
    FlushQueue(port, WaitView(port));
}

// A queue that never started has no event to set (the record is zero-filled): its port never
// parks anything either.
void WakeReadServiceThread(PortDeviceData* port)
{
    if (Started(&port->ReadQueue)) {
        KeSetEvent(&port->ReadQueue.WakeEvent, IO_NO_INCREMENT, FALSE);
    }
}

void WakeWaitServiceThread(PortDeviceData* port)
{
    if (Started(&port->WaitQueue)) {
        KeSetEvent(&port->WaitQueue.WakeEvent, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS QueuePendingRequest(PortDeviceData* port, PIRP irp, PendingTryRoutine* tryRoutine, PIO_CSQ csq,
                             PKSEMAPHORE workSemaphore, PLIST_ENTRY pendingList)
{
    // Reads complete in the order they were issued: a read the thread already holds counts as
    // an older one, so a new read neither takes bytes ahead of it nor is tried on its own while
    // it waits. A held wait does not count: the wait machinery accepts a new wait beside it.
    PIRP* current = pendingList == &port->ReadQueue.PendingList ? &port->CurrentReadIrp : nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    BOOLEAN wasEmpty = IsListEmpty(pendingList) &&
                       (current == nullptr || ReadPointerNoFence((PVOID volatile*)current) == nullptr);
    KeReleaseSpinLock(&port->QueueLock, irql);

    // Behind older requests a new one waits its turn without a try, so that they are served in
    // arrival order.
    if (wasEmpty) {
        NTSTATUS status = tryRoutine(port, irp);
        if (status != STATUS_PENDING) {
            NoteCompleted(port, CONTAINING_RECORD(pendingList, PendingQueue, PendingList));
            return status;
        }
    }
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_PENDING;
    irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(tryRoutine);
    IoCsqInsertIrp(csq, irp, nullptr);
    KeReleaseSemaphore(workSemaphore, IO_NO_INCREMENT, 1, FALSE);
    return STATUS_PENDING;
}
