#include "fake_serial_port.h"

#include <gtest/gtest.h>
#include <ntddser.h>

#include <algorithm>
#include <cstring>

namespace {

struct FakePortExtension {
    FakeSerialPort* Port;
};

std::mutex g_portsLock;
std::map<PDRIVER_OBJECT, FakeSerialPort*>& Ports()
{
    static auto* ports = new std::map<PDRIVER_OBJECT, FakeSerialPort*>;
    return *ports;
}

NTSTATUS PortDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    return ((FakePortExtension*)device->DeviceExtension)->Port->Dispatch(device, irp);
}

NTSTATUS PortAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    FakeSerialPort* port;
    {
        std::lock_guard guard(g_portsLock);
        port = Ports()[driver];
    }
    return port->AddDevice(driver, pdo);
}

void PortCancel(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ((FakePortExtension*)device->DeviceExtension)->Port->CancelHeld(irp);
}

NTSTATUS PortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction) dispatch = PortDispatch;
    driver->DriverExtension->AddDevice = PortAddDevice;
    return STATUS_SUCCESS;
}

NTSTATUS SignalLower(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Where a request's data lies for the driver, by the way the I/O manager handed it over.
PUCHAR MdlBuffer(PIRP irp)
{
    return irp->MdlAddress ? (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : nullptr;
}

PUCHAR TransferBuffer(PDEVICE_OBJECT device, PIRP irp)
{
    if (device->Flags & DO_BUFFERED_IO) return (PUCHAR)irp->AssociatedIrp.SystemBuffer;
    if (device->Flags & DO_DIRECT_IO) return MdlBuffer(irp);
    return (PUCHAR)irp->UserBuffer;
}

}  // namespace

FakeSerialPort::FakeSerialPort(Options options) : options_(std::move(options))
{
    NTSTATUS status = hk::LoadDriver(PortEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\fakeserial",
                                     &driver_, L"\\Driver\\fakeserial");
    if (!NT_SUCCESS(status)) {
        ADD_FAILURE_AT(__FILE__, __LINE__);
        return;
    }
    {
        std::lock_guard guard(g_portsLock);
        Ports()[driver_] = this;
    }
    if (!options_.Pnp) {
        PDEVICE_OBJECT device = nullptr;
        if (NT_SUCCESS(CreateNamedDevice(&device))) {
            device->Flags &= ~DO_DEVICE_INITIALIZING;
            std::lock_guard guard(lock_);
            device_ = device;
        }
        return;
    }
    hk::RootDeviceBehavior behavior;
    behavior.HardwareId = u"root\\fakeserial";
    pdo_ = hk::CreateRootDevice(driver_, &status, behavior);
    if (pdo_ != nullptr) Start();
}

FakeSerialPort::FakeSerialPort() : FakeSerialPort(Options()) {}

FakeSerialPort::~FakeSerialPort() { Destroy(); }

NTSTATUS FakeSerialPort::CreateNamedDevice(PDEVICE_OBJECT* device)
{
    UNICODE_STRING name;
    name.Buffer = (PWCH)options_.Name.c_str();
    name.Length = (USHORT)(options_.Name.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(FakePortExtension), &name, FILE_DEVICE_SERIAL_PORT,
                                     FILE_DEVICE_SECURE_OPEN, options_.Exclusive ? TRUE : FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    ((FakePortExtension*)(*device)->DeviceExtension)->Port = this;
    (*device)->Flags |= options_.Method == Io::Buffered ? DO_BUFFERED_IO : DO_DIRECT_IO;
    if (options_.PowerPagable) (*device)->Flags |= DO_POWER_PAGABLE;
    return STATUS_SUCCESS;
}

NTSTATUS FakeSerialPort::AddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = CreateNamedDevice(&device);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard guard(lock_);
    lower_ = lower;
    device_ = device;
    removed_ = false;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT FakeSerialPort::Device() const
{
    std::lock_guard guard(lock_);
    return device_;
}

bool FakeSerialPort::Removed() const
{
    std::lock_guard guard(lock_);
    return removed_;
}

void FakeSerialPort::Receive(const std::vector<UCHAR>& bytes)
{
    std::lock_guard guard(lock_);
    line_.insert(line_.end(), bytes.begin(), bytes.end());
}

void FakeSerialPort::Receive(const char* text) { Receive(std::vector<UCHAR>(text, text + strlen(text))); }

void FakeSerialPort::SetControlOutput(ULONG code, std::vector<UCHAR> bytes)
{
    std::lock_guard guard(lock_);
    controlOutput_[code] = std::move(bytes);
}

void FakeSerialPort::Script(UCHAR major, Answer answer)
{
    std::lock_guard guard(lock_);
    scripts_[major].push_back(answer);
}

void FakeSerialPort::SetDefault(UCHAR major, Answer answer)
{
    std::lock_guard guard(lock_);
    defaults_[major] = answer;
}

void FakeSerialPort::FailNextPnp(UCHAR minor, NTSTATUS status)
{
    std::lock_guard guard(lock_);
    pnpFailures_[minor] = status;
}

bool FakeSerialPort::Scripted(UCHAR major, Answer* answer)
{
    std::lock_guard guard(lock_);
    auto& queue = scripts_[major];
    if (!queue.empty()) {
        *answer = queue.front();
        queue.pop_front();
        return true;
    }
    auto it = defaults_.find(major);
    if (it == defaults_.end()) return false;
    *answer = it->second;
    return true;
}

std::vector<FakeSerialPort::Seen> FakeSerialPort::Requests() const
{
    std::lock_guard guard(lock_);
    return seen_;
}

std::vector<FakeSerialPort::Seen> FakeSerialPort::Requests(UCHAR major) const
{
    std::lock_guard guard(lock_);
    std::vector<Seen> out;
    for (const Seen& s : seen_) {
        if (s.Major == major) out.push_back(s);
    }
    return out;
}

std::vector<UCHAR> FakeSerialPort::Written() const
{
    std::lock_guard guard(lock_);
    return written_;
}

std::vector<UCHAR> FakeSerialPort::ImmediateChars() const
{
    std::lock_guard guard(lock_);
    return immediate_;
}

size_t FakeSerialPort::HeldCount() const
{
    std::lock_guard guard(lock_);
    return held_.size();
}

bool FakeSerialPort::WaitHeld(size_t count, std::chrono::milliseconds limit) const
{
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return held_.size() >= count; });
}

