// The tap's pass-through: every request for the real port reaches the tap first and goes on to the
// device beneath it unchanged. The tap keeps its own Plug and Play and power state, and leaves the
// stack when the real port's stack is removed. Every request in progress holds the tap (HoldTap),
// so that the tap's record outlives every request that can still reach it; nothing waits for
// them.
#include "driver/gate.h"
#include "driver/handlers.h"
#include "routing/tap.h"

namespace {

// The state is written by Plug and Play and power completions and read by every request: plain
// aligned stores that a reader sees old or new.
void SetTapState(TapDeviceData* tap, TapStateCode state)
{
    WriteULongNoFence((volatile ULONG*)&tap->TapState, state);
}

TapStateCode ReadTapState(const TapDeviceData* tap)
{
    return (TapStateCode)ReadULongNoFence((const volatile ULONG*)&tap->TapState);
}

NTSTATUS PassDown(TapDeviceData* tap, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(tap->LowerDevice, irp);
}

_Function_class_(IO_COMPLETION_ROUTINE) NTSTATUS TapSyncCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The request comes back uncompleted; the caller completes or frees it.
VCB_PAGED NTSTATUS TapForwardAndWait(TapDeviceData* tap, PIRP irp)
{
    PAGED_CODE();
    TapGateAcquire(&tap->Gate);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, TapSyncCompletion, &done, TRUE, TRUE, TRUE);
    IoCallDriver(tap->LowerDevice, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    TapGateRelease(&tap->Gate);
    return status;
}

VCB_PAGED NTSTATUS TapQueryCapabilities(TapDeviceData* tap)
{
    PAGED_CODE();
    PIRP irp = IoAllocateIrp(tap->LowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(&tap->Capabilities, sizeof(tap->Capabilities));
    tap->Capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    tap->Capabilities.Version = 1;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = &tap->Capabilities;
    // Plug and Play requests a driver builds start as "not supported" until a driver answers.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = TapForwardAndWait(tap, irp);
    IoFreeIrp(irp);
    return status;
}

VCB_PAGED NTSTATUS TapStart(TapDeviceData* tap, PIRP irp)
{
    PAGED_CODE();
    SetTapState(tap, TapStartPending);
    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = TapForwardAndWait(tap, irp);
    if (NT_SUCCESS(status)) {
        status = TapQueryCapabilities(tap);
    }
    SetTapState(tap, NT_SUCCESS(status) ? TapStarted : TapStartFailed);
    return CompleteRequest(irp, status, irp->IoStatus.Information);
}

// A tap that is no longer current passes each request on as if it were not there.
NTSTATUS PassDownUntouched(TapDeviceData* tap, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(tap->LowerDevice, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(tap->LowerDevice, irp);
}

// The removal of the real port's stack: the request goes down, then the tap leaves and is deleted
// at once. It comes only when no handle to the stack is open, so nothing can aim a request at the
// tap any more; requests still below (the function driver ends its own at this removal, but need
// not have yet) hold the tap's device object, whose record goes with the last of them. A tap
// that the bus's removal already took off its stack is not in this stack, and can't be here.
VCB_PAGED NTSTATUS TapRemove(TapDeviceData* tap, PIRP irp)
{
    PAGED_CODE();
    LockTapControl();
    ClaimTap(tap);
    bool listed = UnlistTap(tap);
    UnlockTapControl();
    SetTapState(tap, TapRemoved);
    NTSTATUS status = PassDown(tap, irp);
    if (listed) {
        IoDetachDevice(tap->LowerDevice);
        IoDeleteDevice(tap->DeviceObject);
    }
    return status;
}

VCB_PAGED NTSTATUS TapPnp(TapDeviceData* tap, PIRP irp)
{
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return TapStart(tap, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(tap, irp);
    case IRP_MN_REMOVE_DEVICE:
        return TapRemove(tap, irp);
    case IRP_MN_STOP_DEVICE:
        // The function driver below decides whether it can stop; a driver that saw the query-stop
        // holds its I/O until the stop or the cancel comes.
        if (ReadTapState(tap) == TapStarted || ReadTapState(tap) == TapPoweredDown) {
            SetTapState(tap, TapStopped);
        }
        return PassDown(tap, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        SetTapState(tap, TapSurpriseRemoved);
        return PassDown(tap, irp);
    default:
        return PassDown(tap, irp);
    }
}

bool IsDevicePowerDown(PIO_STACK_LOCATION stack)
{
    return stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
           stack->Parameters.Power.State.DeviceState >= PowerDeviceD1 &&
           stack->Parameters.Power.State.DeviceState <= PowerDeviceD3;
}

_Function_class_(IO_COMPLETION_ROUTINE) NTSTATUS TapPowerCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto tap = (TapDeviceData*)context;
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(irp->IoStatus.Status) && stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState &&
        stack->Parameters.Power.State.DeviceState == PowerDeviceD0 &&
        ReadTapState(tap) == TapPoweredDown) {
        SetTapState(tap, TapStarted);
    }
    PoStartNextPowerIrp(irp);
    ReleaseTap(tap);
    return STATUS_SUCCESS;
}

// Power requests may come at DISPATCH_LEVEL (the real port's stack need not be power-pageable):
// everything on this path is resident. The completion routine releases the dispatch's hold.
NTSTATUS TapPower(TapDeviceData* tap, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (IsDevicePowerDown(stack) && ReadTapState(tap) == TapStarted) {
        SetTapState(tap, TapPoweredDown);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    SetTapCompletion(tap, irp, TapPowerCompletion, tap);
    return PoCallDriver(tap->LowerDevice, irp);
}

}  // namespace

_Use_decl_annotations_ void HoldTap(TapDeviceData* tap)
{
    ObReferenceObject(tap->DeviceObject);
    TapGateAcquire(&tap->Gate);
}

_Use_decl_annotations_ void ReleaseTap(TapDeviceData* tap)
{
    PDEVICE_OBJECT device = tap->DeviceObject;
    TapGateRelease(&tap->Gate);
    ObDereferenceObject(device);
}

// Without memory for the I/O manager's record the routine is set plainly: the request still goes
// down and is completed as always, and only the unload guarantee is lost, for that request alone.
_Use_decl_annotations_ void SetTapCompletion(TapDeviceData* tap, PIRP irp, PIO_COMPLETION_ROUTINE routine,
                                             PVOID context)
{
    if (!NT_SUCCESS(IoSetCompletionRoutineEx(tap->DeviceObject, irp, routine, context, TRUE, TRUE, TRUE))) {
        IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
    }
}

// Resident: requests from other drivers and power requests reach the tap at up to DISPATCH_LEVEL.
// Only Plug and Play, which arrives at PASSIVE_LEVEL, goes on to pageable code.
NTSTATUS TapDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    auto tap = (TapDeviceData*)deviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    // The tap is no way into the real port: an open of the tap's own device object, rather than
    // of a device of the stack beneath, is refused (opens of the real port name the real port's
    // device, and the I/O manager sends them to the top of its stack).
    if (major == IRP_MJ_CREATE && stack->FileObject != nullptr && stack->FileObject->DeviceObject == deviceObject) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        return TapPnp(tap, irp);
    }

