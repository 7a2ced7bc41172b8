// A port's insides: its record, both pending queues with their service threads, and its ring,
// created when the port is plugged in and destroyed when it goes.
#pragma once
#include "device.h"

// Sets up a port device created by the plug-in (HardwareIds and PortNumber filled, the rest of its
// record zero): header, presence, both pending queues with their threads, the ring; clears
// DO_DEVICE_INITIALIZING, then links it at the tail of the bus's child list. Fails, linking
// nothing and leaving no thread behind, when a service thread cannot be started.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS InitializePortDevice(PDEVICE_OBJECT portDevice, BusDeviceData* bus);

// Releases everything the port record owns (identifiers, threads, ring) once, and deletes the
// port device. The record is gone afterwards. Always STATUS_SUCCESS. The caller has unlinked it,
// and holds no lock that a request running inside the port may take (ChildListLock among them):
// the destruction first waits for those requests to leave. Parked requests it ends itself.
_IRQL_requires_max_(APC_LEVEL) NTSTATUS DestroyPortDevice(PDEVICE_OBJECT portDevice, PortDeviceData* port);
