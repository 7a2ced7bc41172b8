// The bus's list of child ports: the bus only links ports in and unlinks them; what a port holds
// is the port's own business (port/port_device.h).
#pragma once
#include "device.h"

// Links a fully set-up port at the tail of the bus's child list and names the bus as its parent.
// From then on a relations answer may hand it to the Plug and Play manager.
_IRQL_requires_(PASSIVE_LEVEL) void LinkPort(BusDeviceData* bus, PortDeviceData* port);

// Unlinks the port from its parent's child list; nothing to do once the bus has let it go.
_IRQL_requires_(PASSIVE_LEVEL) void UnlinkPort(PortDeviceData* port);

// The port is no longer present (the platform ejected it): it leaves its cable and the next
// relations answer leaves it out. Under ChildListLock, which every reader of Present holds.
_IRQL_requires_(PASSIVE_LEVEL) void MarkPortAbsent(PortDeviceData* port);

// Takes a port out of the bus's list, or the list's first entry, for callers that hold
// ChildListLock; the capture walk (ChildWalkLock) never sees a half-changed list.
_IRQL_requires_max_(APC_LEVEL) void RemoveChild(BusDeviceData* bus, PortDeviceData* port);
_IRQL_requires_max_(APC_LEVEL) PLIST_ENTRY RemoveHeadChild(BusDeviceData* bus);
