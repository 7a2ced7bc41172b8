// The receive ring of a port: producers (other ports' writes, the tap's capture at up to
// DISPATCH_LEVEL) store bytes, reads take them out. The ring also paces delivery the way a slow
// line would: large blocks arrive in two halves, and an application polling its input count right
// after a read sees a trickle rather than the whole backlog.
//
// Lock guards the whole record and is the innermost lock; the IRQL to return to is kept in
// SavedIrql by the holder. Everything here is resident: producers run at DISPATCH_LEVEL.
#include "device.h"
#include "runtime.h"

BOOLEAN NoPacing;

namespace {

constexpr ULONG kPacingThreshold = 16;      // blocks this long are split in two
constexpr ULONG kPacedCountLimit = 15;      // most bytes reported while paced
constexpr LONGLONG kPacedReportWindow = 1000000;  // 100 ms after a read, in 100 ns units
constexpr LONGLONG kPacingPause = -10000;   // 1 ms, relative

LONGLONG Now() { return RtQuerySystemTime(); }

}  // namespace

BOOLEAN RingInitialize(ReceiveRing* ring)
{
    KeInitializeSpinLock(&ring->Lock);
    RingAcquireLock(ring);
    ring->Buffer = nullptr;
    ring->WriteIndex = 0;
    ring->ReadIndex = 0;
    ring->Count = 0;
    ring->Size = 0;
    RtlZeroMemory(&ring->Timeouts, sizeof(ring->Timeouts));
    ring->Chars.EofChar = 0;
    ring->Chars.ErrorChar = 0;
    ring->Chars.BreakChar = 0;
    ring->Chars.EventChar = 0;
    ring->Chars.XonChar = 0x11;
    ring->Chars.XoffChar = 0x13;
    ring->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    ring->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    ring->HandFlow.XonLimit = kRingDefaultSize / 2;
    ring->HandFlow.XoffLimit = kRingDefaultSize / 8;
    auto storage = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, kRingDefaultSize, kPoolTag);
    if (storage != nullptr) {
        ring->Buffer = storage;
        ring->Size = kRingDefaultSize;
    }
    ring->LastReadTime = Now();
    ring->HalfStored = nullptr;
    RingReleaseLock(ring);
    RingEnable(ring, FALSE);
    return storage != nullptr;
}

// The held bytes are discarded, not copied: every caller wants an empty ring.
BOOLEAN RingResize(ReceiveRing* ring, ULONG newSize, RingCharge charge)
{
    // A ring needs storage, and a zero-byte allocation is a fault of its own.
    if (newSize == 0) {
        return FALSE;
    }
    // Allocated before the lock so that a failure leaves the ring exactly as it was. A caller's
    // quota that is used up is a failure like no pool, never an exception.
    auto storage = charge == RingChargeCaller
                       ? (PUCHAR)ExAllocatePoolWithQuotaTag(
                             (POOL_TYPE)(NonPagedPoolNx | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), newSize, kPoolTag)
                       : (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, newSize, kPoolTag);
    if (storage == nullptr) {
        return FALSE;
    }
    RingAcquireLock(ring);
    if (ring->Buffer != nullptr) {
        ExFreePoolWithTag(ring->Buffer, kPoolTag);
    }
    ring->WriteIndex = 0;
    ring->ReadIndex = 0;
    ring->Count = 0;
    ring->Size = newSize;
    ring->Overrun = FALSE;
    ring->Backlog = FALSE;
    ring->Buffer = storage;
    ring->HandFlow.XoffLimit = (LONG)(newSize / 8);
    ring->HandFlow.XonLimit = (LONG)(newSize / 2);
    RingReleaseLock(ring);
    return TRUE;
}

BOOLEAN RingFree(ReceiveRing* ring)
{
    RingAcquireLock(ring);
    if (ring->Buffer == nullptr) {
        RingReleaseLock(ring);
        return FALSE;
    }
    ExFreePoolWithTag(ring->Buffer, kPoolTag);
    ring->Buffer = nullptr;
    ring->WriteIndex = 0;
    ring->ReadIndex = 0;
    ring->Count = 0;
    ring->Size = 0;
    ring->Overrun = FALSE;
    WriteBooleanNoFence(&ring->Enabled, FALSE);
    ring->Backlog = FALSE;
    ring->WaitMask = 0;
    ring->EventBits = 0;
    ring->WaitPending = FALSE;
    RingReleaseLock(ring);
    return TRUE;
}

