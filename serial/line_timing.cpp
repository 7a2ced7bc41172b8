// Line timing of a pair port: its transmitter. Held writes wait in a cancel-safe queue under the
// transmitter's Lock; one thread per port (started by the first timed open) takes the oldest as
// the write on the line and sends it at the line rate: at each wake-up it hands the partner the
// bytes whose last bit has gone by then, and sleeps until the next byte is due (no more often than
// once a millisecond: the bytes of a faster line arrive a millisecond's worth at a time) or the
// write's total time-out runs out. A character takes (start bit + data bits + parity bit + stop
// bits) / baud rate, 1.5 stop bits counting as one and a half; the settings are the writer's, read
// when the write goes on the line, and the partner's own baud rate is not compared with them.
//
// Time: the interrupt time, precise where the kernel has KeQueryInterruptTimePrecise. The thread
// sleeps on a high-resolution executive timer where the kernel has one (Windows 8.1 and later),
// which is not bound to the clock tick; elsewhere on a wait's time-out, which ends on a tick, with
// the clock asked for a 1 ms tick (ExSetTimerResolution) while a write is on the line. Both the
// 8.1 routines are looked up at run time, so the image still loads on older kernels.
#include "serial/line_timing.h"

#include "device.h"
#include "driver/handlers.h"
#include "routing/write_routing.h"
#include "runtime.h"
#include "security/registry_utils.h"
#include "serial/pending_queue.h"

namespace {

// Thread access asked of the handle: all that a thread object had before Vista.
constexpr ACCESS_MASK kThreadAccess = 0x1F03FF;
constexpr ULONG kLastHubPort = 8;
constexpr LONGLONG kUnitsPerSecond = 10000000;
constexpr LONGLONG kUnitsPerMillisecond = 10000;
// The shortest sleep between two deliveries of a write's bytes.
constexpr LONGLONG kShortestSleep = kUnitsPerMillisecond;
// The clock rate asked for on kernels without high-resolution timers.
constexpr ULONG kFallbackResolution = 10000;
// A ring stores a block of 16 bytes or more in two halves a millisecond apart unless NoPacing is
// set; the line hands its bytes over in smaller pieces, which a real line's receiver sees one by
// one anyway.
constexpr ULONG kLargestPiece = 15;
constexpr ULONG kTimerHighResolution = 0x4;  // EX_TIMER_HIGH_RESOLUTION

// The Windows 8.1 routines, looked up by name; the layouts are the platform's.
typedef VOID NTAPI TimerCallback(PVOID timer, PVOID context);
typedef PVOID(NTAPI* AllocateTimerRoutine)(TimerCallback* callback, PVOID context, ULONG attributes);
struct TimerSetParameters {
    ULONG Version;
    ULONG Reserved;
    LONGLONG NoWakeTolerance;
};
typedef BOOLEAN(NTAPI* SetTimerRoutine)(PVOID timer, LONGLONG dueTime, LONGLONG period,
                                        TimerSetParameters* parameters);
typedef BOOLEAN(NTAPI* DeleteTimerRoutine)(PVOID timer, BOOLEAN cancel, BOOLEAN wait, PVOID parameters);
typedef ULONGLONG(NTAPI* InterruptTimeRoutine)(PULONGLONG qpcTimeStamp);

// Transmitters holding the driver's request for a finer clock.
volatile LONG g_resolutionHolders;

// The progress of the write on the line; only the transmit thread touches it.
struct LineWrite {
    PIRP Irp;
    const UCHAR* Bytes;
    ULONG Length;
    ULONG Sent;
    LONGLONG Start;        // interrupt time its first start bit began
    LONGLONG Deadline;     // interrupt time its total time-out runs out; 0 for none
    ULONGLONG CharUnits;   // half-bit periods of one character × 10^7 ...
    ULONGLONG RateUnits;   // ... over 2 × baud: one character's time in 100 ns units
};

PortDeviceData* PortOf(PDEVICE_OBJECT device) { return (PortDeviceData*)device->DeviceExtension; }
LineTransmitter* TransmitterOf(PIO_CSQ csq) { return CONTAINING_RECORD(csq, LineTransmitter, Csq); }
ULONG WriteLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length; }

