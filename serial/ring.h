// A port's receive ring: its bytes, serial settings and event state.
#pragma once
#include "kernel.h"

struct ReceiveRing {
    KSPIN_LOCK Lock;
};

_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN RingInitialize(ReceiveRing* ring);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN RingFree(ReceiveRing* ring);
