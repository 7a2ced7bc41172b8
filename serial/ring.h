// A port's receive ring: its bytes, serial settings and event state, with its own spin lock.
#pragma once
#include "kernel.h"

// Capacity of every ring at creation and after every open.
constexpr ULONG kRingDefaultSize = 4096;
// Event bit raised by the wait-mask machinery when the mask changes under a pending wait.
constexpr ULONG MaskChangedMarker = 0x2000;

struct ReceiveRing {
    PUCHAR Buffer;           // non-paged, kPoolTag; null without storage
    ULONG WriteIndex;        // 0..Size; Size wraps to 0 before the next store
    ULONG ReadIndex;         // 0..Size; Size wraps to 0 before the next load
    ULONG Count;
    ULONG Size;
    KSPIN_LOCK Lock;         // guards every field; always the innermost lock
    KIRQL SavedIrql;         // written and read only by the holder of Lock
    ULONG WaitMask;          // SERIAL_EV_*
    ULONG EventBits;         // SERIAL_EV_* and MaskChangedMarker not yet reported
    BOOLEAN WaitPending;
    SERIAL_CHARS Chars;      // replaced under the port's QueueLock, not Lock
    SERIAL_HANDFLOW HandFlow;  // likewise
    SERIAL_TIMEOUTS Timeouts;  // likewise
    BOOLEAN Overrun;
    BOOLEAN Enabled;         // read without Lock by producers
    BOOLEAN Backlog;
    LONGLONG LastReadTime;
    ULONG ReceivedCount;     // bytes stored since the port's statistics were last cleared
    // Called with no lock held once the first half of a paced block is stored, before the pause:
    // whoever waits on the ring's bytes sees that half. Null for a ring that nobody waits on.
    void (*HalfStored)(ReceiveRing* ring);
};

// Driver-wide: when set, blocks are stored whole and the input count is reported exactly. Plain
// byte read without a lock; a change takes effect at the next call.
extern BOOLEAN NoPacing;

// Every operation takes Lock itself, so none may be called with Lock (or QueueLock) held.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN RingInitialize(ReceiveRing* ring);
// Who a resize's new storage is charged to: the driver, or the process of the thread asking for
// it (a request's caller, in the request's own thread), whose pool quota then bounds it.
enum RingCharge { RingChargeDriver, RingChargeCaller };
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN RingResize(ReceiveRing* ring, ULONG newSize,
                                                       RingCharge charge = RingChargeDriver);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN RingFree(ReceiveRing* ring);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN RingEnable(ReceiveRing* ring, BOOLEAN value);
_IRQL_requires_max_(DISPATCH_LEVEL) void RingPurge(ReceiveRing* ring);
// Stores a producer's block: below DISPATCH_LEVEL a block of 16 bytes or more goes in as two
// halves 1 ms apart (unless NoPacing). Returns the bytes stored.
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG RingWrite(ReceiveRing* ring, const UCHAR* source, ULONG length);
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG RingWriteBlock(ReceiveRing* ring, const UCHAR* source, ULONG length);
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG RingRead(ReceiveRing* ring, PUCHAR destination, ULONG maximum);
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG RingAvailableCount(ReceiveRing* ring);
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG RingGetSize(ReceiveRing* ring);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN RingSetWaitPending(ReceiveRing* ring, BOOLEAN value);
// Records that the `events` (SERIAL_EV_*) of one occurrence happened, those the port waits for.
_IRQL_requires_max_(DISPATCH_LEVEL) void RingNoteEvent(ReceiveRing* ring, ULONG events);

// For the other components that touch the ring's fields directly (wait mask, event bits,
// overrun, count): always under Lock, taken and released through these.
_IRQL_requires_max_(DISPATCH_LEVEL) inline void RingAcquireLock(ReceiveRing* ring)
{
    KIRQL irql;
    KeAcquireSpinLock(&ring->Lock, &irql);
    ring->SavedIrql = irql;
}

_IRQL_requires_(DISPATCH_LEVEL) inline void RingReleaseLock(ReceiveRing* ring)
{
    KeReleaseSpinLock(&ring->Lock, ring->SavedIrql);
}
