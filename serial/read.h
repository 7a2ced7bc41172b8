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
