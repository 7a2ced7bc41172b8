// The tap: a filter device the driver attaches on top of a real serial port's stack, its record,
// and the driver-wide state that says whether it may be used.
#pragma once
#include "device.h"
#include "vcombus/ioctl.h"

enum TapStateCode : ULONG {
    TapNotStarted = 0,
    TapStartPending = 1,
    TapStarted = 2,
    TapStartFailed = 3,
    TapStopped = 4,
    TapPoweredDown = 5,
    TapSurpriseRemoved = 6,
    TapRemoved = 7,
};

// "Fltr" in memory order.
constexpr ULONG kTapSignature = MakePoolTag('F', 'l', 't', 'r');

// The tap's device extension. Of the common header only the role flags are used.
struct TapDeviceData {
    CommonDeviceData Header;
    ULONG Signature;
    TapStateCode TapState;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDevice;
    DEVICE_CAPABILITIES Capabilities;
    TapGate Gate;
    BOOLEAN CaptureEnabled;
    RoutingConfig Config;
    BusDeviceData* Bus;
    BOOLEAN PortOpen;
    PFILE_OBJECT OpenFileObject;
};
static_assert(offsetof(TapDeviceData, Header) == 0, "role flags are read before the role is known");

// Set while a tap is attached and its record may be used; the bus's TapDevice is read only then.
// Cleared by whoever takes the tap down (a detach or the removal of the real port's stack), under
// TapLock, before the record goes.
extern volatile LONG TapAttached;

// Serialises the tap's creation, the control requests that read its record, and the first step
// of its teardown, so that none of them sees a record being deleted.
_IRQL_requires_(PASSIVE_LEVEL) void InitializeTapControl();
_IRQL_requires_(PASSIVE_LEVEL) void LockTapControl();
_IRQL_requires_(PASSIVE_LEVEL) void UnlockTapControl();

// Creates the tap and attaches it on top of the stack of the device named `name`.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS CreateTap(PDRIVER_OBJECT driverObject, PUNICODE_STRING name,
                                                  BusDeviceData* bus);

// For the removal of the real port's stack: true when no detach has claimed the tap first, and
// the caller now owns its teardown.
_IRQL_requires_(PASSIVE_LEVEL) bool ClaimTapForRemoval(TapDeviceData* tap);

// Takes the tap out of its stack and deletes it once no request is in progress through it. The
// caller has cleared TapAttached and holds no count of the tap's gate.
_IRQL_requires_(PASSIVE_LEVEL) void DestroyTap(TapDeviceData* tap);
