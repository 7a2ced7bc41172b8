// A port's reads, and PortReadWrite, which serves both directions (the write half is routing's).
// A read is tried once in the requesting thread and, if it must wait, parked in the ReadQueue,
// whose service thread tries it again whenever it may complete, and every millisecond at the
// latest. Each try works the case out again from the port's current time-outs, so a change
// applies from the next try on.
//
// The time-out clocks belong to the read the service thread holds (CurrentReadIrp) and only that
// thread changes them, under QueueLock so that they can be looked at from elsewhere; a read tried
// anywhere else runs on fresh clocks, which cannot expire. So a
// newly issued read neither stops the held read's time-outs nor, since it waits behind the held
// one (QueuePendingRequest), takes bytes ahead of it.
#include "serial/read.h"

#include "driver/handlers.h"
#include "runtime.h"
#include "routing/write_routing.h"

namespace {

constexpr ULONGLONG kUnitsPerMillisecond = 10000;
constexpr ULONGLONG kNever = ~0ULL;
// The time-out value that makes a read return without waiting for its interval.
constexpr ULONG kNoWait = 0xFFFFFFFF;

struct ReadClocks {
    LONGLONG ReadStartTime;      // 0: the total time-out cannot expire
    LONGLONG IntervalStartTime;  // 0: the interval time-out cannot expire
    ULONG LastSeenCount;
    BOOLEAN IntervalArmed;
};

// Milliseconds times 10000, saturating: a product that does not fit means "never" rather than
// wrapping to a short time-out.
ULONGLONG ToUnits(ULONGLONG milliseconds)
{
    return milliseconds > kNever / kUnitsPerMillisecond ? kNever : milliseconds * kUnitsPerMillisecond;
}

// RM × L + RC in milliseconds. Both factors are below 2^32, so the product fits in 64 bits; the
// sum may not.
ULONGLONG TotalUnits(ULONG multiplier, ULONG length, ULONG constant)
{
    ULONGLONG product = (ULONGLONG)multiplier * length;
    ULONGLONG sum = product + constant;
    return sum < product ? kNever : ToUnits(sum);
}

bool Expired(LONGLONG start, ULONGLONG limit, LONGLONG now)
{
    // A clock set back before the start has not run at all.
    return start != 0 && now >= start && (ULONGLONG)(now - start) >= limit;
}

// The first moment at which Expired(start, limit, now) holds; kReadNeverDue if none comes.
LONGLONG DueOf(LONGLONG start, ULONGLONG limit)
{
    if (start <= 0 || limit >= (ULONGLONG)(kReadNeverDue - start)) {
        return kReadNeverDue;
    }
    return start + (LONGLONG)limit;
}

// Which clocks can end a read that a try left pending: the total's in the cases that have one,
// the interval's once it has started.
bool TotalApplies(ReadTimeoutCase readCase)
{
    return readCase == ReadCaseAnyBytes || readCase == ReadCaseOneByte || readCase == ReadCaseTotal ||
           readCase == ReadCaseIntervalAndTotal;
}
bool IntervalApplies(ReadTimeoutCase readCase, BOOLEAN armed)
{
    return (readCase == ReadCaseInterval || readCase == ReadCaseIntervalAndTotal) && armed;
}

LONGLONG Now() { return RtQuerySystemTime(); }

NTSTATUS CompleteRead(PortDeviceData* port, PIRP irp, ULONG limit, NTSTATUS status)
{
    ULONG moved = RingRead(&port->Ring, (PUCHAR)irp->AssociatedIrp.SystemBuffer, limit);
    return CompleteRequest(irp, status, moved);
}

ReadClocks LoadClocks(PortDeviceData* port)
{
    return {port->ReadStartTime, port->IntervalStartTime, port->LastSeenCount, port->IntervalArmed};
}

void StoreClocks(PortDeviceData* port, const ReadClocks& clocks)
{
    port->ReadStartTime = clocks.ReadStartTime;
    port->IntervalStartTime = clocks.IntervalStartTime;
    port->LastSeenCount = clocks.LastSeenCount;
    port->IntervalArmed = clocks.IntervalArmed;
}

}  // namespace

ReadTimeoutPlan ClassifyReadTimeouts(const SERIAL_TIMEOUTS& timeouts, ULONG length)
{
    ULONG ri = timeouts.ReadIntervalTimeout;
    ULONG rm = timeouts.ReadTotalTimeoutMultiplier;
    ULONG rc = timeouts.ReadTotalTimeoutConstant;
    bool noTotal = rm == 0 && rc == 0;
    ReadTimeoutPlan plan = {ReadCaseNeverTimesOut, 0, 0, length};
    if (ri == kNoWait) {
        if (noTotal || rc == kNoWait) {
            plan.Case = ReadCaseReturnAtOnce;
        } else if (rm == kNoWait) {
            plan.Case = ReadCaseOneByte;
            plan.Total = ToUnits(rc);
            plan.ByteLimit = length < 1 ? length : 1;
        } else {
            plan.Case = ReadCaseAnyBytes;
            plan.Total = TotalUnits(rm, length, rc);
        }
    } else if (ri == 0) {
        if (!noTotal) {
            plan.Case = ReadCaseTotal;
            plan.Total = TotalUnits(rm, length, rc);
        }
    } else {
        plan.Interval = ToUnits(ri);
        if (noTotal) {
            plan.Case = ReadCaseInterval;
        } else {
            plan.Case = ReadCaseIntervalAndTotal;
            plan.Total = TotalUnits(rm, length, rc);
        }
    }
    return plan;
}

