// The partner watch: a bridge holding one end of a null-modem pair asks its own port for the line
// settings of the application at the other end (IOCTL_VCOMBUS_WATCH_PARTNER) and is answered when
// they change, so that it can carry them to wherever the line really goes.
#pragma once
#include "kernel.h"

struct PortDeviceData;
struct BusDeviceData;

struct PartnerWatch {
    // At most one parked watch; its queue's lock is taken alone (inside ChildListLock at most).
    KSPIN_LOCK Lock;
    IO_CSQ Csq;
    LIST_ENTRY List;
    // The generation of what this port last saw of its partner; changed under ChildListLock.
    ULONG PartnerGeneration;
};

_IRQL_requires_max_(APC_LEVEL) void PartnerWatchInitialize(PortDeviceData* port);

// Serves IOCTL_VCOMBUS_WATCH_PARTNER: answers at once, parks the request, or refuses it.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS ServePartnerWatch(PortDeviceData* port, PIRP irp, PVOID data,
                                                            ULONG inputLength, ULONG outputLength);

// The port's own line settings changed (baud rate, line control, lines, break, handshake,
// purge, open, close): its partner's watch, if one is parked, is answered.
_IRQL_requires_(PASSIVE_LEVEL) void PartnerWatchNotify(PortDeviceData* port);
// The same with the bus's ChildListLock held and the partner already found (may be null).
_IRQL_requires_(APC_LEVEL) void PartnerWatchNotifyLocked(PortDeviceData* port, PortDeviceData* partner);
// The port and its partner part (unplug, eject, the bus going), ChildListLock held: each one's
// parked watch is answered with no partner.
_IRQL_requires_(APC_LEVEL) void PartnerWatchLeaveCable(PortDeviceData* port, PortDeviceData* partner);

// Cleanup, close and the port's destruction end the parked watch (STATUS_CANCELLED).
_IRQL_requires_max_(DISPATCH_LEVEL) void PartnerWatchFlush(PortDeviceData* port);
