// Injection: a hub port's bytes go out through the real serial port as a write of the driver's
// own, sent to the device beneath the tap on the file object of the application that holds the
// real port open, and the writer waits until the real port has completed it. The write never
// passes through the tap, so capture never sees it.
//
// An injection and the end of the tap stay apart: an injection is admitted only under the tap's
// control lock while the tap is current, and counts itself in InjectionCount, which the tap's end
// waits for before it leaves the stack. The open's file object is referenced while it is used.
#include "routing/injection.h"

#include "driver/handlers.h"
#include "routing/tap.h"

namespace {

// "gaTI" in memory order: the completion context of an injected write.
constexpr ULONG kInjectTag = MakePoolTag('g', 'a', 'T', 'I');

void ReleaseInjection(TapDeviceData* tap)
{
    if (InterlockedDecrement(&tap->InjectionCount) == 0) {
        KeSetEvent(&tap->InjectionsDone, IO_NO_INCREMENT, FALSE);
    }
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
        InterlockedIncrement(&tap->InjectionCount);
        taken = true;
    }
    KeReleaseSpinLock(&tap->OpenLock, irql);
    return taken;
}

// The attached tap's record with an injection counted and the open's file object referenced, or
// null with nothing held; the refusals come in a fixed order.
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

_Function_class_(IO_COMPLETION_ROUTINE) NTSTATUS InjectCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    if (context != nullptr) {
        ExFreePoolWithTag(context, kInjectTag);
    }
    // The I/O manager finishes the request: status block, event, release.
    return STATUS_SUCCESS;
}

VCB_PAGED NTSTATUS SendInjection(TapDeviceData* tap, PFILE_OBJECT file, const UCHAR* bytes, ULONG length)
{
    PAGED_CODE();
    PVOID context = ExAllocatePoolWithTag(NonPagedPoolNx, 4, kInjectTag);
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, tap->LowerDevice, (PVOID)bytes, length, &offset, &done,
                                            &iosb);
    if (irp == nullptr) {
        ExFreePoolWithTag(context, kInjectTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetCompletionRoutine(irp, InjectCompletion, context, TRUE, TRUE, TRUE);
    // The real port's driver takes the write as one made on the application's open.
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    NTSTATUS status = IoCallDriver(tap->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

}  // namespace

// Resident: a call above PASSIVE_LEVEL is refused, not faulted on.
_Use_decl_annotations_ NTSTATUS InjectWrite(PDEVICE_OBJECT tapDevice, const UCHAR* bytes, ULONG length)
{
    if (KeGetCurrentIrql() > PASSIVE_LEVEL || !ReadNoFence(&TapAttached)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PFILE_OBJECT file = nullptr;
    TapDeviceData* tap = AdmitInjection(tapDevice, &file);
    if (tap == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SendInjection(tap, file, bytes, length);
    ObDereferenceObject(file);
    ReleaseInjection(tap);
    return status;
}

_Use_decl_annotations_ void InitializeInjections(TapDeviceData* tap)
{
    tap->InjectionCount = 1;
    KeInitializeEvent(&tap->InjectionsDone, NotificationEvent, FALSE);
}

_Use_decl_annotations_ VCB_PAGED void RetireInjections(TapDeviceData* tap)
{
    PAGED_CODE();
    // No longer current: no injection is admitted from here, so the count only falls.
    ReleaseInjection(tap);
    KeWaitForSingleObject(&tap->InjectionsDone, Executive, KernelMode, FALSE, nullptr);
}