// Enabling does not empty the ring: the open resizes it first.
BOOLEAN RingEnable(ReceiveRing* ring, BOOLEAN value)
{
    RingAcquireLock(ring);
    BOOLEAN old = ring->Enabled;
    ring->WaitMask = 0;
    ring->EventBits = 0;
    ring->WaitPending = FALSE;
    ring->Overrun = FALSE;
    ring->Backlog = FALSE;
    WriteBooleanNoFence(&ring->Enabled, value);
    RingReleaseLock(ring);
    return old;
}

void RingPurge(ReceiveRing* ring)
{
    RingAcquireLock(ring);
    ring->EventBits &= ~(ULONG)SERIAL_EV_RXCHAR;
    ring->Count = 0;
    ring->ReadIndex = 0;
    ring->WriteIndex = 0;
    ring->Overrun = FALSE;
    ring->Backlog = FALSE;
    RingReleaseLock(ring);
}

ULONG RingGetSize(ReceiveRing* ring)
{
    RingAcquireLock(ring);
    ULONG size = ring->Size;
    RingReleaseLock(ring);
    return size;
}

BOOLEAN RingSetWaitPending(ReceiveRing* ring, BOOLEAN value)
{
    RingAcquireLock(ring);
    BOOLEAN old = ring->WaitPending;
    ring->WaitPending = value;
    RingReleaseLock(ring);
    return old;
}

// The bits of one occurrence are raised together: no wait can see some of them without the rest.
void RingNoteEvent(ReceiveRing* ring, ULONG events)
{
    RingAcquireLock(ring);
    ring->EventBits |= ring->WaitMask & events;
    RingReleaseLock(ring);
}

namespace {

// The input rule, byte by byte: a stripped zero byte is skipped before it raises anything;
// event bits are raised before the full test, so the byte that finds the ring full still raises
// them; that byte and the rest of the block are lost. Only null stripping needs the walk itself.
ULONG StoreStripped(ReceiveRing* ring, const UCHAR* source, ULONG length, UCHAR eventChar)
{
    ULONG stored = 0;
    for (ULONG i = 0; i < length; i++) {
        UCHAR byte = source[i];
        if (byte == 0) {
            continue;
        }
        if (ring->WriteIndex == ring->Size) {
            ring->WriteIndex = 0;
        }
        if (ring->WaitMask & SERIAL_EV_RXCHAR) {
            ring->EventBits |= SERIAL_EV_RXCHAR;
        }
        if ((ring->WaitMask & SERIAL_EV_RXFLAG) && byte == eventChar) {
            ring->EventBits |= SERIAL_EV_RXFLAG;
        }
        if (ring->Count == ring->Size) {
            ring->Overrun = TRUE;
            break;
        }
        ring->Buffer[ring->WriteIndex] = byte;
        ring->Count++;
        ring->WriteIndex++;
        stored++;
    }
    return stored;
}

BOOLEAN Holds(const UCHAR* bytes, ULONG length, UCHAR wanted)
{
    for (ULONG i = 0; i < length; i++) {
        if (bytes[i] == wanted) {
            return TRUE;
        }
    }
    return FALSE;
}

// The same rule for a block without stripping, in at most two copies: the bytes the rule
// reaches are those that fit plus the one that finds the ring full, and the indexes end where
// the byte-by-byte walk would leave them (an index at Size wraps only when a byte reaches it).
ULONG StoreWhole(ReceiveRing* ring, const UCHAR* source, ULONG length, UCHAR eventChar)
{
    ULONG room = ring->Size - ring->Count;
    ULONG stored = length < room ? length : room;
    BOOLEAN overrun = length > room;
    ULONG reached = overrun ? stored + 1 : stored;
    if (ring->WaitMask & SERIAL_EV_RXCHAR) {
        ring->EventBits |= SERIAL_EV_RXCHAR;
    }
    if ((ring->WaitMask & SERIAL_EV_RXFLAG) && Holds(source, reached, eventChar)) {
        ring->EventBits |= SERIAL_EV_RXFLAG;
    }
    for (ULONG done = 0; done < stored;) {
        if (ring->WriteIndex == ring->Size) {
            ring->WriteIndex = 0;
        }
        ULONG chunk = ring->Size - ring->WriteIndex;
        if (chunk > stored - done) {
            chunk = stored - done;
        }
        RtlCopyMemory(ring->Buffer + ring->WriteIndex, source + done, chunk);
        ring->WriteIndex += chunk;
        done += chunk;
    }
    ring->Count += stored;
    if (overrun) {
        if (ring->WriteIndex == ring->Size) {
            ring->WriteIndex = 0;
        }
        ring->Overrun = TRUE;
    }
    return stored;
}

}  // namespace

