// Harness view of system threads: what the driver created, at which priority, whether it still
// runs; and making the next thread creations fail.
#pragma once

#include <ntddk.h>

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

}  // namespace hk