VOID NTAPI TimerExpired(PVOID, PVOID context)
{
    KeSetEvent(&((PortDeviceData*)context)->Transmit.WakeEvent, IO_NO_INCREMENT, FALSE);
}

// Looked up by each transmitter as it starts, before its thread runs.
VCB_PAGED void LookUpTimers(LineTransmitter* transmitter)
{
    PAGED_CODE();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"ExAllocateTimer");
    PVOID allocate = MmGetSystemRoutineAddress(&name);
    RtlInitUnicodeString(&name, L"ExSetTimer");
    PVOID set = MmGetSystemRoutineAddress(&name);
    RtlInitUnicodeString(&name, L"ExDeleteTimer");
    PVOID remove = MmGetSystemRoutineAddress(&name);
    RtlInitUnicodeString(&name, L"KeQueryInterruptTimePrecise");
    transmitter->PreciseTime = MmGetSystemRoutineAddress(&name);
    if (allocate != nullptr && set != nullptr && remove != nullptr && transmitter->Timer == nullptr) {
        transmitter->SetTimer = set;
        transmitter->DeleteTimer = remove;
        // Without pool the thread sleeps on time-outs instead.
        transmitter->Timer = ((AllocateTimerRoutine)allocate)(TimerExpired, CONTAINING_RECORD(transmitter, PortDeviceData, Transmit), kTimerHighResolution);
    }
}

LONGLONG Now(const LineTransmitter* transmitter)
{
    if (transmitter->PreciseTime != nullptr) {
        return (LONGLONG)((InterruptTimeRoutine)transmitter->PreciseTime)(nullptr);
    }
    return RtQueryInterruptTime();
}

// ---- Cancel-safe queue callbacks ---------------------------------------------------------------

// A held write's bytes count in the output queue from its insertion until they have left or the
// write ends without them; taking it out of the queue onto the line leaves the count alone, so
// the queue never looks empty in between.
VOID NTAPI HeldInsert(PIO_CSQ csq, PIRP irp)
{
    LineTransmitter* transmitter = TransmitterOf(csq);
    InsertTailList(&transmitter->HeldList, &irp->Tail.Overlay.ListEntry);
    transmitter->OutQueue += WriteLength(irp);
}

VOID NTAPI HeldRemove(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }

PIRP NTAPI HeldPeekNext(PIO_CSQ csq, PIRP irp, PVOID peekContext)
{
    PLIST_ENTRY head = &TransmitterOf(csq)->HeldList;
    for (PLIST_ENTRY entry = irp == nullptr ? head->Flink : irp->Tail.Overlay.ListEntry.Flink; entry != head;
         entry = entry->Flink) {
        PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (peekContext == nullptr || IoGetCurrentIrpStackLocation(candidate)->FileObject == peekContext) {
            return candidate;
        }
    }
    return nullptr;
}

VOID NTAPI HeldAcquireLock(PIO_CSQ csq, PKIRQL irql) { KeAcquireSpinLock(&TransmitterOf(csq)->Lock, irql); }
VOID NTAPI HeldReleaseLock(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&TransmitterOf(csq)->Lock, irql); }

void CompleteWrite(PIRP irp, NTSTATUS status, ULONG_PTR sent)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = sent;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// A queued write cancelled or flushed before it reached the line.
void CancelQueuedWrite(LineTransmitter* transmitter, PIRP irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&transmitter->Lock, &irql);
    transmitter->OutQueue -= WriteLength(irp);
    KeReleaseSpinLock(&transmitter->Lock, irql);
    CompleteWrite(irp, STATUS_CANCELLED, 0);
}

VOID NTAPI HeldCompleteCanceled(PIO_CSQ csq, PIRP irp) { CancelQueuedWrite(TransmitterOf(csq), irp); }

// ---- The write on the line ---------------------------------------------------------------------

// When the first `count` characters of the write have left.
LONGLONG EndOf(const LineWrite& write, ULONG count)
{
    return write.Start + (LONGLONG)((ULONGLONG)count * write.CharUnits / write.RateUnits);
}

// How many characters have left by `now`.
ULONG SentBy(const LineWrite& write, LONGLONG now)
{
    if (now >= EndOf(write, write.Length)) {
        return write.Length;
    }
    if (now <= write.Start) {
        return 0;
    }
    // Below the write's own duration, so the product stays far inside 64 bits.
    return (ULONG)((ULONGLONG)(now - write.Start) * write.RateUnits / write.CharUnits);
}

