// I/O manager: device objects and stacks, IRPs, forwarding and completion, cancellation.
#include "internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>

namespace hk {
namespace {

// One dispatch routine's hold on one stack location, from IoCallDriver until completion leaves
// the location. Whichever of the two ends comes second judges the pending rule: the dispatch
// routine may return before or after the request is completed, on any thread.
struct DispatchFrame {
    PDEVICE_OBJECT device;
    PIRP irp;
    UCHAR major;
    UCHAR minor;
    bool returned = false;
    NTSTATUS returnedStatus = STATUS_SUCCESS;
    bool walked = false;  // completion has left the location
    bool marked = false;  // the location carried SL_PENDING_RETURNED when it was left
};

struct IrpInfo {
    IrpOrigin origin;
    IrpCompletionSink* sink = nullptr;
    bool completed = false;
    bool sent = false;  // IoCallDriver has had it (since it was built or reused)
    PFILE_OBJECT heldFile = nullptr;  // an application's request: the file it holds a reference on
    bool fileReleased = false;        // and that reference is gone
    std::vector<UCHAR> systemBuffer;  // buffered I/O of requests the I/O manager built
    MDL mdl{};
    // Dispatch routines holding a location, by its index (CurrentLocation); a driver that skips
    // its location shares it with the driver below, so one index can have several.
    std::multimap<CHAR, std::shared_ptr<DispatchFrame>> frames;
};

// The rule IoMarkIrpPending serves: a dispatch routine returns STATUS_PENDING exactly when the
// request's location is marked pending, or the I/O manager finishes the request wrongly (an
// unmarked pending request is never waited for; a marked one that was not pended is finished
// twice).
void JudgePending(const DispatchFrame& frame)
{
    if (frame.returnedStatus == STATUS_PENDING && !frame.marked) {
        ReportViolation("pending rule: dispatch routine of device %p returned STATUS_PENDING for IRP %p "
                        "(major 0x%02x, minor 0x%02x) without IoMarkIrpPending",
                        (void*)frame.device, (void*)frame.irp, frame.major, frame.minor);
    } else if (frame.returnedStatus != STATUS_PENDING && frame.marked) {
        ReportViolation("pending rule: IRP %p (major 0x%02x, minor 0x%02x) on device %p was marked pending "
                        "(IoMarkIrpPending) but its dispatch routine returned 0x%08x, not STATUS_PENDING",
                        (void*)frame.irp, frame.major, frame.minor, (void*)frame.device,
                        (unsigned)frame.returnedStatus);
    }
}

// Completion leaves the location `index` of `irp`, which carried `control`.
void LeaveLocation(PIRP irp, CHAR index, UCHAR control);

using IrpTable = AddressTable<PIRP, IrpInfo>;
IrpTable& Irps()
{
    // Never destroyed: threads and leak checkers may still look at it during exit.
    static auto* irps = new IrpTable;
    return *irps;
}

void LeaveLocation(PIRP irp, CHAR index, UCHAR control)
{
    std::vector<std::shared_ptr<DispatchFrame>> judged;
    {
        auto part = Irps().Lock(irp);
        auto it = part.entries.find(irp);
        if (it == part.entries.end()) return;
        auto range = it->second.frames.equal_range(index);
        for (auto frame = range.first; frame != range.second; ++frame) {
            frame->second->walked = true;
            frame->second->marked = (control & SL_PENDING_RETURNED) != 0;
            if (frame->second->returned) judged.push_back(frame->second);
        }
        it->second.frames.erase(range.first, range.second);
    }
    for (auto& frame : judged) JudgePending(*frame);
}

// Guards device stacks, names and driver device lists.
std::recursive_mutex g_deviceLock;
std::map<std::u16string, PDEVICE_OBJECT>& Names()
{
    static auto* names = new std::map<std::u16string, PDEVICE_OBJECT>;
    return *names;
}
LONG g_autoNameCounter = 0;

#ifdef __SANITIZE_ADDRESS__
constexpr bool kQuarantine = false;  // ASan reports any touch of freed memory itself
#else
constexpr bool kQuarantine = true;
#endif
constexpr UCHAR kDeletedPoison = 0xDE;
// A device extension is exactly the size asked for. Under ASan it is an allocation of its own,
// so the first byte past it is a heap-buffer-overflow; elsewhere a guard of this pattern follows
// it and is checked when the device goes.
#ifdef __SANITIZE_ADDRESS__
constexpr size_t kExtensionGuard = 0;
#else
constexpr size_t kExtensionGuard = 16;
#endif
constexpr UCHAR kGuardPattern = 0xEC;

void CheckExtensionGuard(PDEVICE_OBJECT device, HkDeviceNode* node)
{
    auto guard = (const UCHAR*)node->extension + node->extensionSize;
    for (size_t i = 0; i < kExtensionGuard; i++) {
        if (guard[i] != kGuardPattern) {
            ReportViolation("device %p: its %zu-byte device extension was written past its end (at offset %zu)",
                            (void*)device, (size_t)node->extensionSize, (size_t)node->extensionSize + i);
            return;
        }
    }
}
std::vector<HkDeviceNode*> g_quarantine;

KSPIN_LOCK g_cancelLock = 0;
thread_local bool t_holdsCancelLock = false;

// Completion routines running in this thread: those set with IoSetCompletionRoutine, and the
// drivers whose routines set with IoSetCompletionRoutineEx run (the I/O manager holds one of their
// devices until the routine returns).
thread_local int t_plainCompletions = 0;
thread_local std::vector<PDRIVER_OBJECT> t_heldDrivers;

// A driver whose last device goes while one of its plain completion routines runs may be unloaded
// before that routine has returned: the platform then returns into freed code.
void CheckUnloadUnderCompletion(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    if (t_plainCompletions == 0 || driver->DeviceObject != nullptr ||
        std::find(t_heldDrivers.begin(), t_heldDrivers.end(), driver) != t_heldDrivers.end()) {
        return;
    }
    ReportViolation("the last device of its driver (%p) went in a completion routine set with "
                    "IoSetCompletionRoutine: the driver can be unloaded before the routine returns "
                    "(IoSetCompletionRoutineEx holds a device until then)",
                    (void*)device);
}

void DestroyDevice(PVOID object)
{
    auto device = (PDEVICE_OBJECT)object;
    HkDeviceNode* node = device->HkNode;
    CheckUnloadUnderCompletion(device);
    CheckExtensionGuard(device, node);
    // The extension is poisoned, and kept aside in the debug build, so that a driver touching
    // a deleted device's record is caught at the next clean check.
    memset(node->extension, kDeletedPoison, node->extensionSize);
    free(device);
    if (kQuarantine) {
        std::lock_guard guard(g_deviceLock);
        g_quarantine.push_back(node);
    } else {
        free(node->extension);
        delete node;
    }
}

std::u16string ToU16(PCUNICODE_STRING s)
{
    return std::u16string((const char16_t*)s->Buffer, s->Length / sizeof(WCHAR));
}

}  // namespace

void DescribeLockedBuffer(PMDL mdl, PVOID buffer, ULONG length, bool mapped)
{
    constexpr ULONG_PTR kPage = 4096;
    *mdl = MDL{};
    mdl->StartVa = (PVOID)((ULONG_PTR)buffer & ~(kPage - 1));
    mdl->ByteOffset = (ULONG)((ULONG_PTR)buffer & (kPage - 1));
    mdl->ByteCount = length;
    ULONG pages = (ULONG)((mdl->ByteOffset + length + kPage - 1) / kPage);
    mdl->Size = (CSHORT)(sizeof(MDL) + pages * sizeof(ULONG_PTR));
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    if (mapped) {
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
        mdl->MappedSystemVa = buffer;
    }
}

PIRP IrpAllocate(CCHAR stackSize, IrpOrigin origin)
{
    size_t size = sizeof(IRP) + (size_t)stackSize * sizeof(IO_STACK_LOCATION);
    auto irp = (PIRP)calloc(1, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = (USHORT)size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(irp + 1) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
    auto part = Irps().Lock(irp);
    part.entries[irp].origin = origin;
    return irp;
}

void IrpSetOrigin(PIRP irp, IrpOrigin origin, IrpCompletionSink* sink)
{
    auto part = Irps().Lock(irp);
    auto& info = part.entries[irp];
    info.origin = origin;
    info.sink = sink;
}

void IrpRelease(PIRP irp)
{
    {
        auto part = Irps().Lock(irp);
        part.entries.erase(irp);
    }
    free(irp);
}

void IrpSetHeldFile(PIRP irp, PFILE_OBJECT file)
{
    auto part = Irps().Lock(irp);
    part.entries[irp].heldFile = file;
}

size_t HarnessRequestsHolding(PFILE_OBJECT file)
{
    size_t holding = 0;
    Irps().ForEach([&](PIRP, const IrpInfo& info) {
        if (info.origin == IrpOrigin::Harness && !info.fileReleased && info.heldFile == file) {
            holding++;
        }
    });
    return holding;
}

PDEVICE_OBJECT FindNamedDevice(const std::u16string& name)
{
    std::lock_guard guard(g_deviceLock);
    auto it = Names().find(name);
    return it == Names().end() ? nullptr : it->second;
}

PDEVICE_OBJECT ReferenceNamedDevice(const std::u16string& name)
{
    // The object manager's names are case-insensitive.
    std::lock_guard guard(g_deviceLock);
    for (auto& [known, device] : Names()) {
        if (known.size() != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; i++) {
            same = RtlUpcaseUnicodeChar((WCHAR)known[i]) == RtlUpcaseUnicodeChar((WCHAR)name[i]);
        }
        if (same) {
            ObReferenceObject(device);
            return device;
        }
    }
    return nullptr;
}

std::u16string DeviceObjectName(PDEVICE_OBJECT device)
{
    std::lock_guard guard(g_deviceLock);
    return device->HkNode->name;
}

size_t LiveDeviceCount()
{
    size_t count = 0;
    ObjectForEach([&](PVOID, ObjectKind kind, LONG) { count += kind == ObjectKind::Device; });
    return count;
}

void IoCleanCheck()
{
    std::vector<std::pair<PIRP, UCHAR>> pending;
    {
        Irps().ForEach([&](PIRP irp, IrpInfo& info) {
            if (!info.completed && irp->CurrentLocation <= irp->StackCount) {
                pending.emplace_back(irp, (irp->Tail.Overlay.CurrentStackLocation)->MajorFunction);
                info.completed = true;  // reported once; the next test starts clean
            }
        });
    }
    for (auto& [irp, major] : pending) {
        ReportViolation("IRP %p (major 0x%02x) never completed", (void*)irp, major);
    }
    std::vector<HkDeviceNode*> quarantine;
    {
        std::lock_guard guard(g_deviceLock);
        quarantine.swap(g_quarantine);
    }
    for (HkDeviceNode* node : quarantine) {
        auto bytes = (const UCHAR*)node->extension;
        for (SIZE_T i = 0; i < node->extensionSize; i++) {
            if (bytes[i] != kDeletedPoison) {
                ReportViolation("device extension %p written after its device was deleted (offset %zu)",
                                node->extension, (size_t)i);
                break;
            }
        }
        free(node->extension);
        delete node;
    }
}

void ObjectCleanCheck()
{
    ObjectForEach([](PVOID object, ObjectKind kind, LONG references) {
        if (kind == ObjectKind::Driver) return;
        if (kind == ObjectKind::Device && ((PDEVICE_OBJECT)object)->HkNode->deletionDeferred) {
            ReportViolation("device %p was deleted but device %p never detached from it (IoDetachDevice missing): "
                            "its deletion never finished",
                            object, (void*)((PDEVICE_OBJECT)object)->AttachedDevice);
            ObjectForget(object);
            return;
        }
        ReportViolation("%s %p left at unload with %d reference(s)", ObjectKindName(kind), object, references);
        ObjectForget(object);
    });
}

}  // namespace hk

using namespace hk;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG extensionSize, PUNICODE_STRING deviceName,
                        DEVICE_TYPE deviceType, ULONG characteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* deviceObject)
{
    PAGED_CODE();
    *deviceObject = nullptr;
    NTSTATUS injected;
    if (TakeInjectedCallFailure("IoCreateDevice", &injected)) return injected;
    std::u16string name;
    if (deviceName != nullptr && deviceName->Length != 0) {
        name = ToU16(deviceName);
    } else if (characteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
        char text[32];
        snprintf(text, sizeof text, "\\Device\\%08x", (unsigned)InterlockedIncrement(&g_autoNameCounter));
        for (char* c = text; *c; c++) name += (char16_t)*c;
    }
    std::lock_guard guard(g_deviceLock);
    if (!name.empty() && Names().count(name)) return STATUS_OBJECT_NAME_COLLISION;

    auto device = (PDEVICE_OBJECT)calloc(1, sizeof(DEVICE_OBJECT));
    auto node = new HkDeviceNode;
    node->name = name;
    node->extensionSize = extensionSize;
    // Aligned as the platform's pool (MEMORY_ALLOCATION_ALIGNMENT), and no larger than asked.
    size_t bytes = extensionSize + kExtensionGuard;
    if (posix_memalign(&node->extension, 16, bytes ? bytes : 1) != 0) node->extension = nullptr;
    memset(node->extension, 0, extensionSize);
    memset((UCHAR*)node->extension + extensionSize, kGuardPattern, kExtensionGuard);
    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driverObject;
    device->DeviceExtension = extensionSize ? node->extension : nullptr;
    device->DeviceType = deviceType;
    device->Characteristics = characteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->AlignmentRequirement = 0;
    device->HkNode = node;
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
    if (!name.empty()) Names()[name] = device;
    ObjectInsert(device, ObjectKind::Device, DestroyDevice);
    *deviceObject = device;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT device)
{
    {
        std::lock_guard guard(g_deviceLock);
        HkDeviceNode* node = device->HkNode;
        if (node->deleted) {
            ReportViolation("IoDeleteDevice called twice for device %p", (void*)device);
            return;
        }
        if (node->attachedTo != nullptr) {
            ReportViolation("device %p deleted while still attached to device %p (IoDetachDevice missing)",
                            (void*)device, (void*)node->attachedTo);
        }
        node->deleted = true;
        if (!node->name.empty()) Names().erase(node->name);
        PDRIVER_OBJECT driver = device->DriverObject;
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
            if (*link == device) {
                *link = device->NextDevice;
                break;
            }
        }
        // A device with another still attached above it is only marked for deletion, as in a
        // removal where the function device deletes itself while a filter above it has yet to
        // detach: its deletion finishes when that filter detaches (IoDetachDevice).
        if (device->AttachedDevice != nullptr) {
            node->deletionDeferred = true;
            return;
        }
    }
    ObDereferenceObject(device);
}