NTSTATUS FakeSerialPort::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Seen seen{};
    seen.Major = sp->MajorFunction;
    seen.Minor = sp->MinorFunction;
    seen.Irp = irp;
    seen.StackCount = irp->StackCount;
    seen.FileObject = sp->FileObject;
    seen.Irql = KeGetCurrentIrql();
    seen.Mdl = irp->MdlAddress;
    seen.MdlMapped = irp->MdlAddress && irp->MdlAddress->MappedSystemVa != nullptr;
    seen.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
    switch (sp->MajorFunction) {
    case IRP_MJ_READ:
        seen.Length = sp->Parameters.Read.Length;
        break;
    case IRP_MJ_WRITE: {
        seen.Length = sp->Parameters.Write.Length;
        PUCHAR data = TransferBuffer(device, irp);
        if (data) seen.Data.assign(data, data + seen.Length);
        break;
    }
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
        ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
        seen.IoControlCode = code;
        seen.Length = sp->Parameters.DeviceIoControl.OutputBufferLength;
        PUCHAR input = METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER
                           ? (PUCHAR)sp->Parameters.DeviceIoControl.Type3InputBuffer
                           : (PUCHAR)irp->AssociatedIrp.SystemBuffer;
        if (input && in) seen.Data.assign(input, input + in);
        if (METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT) {
            PUCHAR buffer = MdlBuffer(irp);
            if (buffer) seen.MdlData.assign(buffer, buffer + MmGetMdlByteCount(irp->MdlAddress));
        }
        break;
    }
    default:
        break;
    }
    {
        std::lock_guard guard(lock_);
        seen_.push_back(std::move(seen));
    }
    changed_.notify_all();

    switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
        return DispatchPnp(device, irp);
    case IRP_MJ_POWER:
        return DispatchPower(device, irp);
    case IRP_MJ_CLEANUP: {
        // As a serial driver ends the requests of the handle being closed.
        std::vector<PIRP> ended;
        {
            std::lock_guard guard(lock_);
            for (auto it = held_.begin(); it != held_.end();) {
                if (IoGetCurrentIrpStackLocation(it->Irp)->FileObject == sp->FileObject && Claim(*it)) {
                    ended.push_back(it->Irp);
                    it = held_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (PIRP held : ended) CompleteWith(held, STATUS_CANCELLED);
        CompleteWith(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    default:
        break;
    }

    Answer answer = Answer::Now();
    Scripted(sp->MajorFunction, &answer);
    return Respond(irp, answer);
}

NTSTATUS FakeSerialPort::Respond(PIRP irp, Answer answer)
{
    switch (answer.Timing) {
    case Answer::When::Now:
        return Finish(irp, answer.Status, answer.Count);
    case Answer::When::Later:
        IoMarkIrpPending(irp);
        CompleteLater(irp, answer);
        return STATUS_PENDING;
    case Answer::When::Hold:
        break;
    }
    IoMarkIrpPending(irp);
    bool cancelNow = false;
    {
        std::lock_guard guard(lock_);
        held_.push_back({irp, answer.Count, answer.Cancelable});
        if (answer.Cancelable) IoSetCancelRoutine(irp, PortCancel);
        if (answer.Cancelable && ReadBooleanNoFence(&irp->Cancel) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            held_.pop_back();
            cancelNow = true;
        }
    }
    changed_.notify_all();
    if (cancelNow) CompleteWith(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
}

NTSTATUS FakeSerialPort::Finish(PIRP irp, NTSTATUS status, std::optional<ULONG_PTR> count)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT device = sp->DeviceObject;
    ULONG_PTR information = 0;
    // A scripted count is reported as it is, but never beyond the buffer the request has.
    auto reported = [&](ULONG_PTR room) { return count ? std::min<ULONG_PTR>(*count, room) : room; };
    if (NT_SUCCESS(status)) {
        switch (sp->MajorFunction) {
        case IRP_MJ_READ: {
            ULONG length = sp->Parameters.Read.Length;
            PUCHAR buffer = TransferBuffer(device, irp);
            if (length && buffer == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;  // the MDL could not be mapped
                break;
            }
            ULONG_PTR limit = reported(length);
            std::lock_guard guard(lock_);
            while (information < limit && !line_.empty()) {
                buffer[information++] = line_.front();
                line_.pop_front();
            }
            if (count) information = limit;
            break;
        }
        case IRP_MJ_WRITE: {
            ULONG length = sp->Parameters.Write.Length;
            PUCHAR buffer = TransferBuffer(device, irp);
            if (length && buffer == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            information = reported(length);
            std::lock_guard guard(lock_);
            written_.insert(written_.end(), buffer, buffer + information);
            break;
        }
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
            ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
            if (code == IOCTL_SERIAL_IMMEDIATE_CHAR) {
                if (sp->Parameters.DeviceIoControl.InputBufferLength < sizeof(UCHAR)) {
                    status = STATUS_BUFFER_TOO_SMALL;
                    break;
                }
                information = reported(sizeof(UCHAR));
                std::lock_guard guard(lock_);
                if (information != 0) immediate_.push_back(*(PUCHAR)irp->AssociatedIrp.SystemBuffer);
                break;
            }
            std::vector<UCHAR> reply;
            {
                std::lock_guard guard(lock_);
                auto it = controlOutput_.find(code);
                if (it == controlOutput_.end()) {
                    information = count ? reported(sp->Parameters.DeviceIoControl.OutputBufferLength) : 0;
                    break;
                }
                reply = it->second;
            }
            ULONG room = sp->Parameters.DeviceIoControl.OutputBufferLength;
            PUCHAR out = nullptr;
            switch (METHOD_FROM_CTL_CODE(code)) {
            case METHOD_BUFFERED: out = (PUCHAR)irp->AssociatedIrp.SystemBuffer; break;
            case METHOD_IN_DIRECT:
            case METHOD_OUT_DIRECT: out = MdlBuffer(irp); break;
            default: out = (PUCHAR)irp->UserBuffer; break;
            }
            if (room < reply.size()) {
                status = STATUS_BUFFER_TOO_SMALL;
                break;
            }
            if (!reply.empty() && out == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            if (!reply.empty()) memcpy(out, reply.data(), reply.size());
            information = count ? reported(room) : reply.size();
            break;
        }
        default:
            break;
        }
    }
    if (!NT_SUCCESS(status)) information = count ? *count : 0;
    CompleteWith(irp, status, information);
    return status;
}

void FakeSerialPort::CompleteLater(PIRP irp, Answer answer)
{
    std::lock_guard guard(lock_);
    laterRunning_++;
    later_.emplace_back([this, irp, answer] {
        std::this_thread::sleep_for(answer.Delay);
        // From the port's DPC: completion routines above run at DISPATCH_LEVEL.
        hk::RunAtIrql(DISPATCH_LEVEL, [&] { Finish(irp, answer.Status, answer.Count); });
        std::lock_guard guard(lock_);
        laterRunning_--;
        changed_.notify_all();
    });
}

void FakeSerialPort::WaitIdle()
{
    std::vector<std::thread> threads;
    {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return laterRunning_ == 0; });
        threads.swap(later_);
    }
    for (auto& t : threads) t.join();
}

bool FakeSerialPort::Claim(const HeldRequest& held)
{
    return !held.Cancelable || IoSetCancelRoutine(held.Irp, nullptr) != nullptr;
}

void FakeSerialPort::CancelHeld(PIRP irp)
{
    {
        std::lock_guard guard(lock_);
        auto it = std::find_if(held_.begin(), held_.end(), [&](const HeldRequest& held) { return held.Irp == irp; });
        if (it == held_.end()) return;
        held_.erase(it);
    }
    CompleteWith(irp, STATUS_CANCELLED);
}

size_t FakeSerialPort::ReleaseHeld(NTSTATUS status)
{
    std::vector<HeldRequest> released;
    {
        std::lock_guard guard(lock_);
        for (auto it = held_.begin(); it != held_.end();) {
            // A request whose cancel routine is already running is left to it.
            if (Claim(*it)) {
                released.push_back(*it);
                it = held_.erase(it);
            } else {
                ++it;
            }
        }
    }
    hk::RunAtIrql(DISPATCH_LEVEL, [&] {
        for (const HeldRequest& held : released) Finish(held.Irp, status, held.Count);
    });
    return released.size();
}

NTSTATUS FakeSerialPort::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower;
    NTSTATUS failure = STATUS_SUCCESS;
    {
        std::lock_guard guard(lock_);
        lower = lower_;
        auto it = pnpFailures_.find(sp->MinorFunction);
        if (it != pnpFailures_.end()) {
            failure = it->second;
            pnpFailures_.erase(it);
        }
    }
    if (lower == nullptr) {
        // A device with no Plug and Play stack below: nothing to do, the request keeps its status.
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (!NT_SUCCESS(failure)) {
        CompleteWith(irp, failure, irp->IoStatus.Information);
        return failure;
    }
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        // The bus starts the device first; the port starts on the way back up.
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalLower, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(lower, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
        std::vector<PIRP> ended;
        {
            std::lock_guard guard(lock_);
            for (const HeldRequest& held : held_) {
                if (Claim(held)) ended.push_back(held.Irp);
            }
            held_.clear();
        }
        for (PIRP held : ended) CompleteWith(held, STATUS_NO_SUCH_DEVICE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        {
            std::lock_guard guard(lock_);
            lower_ = nullptr;
            device_ = nullptr;
            removed_ = true;
        }
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        changed_.notify_all();
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS FakeSerialPort::DispatchPower(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower;
    {
        std::lock_guard guard(lock_);
        lower = lower_;
    }
    PoStartNextPowerIrp(irp);
    Answer answer;
    if (Scripted(IRP_MJ_POWER, &answer)) return Respond(irp, answer);
    if (lower != nullptr) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    NTSTATUS status = irp->IoStatus.Status;
    if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FakeSerialPort::Start() { return pdo_ ? hk::StartDevice(pdo_) : STATUS_INVALID_DEVICE_REQUEST; }

NTSTATUS FakeSerialPort::Stop() { return pdo_ ? hk::StopDevice(pdo_) : STATUS_INVALID_DEVICE_REQUEST; }

NTSTATUS FakeSerialPort::QueryRemoveAndRemove()
{
    if (pdo_ == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = hk::RemoveDevice(pdo_);
    if (NT_SUCCESS(status)) pdo_ = nullptr;  // a root device's PDO goes with its stack
    return status;
}

void FakeSerialPort::SurpriseRemove()
{
    if (pdo_ == nullptr) return;
    hk::SurpriseRemoveDevice(pdo_);
    hk::WaitPnpIdle();
}

void FakeSerialPort::Destroy()
{
    if (driver_ == nullptr) return;
    ReleaseHeld(STATUS_CANCELLED);
    WaitIdle();
    if (options_.Pnp) {
        if (pdo_ != nullptr && !Removed()) {
            if (!NT_SUCCESS(QueryRemoveAndRemove())) SurpriseRemove();
        }
        hk::WaitPnpIdle();
        if (!Removed()) ADD_FAILURE() << "the fake serial port's stack was never removed";
    } else if (PDEVICE_OBJECT device = Device()) {
        {
            std::lock_guard guard(lock_);
            device_ = nullptr;
            removed_ = true;
        }
        IoDeleteDevice(device);
    }
    {
        std::lock_guard guard(g_portsLock);
        Ports().erase(driver_);
    }
    ObDereferenceObject(driver_);
    driver_ = nullptr;
}
