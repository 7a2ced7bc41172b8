// The harness: drivers loaded and unloaded as the I/O manager does, and applications' I/O.
#include "internal.h"

#include <hostkernel/threads.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace hk {

struct RequestAccess;

namespace {

// Completion back to an application: copy-out as the I/O manager does for the request's
// buffering method, then wake whoever waits.
struct HarnessSink final : IrpCompletionSink {
    std::mutex lock;
    bool completed = false;
    // Set with `completed`; waiters sleep on it and return without taking the lock, so that the
    // completing thread, which still holds it, does not wake them only to block them again.
    std::atomic<uint32_t> done{kNoticeClear};
    Request* request = nullptr;
    std::thread::id issuer = std::this_thread::get_id();
    std::vector<UCHAR> systemBuffer;
    MDL mdl{};
    void Completed(PIRP irp) override;
};

using SinkTable = AddressTable<PIRP, HarnessSink*>;
SinkTable& Sinks()
{
    static auto* sinks = new SinkTable;
    return *sinks;
}

HarnessSink* SinkOf(PIRP irp)
{
    auto part = Sinks().Lock(irp);
    auto it = part.entries.find(irp);
    return it == part.entries.end() ? nullptr : it->second;
}

bool IsError(NTSTATUS status) { return ((ULONG)status >> 30) == 3; }

}  // namespace

struct RequestAccess {
    static std::vector<UCHAR>& Output(Request& r) { return r.output_; }
    static ULONG OutputLength(Request& r) { return r.outputLength_; }
    static PVOID& MdlBuffer(Request& r) { return r.mdlBuffer_; }
};

namespace {

void HarnessSink::Completed(PIRP irp)
{
    std::lock_guard guard(lock);
    if (request != nullptr) {
        auto& output = RequestAccess::Output(*request);
        ULONG wanted = RequestAccess::OutputLength(*request);
        ULONG_PTR information = irp->IoStatus.Information;
        PIO_STACK_LOCATION top = (PIO_STACK_LOCATION)(irp + 1) + (irp->StackCount - 1);
        if (!IsError(irp->IoStatus.Status) && wanted != 0) {
            if (information > wanted) {
                ReportViolation("IRP %p (major 0x%02x) completed with Information %lu beyond its %u-byte buffer",
                                (void*)irp, top->MajorFunction, (unsigned long)information, wanted);
                information = wanted;
            }
            const UCHAR* source = nullptr;
            if (irp->Flags & IRP_BUFFERED_IO) source = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
            else source = (const UCHAR*)RequestAccess::MdlBuffer(*request);
            if (source) output.assign(source, source + information);
        }
    }
    completed = true;
    // Woken while the lock is held: the request (and this sink) cannot go before it is released.
    if (NoticePost(&done)) FutexWake(&done, INT32_MAX);
}

}  // namespace

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

static void DestroyDriver(PVOID object)
{
    auto driver = (PDRIVER_OBJECT)object;
    free(driver->DriverName.Buffer);
    free(driver->DriverExtension->ServiceKeyName.Buffer);
    free(driver->DriverExtension);
    free(driver);
}