    HoldTap(tap);
    if (ReadNoFence(&tap->PassThrough)) {
        NTSTATUS passed = PassDownUntouched(tap, irp);
        ReleaseTap(tap);
        return passed;
    }
    // The open the tap follows ends with any cleanup or close, even one refused below: the tap's
    // reference on its file object must not hold back the close.
    if (major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE) {
        ForgetRealPortOpen(tap);
    }
    // After a surprise removal the function driver beneath fails what it no longer serves; the
    // end of every open and power requests must still reach it, with Plug and Play.
    NTSTATUS status;
    auto state = ReadTapState(tap);
    if ((state == TapSurpriseRemoved || state == TapRemoved) && major != IRP_MJ_PNP && major != IRP_MJ_CLOSE &&
        major != IRP_MJ_CLEANUP && major != IRP_MJ_POWER) {
        status = CompleteRequest(irp, STATUS_DELETE_PENDING);
        ReleaseTap(tap);
        return status;
    }

    if (TapHooks(tap, stack)) {
        // The completion routine releases this request's hold.
        return TapHookRequest(tap, irp);
    }

    switch (major) {
    case IRP_MJ_POWER:
        // The completion routine releases this request's hold.
        return TapPower(tap, irp);
    case IRP_MJ_PNP:
        status = TapPnp(tap, irp);
        break;
    default:
        status = PassDown(tap, irp);
        break;
    }
    ReleaseTap(tap);
    return status;
}
