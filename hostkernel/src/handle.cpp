// Handles: one table of kernel handles, each holding its object (a reference, or a registry key's
// node) with the access it was granted; object types for the type checks of
// ObReferenceObjectByHandle and ObOpenObjectByPointer; and fault injection by routine name.
#include "internal.h"

#include <hostkernel/faults.h>

#include <cstring>
#include <map>
#include <unordered_map>

namespace hk {
namespace {

ShortLock g_lock;
ULONG_PTR g_nextHandle = 0;
std::unordered_map<HANDLE, HandleEntry>& Handles()
{
    static std::unordered_map<HANDLE, HandleEntry> handles;
    return handles;
}

_OBJECT_TYPE g_threadType{ObjectKind::Thread};
POBJECT_TYPE g_threadTypePointer = &g_threadType;
_OBJECT_TYPE g_deviceType{ObjectKind::Device};

struct RoutineFault {
    int count;
    NTSTATUS status;
    int skip;  // calls that still go through first
};
std::mutex g_faultLock;
std::map<std::string, RoutineFault>& RoutineFaults()
{
    static std::map<std::string, RoutineFault> faults;
    return faults;
}
std::map<std::string, size_t>& RoutineCallCounts()
{
    static std::map<std::string, size_t> counts;
    return counts;
}

void Release(const HandleEntry& entry)
{
    if (!entry.isKey) ObDereferenceObject(entry.object);
}

std::string Describe(const HandleEntry& entry)
{
    if (!entry.description.empty()) return entry.description;
    ObjectKind kind = ObjectKind::Other;
    ObjectKnown(entry.object, &kind);
    char text[64];
    snprintf(text, sizeof text, "%s %p", ObjectKindName(kind), entry.object);
    return text;
}

void HandleCleanCheck()
{
    std::vector<std::pair<HANDLE, HandleEntry>> open;
    {
        std::lock_guard guard(g_lock);
        open.assign(Handles().begin(), Handles().end());
        Handles().clear();
    }
    for (auto& [handle, entry] : open) {
        ReportViolation("handle %p to %s left open at unload", handle, Describe(entry).c_str());
    }
    // The table is emptied so that one leak is reported once; the objects themselves were
    // reported and set aside by the object check (the clean checks run after it); a
    // key's node goes with its entry.
}

const bool g_registered = (RegisterCleanCheck("handles", HandleCleanCheck), true);

HANDLE Insert(HandleEntry entry)
{
    std::lock_guard guard(g_lock);
    // Kernel handles carry the top bit, as the platform's do; values are never reused, so a
    // stale handle is always caught.
    auto handle = (HANDLE)(0xFFFFFFFF80000000ull | (++g_nextHandle << 2));
    Handles()[handle] = std::move(entry);
    return handle;
}

}  // namespace

HANDLE HandleCreate(PVOID object, ACCESS_MASK granted)
{
    HandleEntry entry;
    entry.object = object;
    ObjectKnown(object, &entry.kind);
    entry.granted = granted;
    ObReferenceObject(object);
    return Insert(std::move(entry));
}

HANDLE HandleCreateFor(HandleEntry entry, ULONG attributes, const char* routine)
{
    if (!(attributes & OBJ_KERNEL_HANDLE)) {
        ReportViolation("%s without OBJ_KERNEL_HANDLE: a driver's handle would land in the calling process (%s)",
                        routine, Describe(entry).c_str());
    }
    if (!entry.isKey) ObReferenceObject(entry.object);
    return Insert(std::move(entry));
}

bool HandleLookup(HANDLE handle, HandleEntry* entry)
{
    std::lock_guard guard(g_lock);
    auto it = Handles().find(handle);
    if (it == Handles().end()) return false;
    *entry = it->second;
    return true;
}

size_t OpenHandleCount()
{
    std::lock_guard guard(g_lock);
    return Handles().size();
}

std::mutex g_observerLock;
std::function<void(const char*)> g_routineObserver;

void SetRoutineCallObserver(std::function<void(const char*)> observer)
{
    std::lock_guard guard(g_observerLock);
    g_routineObserver = std::move(observer);
}

bool TakeInjectedCallFailure(const char* routine, NTSTATUS* status)
{
    std::function<void(const char*)> observer;
    {
        std::lock_guard guard(g_observerLock);
        observer = g_routineObserver;
    }
    if (observer) observer(routine);
    std::lock_guard guard(g_faultLock);
    RoutineCallCounts()[routine]++;
    auto it = RoutineFaults().find(routine);
    if (it == RoutineFaults().end() || it->second.count <= 0) return false;
    if (it->second.skip > 0) {
        it->second.skip--;
        return false;
    }
    *status = it->second.status;
    if (--it->second.count == 0) RoutineFaults().erase(it);
    return true;
}

void ResetRoutineFaultInjection()
{
    std::lock_guard guard(g_faultLock);
    RoutineFaults().clear();
    RoutineCallCounts().clear();
}

void FailNextRoutineCalls(const char* routine, int count, NTSTATUS status)
{
    FailNextRoutineCall(routine, status, count, 0);
}

void FailNextRoutineCall(const char* routine, NTSTATUS status, int count, int skip)
{
    std::lock_guard guard(g_faultLock);
    if (count <= 0) {
        RoutineFaults().erase(routine);
    } else {
        RoutineFaults()[routine] = RoutineFault{count, status, skip};
    }
}

size_t RoutineCalls(const char* routine)
{
    std::lock_guard guard(g_faultLock);
    auto it = RoutineCallCounts().find(routine);
    return it == RoutineCallCounts().end() ? 0 : it->second;
}

}  // namespace hk

