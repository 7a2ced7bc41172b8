// The tap's pass-through: every request for the real port reaches the tap first and goes on to the
// device beneath it unchanged. The tap keeps its own Plug and Play and power state, and leaves the
// stack when the real port's stack is removed. Every request in progress holds a count of the
// tap's gate, so that the tap's record outlives every request that can still reach it.
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

// A request aimed at the tap as it left the stack: what the device beneath would have had, had
// the tap never been there.
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

// The removal of the real port's stack: the request goes down first, then the tap leaves, once
// every request in progress through it has gone, and is deleted at once: the stack's removal
// comes only when no handle to it is open, so nothing can aim a request at the tap any more. The
// control lock keeps a detach or the bus's removal from ending the tap meanwhile; a tap that a
// detach took off the stack first only passes the request on.
VCB_PAGED NTSTATUS TapRemove(TapDeviceData* tap, PIRP irp)
{
    PAGED_CODE();
    LockTapControl();
    if (ReadNoFence(&tap->Detached)) {
        UnlockTapControl();
        return PassDownUntouched(tap, irp);
    }
    TapGateAcquire(&tap->Gate);
    SetTapState(tap, TapRemoved);
    NTSTATUS status = PassDown(tap, irp);
    bool owner = ClaimTap(tap);
    TapGateRelease(&tap->Gate);
    if (owner) {
        TakeTapOffStack(tap);
        DeleteTap(tap);
    }
    UnlockTapControl();
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
        // A port powered down cannot be stopped until it has been powered up again.
        if (ReadTapState(tap) == TapPoweredDown) {
            return CompleteRequest(irp, STATUS_DEVICE_POWER_FAILURE, irp->IoStatus.Information);
        }
        if (ReadTapState(tap) == TapStarted) {
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
    TapGateRelease(&tap->Gate);
    return STATUS_SUCCESS;
}

// Power requests may come at DISPATCH_LEVEL (the real port's stack need not be power-pageable):
// everything on this path is resident. The second count is the completion routine's.
NTSTATUS TapPower(TapDeviceData* tap, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (IsDevicePowerDown(stack) && ReadTapState(tap) == TapStarted) {
        SetTapState(tap, TapPoweredDown);
    }
    TapGateAcquire(&tap->Gate);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, TapPowerCompletion, tap, TRUE, TRUE, TRUE);
    return PoCallDriver(tap->LowerDevice, irp);
}

}  // namespace

// Resident: requests from other drivers and power requests reach the tap at up to DISPATCH_LEVEL.
// Only Plug and Play, which arrives at PASSIVE_LEVEL, goes on to pageable code.
NTSTATUS TapDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    auto tap = (TapDeviceData*)deviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    if (major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        return TapPnp(tap, irp);
    }

    TapGateAcquire(&tap->Gate);
    if (ReadNoFence(&tap->Detached)) {
        NTSTATUS passed = PassDownUntouched(tap, irp);
        TapGateRelease(&tap->Gate);
        return passed;
    }
    // The open the tap follows ends with any cleanup or close, even one refused below: the tap's
    // reference on its file object must not hold back the close.
    if (major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE) {
        ForgetRealPortOpen(tap);
    }
    NTSTATUS status;
    auto state = ReadTapState(tap);
    if ((state == TapSurpriseRemoved || state == TapRemoved) && major != IRP_MJ_PNP && major != IRP_MJ_CLOSE) {
        if (major == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
        }
        status = CompleteRequest(irp, STATUS_DELETE_PENDING);
        TapGateRelease(&tap->Gate);
        return status;
    }

    if (TapHooks(tap, stack)) {
        // The completion routine releases this request's count.
        return TapHookRequest(tap, irp);
    }

    switch (major) {
    case IRP_MJ_POWER:
        status = TapPower(tap, irp);
        break;
    case IRP_MJ_PNP:
        status = TapPnp(tap, irp);
        break;
    default:
        status = PassDown(tap, irp);
        break;
    }
    TapGateRelease(&tap->Gate);
    return status;
}
