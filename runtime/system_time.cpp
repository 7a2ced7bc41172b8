// The system time for every component that measures time: one out-of-line read.
#include "runtime.h"

LONGLONG RtQuerySystemTime()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

LONGLONG RtQueryInterruptTime() { return (LONGLONG)KeQueryInterruptTime(); }
