// Line timing: a pair port whose service's Parameters key holds BaudTiming = 1 at its open (with
// the line settings emulated) sends its writes as a UART on a cable does, at its own baud rate and
// line control. A write is held while its bytes go out, counts in the output queue, reaches the
// partner byte by byte at the line rate and completes when its last byte has left; the port's
// transmit-empty event follows the last byte. Without the setting writes move at memory speed.
#pragma once
#include "kernel.h"

struct PortDeviceData;

struct LineTransmitter {
    // Whether this port's writes take line time; set by each open, read without a lock.
    BOOLEAN Timed;
    BOOLEAN StopThread;     // asks the thread to end when it next wakes
    BOOLEAN AbortCurrent;   // a purge or cleanup ends the write on the line; Lock
    BOOLEAN Taking;         // the thread is taking the next write onto the line; Lock
    BOOLEAN HoldsResolution;  // the thread holds the driver's clock-rate request; thread only
    ULONG Granularity;      // how far behind the clock read may be (0: precise); thread only
    PKTHREAD Thread;        // referenced; null until the first timed open
    PVOID Timer;            // high-resolution executive timer; null on kernels without one
    // The kernel's ExSetTimer, ExDeleteTimer (with Timer) and KeQueryInterruptTimePrecise, found
    // by name at the thread's start: Windows 8.1 and later have them.
    PVOID SetTimer;
    PVOID DeleteTimer;
    PVOID PreciseTime;
    KEVENT WakeEvent;       // synchronization: a write queued, a purge, a cancel, the timer, stop
    KEVENT StartLock;       // synchronization, signalled when free: one open starts the thread
    KSPIN_LOCK Lock;        // HeldList, Current, AbortCurrent, OutQueue
    IO_CSQ Csq;
    LIST_ENTRY HeldList;    // writes waiting for the line, through Tail.Overlay.ListEntry
    PIRP Current;           // the write on the line, owned by the thread
    ULONG OutQueue;         // bytes of held writes not yet sent
};

// Once, when the port is created: nothing running, the line idle.
_IRQL_requires_max_(APC_LEVEL) void LineTimingInitialize(PortDeviceData* port);
// An open reads BaudTiming (after the line settings) and starts the transmit thread the first
// time a timed open needs it. A failure to start it fails the open, with the thread's status.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS LineTimingOpen(PortDeviceData* port);
// Ends every held write with STATUS_CANCELLED (the one on the line with the bytes it sent): a
// purge of the transmit side, a cleanup, a close. Does not wait.
_IRQL_requires_(PASSIVE_LEVEL) void LineTimingFlush(PortDeviceData* port);
// At the port's destruction: flush, then end the thread and wait for it, and free the timer.
_IRQL_requires_(PASSIVE_LEVEL) void LineTimingStop(PortDeviceData* port);

// Whether a write on the port now takes line time.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN LineTimingHoldsWrites(PortDeviceData* port);
// Holds a write for the line: STATUS_PENDING, or its final status for a write of no bytes.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS LineTimingQueueWrite(PortDeviceData* port, PIRP irp);
// The bytes of held writes not yet sent (the output queue of the communication status).
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG LineTimingOutQueue(PortDeviceData* port);
