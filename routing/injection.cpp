// Injection: a hub port's bytes go out through the real serial port as a write of the driver's
// own, sent to the device beneath the tap on the file object of the application that holds the
// real port open, and the writer waits until the real port has completed it, for a bounded time
// and only until its own write is cancelled. The write never passes through the tap, so capture
// never sees it.
//
// The write outlives its writer when it has to: it carries its own copy of the bytes, a reference
// on the open's file object and a hold on the tap, and whichever of the writer and the write's
// completion comes last frees all of it. The tap's end never waits for an injection.
#include "routing/injection.h"

#include "driver/handlers.h"
#include "routing/tap.h"

namespace {

// "gaTI" in memory order: an injected write's record.
constexpr ULONG kInjectTag = MakePoolTag('g', 'a', 'T', 'I');

// How long a hub port's writer waits for the real port to take its bytes. The hub's writes never
// pend, so this is how long the hub writer's thread can be held; long enough for the real port to
// send a 4 KiB block at 9600 baud (about 4.3 s), so that a port that takes longer is held by flow
// control, not busy sending. The write is then cancelled and the writer goes on.
constexpr LONGLONG kInjectionTimeLimit = 5LL * 1000 * 1000 * 10;  // 100-ns units

// One injected write, shared by its writer and its completion; the last of them frees it.
struct Injection {
    volatile LONG References;
    PIRP Irp;
    TapDeviceData* Tap;
    PFILE_OBJECT File;
    NTSTATUS Status;
    // Set by the write's completion, or by the cancel of the hub port's write.
    KEVENT Wake;
    // Set once the hub write's cancel routine has done with this record.
    KEVENT CancelDone;
    volatile LONG Cancelled;
    UCHAR Bytes[1];
};

// Resident: the write's completion may drop the last reference at DISPATCH_LEVEL.
void ReleaseInjection(Injection* injection)
{
    if (InterlockedDecrement(&injection->References) != 0) {
        return;
    }
    IoFreeIrp(injection->Irp);
    ObDereferenceObject(injection->File);
    ReleaseTap(injection->Tap);
    ExFreePoolWithTag(injection, kInjectTag);
}

// Resident: it runs at DISPATCH_LEVEL while it holds the open's lock.
bool TakeOpenForInjection(TapDeviceData* tap, PFILE_OBJECT* file)
{
    bool taken = false;
    KIRQL irql;
    KeAcquireSpinLock(&tap->OpenLock, &irql);
    if (tap->PortOpen && ReadBooleanNoFence(&tap->CaptureEnabled)) {
        *file = tap->OpenFileObject;
        ObReferenceObject(*file);
        HoldTap(tap);
        taken = true;
    }
    KeReleaseSpinLock(&tap->OpenLock, irql);
    return taken;
}

// The attached tap's record, held, with the open's file object referenced, or null with nothing
// held; the refusals come in a fixed order.
VCB_PAGED TapDeviceData* AdmitInjection(PDEVICE_OBJECT tapDevice, PFILE_OBJECT* file)
{
    PAGED_CODE();
    TapDeviceData* admitted = nullptr;
    LockTapControl();
    TapDeviceData* tap = CurrentTapRecord();
    // The device named by the writer may already be gone: it is compared, never dereferenced,
    // until it proves to be the current tap's.
    if (tap != nullptr && tap->DeviceObject == tapDevice && tap->LowerDevice != nullptr) {
        if (TakeOpenForInjection(tap, file)) {
            admitted = tap;
        }
    }
    UnlockTapControl();
    return admitted;
}

_Function_class_(IO_COMPLETION_ROUTINE) NTSTATUS InjectCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto injection = (Injection*)context;
    injection->Status = irp->IoStatus.Status;
    KeSetEvent(&injection->Wake, IO_NO_INCREMENT, FALSE);
    ReleaseInjection(injection);
    // The request is the driver's own: it is freed with the record, not finished by the I/O
    // manager.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The hub port's write was cancelled: its writer stops waiting.
_Function_class_(DRIVER_CANCEL) void InjectionWriterCancel(PDEVICE_OBJECT, PIRP request)
{
    auto injection = (Injection*)request->Tail.Overlay.DriverContext[0];
    IoReleaseCancelSpinLock(request->CancelIrql);
    InterlockedExchange(&injection->Cancelled, 1);
    KeSetEvent(&injection->Wake, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&injection->CancelDone, IO_NO_INCREMENT, FALSE);
}

// Waits for the write, for a bounded time and only while the hub port's write (if any) is not
// cancelled; false if it gave up.
VCB_PAGED bool WaitForInjection(Injection* injection, PIRP request)
{
    PAGED_CODE();
    bool cancelable = false;
    if (request != nullptr) {
        request->Tail.Overlay.DriverContext[0] = injection;
        IoSetCancelRoutine(request, InjectionWriterCancel);
        cancelable = true;
        if (ReadBooleanNoFence(&request->Cancel) && IoSetCancelRoutine(request, nullptr) != nullptr) {
            // Cancelled before the routine was in place: nothing will call it.
            InterlockedExchange(&injection->Cancelled, 1);
            cancelable = false;
        }
    }
    LARGE_INTEGER limit;
    limit.QuadPart = -kInjectionTimeLimit;
    NTSTATUS waited = STATUS_SUCCESS;
    if (!ReadNoFence(&injection->Cancelled)) {
        waited = KeWaitForSingleObject(&injection->Wake, Executive, KernelMode, FALSE, &limit);
    }
    if (cancelable && IoSetCancelRoutine(request, nullptr) == nullptr) {
        // The cancel routine has been called: it is done with the record only once it says so.
        KeWaitForSingleObject(&injection->CancelDone, Executive, KernelMode, FALSE, nullptr);
    }
    return waited != STATUS_TIMEOUT && !ReadNoFence(&injection->Cancelled);
}

VCB_PAGED NTSTATUS SendInjection(TapDeviceData* tap, PFILE_OBJECT file, const UCHAR* bytes, ULONG length,
                                 PIRP request)
{
    PAGED_CODE();
    PDEVICE_OBJECT lower = tap->LowerDevice;
    SIZE_T size = FIELD_OFFSET(Injection, Bytes) + (length != 0 ? length : 1);
    auto injection = (Injection*)ExAllocatePoolWithTag(NonPagedPoolNx, size, kInjectTag);
    PIRP irp = injection != nullptr ? IoAllocateIrp(lower->StackSize, FALSE) : nullptr;
    if (irp == nullptr) {
        // Nothing was sent: the writer gives back what it took.
        if (injection != nullptr) {
            ExFreePoolWithTag(injection, kInjectTag);
        }
        ObDereferenceObject(file);
        ReleaseTap(tap);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(injection->Bytes, bytes, length);
    // The writer's reference and the completion's.
    injection->References = 2;
    injection->Irp = irp;
    injection->Tap = tap;
    injection->File = file;
    injection->Status = STATUS_PENDING;
    injection->Cancelled = 0;
    KeInitializeEvent(&injection->Wake, NotificationEvent, FALSE);
    KeInitializeEvent(&injection->CancelDone, NotificationEvent, FALSE);

    // The device beneath uses buffered I/O: the write carries its bytes in a system buffer, the
    // record's own copy, which outlives the writer's buffer.
    irp->AssociatedIrp.SystemBuffer = injection->Bytes;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_WRITE;
    next->Parameters.Write.Length = length;
    next->Parameters.Write.ByteOffset.QuadPart = 0;
    // The real port's driver takes the write as one made on the application's open.
    next->FileObject = file;
    SetTapCompletion(tap, irp, InjectCompletion, injection);
    IoCallDriver(lower, irp);

    NTSTATUS status;
    if (WaitForInjection(injection, request)) {
        status = injection->Status;
    } else {
        // The record (and with it the request) lives until this reference goes.
        status = ReadNoFence(&injection->Cancelled) ? STATUS_CANCELLED : STATUS_TIMEOUT;
        IoCancelIrp(irp);
    }
    ReleaseInjection(injection);
    return status;
}

}  // namespace

// Resident: a call above PASSIVE_LEVEL is refused, not faulted on.
_Use_decl_annotations_ NTSTATUS InjectWrite(PDEVICE_OBJECT tapDevice, const UCHAR* bytes, ULONG length, PIRP request)
{
    if (KeGetCurrentIrql() > PASSIVE_LEVEL || !ReadNoFence(&TapAttached)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PFILE_OBJECT file = nullptr;
    TapDeviceData* tap = AdmitInjection(tapDevice, &file);
    if (tap == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return SendInjection(tap, file, bytes, length, request);
}
