// A port's receive ring: its bytes, serial settings and event state.
#pragma once
#include "kernel.h"

struct ReceiveRing {
    KSPIN_LOCK Lock;
};