ULONG RingWriteBlock(ReceiveRing* ring, const UCHAR* source, ULONG length)
{
    // Read without the lock: a producer racing with a close may still store this one block.
    if (!ReadBooleanNoFence(&ring->Enabled) || source == nullptr || length == 0) {
        return 0;
    }
    RingAcquireLock(ring);
    if (ring->Size == 0) {
        RingReleaseLock(ring);
        return 0;
    }
    // Both are replaced under QueueLock by the serial control requests; one aligned load each,
    // old or new value.
    ULONG flowReplace = ReadULongNoFence(&ring->HandFlow.FlowReplace);
    UCHAR eventChar = ReadUCharNoFence(&ring->Chars.EventChar);
    ULONG stored = (flowReplace & SERIAL_NULL_STRIPPING) ? StoreStripped(ring, source, length, eventChar)
                                                         : StoreWhole(ring, source, length, eventChar);
    ring->ReceivedCount += stored;
    RingReleaseLock(ring);
    return stored;
}

ULONG RingWrite(ReceiveRing* ring, const UCHAR* source, ULONG length)
{
    if (ReadBooleanNoFence(&NoPacing) || length < kPacingThreshold) {
        return RingWriteBlock(ring, source, length);
    }
    // One split only, halves as even as the length allows (17 goes in as 8 then 9). The pause
    // is taken even when nothing was stored; at DISPATCH_LEVEL there is none.
    ULONG first = length / 2;
    ULONG stored = RingWriteBlock(ring, source, first);
    if (stored > 0 && ring->HalfStored != nullptr) {
        ring->HalfStored(ring);
    }
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        LARGE_INTEGER pause;
        pause.QuadPart = kPacingPause;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    return stored + RingWriteBlock(ring, source == nullptr ? nullptr : source + first, length - first);
}

ULONG RingRead(ReceiveRing* ring, PUCHAR destination, ULONG maximum)
{
    if (destination == nullptr || maximum == 0) {
        return 0;
    }
    RingAcquireLock(ring);
    if (ring->Size == 0) {
        RingReleaseLock(ring);
        return 0;
    }
    // At most two copies; like the writer, an index at Size wraps only when a byte reaches it.
    ULONG wanted = maximum < ring->Count ? maximum : ring->Count;
    ULONG taken = 0;
    while (taken < wanted) {
        if (ring->ReadIndex == ring->Size) {
            ring->ReadIndex = 0;
        }
        ULONG chunk = ring->Size - ring->ReadIndex;
        if (chunk > wanted - taken) {
            chunk = wanted - taken;
        }
        RtlCopyMemory(destination + taken, ring->Buffer + ring->ReadIndex, chunk);
        ring->ReadIndex += chunk;
        taken += chunk;
    }
    ring->Count -= taken;
    ring->LastReadTime = Now();
    if (ring->Count > 0) {
        ring->EventBits |= SERIAL_EV_RXCHAR;
    }
    if (ring->Count < ring->Size / 16) {
        ring->Backlog = FALSE;
    }
    RingReleaseLock(ring);
    return taken;
}

// What IOCTL_SERIAL_GET_COMMSTATUS reports as waiting. Within 100 ms of a read the report is
// capped at 15 bytes until a quarter of the ring has filled (Backlog); from then on it is exact
// until a read leaves less than a sixteenth. Reads always take everything.
ULONG RingAvailableCount(ReceiveRing* ring)
{
    RingAcquireLock(ring);
    ULONG count = ring->Count;
    if (!ReadBooleanNoFence(&NoPacing) && Now() < ring->LastReadTime + kPacedReportWindow) {
        if (count >= ring->Size / 4) {
            ring->Backlog = TRUE;
        }
        if (!ring->Backlog && count > kPacedCountLimit) {
            count = kPacedCountLimit;
        }
    }
    RingReleaseLock(ring);
    return count;
}
