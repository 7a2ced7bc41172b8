// The request gates of the bus, the ports and the tap.
#pragma once
#include "device.h"

_IRQL_requires_max_(DISPATCH_LEVEL) void IoGateInitialize(IoGate* gate);
_IRQL_requires_max_(DISPATCH_LEVEL) void IoGateAcquire(IoGate* gate);
_IRQL_requires_max_(DISPATCH_LEVEL) void IoGateRelease(IoGate* gate);
_IRQL_requires_(PASSIVE_LEVEL) void IoGateWaitForStop(IoGate* gate);
_IRQL_requires_(PASSIVE_LEVEL) void IoGateWaitForRemove(IoGate* gate);

_IRQL_requires_max_(DISPATCH_LEVEL) void TapGateInitialize(TapGate* gate);
_IRQL_requires_max_(DISPATCH_LEVEL) void TapGateAcquire(TapGate* gate);
_IRQL_requires_max_(DISPATCH_LEVEL) void TapGateRelease(TapGate* gate);

_IRQL_requires_max_(DISPATCH_LEVEL) void PortGateInitialize(PortGate* gate);
// Counts a request in; false (counted out again) once the port is deleted.
_IRQL_requires_max_(DISPATCH_LEVEL) bool PortGateEnter(PortGate* gate, const CommonDeviceData* header);
_IRQL_requires_max_(DISPATCH_LEVEL) void PortGateLeave(PortGate* gate);
// The caller has marked the port deleted; returns once no request runs inside it.
_IRQL_requires_max_(APC_LEVEL) void PortGateWaitForDestroy(PortGate* gate);