// The platform walks the stack without a lock (a handle's request finds its top device this way);
// the links are stored whole, so a walk sees each one before or after a change.
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device)
{
    for (PDEVICE_OBJECT above; (above = __atomic_load_n(&device->AttachedDevice, __ATOMIC_ACQUIRE)) != nullptr;) {
        device = above;
    }
    return device;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device)
{
    std::lock_guard guard(g_deviceLock);
    device = IoGetAttachedDevice(device);
    ObReferenceObject(device);
    return device;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    // The platform gives no status: an attach that cannot be made returns NULL.
    NTSTATUS injected;
    if (TakeInjectedCallFailure("IoAttachDeviceToDeviceStack", &injected)) return nullptr;
    std::lock_guard guard(g_deviceLock);
    PDEVICE_OBJECT top = IoGetAttachedDevice(target);
    if (top->HkNode->deleted) return nullptr;
    // Requests may be on their way into the stack while it changes (the I/O manager walks it
    // without a lock for a handle's request): the new device is complete, stack size included,
    // before the link that makes it the top is stored, whole, last, so that a request built for
    // the top it finds has a location for every device of the stack.
    PnpDeviceAttached(source, top);
    source->StackSize = (CCHAR)(top->StackSize + 1);
    source->AlignmentRequirement = top->AlignmentRequirement;
    __atomic_store_n(&source->HkNode->attachedTo, top, __ATOMIC_RELEASE);
    __atomic_store_n(&top->AttachedDevice, source, __ATOMIC_RELEASE);
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT target)
{
    std::lock_guard guard(g_deviceLock);
    PDEVICE_OBJECT above = target->AttachedDevice;
    if (above == nullptr) {
        ReportViolation("IoDetachDevice on device %p, which has nothing attached", (void*)target);
        return;
    }
    __atomic_store_n(&above->HkNode->attachedTo, nullptr, __ATOMIC_RELEASE);
    __atomic_store_n(&target->AttachedDevice, nullptr, __ATOMIC_RELEASE);
    if (target->HkNode->deletionDeferred) {
        target->HkNode->deletionDeferred = false;
        ObDereferenceObject(target);
    }
}

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IoAllocateIrp at IRQL %u", KeGetCurrentIrql());
    return IrpAllocate(stackSize, IrpOrigin::Allocated);
}

