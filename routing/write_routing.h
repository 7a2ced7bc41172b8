// Where the bytes written to a port go: to its null-modem partner, or, on the hub, to the master
// port or the real serial port through the tap.
#pragma once
#include "device.h"

// Delivers `length` bytes written by `writer` wherever its number routes them. Returns the bytes
// a receive ring accepted; 0 when nothing reached a ring (dropped, or handed to the real port).
// Never fails: an undeliverable write simply loses its bytes. `request`, the writer's own request
// if any, lets its cancel end a wait for the real port.
_IRQL_requires_(PASSIVE_LEVEL) ULONG RouteWrittenBytes(const UCHAR* bytes, ULONG length, PortDeviceData* writer,
                                                       PIRP request = nullptr);

// The write half of PortReadWrite: routes the request's bytes, raises the writer's transmit-empty
// event and completes the request at once with its full length.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS PortWrite(PortDeviceData* port, PIRP irp);

// Readies and retires a port as a delivery target. The first is called before the port is
// linked into its bus's child list; the second after it is unlinked, and returns once no writer
// is storing into the port's ring any more.
_IRQL_requires_max_(APC_LEVEL) void InitializeDeliveryTarget(PortDeviceData* port);
_IRQL_requires_max_(APC_LEVEL) void RetireDeliveryTarget(PortDeviceData* port);
