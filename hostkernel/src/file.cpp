// Files opened by drivers: IoGetDeviceObjectPointer, and the close their last reference sends
// (for an application's file too, when its handle goes while a driver still references it).
#include "internal.h"

#include <hostkernel/faults.h>

#include <set>
#include <thread>

namespace hk {
namespace {

ShortLock g_lock;
bool g_gapPending = false;
DeviceObjectPointerGap g_gap = DeviceObjectPointerGap::Neither;
// Kernel files whose create succeeded: their device holds an open for them, and their last
// dereference sends IRP_MJ_CLOSE.
std::set<PFILE_OBJECT>& OpenFiles()
{
    static auto* files = new std::set<PFILE_OBJECT>;
    return *files;
}

// Sends one request on `file` to the top of its device's stack as the I/O manager does for a
// kernel caller, and waits for it.
NTSTATUS SendOnFile(PFILE_OBJECT file, UCHAR major, ACCESS_MASK access = 0)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(major, top, nullptr, 0, nullptr, &event, &iosb);
    irp->IoStatus.Status = STATUS_PENDING;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->FileObject = file;
    IO_SECURITY_CONTEXT security{};
    if (major == IRP_MJ_CREATE) {
        security.DesiredAccess = access;
        sp->Parameters.Create.SecurityContext = &security;
        sp->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
    }
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(top);
    return iosb.Status;
}

void CloseAndFree(PFILE_OBJECT file)
{
    PDEVICE_OBJECT device = file->DeviceObject;
    SendOnFile(file, IRP_MJ_CLOSE);
    InterlockedDecrement(&device->ReferenceCount);
    free(file->FileName.Buffer);
    free(file);
    PnpHandleClosed(device);
    ObDereferenceObject(device);
}

// The file object's delete routine: the last reference went. A file whose create succeeded gets
// its IRP_MJ_CLOSE; from a caller above APC_LEVEL that happens on a worker thread, as the object
// manager defers the delete.
void DestroyKernelFile(PVOID object)
{
    auto file = (PFILE_OBJECT)object;
    bool opened;
    {
        std::lock_guard guard(g_lock);
        opened = OpenFiles().erase(file) != 0;
    }
    if (!opened) {
        free(file);
        return;
    }
    if (KeGetCurrentIrql() <= APC_LEVEL) {
        CloseAndFree(file);
    } else {
        std::thread([file] { CloseAndFree(file); }).detach();
    }
}

}  // namespace

// A file object on `device` with the access the create was granted, known to the object manager.
PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, ACCESS_MASK granted, void (*destroy)(PVOID))
{
    auto file = (PFILE_OBJECT)calloc(1, sizeof(FILE_OBJECT));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->ReadAccess = (granted & FILE_READ_DATA) != 0;
    file->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    ObjectInsert(file, ObjectKind::File, destroy);
    return file;
}

void CloseWithLastReference(PFILE_OBJECT file)
{
    {
        std::lock_guard guard(g_lock);
        OpenFiles().insert(file);
    }
    ObjectSetDestroy(file, DestroyKernelFile);
    ObDereferenceObject(file);
}

void LeaveOutOfNextDeviceObjectPointer(DeviceObjectPointerGap gap)
{
    std::lock_guard guard(g_lock);
    g_gapPending = true;
    g_gap = gap;
}

void ResetFileFaultInjection()
{
    std::lock_guard guard(g_lock);
    g_gapPending = false;
}

}  // namespace hk

using namespace hk;

extern "C" {

// Opens the named device as a kernel caller does (no access check, the caller's mode being
// KernelMode), references the file object, closes the handle (IRP_MJ_CLEANUP) and hands back the
// file object and the top of the device's stack. The device pointer carries no reference of its
// own: the file object's holds the device until the caller dereferences it.
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING objectName, ACCESS_MASK desiredAccess, PFILE_OBJECT* fileObject,
                                  PDEVICE_OBJECT* deviceObject)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("IoGetDeviceObjectPointer at IRQL %u (it must be called at PASSIVE_LEVEL)",
                        KeGetCurrentIrql());
    }
    NTSTATUS status;
    if (TakeInjectedCallFailure("IoGetDeviceObjectPointer", &status)) return status;
    if (objectName == nullptr || objectName->Length == 0) return STATUS_OBJECT_NAME_INVALID;
    PDEVICE_OBJECT device = ReferenceNamedDevice(
        std::u16string((const char16_t*)objectName->Buffer, objectName->Length / sizeof(WCHAR)));
    if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    // What the I/O manager checks before any driver sees the create.
    if (device->HkNode->deleted || (device->Flags & DO_DEVICE_INITIALIZING)) {
        ObDereferenceObject(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
        ObDereferenceObject(device);
        return STATUS_ACCESS_DENIED;
    }
    status = PnpCheckOpen(device);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(device);
        return status;
    }
    ACCESS_MASK granted = MapGenericFileAccess(desiredAccess);
    PFILE_OBJECT file = NewFileObject(device, granted, DestroyKernelFile);
    status = SendOnFile(file, IRP_MJ_CREATE, granted);
    if (!NT_SUCCESS(status)) {
        // A failed create is never closed: the file object just goes.
        ObDereferenceObject(file);
        ObDereferenceObject(device);
        return status;
    }
    // The open the Plug and Play manager counts, and the file's hold on its device; the
    // lookup's reference passes to the file.
    InterlockedIncrement(&device->ReferenceCount);
    {
        std::lock_guard guard(g_lock);
        OpenFiles().insert(file);
    }
    // The handle ZwOpenFile gave is closed again at once: its cleanup reaches the stack now.
    SendOnFile(file, IRP_MJ_CLEANUP);
    *fileObject = file;
    *deviceObject = IoGetAttachedDevice(device);
    bool gap;
    DeviceObjectPointerGap what;
    {
        std::lock_guard guard(g_lock);
        gap = g_gapPending;
        what = g_gap;
        g_gapPending = false;
    }
    if (gap && what != DeviceObjectPointerGap::NoDevice) {
        *fileObject = nullptr;
        ObDereferenceObject(file);
    }
    if (gap && what != DeviceObjectPointerGap::NoFileObject) *deviceObject = nullptr;
    return STATUS_SUCCESS;
}

}  // extern "C"
