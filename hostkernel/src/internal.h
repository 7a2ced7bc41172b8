// hostkernel's private plumbing shared between its components.
#pragma once

#include <hostkernel/harness.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include <pthread.h>

namespace hk {

// The lock of hostkernel's own bookkeeping of requests, objects, pool and handles: a few map
// operations that every request passes through on every thread. It spins briefly before it
// sleeps, so that two threads on two cores meeting there don't each pay a system call; a plain
// std::mutex sleeps at once. The dispatcher keeps a plain mutex: many threads polling it at once
// (a parked request on each of hundreds of ports) would spin away the CPU.
class ShortLock {
public:
    ShortLock()
    {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
        pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    // Not destroyed: these locks are globals that threads may still take while the process exits.
    ~ShortLock() = default;
    ShortLock(const ShortLock&) = delete;
    ShortLock& operator=(const ShortLock&) = delete;
    void lock() { pthread_mutex_lock(&mutex_); }
    void unlock() { pthread_mutex_unlock(&mutex_); }

private:
    pthread_mutex_t mutex_;
};

// Bookkeeping keyed by the address of a request or an object, kept in independent parts, each
// under its own lock. The platform keeps such state in the request or object itself, so threads
// working on different requests never meet over it; one lock for all of it made hostkernel, not
// the driver, what two threads moving bytes through a pair of ports queue on.
template <typename Key, typename Value>
class AddressTable {
public:
    static constexpr size_t kParts = 64;
    struct alignas(64) Part {
        ShortLock lock;
        std::unordered_map<Key, Value> entries;
    };

    // The entries of the part that holds `key`'s entry (if it has one), locked for as long as
    // this lives.
    class Locked {
    public:
        explicit Locked(Part& part) : entries(part.entries), guard_(part.lock) {}
        std::unordered_map<Key, Value>& entries;

    private:
        std::lock_guard<ShortLock> guard_;
    };
    Locked Lock(Key key) { return Locked(Of(key)); }

    // Every entry, one part at a time under that part's lock: not one snapshot of the whole.
    template <typename Visit>
    void ForEach(Visit visit)
    {
        for (Part& part : parts_) {
            std::lock_guard guard(part.lock);
            for (auto& [key, value] : part.entries) visit(key, value);
        }
    }

private:
    Part& Of(Key key)
    {
        // Fibonacci hashing of the address: allocations sit on 16-byte boundaries a fixed
        // distance apart, which a plain modulo would crowd into a few parts.
        uint64_t mixed = (uint64_t)(uintptr_t)key * 0x9E3779B97F4A7C15ull;
        return parts_[mixed >> 58];
    }

    static_assert(kParts == 64, "Of takes the top six bits of the hash");
    Part parts_[kParts];
};

// A thread sleeps on a 32-bit word until another changes it and wakes it (a futex): a woken
// thread needs no lock to see why it was woken. False when the deadline (steady clock) passed
// with the word still at `value`; it may also return early, so callers re-check the word.
bool FutexWait(std::atomic<uint32_t>* word, uint32_t value, const std::chrono::steady_clock::time_point* deadline);
void FutexWake(std::atomic<uint32_t>* word, int count = 1);

// A one-shot notice on such a word: Wait returns once Post was called (false at the deadline),
// and Post makes a system call only when a waiter went to sleep.
enum : uint32_t { kNoticeClear = 0, kNoticePosted = 1, kNoticeSleeping = 2 };
bool NoticeWait(std::atomic<uint32_t>* word, const std::chrono::steady_clock::time_point* deadline);
// True when a thread sleeps on the word and must be woken (FutexWake).
inline bool NoticePost(std::atomic<uint32_t>* word)
{
    return word->exchange(kNoticePosted, std::memory_order_acq_rel) == kNoticeSleeping;
}

// The dispatcher database: one lock over every dispatcher object's state and wait list. A waiting
// thread links a wait block on the object it waits for; signalling an object satisfies waits from
// its own list only (as many as its new state allows) and wakes just those threads, which return
// without taking the lock again. The wake-ups are issued once the guard drops the lock.
class DispatcherGuard {
public:
    DispatcherGuard();
    ~DispatcherGuard();
    DispatcherGuard(const DispatcherGuard&) = delete;
    DispatcherGuard& operator=(const DispatcherGuard&) = delete;

