// Pending-request queues of a port, each served by its own thread.
#pragma once
#include "kernel.h"

struct PendingQueue {
    BOOLEAN StopThread;
};

NTSTATUS StartWaitQueue(PDEVICE_OBJECT portDevice);
NTSTATUS StartReadQueue(PDEVICE_OBJECT portDevice);
NTSTATUS StopWaitQueue(PDEVICE_OBJECT portDevice);
NTSTATUS StopReadQueue(PDEVICE_OBJECT portDevice);
void FlushReadQueue(PDEVICE_OBJECT portDevice);
void FlushWaitQueue(PDEVICE_OBJECT portDevice);
