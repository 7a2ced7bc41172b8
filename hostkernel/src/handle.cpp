// Handles: one table of kernel handles, each holding a reference on its object with the access
// it was granted; object types for ObReferenceObjectByHandle's type check; and fault injection
// by routine name.
#include "internal.h"

#include <hostkernel/faults.h>

#include <cstring>
#include <map>
#include <unordered_map>

struct _OBJECT_TYPE {
    hk::ObjectKind Kind;
};

namespace hk {
namespace {

struct HandleEntry {
    PVOID object;
    ACCESS_MASK granted;
};

std::mutex g_lock;
ULONG_PTR g_nextHandle = 0;
std::unordered_map<HANDLE, HandleEntry>& Handles()
{
    static std::unordered_map<HANDLE, HandleEntry> handles;
    return handles;
}

_OBJECT_TYPE g_threadType{ObjectKind::Thread};
POBJECT_TYPE g_threadTypePointer = &g_threadType;

struct RoutineFault {
    int count;
    NTSTATUS status;
};
std::mutex g_faultLock;
std::map<std::string, RoutineFault>& RoutineFaults()
{
    static std::map<std::string, RoutineFault> faults;
    return faults;
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
        ObjectKind kind = ObjectKind::Other;
        ObjectKnown(entry.object, &kind);
        ReportViolation("handle %p to %s %p left open at unload", handle, ObjectKindName(kind), entry.object);
    }
    // The table is emptied so that one leak is reported once; the objects themselves were
    // reported and set aside by the object check (the clean checks run after it).
}

const bool g_registered = (RegisterCleanCheck("handles", HandleCleanCheck), true);

}  // namespace

HANDLE HandleCreate(PVOID object, ACCESS_MASK granted)
{
    ObReferenceObject(object);
    std::lock_guard guard(g_lock);
    // Kernel handles carry the top bit, as the platform's do.
    auto handle = (HANDLE)(0xFFFFFFFF80000000ull | (++g_nextHandle << 2));
    Handles()[handle] = HandleEntry{object, granted};
    return handle;
}

bool TakeInjectedCallFailure(const char* routine, NTSTATUS* status)
{
    std::lock_guard guard(g_faultLock);
    auto it = RoutineFaults().find(routine);
    if (it == RoutineFaults().end() || it->second.count <= 0) return false;
    *status = it->second.status;
    if (--it->second.count == 0) RoutineFaults().erase(it);
    return true;
}

void ResetRoutineFaultInjection()
{
    std::lock_guard guard(g_faultLock);
    RoutineFaults().clear();
}

void FailNextRoutineCalls(const char* routine, int count, NTSTATUS status)
{
    std::lock_guard guard(g_faultLock);
    if (count <= 0) {
        RoutineFaults().erase(routine);
    } else {
        RoutineFaults()[routine] = RoutineFault{count, status};
    }
}

}  // namespace hk

using namespace hk;

extern "C" {

POBJECT_TYPE* PsThreadType = &g_threadTypePointer;

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
    PVOID object;
    {
        std::lock_guard guard(g_lock);
        auto it = Handles().find(handle);
        if (it == Handles().end()) {
            ReportViolation("ZwClose on handle %p, which is not open", handle);
            return STATUS_INVALID_HANDLE;
        }
        object = it->second.object;
        Handles().erase(it);
    }
    ObDereferenceObject(object);
    return STATUS_SUCCESS;
}

}  // extern "C"
