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
    // The file object of the last open of the real port that succeeded through the tap, with a
    // reference of the tap's own while PortOpen is set; both change together under OpenLock.
    PFILE_OBJECT OpenFileObject;
    KSPIN_LOCK OpenLock;
    // Injections in progress, biased by one while the tap is attached: the tap's end drops the
    // bias and waits for InjectionsDone before it leaves the stack.
    volatile LONG InjectionCount;
    KEVENT InjectionsDone;
    // Set once the tap has left its stack. The I/O manager takes the top of a stack for a request
    // without a reference on it, so a request may still reach the tap after that: it goes on to
    // LowerDevice untouched. The tap then holds a reference on LowerDevice, and its device object
    // is kept on the detached list until its bus is removed.
    volatile LONG Detached;
    LIST_ENTRY DetachedLink;
};
static_assert(offsetof(TapDeviceData, Header) == 0, "role flags are read before the role is known");

// Set while a tap is attached and its record may be used; the bus's TapDevice is read only then.
// Cleared by whoever takes the tap down (a detach, the removal of the real port's stack or of the
// bus), under TapLock, with the bus's TapDevice.
extern volatile LONG TapAttached;

// Serialises the tap's creation, the control requests that read its record, and its whole end,
// so that none of them sees a record being deleted and no two ends overlap. Nothing that holds a
// count of the tap's gate waits for it.
_IRQL_requires_(PASSIVE_LEVEL) void InitializeTapControl();
_IRQL_requires_(PASSIVE_LEVEL) void LockTapControl();
_IRQL_requires_(PASSIVE_LEVEL) void UnlockTapControl();
// The attached tap's record, or null; the caller holds the control lock.
_IRQL_requires_(PASSIVE_LEVEL) TapDeviceData* CurrentTapRecord();

// Creates the tap and attaches it on top of the stack of the device named `name`.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS CreateTap(PDRIVER_OBJECT driverObject, PUNICODE_STRING name,
                                                  BusDeviceData* bus);

// The end of the tap, under the control lock held throughout. ClaimTap makes the tap no longer
// current (false if it was not); TakeTapOffStack then refuses new injections, waits for those in
// progress, leaves the stack and waits for every request in progress through the tap. The caller
// holds no count of the tap's gate.
_IRQL_requires_(PASSIVE_LEVEL) bool ClaimTap(TapDeviceData* tap);
_IRQL_requires_(PASSIVE_LEVEL) void TakeTapOffStack(TapDeviceData* tap);
// Deletes a tap taken off its stack once no request is passing through it any more.
_IRQL_requires_(PASSIVE_LEVEL) void DeleteTap(TapDeviceData* tap);

// The bus's side: its surprise removal and its removal end the tap attached through it as a
// detach does; its removal also deletes the taps it left detached (`removal`).
_IRQL_requires_(PASSIVE_LEVEL) void EndTapsOfBus(BusDeviceData* bus, bool removal);

// Capture: whether TapDispatch sends the request down with TapCaptureCompletion, and doing so.
// A hooked request's gate count is released by the completion routine.
_IRQL_requires_max_(DISPATCH_LEVEL) bool TapHooks(TapDeviceData* tap, PIO_STACK_LOCATION stack);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS TapHookRequest(TapDeviceData* tap, PIRP irp);

// The real port's open as the tap follows it: forgotten at the cleanup or close of any of its
// file objects, and at the tap's end.
_IRQL_requires_max_(DISPATCH_LEVEL) void ForgetRealPortOpen(TapDeviceData* tap);

// The injections' side of the tap's end: InitializeInjections at creation; RetireInjections
// refuses new injections and waits for those in progress (TapAttached is already clear).
_IRQL_requires_max_(DISPATCH_LEVEL) void InitializeInjections(TapDeviceData* tap);
_IRQL_requires_(PASSIVE_LEVEL) void RetireInjections(TapDeviceData* tap);