void IoFreeIrp(PIRP irp)
{
    {
        auto part = Irps().Lock(irp);
        auto it = part.entries.find(irp);
        if (it == part.entries.end()) {
            ReportViolation("IoFreeIrp on %p, which is not a live IRP", (void*)irp);
            return;
        }
        if (it->second.origin != IrpOrigin::Allocated) {
            ReportViolation("IoFreeIrp on IRP %p that the I/O manager owns", (void*)irp);
            return;
        }
        if (irp->CancelRoutine != nullptr) {
            ReportViolation("IoFreeIrp on IRP %p with a cancel routine still set", (void*)irp);
        }
    }
    IrpRelease(irp);
}

void IoReuseIrp(PIRP irp, NTSTATUS status)
{
    CCHAR stackSize = irp->StackCount;
    size_t size = irp->Size;
    memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = (USHORT)size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(irp + 1) + stackSize;
    irp->IoStatus.Status = status;
    InitializeListHead(&irp->ThreadListEntry);
    auto part = Irps().Lock(irp);
    part.entries[irp].completed = false;
    part.entries[irp].frames.clear();
    part.entries[irp].sent = false;
}

static PIRP BuildThreadedRequest(ULONG major, PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    PIRP irp = IrpAllocate(device->StackSize, IrpOrigin::SynchronousFsd);
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = (UCHAR)major;
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER startingOffset, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    PIRP irp = BuildThreadedRequest(major, device, event, iosb);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = length;
        if (startingOffset) next->Parameters.Read.ByteOffset = *startingOffset;
        irp->UserBuffer = buffer;
        auto part = Irps().Lock(irp);
        IrpInfo& info = part.entries[irp];
        // As for an application's transfer: exactly the length, stale pool for a read, and no
        // buffer at all for zero bytes.
        if (device->Flags & DO_BUFFERED_IO) {
            info.systemBuffer.assign(length, kStalePoolByte);
            if (major == IRP_MJ_WRITE && length) memcpy(info.systemBuffer.data(), buffer, length);
            irp->AssociatedIrp.SystemBuffer = length ? info.systemBuffer.data() : nullptr;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (major == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
        } else if ((device->Flags & DO_DIRECT_IO) && length) {
            DescribeLockedBuffer(&info.mdl, buffer, length, false);
            irp->MdlAddress = &info.mdl;
        }
    }
    return irp;
}

PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                                   PVOID output, ULONG outputLength, BOOLEAN internal, PKEVENT event,
                                   PIO_STATUS_BLOCK iosb)
{
    PIRP irp = BuildThreadedRequest(internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL,
                                    device, event, iosb);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    auto part = Irps().Lock(irp);
    IrpInfo& info = part.entries[irp];
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG size = inputLength > outputLength ? inputLength : outputLength;
        info.systemBuffer.assign(size, kStalePoolByte);
        if (inputLength) memcpy(info.systemBuffer.data(), input, inputLength);
        irp->AssociatedIrp.SystemBuffer = size ? info.systemBuffer.data() : nullptr;
        irp->UserBuffer = output;
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outputLength ? IRP_INPUT_OPERATION : 0);
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inputLength) {
            info.systemBuffer.assign(input ? (const UCHAR*)input : nullptr, input ? (const UCHAR*)input + inputLength : nullptr);
            irp->AssociatedIrp.SystemBuffer = info.systemBuffer.data();
        }
        if (outputLength) {
            DescribeLockedBuffer(&info.mdl, output, outputLength, false);
            irp->MdlAddress = &info.mdl;
        }
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
        break;
    }
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IoCallDriver at IRQL %u", KeGetCurrentIrql());
    IrpOrigin origin;
    bool first;
    {
        auto part = Irps().Lock(irp);
        auto it = part.entries.find(irp);
        if (it == part.entries.end() || it->second.completed) {
            ReportViolation("IoCallDriver with IRP %p, which was already completed or freed", (void*)irp);
            return STATUS_INVALID_PARAMETER;
        }
        origin = it->second.origin;
        first = !it->second.sent;
        it->second.sent = true;
    }
    if (irp->CurrentLocation <= 1) {
        ReportViolation("IoCallDriver to device %p with no stack location left in IRP %p", (void*)device, (void*)irp);
        return STATUS_INVALID_PARAMETER;
    }
    if (origin != IrpOrigin::Harness && first) PnpCheckBuiltRequest(irp, device);
    if (__atomic_load_n(&device->HkNode->attachedTo, __ATOMIC_ACQUIRE) && !device->HkNode->flagsChecked) {
        PnpCheckStackFlags(device, irp);
    }
    irp->CurrentLocation--;
    PIO_STACK_LOCATION sp = --irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = device;
    // A request on a file object is a promise that the file object is there: every driver of the
    // stack may use it (its FsContext, its flags) until the request is back, and on the platform
    // its memory goes with its last reference. Only IRP_MJ_CLOSE comes after that, from the object
    // manager's delete routine.
    ObjectKind kind = ObjectKind::Other;
    if (sp->FileObject != nullptr && sp->MajorFunction != IRP_MJ_CLOSE &&
        (!ObjectKnown(sp->FileObject, &kind) || kind != ObjectKind::File)) {
        ReportViolation("IRP %p (major 0x%02x) sent to device %p on file object %p, which is not a live file "
                        "object (its last reference is gone: the platform would crash on its first use)",
                        (void*)irp, sp->MajorFunction, (void*)device, (void*)sp->FileObject);
    }
    if (sp->MajorFunction == IRP_MJ_POWER) PowerIrpDispatched(irp, device);
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[sp->MajorFunction];
    auto frame = std::make_shared<DispatchFrame>();
    frame->device = device;
    frame->irp = irp;
    frame->major = sp->MajorFunction;
    frame->minor = sp->MinorFunction;
    {
        auto part = Irps().Lock(irp);
        part.entries[irp].frames.emplace(irp->CurrentLocation, frame);
    }
    KIRQL irql = KeGetCurrentIrql();
    int spinLocks = SpinLocksHeld();

    NTSTATUS status = dispatch(device, irp);

    // The request may be completed and gone by now: only the frame is looked at.
    KIRQL after = KeGetCurrentIrql();
    if (after != irql) {
        ReportViolation("IRQL rule: dispatch routine %p of device %p returned at IRQL %u from IRP %p "
                        "(major 0x%02x, minor 0x%02x), which IoCallDriver called at IRQL %u",
                        (void*)dispatch, (void*)device, after, (void*)irp, frame->major, frame->minor, irql);
        // Back where the caller was, so that one report doesn't become a cascade.
        KIRQL ignored;
        if (after > irql) KeLowerIrql(irql);
        else KeRaiseIrql(irql, &ignored);
    }
    if (SpinLocksHeld() > spinLocks) {
        ReportViolation("IRQL rule: dispatch routine %p of device %p returned from IRP %p (major 0x%02x, "
                        "minor 0x%02x) still holding %d spin lock(s)",
                        (void*)dispatch, (void*)device, (void*)irp, frame->major, frame->minor,
                        SpinLocksHeld() - spinLocks);
    }
    bool judge;
    {
        auto part = Irps().Lock(irp);
        frame->returned = true;
        frame->returnedStatus = status;
        judge = frame->walked;
    }
    if (judge) JudgePending(*frame);
    return status;
}

