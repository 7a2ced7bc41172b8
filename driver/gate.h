// The request gates of the bus and the tap.
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
