// The bus's list of child ports: the bus only links ports in and unlinks them; what a port holds
// is the port's own business (port/port_device.h).
#pragma once
#include "device.h"

// Links a fully set-up port at the tail of the bus's child list and names the bus as its parent.
// From then on a relations answer may hand it to the Plug and Play manager.
_IRQL_requires_(PASSIVE_LEVEL) void LinkPort(BusDeviceData* bus, PortDeviceData* port);

// Unlinks the port from its parent's child list; nothing to do once the bus has let it go.
_IRQL_requires_(PASSIVE_LEVEL) void UnlinkPort(PortDeviceData* port);