// Half-bit periods of one character at the port's line control.
ULONG HalfBitsOf(const SERIAL_LINE_CONTROL& line)
{
    ULONG halfBits = 2 * (1 + line.WordLength + (line.Parity != NO_PARITY ? 1 : 0));
    switch (line.StopBits) {
    case STOP_BITS_1_5:
        return halfBits + 3;
    case STOP_BITS_2:
        return halfBits + 4;
    default:
        return halfBits + 2;
    }
}

// The cancel routine of the write on the line: it stays the thread's to complete; the routine
// only wakes the thread. The wake-up is set before the cancel spin lock is released, since once
// it is released the thread may complete the write and the port may go.
VOID NTAPI WakeOnCancel(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    KeSetEvent(&PortOf(deviceObject)->Transmit.WakeEvent, IO_NO_INCREMENT, FALSE);
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

// Takes the oldest held write onto the line, with the writer's settings as they are now.
bool TakeNextWrite(PortDeviceData* port, LineWrite* write, LONGLONG lineFree)
{
    LineTransmitter* transmitter = &port->Transmit;
    // The take is announced before the write leaves the queue: a flush in between aims its abort
    // at whatever the thread ends up holding, which then cannot slip past it.
    KIRQL irql;
    KeAcquireSpinLock(&transmitter->Lock, &irql);
    transmitter->Taking = TRUE;
    KeReleaseSpinLock(&transmitter->Lock, irql);
    PIRP irp = IoCsqRemoveNextIrp(&transmitter->Csq, nullptr);
    if (irp == nullptr) {
        KeAcquireSpinLock(&transmitter->Lock, &irql);
        transmitter->Taking = FALSE;
        transmitter->AbortCurrent = FALSE;
        KeReleaseSpinLock(&transmitter->Lock, irql);
        return false;
    }
    KeAcquireSpinLock(&port->QueueLock, &irql);
    ULONG baudRate = port->Lines.BaudRate;
    SERIAL_LINE_CONTROL line = port->Lines.LineControl;
    ULONG multiplier = port->Ring.Timeouts.WriteTotalTimeoutMultiplier;
    ULONG constant = port->Ring.Timeouts.WriteTotalTimeoutConstant;
    KeReleaseSpinLock(&port->QueueLock, irql);

    // A clock read on the tick is up to a tick behind: the line starts at the next one, so that no
    // byte is ever delivered before its time.
    LONGLONG now = Now(transmitter) + transmitter->Granularity;
    write->Irp = irp;
    write->Bytes = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
    write->Length = WriteLength(irp);
    write->Sent = 0;
    write->Start = lineFree > now ? lineFree : now;
    write->CharUnits = (ULONGLONG)HalfBitsOf(line) * kUnitsPerSecond;
    write->RateUnits = 2 * (ULONGLONG)(baudRate != 0 ? baudRate : 9600);
    // The total time-out runs from the moment the write goes on the line, as a serial port's does.
    ULONGLONG total = (ULONGLONG)multiplier * write->Length + constant;
    write->Deadline = total == 0 ? 0 : now + (LONGLONG)(total * kUnitsPerMillisecond);

    KeAcquireSpinLock(&transmitter->Lock, &irql);
    WritePointerNoFence((PVOID volatile*)&transmitter->Current, irp);
    transmitter->Taking = FALSE;
    KeReleaseSpinLock(&transmitter->Lock, irql);

    IoSetCancelRoutine(irp, WakeOnCancel);
    // Cancelled before the routine was in place: nobody will call it, and the next check sees
    // the Cancel flag.
    if (ReadBooleanNoFence(&irp->Cancel)) {
        IoSetCancelRoutine(irp, nullptr);
    }
    return true;
}

// Hands the partner the bytes that have left since the last delivery, in pieces.
VCB_PAGED void Deliver(PortDeviceData* port, LineWrite* write, ULONG upTo)
{
    PAGED_CODE();
    ULONG from = write->Sent;
    while (write->Sent < upTo) {
        ULONG piece = upTo - write->Sent;
        if (piece > kLargestPiece) {
            piece = kLargestPiece;
        }
        RouteWrittenBytes(write->Bytes + write->Sent, piece, port);
        write->Sent += piece;
    }
    LineSettingsNoteTransmitted(port, upTo - from);
}

// The write leaves the line: its cancel routine taken back (or waited for, if it is running) and
// its unsent bytes out of the output queue. True when no other write is held behind it.
bool ReleaseWrite(PortDeviceData* port, LineWrite* write)
{
    if (IoSetCancelRoutine(write->Irp, nullptr) == nullptr && ReadBooleanNoFence(&write->Irp->Cancel)) {
        // The routine was called: it holds the cancel spin lock for as long as it runs.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoReleaseCancelSpinLock(irql);
    }
    LineTransmitter* transmitter = &port->Transmit;
    KIRQL irql;
    KeAcquireSpinLock(&transmitter->Lock, &irql);
    transmitter->OutQueue -= write->Length - write->Sent;
    WritePointerNoFence((PVOID volatile*)&transmitter->Current, nullptr);
    transmitter->AbortCurrent = FALSE;
    bool idle = IsListEmpty(&transmitter->HeldList) != FALSE;
    KeReleaseSpinLock(&transmitter->Lock, irql);
    return idle;
}

void FinishWrite(PortDeviceData* port, LineWrite* write, NTSTATUS status)
{
    bool idle = ReleaseWrite(port, write);
    PIRP irp = write->Irp;
    write->Irp = nullptr;
    CompleteWrite(irp, status, write->Sent);
    // The last byte has left and nothing follows it: the transmitter is empty.
    if (idle && status != STATUS_CANCELLED) {
        RingNoteEvent(&port->Ring, SERIAL_EV_TXEMPTY);
        WakeWaitServiceThread(port);
    }
}

bool AbortRequested(PortDeviceData* port, PIRP irp)
{
    if (ReadBooleanNoFence(&irp->Cancel)) {
        return true;
    }
    KIRQL irql;
    KeAcquireSpinLock(&port->Transmit.Lock, &irql);
    bool abort = port->Transmit.AbortCurrent != FALSE;
    KeReleaseSpinLock(&port->Transmit.Lock, irql);
    return abort;
}

// Sends what is due of the write on the line and finishes it if it is done. Returns the interrupt
// time of the next wake-up, or 0 when the write is finished.
LONGLONG Advance(PortDeviceData* port, LineWrite* write, LONGLONG* lineFree)
{
    if (AbortRequested(port, write->Irp)) {
        *lineFree = EndOf(*write, write->Sent);
        FinishWrite(port, write, STATUS_CANCELLED);
        return 0;
    }
    LONGLONG now = Now(&port->Transmit);
    ULONG due = SentBy(*write, now);
    if (due > write->Sent) {
        ULONG before = write->Sent;
        Deliver(port, write, due);
        KIRQL irql;
        KeAcquireSpinLock(&port->Transmit.Lock, &irql);
        port->Transmit.OutQueue -= due - before;
        KeReleaseSpinLock(&port->Transmit.Lock, irql);
    }
    LONGLONG end = EndOf(*write, write->Length);
    if (write->Sent == write->Length) {
        *lineFree = end;
        FinishWrite(port, write, STATUS_SUCCESS);
        return 0;
    }
    if (write->Deadline != 0 && now >= write->Deadline) {
        // The line stays busy until the last byte that went out has left.
        *lineFree = EndOf(*write, write->Sent);
        FinishWrite(port, write, STATUS_TIMEOUT);
        return 0;
    }
    LONGLONG next = EndOf(*write, write->Sent + 1);
    if (next < now + kShortestSleep) {
        next = now + kShortestSleep;
    }
    if (next > end) {
        next = end;
    }
    if (write->Deadline != 0 && next > write->Deadline) {
        next = write->Deadline;
    }
    return next;
}

// Without a high-resolution timer, the clock is asked for a finer tick while any port has a write
// on the line. A holder that withdraws the last request looks again afterwards: a holder that came
// in meanwhile may have asked before the withdrawal reached the clock.
VCB_PAGED void HoldResolution(LineTransmitter* transmitter, bool hold)
{
    PAGED_CODE();
    if (transmitter->Timer != nullptr || (transmitter->HoldsResolution != FALSE) == hold) {
        return;
    }
    transmitter->HoldsResolution = hold;
    if (hold) {
        InterlockedIncrement(&g_resolutionHolders);
        ULONG resolution = ExSetTimerResolution(kFallbackResolution, TRUE);
        transmitter->Granularity = transmitter->PreciseTime != nullptr ? 0 : resolution;
        return;
    }
    if (InterlockedDecrement(&g_resolutionHolders) == 0) {
        ExSetTimerResolution(0, FALSE);
        if (ReadNoFence(&g_resolutionHolders) != 0) {
            ExSetTimerResolution(kFallbackResolution, TRUE);
        }
    }
}

// Sleeps until `until` (interrupt time; 0 for as long as nothing wakes the thread).
VCB_PAGED void SleepUntil(LineTransmitter* transmitter, LONGLONG until)
{
    PAGED_CODE();
    if (until == 0) {
        KeWaitForSingleObject(&transmitter->WakeEvent, Executive, KernelMode, FALSE, nullptr);
        return;
    }
    LONGLONG wait = until - Now(transmitter);
    if (wait <= 0) {
        return;
    }
    if (transmitter->Timer != nullptr) {
        TimerSetParameters parameters = {0, 0, 0};
        ((SetTimerRoutine)transmitter->SetTimer)(transmitter->Timer, -wait, 0, &parameters);
        KeWaitForSingleObject(&transmitter->WakeEvent, Executive, KernelMode, FALSE, nullptr);
        return;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -wait;
    KeWaitForSingleObject(&transmitter->WakeEvent, Executive, KernelMode, FALSE, &timeout);
}

_Function_class_(KSTART_ROUTINE)
VOID NTAPI TransmitThread(PVOID context)
{
    PortDeviceData* port = PortOf((PDEVICE_OBJECT)context);
    LineTransmitter* transmitter = &port->Transmit;
    KeSetPriorityThread(KeGetCurrentThread(), kServiceThreadPriority);
    LineWrite write = {};
    LONGLONG lineFree = 0;
    for (;;) {
        if (ReadBooleanNoFence(&transmitter->StopThread)) {
            if (write.Irp != nullptr) {
                FinishWrite(port, &write, STATUS_CANCELLED);
            }
            HoldResolution(transmitter, false);
            // Cleared as the last touch of the port record: a start that could not reference
            // this thread's object waits for exactly that.
            WriteBooleanNoFence(&transmitter->StopThread, FALSE);
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
        if (write.Irp == nullptr) {
            // The finer clock is asked for before the write's start is read from it.
            HoldResolution(transmitter, LineTimingOutQueue(port) != 0);
            if (!TakeNextWrite(port, &write, lineFree)) {
                HoldResolution(transmitter, false);
                SleepUntil(transmitter, 0);
                continue;
            }
        }
        LONGLONG next = Advance(port, &write, &lineFree);
        if (next != 0) {
            SleepUntil(transmitter, next);
        }
    }
}

void EndUnreferencedThread(LineTransmitter* transmitter)
{
    WriteBooleanNoFence(&transmitter->StopThread, TRUE);
    KeSetEvent(&transmitter->WakeEvent, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER pause;
    pause.QuadPart = -kUnitsPerMillisecond;
    while (ReadBooleanNoFence(&transmitter->StopThread)) {
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

VCB_PAGED NTSTATUS StartTransmitter(PortDeviceData* port)
{
    PAGED_CODE();
    LineTransmitter* transmitter = &port->Transmit;
    LookUpTimers(transmitter);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    NTSTATUS status =
        PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, TransmitThread, port->Header.Self);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID thread;
    NTSTATUS referenced = ObReferenceObjectByHandle(handle, kThreadAccess, nullptr, KernelMode, &thread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(referenced)) {
        EndUnreferencedThread(transmitter);
        return referenced;
    }
    transmitter->Thread = (PKTHREAD)thread;
    return STATUS_SUCCESS;
}

}  // namespace

_Use_decl_annotations_ void LineTimingInitialize(PortDeviceData* port)
{
    LineTransmitter* transmitter = &port->Transmit;
    transmitter->Timed = FALSE;
    transmitter->StopThread = FALSE;
    transmitter->AbortCurrent = FALSE;
    transmitter->Taking = FALSE;
    transmitter->HoldsResolution = FALSE;
    transmitter->Granularity = 0;
    transmitter->Thread = nullptr;
    transmitter->Timer = nullptr;
    transmitter->SetTimer = nullptr;
    transmitter->DeleteTimer = nullptr;
    transmitter->PreciseTime = nullptr;
    transmitter->Current = nullptr;
    transmitter->OutQueue = 0;
    KeInitializeEvent(&transmitter->WakeEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&transmitter->StartLock, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&transmitter->Lock);
    InitializeListHead(&transmitter->HeldList);
    IoCsqInitialize(&transmitter->Csq, HeldInsert, HeldRemove, HeldPeekNext, HeldAcquireLock, HeldReleaseLock,
                    HeldCompleteCanceled);
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS LineTimingOpen(PortDeviceData* port)
{
    PAGED_CODE();
    LineTransmitter* transmitter = &port->Transmit;
    // Only a pair has a line of its own; the hub's ports and the real port move bytes at once.
    BOOLEAN timed = ReadBooleanNoFence(&port->Lines.Emulated) && port->PortNumber > kLastHubPort &&
                    RegServiceParameterOn(&DriverRegistryPath, L"BaudTiming");
    NTSTATUS status = STATUS_SUCCESS;
    if (timed) {
        KeWaitForSingleObject(&transmitter->StartLock, Executive, KernelMode, FALSE, nullptr);
        if (transmitter->Thread == nullptr) {
            status = StartTransmitter(port);
        }
        KeSetEvent(&transmitter->StartLock, IO_NO_INCREMENT, FALSE);
    }
    WriteBooleanNoFence(&transmitter->Timed, NT_SUCCESS(status) ? timed : FALSE);
    return status;
}

_Use_decl_annotations_ BOOLEAN LineTimingHoldsWrites(PortDeviceData* port)
{
    return ReadBooleanNoFence(&port->Transmit.Timed);
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS LineTimingQueueWrite(PortDeviceData* port, PIRP irp)
{
    PAGED_CODE();
    if (WriteLength(irp) == 0) {
        // Nothing to send: done at once, as a serial port does, and the line is as it was.
        return CompleteRequest(irp, STATUS_SUCCESS);
    }
    irp->IoStatus.Status = STATUS_PENDING;
    irp->IoStatus.Information = 0;
    IoCsqInsertIrp(&port->Transmit.Csq, irp, nullptr);
    KeSetEvent(&port->Transmit.WakeEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

_Use_decl_annotations_ ULONG LineTimingOutQueue(PortDeviceData* port)
{
    KIRQL irql;
    KeAcquireSpinLock(&port->Transmit.Lock, &irql);
    ULONG count = port->Transmit.OutQueue;
    KeReleaseSpinLock(&port->Transmit.Lock, irql);
    return count;
}

_Use_decl_annotations_ void LineTimingFlush(PortDeviceData* port)
{
    LineTransmitter* transmitter = &port->Transmit;
    KIRQL irql;
    KeAcquireSpinLock(&transmitter->Lock, &irql);
    if (transmitter->Current != nullptr || transmitter->Taking) {
        transmitter->AbortCurrent = TRUE;
    }
    KeReleaseSpinLock(&transmitter->Lock, irql);
    // The thread takes the next write only after it finished the current one, so the writes
    // queued now are all cancelled here, and the one on the line sees the abort when it wakes.
    for (PIRP irp; (irp = IoCsqRemoveNextIrp(&transmitter->Csq, nullptr)) != nullptr;) {
        CancelQueuedWrite(transmitter, irp);
    }
    KeSetEvent(&transmitter->WakeEvent, IO_NO_INCREMENT, FALSE);
}

_Use_decl_annotations_ VCB_PAGED void LineTimingStop(PortDeviceData* port)
{
    PAGED_CODE();
    LineTransmitter* transmitter = &port->Transmit;
    LineTimingFlush(port);
    if (transmitter->Thread != nullptr) {
        WriteBooleanNoFence(&transmitter->StopThread, TRUE);
        KeSetEvent(&transmitter->WakeEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(transmitter->Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(transmitter->Thread);
        transmitter->Thread = nullptr;
    }
    if (transmitter->Timer != nullptr) {
        // Cancelled, and a callback in progress waited for: it names the port.
        ((DeleteTimerRoutine)transmitter->DeleteTimer)(transmitter->Timer, TRUE, TRUE, nullptr);
        transmitter->Timer = nullptr;
    }
}