// Resident: takes the port's QueueLock and the ring's lock.
_Use_decl_annotations_ NTSTATUS TryCompleteRead(PortDeviceData* port, PIRP irp)
{
    bool isCurrent = irp == (PIRP)ReadPointerNoFence((PVOID volatile*)&port->CurrentReadIrp);
    ReadClocks clocks = {0, 0, 0, FALSE};

    SERIAL_TIMEOUTS timeouts;
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    timeouts = port->Ring.Timeouts;
    if (isCurrent) {
        clocks = LoadClocks(port);
    }
    KeReleaseSpinLock(&port->QueueLock, irql);

    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ReadTimeoutPlan plan = ClassifyReadTimeouts(timeouts, length);

    // The plain count, not the paced report an input-count query gets.
    RingAcquireLock(&port->Ring);
    ULONG heldBytes = port->Ring.Count;
    RingReleaseLock(&port->Ring);

    switch (plan.Case) {
    case ReadCaseReturnAtOnce:
        return CompleteRead(port, irp, plan.ByteLimit, STATUS_SUCCESS);
    case ReadCaseAnyBytes:
    case ReadCaseOneByte:
        if (heldBytes > 0) {
            return CompleteRead(port, irp, plan.ByteLimit, STATUS_SUCCESS);
        }
        break;
    case ReadCaseTotal:
    case ReadCaseNeverTimesOut:
        if (heldBytes >= length) {
            return CompleteRead(port, irp, plan.ByteLimit, STATUS_SUCCESS);
        }
        break;
    case ReadCaseInterval:
    case ReadCaseIntervalAndTotal:
        if (heldBytes >= length) {
            return CompleteRead(port, irp, plan.ByteLimit, STATUS_SUCCESS);
        }
        // The interval clock measures the time since the count last changed, and runs only once
        // a change has been seen: a line that stays silent never times out on it.
        if (heldBytes != clocks.LastSeenCount) {
            clocks.IntervalArmed = TRUE;
            clocks.LastSeenCount = heldBytes;
            clocks.IntervalStartTime = Now();
        }
        break;
    }
    bool totalApplies = TotalApplies(plan.Case);
    bool intervalApplies = IntervalApplies(plan.Case, clocks.IntervalArmed);

    LONGLONG now = Now();
    bool expired = (totalApplies && Expired(clocks.ReadStartTime, plan.Total, now)) ||
                   (intervalApplies && Expired(clocks.IntervalStartTime, plan.Interval, now));
    if (isCurrent) {
        KeAcquireSpinLock(&port->QueueLock, &irql);
        StoreClocks(port, clocks);
        KeReleaseSpinLock(&port->QueueLock, irql);
    }
    if (expired) {
        // Not an error: the read returns what it has, possibly nothing.
        return CompleteRead(port, irp, plan.ByteLimit, STATUS_TIMEOUT);
    }
    return STATUS_PENDING;
}

// Resident: called by the read service thread between tries, and takes the port's QueueLock.
_Use_decl_annotations_ LONGLONG ReadTimeoutDue(PortDeviceData* port, PIRP irp)
{
    if (irp != (PIRP)ReadPointerNoFence((PVOID volatile*)&port->CurrentReadIrp)) {
        return kReadNeverDue;  // fresh clocks cannot expire
    }
    SERIAL_TIMEOUTS timeouts;
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    ReadClocks clocks = LoadClocks(port);
    timeouts = port->Ring.Timeouts;
    KeReleaseSpinLock(&port->QueueLock, irql);
    ReadTimeoutPlan plan = ClassifyReadTimeouts(timeouts, IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length);
    LONGLONG due = kReadNeverDue;
    if (TotalApplies(plan.Case)) {
        due = DueOf(clocks.ReadStartTime, plan.Total);
    }
    if (IntervalApplies(plan.Case, clocks.IntervalArmed)) {
        LONGLONG intervalDue = DueOf(clocks.IntervalStartTime, plan.Interval);
        due = intervalDue < due ? intervalDue : due;
    }
    return due;
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS PortReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto port = (PortDeviceData*)deviceObject->DeviceExtension;
    if (ReadPnpState(&port->Header) == PnpDeleted) {
        return CompleteNoSuchDevice(irp);
    }
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE) {
        return PortWrite(port, irp);
    }
    return QueuePendingRequest(port, irp, TryCompleteRead, &port->ReadQueue.Csq, &port->ReadQueue.WorkSemaphore,
                               &port->ReadQueue.PendingList);
}