static void FinishToOriginator(PIRP irp)
{
    IrpOrigin origin;
    IrpCompletionSink* sink;
    {
        auto part = Irps().Lock(irp);
        IrpInfo& info = part.entries[irp];
        info.completed = true;
        origin = info.origin;
        sink = info.sink;
    }
    switch (origin) {
    case IrpOrigin::Harness:
        // Each request of an application holds a reference on its file object until it is
        // back: that is what holds IRP_MJ_CLOSE back while requests are pending.
        if (irp->Tail.Overlay.OriginalFileObject) ObDereferenceObject(irp->Tail.Overlay.OriginalFileObject);
        {
            auto part = Irps().Lock(irp);
            part.entries[irp].fileReleased = true;
        }
        if (sink) sink->Completed(irp);
        else IrpRelease(irp);  // the application gave up on it; nothing waits
        break;
    case IrpOrigin::SynchronousFsd: {
        if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && irp->UserBuffer &&
            irp->IoStatus.Information != 0 &&
            !(irp->IoStatus.Status < 0 && (ULONG)irp->IoStatus.Status >= 0xC0000000u)) {
            memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
        }
        if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
        PKEVENT event = irp->UserEvent;
        IrpRelease(irp);
        if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        break;
    }
    case IrpOrigin::Allocated:
        ReportViolation("IRP %p from IoAllocateIrp completed back to the I/O manager: its completion "
                        "routine must return STATUS_MORE_PROCESSING_REQUIRED and free it",
                        (void*)irp);
        break;
    }
}