    // After raising `header`'s SignalState: satisfies the waits it now can, first come first.
    void Signal(PDISPATCHER_HEADER header);
    // Drops the lock early, issuing the wake-ups gathered so far.
    void Unlock();
    std::unique_lock<std::mutex>& Lock() { return lock_; }
    // Wakes a thread sleeping on `word` once the lock is dropped.
    void Wake(std::atomic<uint32_t>* word);

private:
    std::unique_lock<std::mutex> lock_;
    static constexpr int kDeferred = 8;
    std::atomic<uint32_t>* deferred_[kDeferred];
    int deferredCount_ = 0;
};

int SpinLocksHeld();  // by the calling thread

// Object manager bookkeeping. Every object starts with one reference owned by its creator.
enum class ObjectKind { Device, File, Driver, Thread, Other };
const char* ObjectKindName(ObjectKind kind);
void ObjectInsert(PVOID object, ObjectKind kind, void (*destroy)(PVOID));
PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, ACCESS_MASK granted, void (*destroy)(PVOID));
bool ObjectKnown(PVOID object, ObjectKind* kind = nullptr);
// Drops an object from the books without destroying it: a leak already reported once.
void ObjectForget(PVOID object);
// Changes what happens when the object's last reference goes.
void ObjectSetDestroy(PVOID object, void (*destroy)(PVOID));
// The handle's close of a file another component still references: the handle's reference goes
// now, and the file's IRP_MJ_CLOSE (with the open's bookkeeping) comes with its last reference.
void CloseWithLastReference(PFILE_OBJECT file);
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
// An application's request holds a reference on `file` until it is back; HarnessRequestsHolding
// counts the requests of `file` not yet back.
void IrpSetHeldFile(PIRP irp, PFILE_OBJECT file);
size_t HarnessRequestsHolding(PFILE_OBJECT file);

// Describes `buffer` in `mdl` as the I/O manager does after probing and locking it: pages locked,
// and, unless `mapped`, no system address yet (MappedSystemVa null until a driver asks
// MmGetSystemAddressForMdlSafe for one).
void DescribeLockedBuffer(PMDL mdl, PVOID buffer, ULONG length, bool mapped);

std::string WideToUtf8(PCWSTR text, size_t length);
std::string WideToUtf8(PCUNICODE_STRING text);

}  // namespace hk

// Private bookkeeping of a device object (DEVICE_OBJECT::HkNode).
struct HkDeviceNode {
    std::u16string name;            // "\Device\..." or empty
    bool deleted = false;
    bool deletionDeferred = false;  // deleted with a device still attached above: finished at its detach
    PDEVICE_OBJECT attachedTo = nullptr;  // the device this one was attached on top of
    bool filter = false;                  // attached as a filter, not as a function driver's device
    std::atomic<bool> flagsChecked{false};  // its flags were checked against the device below
    PVOID extension = nullptr;
    SIZE_T extensionSize = 0;
    std::vector<UCHAR> security;    // self-relative descriptor set on the device (security.cpp)
};

namespace hk {
PDEVICE_OBJECT FindNamedDevice(const std::u16string& name);
// The device of that name (compared without case), referenced; nullptr when there is none.
PDEVICE_OBJECT ReferenceNamedDevice(const std::u16string& name);
// The access check made when an application opens a device (security decides; until a device
// has a descriptor, everything asked for is granted with the platform's generic mapping).
NTSTATUS CheckOpenAccess(PDEVICE_OBJECT device, User user, ACCESS_MASK desired, ACCESS_MASK* granted);
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access);
void PoolCleanCheck();
void IoCleanCheck();
void ObjectCleanCheck();
}  // namespace hk
#include <unordered_map>

// ---- Security, registry and routine lookup (security.cpp, object_security.cpp, registry.cpp,
// routines.cpp, access.cpp) -------------------------------------------------------------------
#include <hostkernel/security.h>

#include <memory>