using namespace hk;

extern "C" {

POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
POBJECT_TYPE IoDeviceObjectType = &g_deviceType;

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                   PVOID* object, PVOID handleInformation)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("ObReferenceObjectByHandle at IRQL %u", KeGetCurrentIrql());
    }
    NTSTATUS injected;
    if (TakeInjectedCallFailure("ObReferenceObjectByHandle", &injected)) return injected;
    HandleEntry entry;
    {
        std::lock_guard guard(g_lock);
        auto it = Handles().find(handle);
        if (it == Handles().end()) return STATUS_INVALID_HANDLE;
        entry = it->second;
        // hostkernel's registry keys are not object-manager objects.
        if (entry.isKey) return STATUS_OBJECT_TYPE_MISMATCH;
        // Under the table lock, so that a concurrent ZwClose cannot free the object first.
        ObjectKind kind;
        if (!ObjectKnown(entry.object, &kind)) return STATUS_INVALID_HANDLE;
        if (type != nullptr && type->Kind != kind) return STATUS_OBJECT_TYPE_MISMATCH;
        // Kernel-mode callers are trusted with any access; user-mode ones get what the handle
        // was granted.
        if (mode != KernelMode && (entry.granted & access) != access) return STATUS_ACCESS_DENIED;
        ObReferenceObject(entry.object);
    }
    *object = entry.object;
    if (handleInformation != nullptr) {
        auto info = (POBJECT_HANDLE_INFORMATION)handleInformation;
        info->HandleAttributes = 0;
        info->GrantedAccess = entry.granted;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("ZwClose at IRQL %u", KeGetCurrentIrql());
    HandleEntry entry;
    {
        std::lock_guard guard(g_lock);
        auto it = Handles().find(handle);
        if (it == Handles().end()) {
            // The platform stops the machine when a driver closes a kernel handle that isn't open.
            ReportViolation("ZwClose on handle %p, which is not open (closed twice, or never opened)", handle);
            return STATUS_INVALID_HANDLE;
        }
        entry = std::move(it->second);
        Handles().erase(it);
    }
    Release(entry);
    return STATUS_SUCCESS;
}

}  // extern "C"