namespace {

struct UnloadSafeContext {
    PIO_COMPLETION_ROUTINE Routine;
    PVOID Context;
    PDEVICE_OBJECT Device;
};

// The I/O manager's own routine around a driver's: the device is released only once the driver's
// routine has returned.
NTSTATUS UnloadSafeCompletion(PDEVICE_OBJECT above, PIRP irp, PVOID context)
{
    auto safe = (UnloadSafeContext*)context;
    UnloadSafeContext taken = *safe;
    delete safe;
    t_heldDrivers.push_back(taken.Device->DriverObject);
    NTSTATUS result = taken.Routine(above, irp, taken.Context);
    t_heldDrivers.pop_back();
    ObDereferenceObject(taken.Device);
    return result;
}

}  // namespace

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT device, PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                  BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel)
{
    NTSTATUS injected;
    if (TakeInjectedCallFailure("IoSetCompletionRoutineEx", &injected)) return injected;
    ObReferenceObject(device);
    IoSetCompletionRoutine(irp, UnloadSafeCompletion, new UnloadSafeContext{routine, context, device},
                           invokeOnSuccess, invokeOnError, invokeOnCancel);
    return STATUS_SUCCESS;
}

void IofCompleteRequest(PIRP irp, CCHAR)
{
    {
        auto part = Irps().Lock(irp);
        auto it = part.entries.find(irp);
        if (it == part.entries.end() || it->second.completed || irp->CurrentLocation > irp->StackCount + 1) {
            ReportViolation("IRP %p completed twice (or completed after it was freed)", (void*)irp);
            return;
        }
    }
    if (irp->CurrentLocation > irp->StackCount) {
        ReportViolation("IRP %p completed while no driver holds it", (void*)irp);
        return;
    }
    if (SpinLocksHeld() > 0) ReportViolation("IRP %p completed while holding a spin lock", (void*)irp);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IRP %p completed at IRQL %u", (void*)irp, KeGetCurrentIrql());
    if (irp->IoStatus.Status == STATUS_PENDING) ReportViolation("IRP %p completed with STATUS_PENDING", (void*)irp);
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
        ReportViolation("IRP %p completed with a cancel routine still set", (void*)irp);
    }

    // Walk up the stack: each location's completion routine runs if its invoke-on bits match,
    // with the device of the location above it (null for the topmost).
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    for (; irp->CurrentLocation <= irp->StackCount + 1;
         sp++, irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++) {
        irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        LeaveLocation(irp, (CHAR)(irp->CurrentLocation - 1), sp->Control);
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                      (ReadBooleanNoFence(&irp->Cancel) && (sp->Control & SL_INVOKE_ON_CANCEL));
        if (invoke && sp->CompletionRoutine) {
            PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
            PVOID context = sp->Context;
            memset(sp, 0, sizeof(*sp));
            PDEVICE_OBJECT above = irp->CurrentLocation == irp->StackCount + 1
                                       ? nullptr
                                       : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            BOOLEAN pendingReturned = irp->PendingReturned;
            bool plain = routine != UnloadSafeCompletion;
            t_plainCompletions += plain;
            NTSTATUS result = routine(above, irp, context);
            t_plainCompletions -= plain;
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
            // A routine that lets completion go on stands where the I/O manager's own
            // propagation would: the pending mark must move up with the request.
            if (pendingReturned && irp->CurrentLocation <= irp->StackCount) {
                PIO_STACK_LOCATION owner = IoGetCurrentIrpStackLocation(irp);
                if (!(owner->Control & SL_PENDING_RETURNED)) {
                    ReportViolation("pending rule: completion routine %p of device %p returned 0x%08x for IRP %p "
                                    "(major 0x%02x, minor 0x%02x) with PendingReturned set, without "
                                    "IoMarkIrpPending",
                                    (void*)routine, (void*)above, (unsigned)result, (void*)irp,
                                    owner->MajorFunction, owner->MinorFunction);
                }
            }
        } else {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
            memset(sp, 0, sizeof(*sp));
        }
    }
    FinishToOriginator(irp);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine)
{
    return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&irp->CancelRoutine, (PVOID)routine);
}

