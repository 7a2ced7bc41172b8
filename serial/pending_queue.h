// Pending-request queues of a port, each served by its own thread.
#pragma once
#include "kernel.h"

struct PendingQueue {
    BOOLEAN StopThread;
};
