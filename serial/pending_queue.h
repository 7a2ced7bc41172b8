// Pending-request queues of a port, each served by its own thread: reads and wait-on-mask
// requests that cannot finish at once are parked here and retried as soon as something may let
// them complete, or one of their time-outs can have run out.
#pragma once
#include "kernel.h"

struct PortDeviceData;

// A try routine either completes the request itself and returns its final status, or returns
// STATUS_PENDING and leaves the request untouched.
typedef NTSTATUS PendingTryRoutine(PortDeviceData* port, PIRP irp);

// Priority of the service threads; the shortest wait between two tries of a held request that
// nothing woke.
constexpr KPRIORITY kServiceThreadPriority = 16;
constexpr LONGLONG kPollInterval = -10000;  // 1 ms, relative

struct PendingQueue {
    BOOLEAN StopThread;           // asks the thread to end when it next wakes
    PKTHREAD ServiceThread;       // referenced; null when there is no thread
    KSEMAPHORE WorkSemaphore;     // one release per inserted request, one more at stop
    IO_CSQ Csq;
    LIST_ENTRY PendingList;       // through Tail.Overlay.ListEntry; changed only under QueueLock
    LARGE_INTEGER PollInterval;   // the shortest wait between two tries that nothing woke
    KEVENT WakeEvent;             // synchronization event: try the held request again now
};

// Start the queue's thread; the status of the thread creation. On failure nothing is left to
// undo: no thread, ServiceThread null, and the stop operation still works.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StartWaitQueue(PDEVICE_OBJECT portDevice);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StartReadQueue(PDEVICE_OBJECT portDevice);
// Flush, then end the thread and wait for it. STATUS_SUCCESS.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StopWaitQueue(PDEVICE_OBJECT portDevice);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StopReadQueue(PDEVICE_OBJECT portDevice);
// Cancel every queued request and mark the one the thread holds for abort; does not wait.
_IRQL_requires_(PASSIVE_LEVEL) void FlushReadQueue(PDEVICE_OBJECT portDevice);
_IRQL_requires_(PASSIVE_LEVEL) void FlushWaitQueue(PDEVICE_OBJECT portDevice);

// Something happened that may let the port's held read (or wait) complete, or moves its time-outs:
// bytes stored in its ring or taken out, its time-outs changed, an event bit set, its wait mask
// changed, a flush. The thread sleeps until then (or its request's next time-out), so every such
// change must wake it: the service thread tries its request again at once; with nothing held
// the call costs a signalled event and the thread's next request one extra try. Call it after
// the change is made, with no spin lock held, at up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL) void WakeReadServiceThread(PortDeviceData* port);
_IRQL_requires_max_(DISPATCH_LEVEL) void WakeWaitServiceThread(PortDeviceData* port);

// Parks a request: tried at once if its queue is empty, queued (pending, cancellable) otherwise
// or if the try could not finish it. Returns the request's final status or STATUS_PENDING. The
// service thread later tries the request with the same routine (kept in DriverContext[0] while
// the request is parked).
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS QueuePendingRequest(PortDeviceData* port, PIRP irp,
                                                            PendingTryRoutine* tryRoutine, PIO_CSQ csq,
                                                            PKSEMAPHORE workSemaphore, PLIST_ENTRY pendingList);
