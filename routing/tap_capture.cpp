// Capture: the tap copies what passes through the real serial port into the receive rings of the
// hub ports, as the real port's requests complete, without changing a request, its data or its
// status. The same hook follows the real port's opens, which injection needs.
//
// Everything here runs in the real port's completion context, at up to DISPATCH_LEVEL: resident.
#include "driver/gate.h"
#include "driver/handlers.h"
#include "routing/tap.h"
#include "serial/pending_queue.h"
#include "serial/ring.h"

namespace {

constexpr ULONG kLastHubPort = 8;
constexpr UCHAR kCaptureReceived = 0;
constexpr UCHAR kCaptureSent = 1;

UCHAR CaptureDirection(TapDeviceData* tap)
{
    return ReadUCharNoFence(&tap->Config.CaptureDirection);
}

bool IsImmediateChar(PIO_STACK_LOCATION stack)
{
    return stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
           stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_IMMEDIATE_CHAR;
}

// Only an open that succeeded is followed: the file object of a failed one goes back to the I/O
// manager, and injection would otherwise hand a freed object to the real port's driver. The tap
// holds a reference of its own on the object it follows, and none once it no longer follows.
void TrackRealPortOpen(TapDeviceData* tap, PFILE_OBJECT file)
{
    ObReferenceObject(file);
    KIRQL irql;
    KeAcquireSpinLock(&tap->OpenLock, &irql);
    PFILE_OBJECT previous = file;
    if (tap->Following) {
        previous = tap->PortOpen ? tap->OpenFileObject : nullptr;
        tap->OpenFileObject = file;
        WriteBooleanNoFence(&tap->PortOpen, TRUE);
    }
    KeReleaseSpinLock(&tap->OpenLock, irql);
    if (previous != nullptr) {
        ObDereferenceObject(previous);
    }
}

// Every hub port but the excluded one gets its own copy, in list order. The walk lock keeps each
// port linked, and so its ring allocated, while its copy is stored; the tap's bus lock keeps the
// bus itself, which a tap cut from its bus no longer has: the bytes then go nowhere.
void CopyCapturedData(PIRP irp, TapDeviceData* tap)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR direction = CaptureDirection(tap);
    ULONG excluded = ReadULongNoFence((volatile ULONG*)&tap->Config.ExcludedPort);
    auto data = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
    ULONG count;
    if ((stack->MajorFunction == IRP_MJ_READ && direction == kCaptureReceived) ||
        (stack->MajorFunction == IRP_MJ_WRITE && direction == kCaptureSent)) {
        count = (ULONG)irp->IoStatus.Information;
    } else if (IsImmediateChar(stack) && direction == kCaptureSent) {
        count = 1;  // the character is the first byte of the system buffer
    } else {
        return;
    }

    KIRQL irql;
    KeAcquireSpinLock(&tap->BusLock, &irql);
    BusDeviceData* bus = tap->Bus;
    if (bus == nullptr) {
        KeReleaseSpinLock(&tap->BusLock, irql);
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&bus->ChildWalkLock);
    for (PLIST_ENTRY entry = bus->ChildList.Flink; entry != &bus->ChildList; entry = entry->Flink) {
        auto port = CONTAINING_RECORD(entry, PortDeviceData, ChildLink);
        if (port->PortNumber == excluded || port->PortNumber > kLastHubPort) {
            continue;
        }
        RingWrite(&port->Ring, data, count);
        // The bytes may let the port's parked read or wait complete.
        WakeReadServiceThread(port);
        WakeWaitServiceThread(port);
    }
    KeReleaseSpinLockFromDpcLevel(&bus->ChildWalkLock);
    KeReleaseSpinLock(&tap->BusLock, irql);
}

_Function_class_(IO_COMPLETION_ROUTINE) NTSTATUS TapCaptureCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto tap = (TapDeviceData*)context;
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        if (NT_SUCCESS(status) && stack->FileObject != nullptr) {
            TrackRealPortOpen(tap, stack->FileObject);
        }
    } else if ((status == STATUS_SUCCESS || status == STATUS_TIMEOUT) && irp->AssociatedIrp.SystemBuffer != nullptr &&
               (ULONG)irp->IoStatus.Information != 0) {
        CopyCapturedData(irp, tap);
    }
    ReleaseTap(tap);
    return status;
}

}  // namespace

_Use_decl_annotations_ bool TapHooks(TapDeviceData* tap, PIO_STACK_LOCATION stack)
{
    // Opens are followed for the tap's whole life, whether capture is on or not.
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        return true;
    }
    bool read = stack->MajorFunction == IRP_MJ_READ;
    bool sent = stack->MajorFunction == IRP_MJ_WRITE || IsImmediateChar(stack);
    if ((!read && !sent) || !ReadBooleanNoFence(&tap->CaptureEnabled)) {
        return false;
    }
    UCHAR direction = CaptureDirection(tap);
    return read ? direction == kCaptureReceived : direction == kCaptureSent;
}

_Use_decl_annotations_ NTSTATUS TapHookRequest(TapDeviceData* tap, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    SetTapCompletion(tap, irp, TapCaptureCompletion, tap);
    return IoCallDriver(tap->LowerDevice, irp);
}

_Use_decl_annotations_ void ForgetRealPortOpen(TapDeviceData* tap)
{
    KIRQL irql;
    KeAcquireSpinLock(&tap->OpenLock, &irql);
    PFILE_OBJECT file = tap->PortOpen ? tap->OpenFileObject : nullptr;
    tap->OpenFileObject = nullptr;
    WriteBooleanNoFence(&tap->PortOpen, FALSE);
    KeReleaseSpinLock(&tap->OpenLock, irql);
    if (file != nullptr) {
        ObDereferenceObject(file);
    }
}

_Use_decl_annotations_ void FollowRealPortOpens(TapDeviceData* tap, bool follow)
{
    KIRQL irql;
    KeAcquireSpinLock(&tap->OpenLock, &irql);
    tap->Following = follow;
    KeReleaseSpinLock(&tap->OpenLock, irql);
    if (!follow) {
        ForgetRealPortOpen(tap);
    }
}

_Use_decl_annotations_ void SetTapBus(TapDeviceData* tap, BusDeviceData* bus)
{
    KIRQL irql;
    KeAcquireSpinLock(&tap->BusLock, &irql);
    tap->Bus = bus;
    KeReleaseSpinLock(&tap->BusLock, irql);
}