static PWSTR CopyWide(PCWSTR text, USHORT* bytes)
{
    size_t n = 0;
    while (text[n]) n++;
    auto copy = (PWSTR)calloc(n + 1, sizeof(WCHAR));
    memcpy(copy, text, n * sizeof(WCHAR));
    *bytes = (USHORT)(n * sizeof(WCHAR));
    return copy;
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, PCWSTR registryPath, PDRIVER_OBJECT* out, PCWSTR name)
{
    auto driver = (PDRIVER_OBJECT)calloc(1, sizeof(DRIVER_OBJECT));
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = (PDRIVER_EXTENSION)calloc(1, sizeof(DRIVER_EXTENSION));
    driver->DriverExtension->DriverObject = driver;
    // The service's name is the last component of its key, as the I/O manager sets it.
    PCWSTR service = registryPath;
    for (PCWSTR c = registryPath; *c; c++) {
        if (*c == L'\\') service = c + 1;
    }
    driver->DriverExtension->ServiceKeyName.Buffer = CopyWide(service, &driver->DriverExtension->ServiceKeyName.Length);
    driver->DriverExtension->ServiceKeyName.MaximumLength =
        driver->DriverExtension->ServiceKeyName.Length + sizeof(WCHAR);
    driver->DriverName.Buffer = CopyWide(name, &driver->DriverName.Length);
    driver->DriverName.MaximumLength = driver->DriverName.Length + sizeof(WCHAR);
    driver->DriverInit = entry;
    for (auto& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
    ObjectInsert(driver, ObjectKind::Driver, DestroyDriver);

    UNICODE_STRING path;
    USHORT bytes;
    PWSTR buffer = CopyWide(registryPath, &bytes);
    path.Buffer = buffer;
    path.Length = bytes;
    path.MaximumLength = bytes + sizeof(WCHAR);
    NTSTATUS status = entry(driver, &path);
    free(buffer);  // the I/O manager's copy: drivers must keep their own
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("DriverEntry returned at IRQL %u", KeGetCurrentIrql());
    if (!NT_SUCCESS(status)) {
        if (driver->DeviceObject) ReportViolation("DriverEntry failed but left device objects behind");
        ObDereferenceObject(driver);
        *out = nullptr;
        return status;
    }
    *out = driver;
    return status;
}

void UnloadDriver(PDRIVER_OBJECT driver)
{
    if (driver->DeviceObject != nullptr) {
        ReportViolation("driver unloaded while device %p still exists", (void*)driver->DeviceObject);
    }
    if (driver->DriverUnload) driver->DriverUnload(driver);
    ObDereferenceObject(driver);
    VerifyClean();
}

void VerifyCleanCore()
{
    PoolCleanCheck();
    IoCleanCheck();
    ObjectCleanCheck();
}

// ---- Request ----------------------------------------------------------------------------------

Request::~Request()
{
    HarnessSink* sink = SinkOf(irp_);
    bool completed;
    {
        std::lock_guard guard(sink->lock);
        completed = sink->completed;
        sink->request = nullptr;
    }
    {
        auto part = Sinks().Lock(irp_);
        part.entries.erase(irp_);
    }
    if (completed) {
        IrpRelease(irp_);
        delete sink;
    } else {
        // Still held by a driver: the I/O manager frees it when it completes (the unload check
        // reports it if it never does). The sink's buffers must outlive it.
        IrpSetOrigin(irp_, IrpOrigin::Harness, nullptr);
        static std::mutex orphanLock;
        static auto* orphans = new std::vector<HarnessSink*>;
        std::lock_guard guard(orphanLock);
        orphans->push_back(sink);
    }
}

bool Request::Completed() const
{
    HarnessSink* sink = SinkOf(irp_);
    std::lock_guard guard(sink->lock);
    return sink->completed;
}

bool Request::Wait(std::chrono::milliseconds timeout)
{
    HarnessSink* sink = SinkOf(irp_);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    return NoticeWait(&sink->done, &deadline);
}

NTSTATUS Request::Status() const
{
    HarnessSink* sink = SinkOf(irp_);
    std::lock_guard guard(sink->lock);
    return sink->completed ? irp_->IoStatus.Status : STATUS_PENDING;
}

ULONG_PTR Request::Information() const
{
    HarnessSink* sink = SinkOf(irp_);
    std::lock_guard guard(sink->lock);
    return sink->completed ? irp_->IoStatus.Information : 0;
}

// An application's CancelIo: the I/O manager cancels at APC_LEVEL.
BOOLEAN Request::Cancel()
{
    BOOLEAN cancelled = FALSE;
    RunAtIrql(APC_LEVEL, [&] { cancelled = IoCancelIrp(irp_); });
    return cancelled;
}

// Another driver cancelling a request it sent: from a DPC or under its spin lock.
BOOLEAN Request::CancelAtDispatchLevel()
{
    BOOLEAN cancelled = FALSE;
    RunAtIrql(DISPATCH_LEVEL, [&] { cancelled = IoCancelIrp(irp_); });
    return cancelled;
}

size_t CancelThreadRequests()
{
    // The thread's request list of the platform: every request this thread issued that has not
    // come back. The thread owns its Request objects, so none of them is freed meanwhile.
    std::vector<PIRP> issued;
    {
        Sinks().ForEach([&](PIRP irp, HarnessSink* sink) {
            std::lock_guard sinkGuard(sink->lock);
            if (sink->issuer == std::this_thread::get_id() && !sink->completed) issued.push_back(irp);
        });
    }
    size_t cancelled = 0;
    RunAtIrql(APC_LEVEL, [&] {
        for (PIRP irp : issued) cancelled += IoCancelIrp(irp) ? 1 : 0;
    });
    return cancelled;
}

// ---- File -------------------------------------------------------------------------------------

static void DestroyFile(PVOID object)
{
    auto file = (PFILE_OBJECT)object;
    free(file->FileName.Buffer);
    free(file);
}

std::unique_ptr<File> File::Open(PDEVICE_OBJECT device, ACCESS_MASK access, NTSTATUS* status, User user)
{
    std::unique_ptr<File> handle(new File);
    ACCESS_MASK granted = 0;
    *status = CheckOpenAccess(device, user, access, &granted);
    if (!NT_SUCCESS(*status)) return nullptr;
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
        *status = STATUS_ACCESS_DENIED;
        return nullptr;
    }
    if (device->HkNode->deleted) {
        *status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    *status = PnpCheckOpen(device);
    if (!NT_SUCCESS(*status)) return nullptr;
    PFILE_OBJECT file = NewFileObject(device, granted, DestroyFile);
    handle->file_ = file;
    handle->granted_ = granted;

    auto request = handle->Build(IRP_MJ_CREATE, 0);
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = granted;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(request->Irp());
    sp->Parameters.Create.SecurityContext = &security;
    sp->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
    sp->Parameters.Create.ShareAccess = 0;
    request = handle->Dispatch(std::move(request));
    if (!request->Wait()) {
        ReportViolation("IRP_MJ_CREATE on device %p never completed", (void*)device);
    }
    *status = request->Status();
    if (!NT_SUCCESS(*status)) {
        handle->closed_ = handle->cleanedUp_ = true;
        ObDereferenceObject(file);
        handle->file_ = nullptr;
        return nullptr;
    }
    // The file holds its device as on the platform: the count of open files the Plug and Play
    // manager consults, and a reference that keeps the device object (and its extension) in
    // memory after IoDeleteDevice until the file's close has reached its driver.
    InterlockedIncrement(&device->ReferenceCount);
    ObReferenceObject(device);
    return handle;
}

File::~File()
{
    if (file_ && !closed_) Close();
}

std::unique_ptr<Request> File::Build(UCHAR major, UCHAR minor)
{
    top_ = IoGetAttachedDevice(file_->DeviceObject);
    std::unique_ptr<Request> request(new Request);
    PIRP irp = IrpAllocate(top_->StackSize, IrpOrigin::Harness);
    auto sink = new HarnessSink;
    sink->request = request.get();
    {
        auto part = Sinks().Lock(irp);
        part.entries[irp] = sink;
    }
    IrpSetOrigin(irp, IrpOrigin::Harness, sink);
    irp->RequestorMode = UserMode;
    ObReferenceObject(file_);  // dropped when the request is back (io.cpp)
    irp->Tail.Overlay.OriginalFileObject = file_;
    IrpSetHeldFile(irp, file_);
    irp->IoStatus.Status = STATUS_PENDING;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    sp->FileObject = file_;
    request->irp_ = irp;
    return request;
}

std::unique_ptr<Request> File::Dispatch(std::unique_ptr<Request> request)
{
    PIRP irp = request->irp_;
    bool inRegion = CurrentThreadInCriticalRegion();
    PDRIVER_DISPATCH routed = routes_[IoGetNextIrpStackLocation(irp)->MajorFunction];
    NTSTATUS status;
    if (routed != nullptr) {
        // What IoCallDriver does, with the test's routine as the dispatch entry.
        irp->CurrentLocation--;
        PIO_STACK_LOCATION sp = --irp->Tail.Overlay.CurrentStackLocation;
        sp->DeviceObject = top_;
        status = routed(top_, irp);
    } else {
        status = IoCallDriver(top_, irp);
    }
    request->dispatchStatus_ = status;
    // The platform checks this on the way back to user mode (bug check APC_INDEX_MISMATCH).
    if (CurrentThreadInCriticalRegion() != inRegion) {
        ReportViolation("a critical region entered or left in dispatch was not balanced on return (IRP %p)",
                        (void*)irp);
    }
    bool completed = request->Completed();
    // Whether STATUS_PENDING matches the pending mark is judged by IoCallDriver.
    if (status != STATUS_PENDING && completed && irp->IoStatus.Status != status) {
        ReportViolation("dispatch returned 0x%08x for IRP %p but completed it with 0x%08x", (unsigned)status,
                        (void*)irp, (unsigned)irp->IoStatus.Status);
    } else if (status != STATUS_PENDING && !completed) {
        ReportViolation("dispatch returned 0x%08x for IRP %p without completing it", (unsigned)status, (void*)irp);
    }
    return request;
}

// The I/O manager's own refusal: the request completes without any driver seeing it.
std::unique_ptr<Request> File::Refuse(std::unique_ptr<Request> request, NTSTATUS status)
{
    PIRP irp = request->irp_;
    request->dispatchStatus_ = status;
    irp->IoStatus.Status = status;
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return request;
}

std::unique_ptr<Request> File::SendAsync(UCHAR major, UCHAR minor) { return Dispatch(Build(major, minor)); }

void File::Route(UCHAR major, PDRIVER_DISPATCH routine) { routes_[major] = routine; }

void File::MapDirectBuffers(bool mapped) { mapDirect_ = mapped; }

// Reads and writes reach the driver the way the top device's Flags ask for: a system buffer
// (DO_BUFFERED_IO), an MDL (DO_DIRECT_IO) or only the application's own address (neither). An
// MDL describes the application's locked pages with no system address until a driver maps it. A
// transfer of zero bytes carries no buffer at all. Each buffer is its own allocation of exactly
// the length, so that ASan catches a driver reading past it; what a read hands over is stale
// pool, not zeroes.
std::unique_ptr<Request> File::ReadAsync(ULONG length)
{
    auto request = Build(IRP_MJ_READ, 0);
    PIRP irp = request->irp_;
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
    HarnessSink* sink = SinkOf(irp);
    request->outputLength_ = length;
    if (!file_->ReadAccess) {
        return Refuse(std::move(request), STATUS_ACCESS_DENIED);
    }
    sink->systemBuffer.assign(length, kStalePoolByte);
    PVOID buffer = length ? sink->systemBuffer.data() : nullptr;
    if (top_->Flags & DO_BUFFERED_IO) {
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
    } else if (top_->Flags & DO_DIRECT_IO) {
        request->mdlBuffer_ = buffer;
        if (length) {
            DescribeLockedBuffer(&sink->mdl, buffer, length, mapDirect_);
            irp->MdlAddress = &sink->mdl;
        }
    } else {
        request->mdlBuffer_ = buffer;
        irp->UserBuffer = buffer;
    }
    return Dispatch(std::move(request));
}

std::unique_ptr<Request> File::WriteAsync(const void* data, ULONG length)
{
    auto request = Build(IRP_MJ_WRITE, 0);
    PIRP irp = request->irp_;
    IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = length;
    HarnessSink* sink = SinkOf(irp);
    if (!file_->WriteAccess) {
        return Refuse(std::move(request), STATUS_ACCESS_DENIED);
    }
    sink->systemBuffer.assign((const UCHAR*)data, (const UCHAR*)data + length);
    PVOID buffer = length ? sink->systemBuffer.data() : nullptr;
    if (top_->Flags & DO_BUFFERED_IO) {
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags = IRP_BUFFERED_IO;
    } else if (top_->Flags & DO_DIRECT_IO) {
        if (length) {
            DescribeLockedBuffer(&sink->mdl, buffer, length, mapDirect_);
            irp->MdlAddress = &sink->mdl;
        }
    } else {
        irp->UserBuffer = buffer;
    }
    return Dispatch(std::move(request));
}

std::unique_ptr<Request> File::IoctlAsync(ULONG code, const void* input, ULONG inputLength, ULONG outputLength,
                                          const void* outputContents)
{
    auto request = Build(IRP_MJ_DEVICE_CONTROL, 0);
    PIRP irp = request->irp_;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    request->outputLength_ = outputLength;
    HarnessSink* sink = SinkOf(irp);

    // The I/O manager checks the access the code requires against the handle's before sending.
    ULONG required = (code >> 14) & 3;
    if (((required & FILE_READ_ACCESS) && !(granted_ & FILE_READ_DATA)) ||
        ((required & FILE_WRITE_ACCESS) && !(granted_ & FILE_WRITE_DATA))) {
        return Refuse(std::move(request), STATUS_ACCESS_DENIED);
    }
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        // One buffer for both directions: the input, then stale pool up to the output length.
        ULONG size = inputLength > outputLength ? inputLength : outputLength;
        sink->systemBuffer.assign(size, kStalePoolByte);
        if (inputLength) memcpy(sink->systemBuffer.data(), input, inputLength);
        irp->AssociatedIrp.SystemBuffer = size ? sink->systemBuffer.data() : nullptr;
        irp->Flags = IRP_BUFFERED_IO | (outputLength ? IRP_INPUT_OPERATION : 0);
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
        request->input_.assign((const UCHAR*)input, (const UCHAR*)input + inputLength);
        if (inputLength) irp->AssociatedIrp.SystemBuffer = request->input_.data();
        sink->systemBuffer.assign(outputLength, kStalePoolByte);
        if (outputContents && outputLength) memcpy(sink->systemBuffer.data(), outputContents, outputLength);
        if (outputLength) {
            request->mdlBuffer_ = sink->systemBuffer.data();
            DescribeLockedBuffer(&sink->mdl, request->mdlBuffer_, outputLength, mapDirect_);
            irp->MdlAddress = &sink->mdl;
        }
        break;
    }
    default:
        request->input_.assign((const UCHAR*)input, (const UCHAR*)input + inputLength);
        sp->Parameters.DeviceIoControl.Type3InputBuffer = inputLength ? request->input_.data() : nullptr;
        sink->systemBuffer.assign(outputLength, kStalePoolByte);
        if (outputContents && outputLength) memcpy(sink->systemBuffer.data(), outputContents, outputLength);
        request->mdlBuffer_ = outputLength ? sink->systemBuffer.data() : nullptr;
        irp->UserBuffer = request->mdlBuffer_;
        break;
    }
    return Dispatch(std::move(request));
}

