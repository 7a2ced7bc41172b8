// hostkernel's private plumbing shared between its components.
#pragma once

#include <hostkernel/harness.h>

#include <condition_variable>
#include <mutex>

namespace hk {

// One lock and one condition for every dispatcher object, as the kernel's dispatcher database:
// waits re-check their object whenever anything is signalled.
std::mutex& DispatcherLock();
std::condition_variable& DispatcherCondition();
void WakeWaiters();  // call with DispatcherLock held, after changing a SignalState

int SpinLocksHeld();  // by the calling thread

// Object manager bookkeeping. Every object starts with one reference owned by its creator.
enum class ObjectKind { Device, File, Driver, Thread, Other };
const char* ObjectKindName(ObjectKind kind);
void ObjectInsert(PVOID object, ObjectKind kind, void (*destroy)(PVOID));
bool ObjectKnown(PVOID object, ObjectKind* kind = nullptr);
// Drops an object from the books without destroying it: a leak already reported once.
void ObjectForget(PVOID object);
void ObjectForEach(const std::function<void(PVOID, ObjectKind, LONG)>& visit);

// IRP bookkeeping: who built the request, and what to do when it completes back to them.
enum class IrpOrigin { Allocated, Harness, SynchronousFsd };
struct IrpCompletionSink {
    virtual void Completed(PIRP irp) = 0;  // called once the last stack location is done
protected:
    ~IrpCompletionSink() = default;
};
void IrpSetOrigin(PIRP irp, IrpOrigin origin, IrpCompletionSink* sink);
PIRP IrpAllocate(CCHAR stackSize, IrpOrigin origin);
void IrpRelease(PIRP irp);  // frees an IRP the harness or the I/O manager owns

std::string WideToUtf8(PCWSTR text, size_t length);
std::string WideToUtf8(PCUNICODE_STRING text);

}  // namespace hk

// Private bookkeeping of a device object (DEVICE_OBJECT::HkNode).
struct HkDeviceNode {
    std::u16string name;            // "\Device\..." or empty
    bool deleted = false;
    PDEVICE_OBJECT attachedTo = nullptr;  // the device this one was attached on top of
    PVOID extension = nullptr;
    SIZE_T extensionSize = 0;
};

namespace hk {
PDEVICE_OBJECT FindNamedDevice(const std::u16string& name);
// The access check made when an application opens a device (security decides; until a device
// has a descriptor, everything asked for is granted with the platform's generic mapping).
NTSTATUS CheckOpenAccess(PDEVICE_OBJECT device, User user, ACCESS_MASK desired, ACCESS_MASK* granted);
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access);
void PoolCleanCheck();
void IoCleanCheck();
void ObjectCleanCheck();
}  // namespace hk
#include <unordered_map>

// Plug and Play and power managers (pnp.cpp, power.cpp).
#include <hostkernel/pnp.h>
namespace hk {
// An application opened or closed a handle on `device`: opens are refused on devices whose node
// is not started, and surprise-removed devices get their removal once their last handle is gone.
NTSTATUS PnpCheckOpen(PDEVICE_OBJECT device);
void PnpHandleClosed(PDEVICE_OBJECT device);
// A power IRP reached `device` (IoCallDriver or PoCallDriver), for the PoStartNextPowerIrp check.
void PowerIrpDispatched(PIRP irp, PDEVICE_OBJECT device);
void ManagerLogAppend(const ManagerRequest& request);
// Removes and returns what was recorded about a power IRP the power manager sent.
void PowerIrpTrack(PIRP irp);
void PowerIrpCheckFinished(PIRP irp, UCHAR minor);
void PowerCleanCheck();
}  // namespace hk

namespace hk {
// Handles (handle.cpp): a new handle to `object`, holding a reference on it.
HANDLE HandleCreate(PVOID object, ACCESS_MASK granted);
// Fault injection by routine name (handle.cpp); true when this call must fail with *status.
bool TakeInjectedCallFailure(const char* routine, NTSTATUS* status);
void ResetRoutineFaultInjection();
// Threads (thread.cpp).
void ResetThreadFaultInjection();
bool IsCurrentThreadObject(PVOID object);
}  // namespace hk
