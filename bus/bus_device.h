// The bus device and its child list: the bus's Plug and Play handling and the bus side of each
// port's life (linking a new port in, destroying a port's resources).
#pragma once
#include "device.h"

// Device interface class through which the control application finds the bus.
extern const GUID GUID_VIRTUAL_BUS_INTERFACE;

// Sets up a port device created by the plug-in (HardwareIds and PortNumber filled, the rest of its
// record zero): header, presence, both pending queues with their threads, the ring; clears
// DO_DEVICE_INITIALIZING, then links it at the tail of the bus's child list.
_IRQL_requires_(PASSIVE_LEVEL) void InitializePortDevice(PDEVICE_OBJECT portDevice, BusDeviceData* bus);

// Releases everything the port record owns (identifiers, threads, ring) once, and deletes the
// port device. The record is gone afterwards. Always STATUS_SUCCESS.
_IRQL_requires_max_(APC_LEVEL) NTSTATUS DestroyPortDevice(PDEVICE_OBJECT portDevice, PortDeviceData* port);

// Disables the bus interface and forgets its name; harmless when already done.
_IRQL_requires_(PASSIVE_LEVEL) void DisableBusInterface(BusDeviceData* bus);
