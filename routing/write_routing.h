// Where a port's written bytes go: to its null-modem partner, or by the hub's routing.
#pragma once
#include "device.h"

// Routes `length` bytes written on `writer`; returns the number of bytes that reached a ring (or
// the real port). Sets SERIAL_EV_TXEMPTY on the writer when it waits for it.
_IRQL_requires_(PASSIVE_LEVEL) ULONG RouteWrittenBytes(const UCHAR* bytes, ULONG length, PortDeviceData* writer);