static std::unique_ptr<Request> Waited(std::unique_ptr<Request> request)
{
    if (!request->Wait()) ReportViolation("request %p did not complete in time", (void*)request->Irp());
    return request;
}

std::unique_ptr<Request> File::Read(ULONG length) { return Waited(ReadAsync(length)); }
std::unique_ptr<Request> File::Write(const void* data, ULONG length) { return Waited(WriteAsync(data, length)); }
std::unique_ptr<Request> File::Ioctl(ULONG code, const void* input, ULONG inputLength, ULONG outputLength,
                                     const void* outputContents)
{
    return Waited(IoctlAsync(code, input, inputLength, outputLength, outputContents));
}

NTSTATUS File::Cleanup()
{
    if (cleanedUp_) return STATUS_SUCCESS;
    cleanedUp_ = true;
    auto request = Waited(SendAsync(IRP_MJ_CLEANUP));
    return request->Status();
}

NTSTATUS File::Close()
{
    if (closed_) return STATUS_SUCCESS;
    Cleanup();
    closed_ = true;
    // The requests still pending on the file hold a reference each until they are back. The
    // driver must end them at cleanup (at once, or within a few milliseconds from a service
    // thread); the application's close waits for that here (generously) rather than returning
    // early, so that the close has reached the driver before the next step of a test.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (HarnessRequestsHolding(file_) > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    size_t pending = HarnessRequestsHolding(file_);
    if (pending > 0) {
        ReportViolation("IRP_MJ_CLOSE for file object %p held back: %zu request(s) still pending 3 s after "
                        "IRP_MJ_CLEANUP; the driver must complete its requests at cleanup",
                        (void*)file_, pending);
    }
    if (ObjectReferenceCount(file_) > 1) {
        // A driver (or a request still pending) references the file object: as on the platform, the
        // handle's close ends here, and IRP_MJ_CLOSE comes when the last reference goes, from
        // whoever drops it.
        PFILE_OBJECT file = file_;
        file_ = nullptr;
        CloseWithLastReference(file);
        return STATUS_SUCCESS;
    }
    auto request = Waited(SendAsync(IRP_MJ_CLOSE));
    NTSTATUS status = request->Status();
    request.reset();
    PDEVICE_OBJECT device = file_->DeviceObject;
    InterlockedDecrement(&device->ReferenceCount);
    ObDereferenceObject(file_);
    file_ = nullptr;
    PnpHandleClosed(device);
    ObDereferenceObject(device);
    return status;
}

DirectResult SendDirect(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& prepare, ULONG_PTR information,
                        NTSTATUS initialStatus)
{
    // The top is held for the request's life, as the managers hold it.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &iosb);
    MarkManagerRequest(irp);
    irp->IoStatus.Status = initialStatus;
    irp->IoStatus.Information = information;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    if (prepare) prepare(sp);
    NTSTATUS status = IoCallDriver(top, irp);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 1000 * 1000 * 60;  // a minute: a request that never ends is a hang
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        ReportViolation("request 0x%02x/0x%02x to device %p never completed", major, minor, (void*)top);
        ObDereferenceObject(top);
        return {STATUS_TIMEOUT, 0};
    }
    if (status != STATUS_PENDING && status != iosb.Status) {
        ReportViolation("request 0x%02x/0x%02x: dispatch returned 0x%08x but the request completed with 0x%08x",
                        major, minor, (unsigned)status, (unsigned)iosb.Status);
    }
    ObDereferenceObject(top);
    return {iosb.Status, iosb.Information};
}

}  // namespace hk
