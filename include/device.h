// Device records: the header every device extension starts with, the bus and port records, and
// the request gate. Plain records, zero-filled at creation.
#pragma once

#include "kernel.h"
#include "serial/ring.h"
#include "serial/pending_queue.h"
#include "serial/line_settings.h"
#include "serial/line_timing.h"

// The driver's general pool tag.
constexpr ULONG kPoolTag = MakePoolTag('L', 'm', 'u', 'x');

enum PnpStateCode : ULONG {
    PnpNotStarted = 0,
    PnpStarted = 1,
    PnpStopPending = 2,
    PnpStopped = 3,
    PnpRemovePending = 4,
    PnpSurpriseRemovePending = 5,
    PnpDeleted = 6,
};

// Starts every device extension. The role flags must sit at the same offsets in the bus, port
// and tap records: DispatchRequest reads them before it knows which record it holds.
struct CommonDeviceData {
    PDEVICE_OBJECT Self;
    BOOLEAN IsFdo;
    BOOLEAN IsFilter;
    PnpStateCode PnpState;
    PnpStateCode PreviousPnpState;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_POWER_STATE DevicePowerState;
};
static_assert(offsetof(CommonDeviceData, IsFdo) == 8 && offsetof(CommonDeviceData, IsFilter) == 9,
              "role flags are read before the role is known");

// Every state change remembers the state it left, so that a cancelled query can go back. The
// state is written by the device's Plug and Play requests while walks of the bus's child list
// read it under ChildListLock only: a reader sees the old or the new state, either of which it
// tolerates, so the store and those reads are the no-fence kind (ReadPnpState).
inline void SetPnpState(CommonDeviceData* header, PnpStateCode state)
{
    header->PreviousPnpState = header->PnpState;
    WriteULongNoFence((volatile ULONG*)&header->PnpState, state);
}

inline void RestorePnpState(CommonDeviceData* header)
{
    WriteULongNoFence((volatile ULONG*)&header->PnpState, header->PreviousPnpState);
}

// A state read from outside the device's own Plug and Play path (see SetPnpState).
inline PnpStateCode ReadPnpState(const CommonDeviceData* header)
{
    return (PnpStateCode)ReadULongNoFence((const volatile ULONG*)&header->PnpState);
}

// Count of requests in progress on the bus, with one base count held by the device itself, and
// the events that let stop and removal wait for them to leave.
// The count and the stop event change together under Lock: an acquire that clears the event and
// a release that sets it must not interleave, or the event could stay set with a request running.
struct IoGate {
    KSPIN_LOCK Lock;
    volatile LONG OutstandingCount;
    KEVENT RemoveEvent;
    KEVENT StopEvent;
};

// The tap's variant: only the count of requests in progress through the tap, which its status
// word reports; nothing waits for it.
struct TapGate {
    volatile LONG OutstandingCount;
};

// The port's variant: requests running in the port's dispatch routines (not those parked in its
// queues), biased by one while the port lives. Its destruction marks the port deleted, drops the
// bias and waits for the last running request to leave before it frees what they use.
struct PortGate {
    volatile LONG ActiveCount;
    KEVENT Drained;
};

struct BusDeviceData {
    CommonDeviceData Header;
    PDEVICE_OBJECT UnderlyingPdo;
    PDEVICE_OBJECT NextLowerDevice;
    LIST_ENTRY ChildList;
    ULONG ChildCount;
    FAST_MUTEX ChildListLock;
    // Taken, inside ChildListLock, by every change of ChildList, and alone by the tap's capture,
    // which walks the list at DISPATCH_LEVEL where the fast mutex can't be taken: a port unlinked
    // under it is out of every capture walk once the unlink is done.
    KSPIN_LOCK ChildWalkLock;
    IoGate Gate;
    UNICODE_STRING InterfaceName;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT TapDevice;
    ULONG MasterPortNumber;
    UCHAR RealPortMode;
    UCHAR PortFlags[8];
    // Serialises plug-ins from their duplicate test to the linking of the new port. An event,
    // not a mutex, because the device creation in between must run at PASSIVE_LEVEL.
    KEVENT PlugInLock;
};

struct PortDeviceData {
    CommonDeviceData Header;
    PDEVICE_OBJECT ParentBus;
    PWCHAR HardwareIds;
    ULONG PortNumber;
    LIST_ENTRY ChildLink;
    BOOLEAN Present;
    // Handed to the Plug and Play manager in a relations answer at least once. A port never
    // reported gets no removal request: whoever unlinks it destroys it.
    BOOLEAN Reported;
    BOOLEAN ReportedMissing;
    volatile LONG InterfaceRefCount;
    ReceiveRing Ring;
    PendingQueue WaitQueue;
    PendingQueue ReadQueue;
    PIRP CurrentReadIrp;
    PIRP CurrentWaitIrp;
    // A service thread is taking its queue's head out (QueueLock): a flush in that window aims its
    // abort at whatever the thread ends up holding.
    BOOLEAN TakingRead;
    BOOLEAN TakingWait;
    BOOLEAN AbortCurrentRead;
    BOOLEAN AbortCurrentWait;
    KSPIN_LOCK QueueLock;
    // The time-out clocks of CurrentReadIrp; only the read service thread changes them, under
    // QueueLock.
    LONGLONG ReadStartTime;
    LONGLONG IntervalStartTime;
    ULONG LastSeenCount;
    BOOLEAN IntervalArmed;
    // Deliveries into this port's ring by other ports' writes, biased by one while the port is
    // linked: the port's destruction drops the bias and waits for DeliveriesDone before it frees
    // the ring, so that a writer that found the port never stores into a record being deleted.
    volatile LONG DeliveryCount;
    KEVENT DeliveriesDone;
    // Baud rate, line control, modem lines and statistics, for applications that set them.
    LineSettings Lines;
    // Writes held for the line when the port's line is timed.
    LineTransmitter Transmit;
    PortGate Gate;
};

// Driver-wide state, alive from DriverEntry to unload.
extern UNICODE_STRING DriverRegistryPath;
extern PDRIVER_DISPATCH DefaultCreateHandler;
// Number of attached taps; hub ports route nothing while it is 0. A plain aligned store that
// readers may see old or new.
extern volatile LONG TapCount;
