// Device records: the header every device extension starts with, the bus and port records, and
// the request gate. Plain records, zero-filled at creation.
#pragma once

#include "kernel.h"
#include "serial/ring.h"
#include "serial/pending_queue.h"

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

// Every state change remembers the state it left, so that a cancelled query can go back.
inline void SetPnpState(CommonDeviceData* header, PnpStateCode state)
{
    header->PreviousPnpState = header->PnpState;
    header->PnpState = state;
}

inline void RestorePnpState(CommonDeviceData* header) { header->PnpState = header->PreviousPnpState; }

// Count of requests in progress on the bus, with one base count held by the device itself, and
// the events that let stop and removal wait for them to leave.
struct IoGate {
    volatile LONG OutstandingCount;
    KEVENT RemoveEvent;
    KEVENT StopEvent;
};

// The tap's variant: no base count and no stop event; removal waits for the count to go below 0.
struct TapGate {
    volatile LONG OutstandingCount;
    KEVENT RemoveEvent;
};

struct BusDeviceData {
    CommonDeviceData Header;
    PDEVICE_OBJECT UnderlyingPdo;
    PDEVICE_OBJECT NextLowerDevice;
    LIST_ENTRY ChildList;
    ULONG ChildCount;
    FAST_MUTEX ChildListLock;
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
    BOOLEAN ReportedMissing;
    volatile LONG InterfaceRefCount;
    ReceiveRing Ring;
    PendingQueue WaitQueue;
    PendingQueue ReadQueue;
    PIRP CurrentReadIrp;
    PIRP CurrentWaitIrp;
    BOOLEAN AbortCurrentRead;
    BOOLEAN AbortCurrentWait;
    KSPIN_LOCK QueueLock;
    // The time-out clocks of CurrentReadIrp; only the read service thread touches them.
    LONGLONG ReadStartTime;
    LONGLONG IntervalStartTime;
    ULONG LastSeenCount;
    BOOLEAN IntervalArmed;
    // Deliveries into this port's ring by other ports' writes, biased by one while the port is
    // linked: the port's destruction drops the bias and waits for DeliveriesDone before it frees
    // the ring, so that a writer that found the port never stores into a record being deleted.
    volatile LONG DeliveryCount;
    KEVENT DeliveriesDone;
};

// Driver-wide state, alive from DriverEntry to unload.
extern UNICODE_STRING DriverRegistryPath;
extern PDRIVER_DISPATCH DefaultCreateHandler;
// Number of attached taps; hub ports route nothing while it is 0. A plain aligned store that
// readers may see old or new.
extern volatile LONG TapCount;