namespace hk {

// The parts of a descriptor, absolute or self-relative, as pointers into it.
struct DescriptorParts {
    USHORT control = 0;  // without SE_SELF_RELATIVE
    bool daclPresent = false;
    bool saclPresent = false;
    PISID owner = nullptr;
    PISID group = nullptr;
    PACL dacl = nullptr;
    PACL sacl = nullptr;
};
bool DescriptorPartsOf(PSECURITY_DESCRIPTOR descriptor, DescriptorParts* parts);
std::vector<UCHAR> SelfRelativeFromParts(const DescriptorParts& parts);
NTSTATUS ValidateDescriptor(PSECURITY_DESCRIPTOR descriptor);  // what capture checks
void MapAclGeneric(PACL acl, const GENERIC_MAPPING* mapping);
extern const GENERIC_MAPPING kFileGenericMapping;
extern const GENERIC_MAPPING kKeyGenericMapping;

// An object's security after a set: the parts named by `information` come from `update`, the
// rest from `existing` (empty: none yet); generic rights in the new ACLs are mapped.
std::vector<UCHAR> MergeSecurity(const std::vector<UCHAR>& existing, SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR update, const GENERIC_MAPPING* mapping);

// A device object's stored security (self-relative bytes; empty when none was ever set).
std::vector<UCHAR> DeviceSecurityOf(PDEVICE_OBJECT device);
void SetDeviceSecurity(PDEVICE_OBJECT device, std::vector<UCHAR> descriptor);
// The descriptor IoCreateDevice gives a named device of an ordinary type: everyone may read,
// write and execute; LocalSystem and administrators have all access.
const std::vector<UCHAR>& DefaultDeviceSecurity();

// Registry internals for hostkernel's own routines.
bool RegistryReadValue(const std::u16string& path, const std::u16string& name, ULONG* type,
                       std::vector<UCHAR>* data);

// Parts of ResetSecurityState.
void ResetRegistry();
void ResetSetSecurityCalls();

// hostkernel's SDDL parser for its own IoCreateDeviceSecure: the device-object subset.
NTSTATUS SddlToSelfRelative(const std::u16string& sddl, std::vector<UCHAR>* descriptor);
}  // namespace hk

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
// A device was attached on top of `lower`; as a filter unless it is the function driver's device
// attached to its physical device object in AddDevice.
void PnpDeviceAttached(PDEVICE_OBJECT device, PDEVICE_OBJECT lower);
// The first request reached an attached device (IoCallDriver): its flags against the device below.
void PnpCheckStackFlags(PDEVICE_OBJECT device, PIRP irp);
// A driver built `irp` and sends it (IoCallDriver, first stack location): a Plug and Play or power
// request must start out STATUS_NOT_SUPPORTED. Requests the managers send are marked first.
void PnpCheckBuiltRequest(PIRP irp, PDEVICE_OBJECT device);
void MarkManagerRequest(PIRP irp);
}  // namespace hk

namespace hk {
// Handles (handle.cpp). Each holds what it names until ZwClose: a reference on an object, or a
// registry key's node.
struct HandleEntry {
    PVOID object = nullptr;
    ObjectKind kind = ObjectKind::Other;
    bool isKey = false;
    ACCESS_MASK granted = 0;
    std::shared_ptr<void> keepAlive;  // registry keys: the key node
    std::string description;          // for the verifier's reports
};
// A new kernel handle to `object`, holding a reference on it.
HANDLE HandleCreate(PVOID object, ACCESS_MASK granted);
// A new handle for `entry` (an object gets a reference), made by `routine` on a driver's behalf:
// without OBJ_KERNEL_HANDLE in `attributes` it would land in the calling process's handle
// table, which is reported.
HANDLE HandleCreateFor(HandleEntry entry, ULONG attributes, const char* routine);
bool HandleLookup(HANDLE handle, HandleEntry* entry);
// Fault injection by routine name (handle.cpp); true when this call must fail with *status.
// Every call is counted (RoutineCalls).
bool TakeInjectedCallFailure(const char* routine, NTSTATUS* status);
void ResetRoutineFaultInjection();
void ResetFileFaultInjection();  // file.cpp
// Threads (thread.cpp).
void ResetThreadFaultInjection();
// The calling thread, one of hostkernel's own workers, runs in the System process from now on.
void RunInSystemProcess();
bool IsCurrentThreadObject(PVOID object);
}  // namespace hk

// What an object type pointer (IoDeviceObjectType, PsThreadType) points at.
struct _OBJECT_TYPE {
    hk::ObjectKind Kind;
};
