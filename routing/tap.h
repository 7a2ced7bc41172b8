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
    // The bus whose hub ports get the captured bytes, or null once the tap is cut from it. Read by
    // capture only under BusLock, which it holds through its walk of the bus's ports, and written
    // under BusLock and the control lock: once the bus's end has cut the tap, no capture touches
    // the bus or its ports.
    BusDeviceData* Bus;
    KSPIN_LOCK BusLock;
    // The bus that made the tap or took it last: compared, never dereferenced (control lock).
    BusDeviceData* OwnerBus;
    BOOLEAN PortOpen;
    // The file object of the last open of the real port that succeeded through the tap, with a
    // reference of the tap's own while PortOpen is set; both change together under OpenLock.
    // Following is set while the tap is current: an open that completes after the tap's end is
    // not followed, so no reference is left behind.
    PFILE_OBJECT OpenFileObject;
    KSPIN_LOCK OpenLock;
    BOOLEAN Following;
    // Set while the tap is not current: it stays on its stack, passing every request down
    // untouched, until the real port's removal takes it away (or a later attach takes it again).
    volatile LONG PassThrough;
    // In the driver's list of taps on a stack (control lock).
    LIST_ENTRY TapLink;
};
static_assert(offsetof(TapDeviceData, Header) == 0, "role flags are read before the role is known");

// Set while a tap is attached and its record may be used; the bus's TapDevice is read only then.
// Cleared by whoever takes the tap down (a detach, the removal of the real port's stack or of the
// bus), under TapLock, with the bus's TapDevice.
extern volatile LONG TapAttached;

// Serialises the tap's creation, the control requests that read its record, and its end, so that
// none of them sees a record being deleted and no two ends overlap. Nothing under it waits for a
// request held below a tap (only an attach waits, for its own open of the port's stack), and
// nothing that holds a tap waits for it.
_IRQL_requires_(PASSIVE_LEVEL) void InitializeTapControl();
_IRQL_requires_(PASSIVE_LEVEL) void LockTapControl();
_IRQL_requires_(PASSIVE_LEVEL) void UnlockTapControl();
// The attached tap's record, or null; the caller holds the control lock.
_IRQL_requires_(PASSIVE_LEVEL) TapDeviceData* CurrentTapRecord();

// Attaches the tap on top of the stack of the device named `name`: a tap already in that stack is
// taken again, else a new one is created. Caller holds the control lock.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS CreateTap(PDRIVER_OBJECT driverObject, PUNICODE_STRING name,
                                                  BusDeviceData* bus, TapDeviceData** tap);

// Makes the tap no longer current (false if it was not): it passes requests through untouched
// from then on. The control lock is held. Nothing waits.
_IRQL_requires_(PASSIVE_LEVEL) bool ClaimTap(TapDeviceData* tap);

// The bus's side: its surprise removal makes the tap attached through it a pass-through and cuts
// every tap it owns from its ports; its removal also takes those taps off their stacks. Neither
// waits for a request below a tap.
_IRQL_requires_(PASSIVE_LEVEL) void EndTapsOfBus(BusDeviceData* bus, bool removal);
// The driver's unload: the records of the taps its bus's removal took off their stacks go.
_IRQL_requires_(PASSIVE_LEVEL) void EndTapsAtUnload();

// Every path that uses the tap's record from a request holds it: a count of the gate (the status
// word's "busy") and a reference on the tap's device object, so that the record outlives the
// request whenever the real port completes it. ReleaseTap is the last touch of the record.
_IRQL_requires_max_(DISPATCH_LEVEL) void HoldTap(TapDeviceData* tap);
_IRQL_requires_max_(DISPATCH_LEVEL) void ReleaseTap(TapDeviceData* tap);
// Sets a completion routine of the tap's on the request's next location, with the tap's device
// held by the I/O manager until the routine has returned: the routine's ReleaseTap may drop the
// last reference to the driver's last device, and the driver must not be unloaded under it.
_IRQL_requires_max_(DISPATCH_LEVEL) void SetTapCompletion(TapDeviceData* tap, PIRP irp,
                                                          PIO_COMPLETION_ROUTINE routine, PVOID context);

// Capture: whether TapDispatch sends the request down with TapCaptureCompletion, and doing so.
// A hooked request's hold is released by the completion routine.
_IRQL_requires_max_(DISPATCH_LEVEL) bool TapHooks(TapDeviceData* tap, PIO_STACK_LOCATION stack);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS TapHookRequest(TapDeviceData* tap, PIRP irp);

// The real port's open as the tap follows it: forgotten at the cleanup or close of any of its
// file objects. FollowRealPortOpens(false) forgets it for good (the tap's end): an open that
// completes later is not followed.
_IRQL_requires_max_(DISPATCH_LEVEL) void ForgetRealPortOpen(TapDeviceData* tap);
_IRQL_requires_max_(DISPATCH_LEVEL) void FollowRealPortOpens(TapDeviceData* tap, bool follow);

// Takes a tap that its stack's removal is about to delete out of the driver's list (control lock
// held); false if the bus's removal has already taken it off its stack.
_IRQL_requires_(PASSIVE_LEVEL) bool UnlistTap(TapDeviceData* tap);

// Cuts the tap from its bus: from the return on, no capture reads the bus or its ports. A
// bounded wait: at most one capture's walk of the hub ports, under a spin lock.
_IRQL_requires_max_(DISPATCH_LEVEL) void SetTapBus(TapDeviceData* tap, BusDeviceData* bus);
