// Reads with serial time-outs: how a read is classified by the port's time-outs, and the try
// routine that decides, each time it runs, whether the read can complete and with what.
#pragma once
#include "device.h"

// The seven ways the three read time-outs combine (RI interval, RM multiplier, RC constant).
enum ReadTimeoutCase : ULONG {
    ReadCaseReturnAtOnce = 0,      // RI = MAXULONG, RM = RC = 0 or RC = MAXULONG
    ReadCaseAnyBytes = 1,          // RI = MAXULONG: whatever is there once a byte is, or the total
    ReadCaseOneByte = 2,           // RI = MAXULONG, RM = MAXULONG: one byte, or the total
    ReadCaseTotal = 3,             // RI = 0: all L bytes, or the total
    ReadCaseInterval = 4,          // RM = RC = 0: all L bytes, or a pause between bytes
    ReadCaseNeverTimesOut = 5,     // all 0: all L bytes
    ReadCaseIntervalAndTotal = 6,  // all L bytes, or a pause between bytes, or the total
};

struct ReadTimeoutPlan {
    ReadTimeoutCase Case;
    ULONGLONG Total;     // 100 ns units; meaningful in cases 1, 2, 3 and 6
    ULONGLONG Interval;  // 100 ns units; meaningful in cases 4 and 6
    ULONG ByteLimit;     // most bytes a completion returns
};

ReadTimeoutPlan ClassifyReadTimeouts(const SERIAL_TIMEOUTS& timeouts, ULONG length);

// The read's try routine (see PendingTryRoutine): completes the read with STATUS_SUCCESS when its
// bytes are there, with STATUS_TIMEOUT and what is held when a time-out has run out, or returns
// STATUS_PENDING and leaves it untouched.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TryCompleteRead(PortDeviceData* port, PIRP irp);

// The earliest system time (absolute, 100 ns) at which a time-out of the read the service thread
// holds can run out, as its clocks and the port's time-outs stand; kReadNeverDue when none can (no
// time-out applies, or only an interval clock that has not started). Only a change the thread is
// woken for (bytes arriving or leaving, time-outs set) can bring it forward.
constexpr LONGLONG kReadNeverDue = 0x7FFFFFFFFFFFFFFFLL;
_IRQL_requires_max_(DISPATCH_LEVEL) LONGLONG ReadTimeoutDue(PortDeviceData* port, PIRP irp);
