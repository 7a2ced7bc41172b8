// Request gates. The bus gate holds a base count of one for the device itself, so "only the base
// count left" (1) means idle and 0 means removable; the port gate's bias works the same way
// without a stop handshake; the tap gate only counts the requests in progress through the tap
// (its end waits for none of them). Every test is made on the value the interlocked operation
// returned, never on a second read.
#include "driver/gate.h"

void IoGateInitialize(IoGate* gate)
{
    KeInitializeSpinLock(&gate->Lock);
    gate->OutstandingCount = 1;
    KeInitializeEvent(&gate->RemoveEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&gate->StopEvent, SynchronizationEvent, TRUE);
}

// The event follows the count under the gate's lock, so its state always matches the count's
// last change: "set" means no request beyond the base count.
void IoGateAcquire(IoGate* gate)
{
    KIRQL irql;
    KeAcquireSpinLock(&gate->Lock, &irql);
    LONG count = InterlockedIncrement(&gate->OutstandingCount);
    if (count == 2) {
        KeClearEvent(&gate->StopEvent);
    }
    KeReleaseSpinLock(&gate->Lock, irql);
}

void IoGateRelease(IoGate* gate)
{
    KIRQL irql;
    KeAcquireSpinLock(&gate->Lock, &irql);
    LONG count = InterlockedDecrement(&gate->OutstandingCount);
    if (count == 1) {
        KeSetEvent(&gate->StopEvent, IO_NO_INCREMENT, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&gate->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&gate->Lock, irql);
}

// Stop handshake: the caller holds one count for the stop request itself. It gives it back,
// waits until only the base count is left, and takes it again.
void IoGateWaitForStop(IoGate* gate)
{
    IoGateRelease(gate);
    KeWaitForSingleObject(&gate->StopEvent, Executive, KernelMode, FALSE, nullptr);
    IoGateAcquire(gate);
}

// Remove handshake: the caller has already marked the device deleted, so newcomers are refused.
// It gives back its own count and the base count, then waits for the last request to leave.
void IoGateWaitForRemove(IoGate* gate)
{
    IoGateRelease(gate);
    IoGateRelease(gate);
    KeWaitForSingleObject(&gate->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

void TapGateInitialize(TapGate* gate) { gate->OutstandingCount = 0; }

void TapGateAcquire(TapGate* gate) { InterlockedIncrement(&gate->OutstandingCount); }

void TapGateRelease(TapGate* gate) { InterlockedDecrement(&gate->OutstandingCount); }

void PortGateInitialize(PortGate* gate)
{
    gate->ActiveCount = 1;
    KeInitializeEvent(&gate->Drained, NotificationEvent, FALSE);
}

// Counted in before the state is looked at: a destruction that marked the port deleted first is
// seen here, and one that marks it later waits for this request's leave. Both sides' interlocked
// operations order the mark against the count.
bool PortGateEnter(PortGate* gate, const CommonDeviceData* header)
{
    InterlockedIncrement(&gate->ActiveCount);
    if (ReadPnpState(header) == PnpDeleted) {
        PortGateLeave(gate);
        return false;
    }
    return true;
}

void PortGateLeave(PortGate* gate)
{
    if (InterlockedDecrement(&gate->ActiveCount) == 0) {
        KeSetEvent(&gate->Drained, IO_NO_INCREMENT, FALSE);
    }
}

// What runs inside a port is the driver's own code and ends on its own (a parked request is not
// counted: the destruction ends it through the queues), so the wait has no time-out.
void PortGateWaitForDestroy(PortGate* gate)
{
    if (InterlockedDecrement(&gate->ActiveCount) != 0) {
        KeWaitForSingleObject(&gate->Drained, Executive, KernelMode, FALSE, nullptr);
    }
}