void IoAcquireCancelSpinLock(PKIRQL irql)
{
    if (t_holdsCancelLock) {
        ReportViolation("IoAcquireCancelSpinLock by a thread that already holds it (deadlock)");
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        *irql = old;
        return;
    }
    KeAcquireSpinLock(&g_cancelLock, irql);
    t_holdsCancelLock = true;
}

void IoReleaseCancelSpinLock(KIRQL irql)
{
    if (!t_holdsCancelLock) {
        ReportViolation("IoReleaseCancelSpinLock by a thread that does not hold it");
        return;
    }
    t_holdsCancelLock = false;
    KeReleaseSpinLock(&g_cancelLock, irql);
}

// As the platform does: under the cancel spin lock, mark the request cancelled and take its cancel
// routine; a driver that owns the request without a cancel routine sees only the Cancel flag. The
// routine runs holding the cancel spin lock (CancelIrql set) and must release it.
BOOLEAN IoCancelIrp(PIRP irp)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IoCancelIrp at IRQL %u", KeGetCurrentIrql());
    {
        auto part = Irps().Lock(irp);
        auto it = part.entries.find(irp);
        if (it == part.entries.end()) {
            ReportViolation("IoCancelIrp on %p, which is not a live IRP", (void*)irp);
            return FALSE;
        }
        if (it->second.completed) return FALSE;  // back with its originator: nothing to cancel
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    WriteBooleanNoFence(&irp->Cancel, TRUE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    routine(device, irp);
    if (t_holdsCancelLock) {
        ReportViolation("cancel routine %p returned without releasing the cancel spin lock", (void*)routine);
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

// A locked buffer gets its system address when a driver first asks for one; the mapping can
// fail (no system address space left), which the caller must take as a failure of its request.
PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        ReportViolation("MmGetSystemAddressForMdlSafe at IRQL %u", KeGetCurrentIrql());
    }
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        ReportViolation("MmGetSystemAddressForMdlSafe on MDL %p, whose pages are not locked", (void*)mdl);
    }
    NTSTATUS injected;
    if (TakeInjectedCallFailure("MmGetSystemAddressForMdlSafe", &injected)) return nullptr;
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

}  // extern "C"
