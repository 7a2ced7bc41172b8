// System threads: each is a real OS thread with a kernel thread object. The object starts with a
// DISPATCHER_HEADER (type ThreadObject) that is signalled when the thread ends, is referenced
// through the object manager (the running thread holds one reference, its handle another) and
// records the priorities the driver sets.
#include "internal.h"

#include <hostkernel/threads.h>

#include <pthread.h>

#include <atomic>

struct _KTHREAD {
    DISPATCHER_HEADER Header;
};

struct _ETHREAD {
    _KTHREAD Tcb;  // first, as on the platform: a PETHREAD is also its PKTHREAD
    bool System = false;
    PKSTART_ROUTINE StartRoutine = nullptr;
    PVOID StartContext = nullptr;
    KPRIORITY Priority = 8;  // the system process's base priority
    LONG BasePriorityIncrement = 0;
    bool Running = false;
    NTSTATUS ExitStatus = STATUS_PENDING;
    ULONG_PTR Id = 0;
};

namespace hk {
namespace {

// Thrown by PsTerminateSystemThread and caught at the bottom of the thread: the thread's own
// frames are left the way the platform leaves them, without returning into them.
struct ThreadTermination {
    NTSTATUS status;
};

std::mutex g_lock;  // never held while taking the dispatcher lock
std::vector<_ETHREAD*>& Threads()
{
    static std::vector<_ETHREAD*> threads;
    return threads;
}
int g_failCreations = 0;
NTSTATUS g_failStatus = STATUS_INSUFFICIENT_RESOURCES;
std::atomic<ULONG_PTR> g_nextId{0x100};

thread_local _ETHREAD* t_current = nullptr;

void InitializeThreadObject(_ETHREAD* thread)
{
    thread->Tcb.Header.Type = ThreadObject;
    thread->Tcb.Header.Size = sizeof(_KTHREAD) / sizeof(LONG);
    thread->Tcb.Header.SignalState = 0;
    InitializeListHead(&thread->Tcb.Header.WaitListHead);
    thread->Id = g_nextId += 4;
}

// Threads that the driver did not create (the tests' threads, the harness's) still have an
// object, as every thread on the platform does; it is not one the object manager hands out.
_ETHREAD* CurrentThread()
{
    if (t_current == nullptr) {
        static thread_local _ETHREAD foreign;
        if (foreign.Id == 0) InitializeThreadObject(&foreign);
        t_current = &foreign;
    }
    return t_current;
}

void ForgetThread(_ETHREAD* thread)
{
    std::lock_guard guard(g_lock);
    auto& threads = Threads();
    for (auto it = threads.begin(); it != threads.end(); ++it) {
        if (*it == thread) {
            threads.erase(it);
            return;
        }
    }
}

void DestroyThread(PVOID object)
{
    auto thread = (_ETHREAD*)object;
    ForgetThread(thread);
    delete thread;
}

// The end of a system thread: signal its object and drop the thread's own reference in one
// step under the dispatcher lock, so that whoever sees the thread ended also sees that only
// the references of others remain.
void EndThread(_ETHREAD* thread, NTSTATUS status)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("system thread %p (start routine %p) ended at IRQL %u", (void*)thread,
                        (void*)thread->StartRoutine, KeGetCurrentIrql());
    }
    if (SpinLocksHeld() > 0) {
        ReportViolation("system thread %p (start routine %p) ended holding %d spin lock(s)", (void*)thread,
                        (void*)thread->StartRoutine, SpinLocksHeld());
    }
    {
        std::lock_guard guard(g_lock);
        thread->Running = false;
        thread->ExitStatus = status;
    }
    DispatcherGuard guard;
    thread->Tcb.Header.SignalState = 1;
    guard.Signal(&thread->Tcb.Header);
    // An object reported at an unload while its thread still ran has been forgotten (kept, never
    // freed): there is no reference left to drop.
    if (ObjectKnown(thread)) {
        ObDereferenceObject(thread);  // may free the object: not touched after this
    } else {
        ForgetThread(thread);
    }
}

void* ThreadMain(void* argument)
{
    auto thread = (_ETHREAD*)argument;
    t_current = thread;
    NTSTATUS status = STATUS_SUCCESS;
    try {
        thread->StartRoutine(thread->StartContext);
    } catch (const ThreadTermination& termination) {
        status = termination.status;
    }
    EndThread(thread, status);
    t_current = nullptr;
    return nullptr;
}

