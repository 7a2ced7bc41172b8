// Harness view of system threads: what the driver created, at which priority, whether it still
// runs; making the next thread creations fail; watching delays and spin-lock acquisitions.
#pragma once

#include <ntddk.h>

#include <functional>
#include <vector>

namespace hk {

struct SystemThreadInfo {
    PETHREAD Thread;
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    KPRIORITY Priority;           // as last set by KeSetPriorityThread (8 at creation)
    LONG BasePriorityIncrement;   // as last set by KeSetBasePriorityThread (0 at creation)
    bool Running;
};

// Every system thread whose object still exists (running, or ended but still referenced).
std::vector<SystemThreadInfo> SystemThreads();
size_t RunningSystemThreadCount();

// The next `count` PsCreateSystemThread calls fail with `status` and create nothing.
void FailNextThreadCreations(int count, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);

// Called in the delaying thread at the start of every KeDelayExecutionThread, with its interval,
// before the thread sleeps: lets a test look at the world in the middle of a driver's pause.
// An empty function removes the observer.
void SetDelayObserver(std::function<void(LONGLONG interval)> observer);

// Called in the acquiring thread at the start of every KeAcquireSpinLock, with the lock, before
// the thread raises its IRQL or spins: lets a test act in the gap between a driver's release of
// a lock and its next acquisition. An empty function removes the observer.
void SetSpinLockObserver(std::function<void(PKSPIN_LOCK lock)> observer);

// Whether the calling thread is inside a critical region (KeEnterCriticalRegion), where the
// platform holds back thread suspension.
bool CurrentThreadInCriticalRegion();

}  // namespace hk