void ThreadCleanCheck()
{
    std::vector<std::pair<_ETHREAD*, PKSTART_ROUTINE>> running;
    {
        std::lock_guard guard(g_lock);
        for (_ETHREAD* thread : Threads()) {
            if (thread->Running) running.emplace_back(thread, thread->StartRoutine);
        }
    }
    for (auto& [thread, start] : running) {
        ReportViolation("system thread %p (start routine %p) still running at unload", (void*)thread, (void*)start);
    }
    // Objects reported as left behind are forgotten by the object manager (kept reachable, never
    // freed); ended ones no longer count as the driver's threads.
    {
        std::lock_guard guard(g_lock);
        auto& threads = Threads();
        for (auto it = threads.begin(); it != threads.end();) {
            if (!(*it)->Running && !ObjectKnown(*it)) {
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
    }
}

const bool g_registered = (RegisterCleanCheck("threads", ThreadCleanCheck), true);

}  // namespace

void ResetThreadFaultInjection()
{
    std::lock_guard guard(g_lock);
    g_failCreations = 0;
}

void FailNextThreadCreations(int count, NTSTATUS status)
{
    std::lock_guard guard(g_lock);
    g_failCreations = count;
    g_failStatus = status;
}

std::vector<SystemThreadInfo> SystemThreads()
{
    std::lock_guard guard(g_lock);
    std::vector<SystemThreadInfo> info;
    for (_ETHREAD* thread : Threads()) {
        info.push_back({thread, thread->StartRoutine, thread->StartContext, thread->Priority,
                        thread->BasePriorityIncrement, thread->Running});
    }
    return info;
}

size_t RunningSystemThreadCount()
{
    std::lock_guard guard(g_lock);
    size_t count = 0;
    for (_ETHREAD* thread : Threads()) count += thread->Running;
    return count;
}

bool IsCurrentThreadObject(PVOID object) { return object == CurrentThread(); }

}  // namespace hk

using namespace hk;

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES attributes, HANDLE,
                              PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine, PVOID startContext)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("PsCreateSystemThread at IRQL %u", KeGetCurrentIrql());
    }
    if (threadHandle == nullptr || startRoutine == nullptr) {
        ReportViolation("PsCreateSystemThread without a handle pointer or a start routine");
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard guard(g_lock);
        if (g_failCreations > 0) {
            g_failCreations--;
            return g_failStatus;
        }
    }

    auto thread = new _ETHREAD;
    InitializeThreadObject(thread);
    thread->System = true;
    thread->StartRoutine = startRoutine;
    thread->StartContext = startContext;
    thread->Running = true;
    ObjectInsert(thread, ObjectKind::Thread, DestroyThread);  // the running thread's reference
    {
        std::lock_guard guard(g_lock);
        Threads().push_back(thread);
    }
    ACCESS_MASK granted = desiredAccess == 0 ? THREAD_ALL_ACCESS : desiredAccess;
    // Called in an application's thread (a dispatch routine), a handle without OBJ_KERNEL_HANDLE
    // lands in that application's handle table, where it can close or use the thread.
    HandleEntry entry;
    entry.object = thread;
    entry.kind = ObjectKind::Thread;
    entry.granted = granted;
    HANDLE handle = HandleCreateFor(std::move(entry), attributes ? attributes->Attributes : 0, "PsCreateSystemThread");
    if (clientId != nullptr) {
        clientId->UniqueProcess = (HANDLE)4;  // the System process
        clientId->UniqueThread = (HANDLE)thread->Id;
    }

    pthread_t os;
    if (pthread_create(&os, nullptr, ThreadMain, thread) != 0) {
        {
            std::lock_guard guard(g_lock);
            thread->Running = false;
        }
        ZwClose(handle);
        ObDereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Nobody joins it: its end is what its object's signal says; the OS thread only returns
    // after that.
    pthread_detach(os);
    *threadHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus)
{
    _ETHREAD* thread = CurrentThread();
    if (!thread->System) {
        ReportViolation("PsTerminateSystemThread called from a thread that is not a system thread");
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("PsTerminateSystemThread at IRQL %u", KeGetCurrentIrql());
    }
    throw ThreadTermination{exitStatus};
}

PKTHREAD KeGetCurrentThread(void) { return &CurrentThread()->Tcb; }
PETHREAD PsGetCurrentThread(void) { return CurrentThread(); }
HANDLE PsGetCurrentThreadId(void) { return (HANDLE)CurrentThread()->Id; }
BOOLEAN PsIsSystemThread(PETHREAD thread) { return thread->System; }

KPRIORITY KeSetPriorityThread(PKTHREAD kthread, KPRIORITY priority)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("KeSetPriorityThread at IRQL %u", KeGetCurrentIrql());
    if (priority <= LOW_PRIORITY || priority > HIGH_PRIORITY) {
        ReportViolation("KeSetPriorityThread with priority %d outside 1..31", priority);
        return 0;
    }
    auto thread = (_ETHREAD*)kthread;
    std::lock_guard guard(g_lock);
    KPRIORITY old = thread->Priority;
    thread->Priority = priority;
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD kthread)
{
    auto thread = (_ETHREAD*)kthread;
    std::lock_guard guard(g_lock);
    return thread->Priority;
}

LONG KeSetBasePriorityThread(PKTHREAD kthread, LONG increment)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation("KeSetBasePriorityThread at IRQL %u", KeGetCurrentIrql());
    }
    auto thread = (_ETHREAD*)kthread;
    std::lock_guard guard(g_lock);
    LONG old = thread->BasePriorityIncrement;
    thread->BasePriorityIncrement = increment;
    return old;
}

}  // extern "C"
