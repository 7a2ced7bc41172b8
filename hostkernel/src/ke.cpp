// Kernel core: per-thread IRQL, spin locks, dispatcher objects and waits, fast mutexes, delays
// and the system time.
#include "internal.h"

#include <hostkernel/threads.h>

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace hk {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_spinLocksHeld = 0;
// Set by KeSetEvent/KeReleaseSemaphore with Wait TRUE: the platform returns from those at
// DISPATCH_LEVEL and the caller's next call must be a wait, which returns at the IRQL saved here.
thread_local bool t_waitNext = false;
thread_local KIRQL t_waitNextIrql = PASSIVE_LEVEL;
// Depth of KeEnterCriticalRegion nesting.
thread_local int t_criticalRegionDepth = 0;
std::atomic<LONGLONG> g_timeOffset{0};
// While frozen, the system time stays at the value taken at the freeze (plus any advance).
std::atomic<bool> g_timeFrozen{false};
std::atomic<LONGLONG> g_frozenTime{0};
std::atomic<LONGLONG> g_clockTick{0};

// What a held spin lock stores: the address of the holder's own counter, unique per thread.
ULONG_PTR SpinLockOwnerId() { return (ULONG_PTR)&t_spinLocksHeld; }
std::mutex g_delayObserverLock;
std::function<void(LONGLONG)> g_delayObserver;
// Spin-lock acquisitions are frequent: the observer's lock is taken only while one is set.
std::atomic<bool> g_spinLockObserved{false};
std::mutex g_spinLockObserverLock;
std::function<void(PKSPIN_LOCK)> g_spinLockObserver;

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kEpochDelta = 116444736000000000LL;

LONGLONG RealSystemTime()
{
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return kEpochDelta + std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

// When a timer due `units` (100 ns, relative) from now expires. The platform checks timers on
// its clock interrupt only, so with a tick modelled a timer expires at the first tick at or after
// its due time; ticks fall on a fixed grid of the interrupt time (the steady clock here). A thread
// that wakes from a delay therefore sits on a tick, and its next 1 ms delay lasts a whole tick,
// which is what a polling loop sees on the platform at the default resolution.
std::chrono::steady_clock::time_point TimerExpiry(LONGLONG units)
{
    auto due = std::chrono::steady_clock::now() + std::chrono::nanoseconds(units * 100);
    LONGLONG tick = EffectiveClockTick();
    if (tick <= 0) return due;
    LONGLONG tickNs = tick * 100;
    LONGLONG dueNs = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
    LONGLONG expiryNs = (dueNs + tickNs - 1) / tickNs * tickNs;
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(expiryNs));
}

// Relative 100 ns units until a kernel time-out: negative values are relative, positive ones
// absolute system time (already past: 0).
LONGLONG RelativeUnits(LONGLONG timeout)
{
    if (timeout <= 0) return -timeout;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return timeout > now.QuadPart ? timeout - now.QuadPart : 0;
}

bool IsSignalled(PDISPATCHER_HEADER header)
{
    return header->SignalState > 0;
}

// The side effect of a satisfied wait: synchronization events reset, semaphores count down.
void Satisfy(PDISPATCHER_HEADER header)
{
    switch (header->Type) {
    case EventSynchronizationObject:
        header->SignalState = 0;
        break;
    case SemaphoreObject:
        header->SignalState = header->SignalState - 1;
        break;
    default:
        break;
    }
}

// An object whose wait list was never set up (zeroed memory that no KeInitializeXxx reached):
// the platform walks that list on every signal and wait, and faults on it.
bool Uninitialized(PDISPATCHER_HEADER header) { return header->WaitListHead.Flink == nullptr; }

std::mutex& DispatcherLock()
{
    static std::mutex lock;
    return lock;
}

// A thread's wait on one object, linked on the object's wait list while it lasts. The signaller
// unlinks it and posts `satisfied` under the dispatcher lock; the waiter sleeps on that notice.
struct WaitBlock {
    LIST_ENTRY entry;
    std::atomic<uint32_t> satisfied{kNoticeClear};
    PVOID owner = nullptr;  // fast-mutex waiters: the identity the mutex is handed over to
};

WaitBlock* FirstWaiter(PDISPATCHER_HEADER header)
{
    return CONTAINING_RECORD(header->WaitListHead.Flink, WaitBlock, entry);
}

// Links the caller on `header`'s wait list and waits, the guard's lock held on entry and released
// on return. True when the wait was satisfied (the signaller already applied its side effect).
bool WaitOn(DispatcherGuard& guard, PDISPATCHER_HEADER header, WaitBlock& block,
            const std::chrono::steady_clock::time_point* deadline)
{
    InsertTailList(&header->WaitListHead, &block.entry);
    guard.Unlock();
    if (NoticeWait(&block.satisfied, deadline)) return true;
    // Timed out, unless a signal satisfied the wait before the lock was taken again.
    guard.Lock().lock();
    bool satisfied = block.satisfied.load(std::memory_order_acquire) == kNoticePosted;
    if (!satisfied) RemoveEntryList(&block.entry);
    guard.Unlock();
    return satisfied;
}

void EnterWaitNext(const char* routine)
{
    if (t_waitNext) {
        ReportViolation("%s with Wait TRUE while a previous Wait TRUE call still awaits its KeWaitXxx", routine);
        return;
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    t_waitNext = true;
    t_waitNextIrql = old;
}

}  // namespace

bool FutexWait(std::atomic<uint32_t>* word, uint32_t value, const std::chrono::steady_clock::time_point* deadline)
{
    timespec at{};
    if (deadline != nullptr) {
        if (std::chrono::steady_clock::now() >= *deadline) return word->load(std::memory_order_acquire) != value;
        // steady_clock is CLOCK_MONOTONIC, the clock an absolute FUTEX_WAIT_BITSET uses.
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline->time_since_epoch()).count();
        at.tv_sec = ns / 1000000000;
        at.tv_nsec = ns % 1000000000;
    }
    long result = syscall(SYS_futex, (uint32_t*)word, FUTEX_WAIT_BITSET_PRIVATE, value,
                          deadline != nullptr ? &at : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(result != 0 && errno == ETIMEDOUT);
}

void FutexWake(std::atomic<uint32_t>* word, int count)
{
    // The waiter may already have seen the word and left: a wake on a stale address is at most a
    // spurious wake-up for whatever sleeps there now, which every futex user tolerates.
    syscall(SYS_futex, (uint32_t*)word, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

bool NoticeWait(std::atomic<uint32_t>* word, const std::chrono::steady_clock::time_point* deadline)
{
    for (;;) {
        uint32_t state = word->load(std::memory_order_acquire);
        if (state == kNoticePosted) return true;
        if (state == kNoticeClear &&
            !word->compare_exchange_strong(state, kNoticeSleeping, std::memory_order_acq_rel)) {
            continue;  // posted meanwhile
        }
        if (!FutexWait(word, kNoticeSleeping, deadline)) {
            return word->load(std::memory_order_acquire) == kNoticePosted;
        }
    }
}

DispatcherGuard::DispatcherGuard() : lock_(DispatcherLock()) {}

DispatcherGuard::~DispatcherGuard() { Unlock(); }

void DispatcherGuard::Unlock()
{
    if (lock_.owns_lock()) lock_.unlock();
    for (int i = 0; i < deferredCount_; i++) FutexWake(deferred_[i]);
    deferredCount_ = 0;
}

void DispatcherGuard::Wake(std::atomic<uint32_t>* word)
{
    if (deferredCount_ < kDeferred) {
        deferred_[deferredCount_++] = word;
    } else {
        FutexWake(word);
    }
}

void DispatcherGuard::Signal(PDISPATCHER_HEADER header)
{
    if (Uninitialized(header)) return;
    while (IsSignalled(header) && !IsListEmpty(&header->WaitListHead)) {
        WaitBlock* block = FirstWaiter(header);
        RemoveEntryList(&block->entry);
        Satisfy(header);
        if (NoticePost(&block->satisfied)) Wake(&block->satisfied);
    }
}

int SpinLocksHeld() { return t_spinLocksHeld; }

void RunAtIrql(KIRQL irql, const std::function<void()>& body)
{
    KIRQL old = t_irql;
    t_irql = irql;
    body();
    t_irql = old;
}

void SetDelayObserver(std::function<void(LONGLONG)> observer)
{
    std::lock_guard guard(g_delayObserverLock);
    g_delayObserver = std::move(observer);
}

void SetSpinLockObserver(std::function<void(PKSPIN_LOCK)> observer)
{
    std::lock_guard guard(g_spinLockObserverLock);
    g_spinLockObserved.store(static_cast<bool>(observer));
    g_spinLockObserver = std::move(observer);
}

bool CurrentThreadInCriticalRegion() { return t_criticalRegionDepth > 0; }
int CriticalRegionDepth() { return t_criticalRegionDepth; }

void AdvanceSystemTime(LONGLONG units) { g_timeOffset += units; }
void ResetSystemTime()
{
    g_timeOffset = 0;
    g_timeFrozen = false;
}
void FreezeSystemTime()
{
    g_frozenTime = RealSystemTime();
    g_timeFrozen = true;
}
void ThawSystemTime() { g_timeFrozen = false; }
void SetClockTick(LONGLONG units) { g_clockTick = units > 0 ? units : 0; }
LONGLONG ClockTick() { return g_clockTick.load(); }
LONGLONG EffectiveClockTick()
{
    LONGLONG tick = g_clockTick.load();
    LONGLONG requested = TimerResolutionRequested();
    return tick > 0 && requested > 0 && requested < tick ? requested : tick;
}

}  // namespace hk

using namespace hk;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return t_irql; }

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql)
{
    if (newIrql < t_irql) {
        ReportViolation("KeRaiseIrql to %u below the current IRQL %u", newIrql, t_irql);
    }
    *oldIrql = t_irql;
    t_irql = newIrql;
}

void KeLowerIrql(KIRQL newIrql)
{
    if (newIrql > t_irql) {
        ReportViolation("KeLowerIrql to %u above the current IRQL %u", newIrql, t_irql);
    }
    t_irql = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void KeInitializeSpinLock(PKSPIN_LOCK lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock)
{
    if (t_irql < DISPATCH_LEVEL) {
        ReportViolation("KeAcquireSpinLockAtDpcLevel called at IRQL %u", t_irql);
    }
    // A held lock holds its owner's identity, so that the two mistakes a spin lock can't survive
    // are reported instead of hanging or passing silently.
    ULONG_PTR self = SpinLockOwnerId();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self) {
        ReportViolation("spin lock rule: spin lock %p acquired again by the thread that holds it "
                        "(a deadlock on the platform)",
                        (void*)lock);
        return;
    }
    // Spun for as long as a spin lock is normally held (a few hundred cycles: a ring copy, a
    // list update), as the platform spins; past that the holder is probably a user-mode thread
    // that was descheduled, which the platform's holder at DISPATCH_LEVEL never is: yield
    // instead of burning the core it needs.
    constexpr int kSpinsBeforeYield = 64;
    for (int spins = 0;; spins++) {
        ULONG_PTR expected = 0;
        if (__atomic_load_n(lock, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        if (spins < kSpinsBeforeYield) {
            __builtin_ia32_pause();
        } else {
            sched_yield();
        }
    }
    t_spinLocksHeld++;
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock)
{
    ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner == 0) {
        ReportViolation("releasing spin lock %p that is not held", (void*)lock);
        return;
    }
    if (t_irql != DISPATCH_LEVEL) {
        ReportViolation("releasing spin lock %p at IRQL %u instead of DISPATCH_LEVEL", (void*)lock, t_irql);
    }
    if (owner != SpinLockOwnerId()) {
        // The owner runs on at DISPATCH_LEVEL believing it holds the lock; nothing guards its data.
        ReportViolation("spin lock rule: spin lock %p released by a thread that does not hold it", (void*)lock);
        __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
        return;
    }
    t_spinLocksHeld--;
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql)
{
    if (t_irql > DISPATCH_LEVEL) {
        ReportViolation("KeAcquireSpinLock called at IRQL %u", t_irql);
    }
    if (g_spinLockObserved.load()) {
        std::function<void(PKSPIN_LOCK)> observer;
        {
            std::lock_guard guard(g_spinLockObserverLock);
            observer = g_spinLockObserver;
        }
        if (observer) observer(lock);
    }
    // The old IRQL is stored only once the lock is held: callers may keep it inside the record
    // the lock guards, where a thread still spinning must not overwrite the holder's value.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(lock);
    *oldIrql = old;
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql)
{
    KeReleaseSpinLockFromDpcLevel(lock);
    KeLowerIrql(newIrql);
}

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK lock, PKLOCK_QUEUE_HANDLE handle)
{
    handle->LockQueue[0] = lock;
    KeAcquireSpinLock(lock, &handle->OldIrql);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle)
{
    KeReleaseSpinLock((PKSPIN_LOCK)handle->LockQueue[0], handle->OldIrql);
}

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    std::lock_guard guard(DispatcherLock());
    event->Header.Type = type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    event->Header.SignalState = state ? 1 : 0;
    InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN wait)
{
    if (t_irql > DISPATCH_LEVEL) ReportViolation("KeSetEvent called at IRQL %u", t_irql);
    LONG previous;
    bool uninitialized;
    {
        DispatcherGuard guard;
        uninitialized = Uninitialized(&event->Header);
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
        guard.Signal(&event->Header);
    }
    if (uninitialized) ReportViolation("KeSetEvent on event %p, which was never initialized", (void*)event);
    if (wait) EnterWaitNext("KeSetEvent");
    return previous;
}

void KeClearEvent(PRKEVENT event)
{
    std::lock_guard guard(DispatcherLock());
    event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event)
{
    std::lock_guard guard(DispatcherLock());
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT event)
{
    std::lock_guard guard(DispatcherLock());
    return event->Header.SignalState;
}

void KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit)
{
    std::lock_guard guard(DispatcherLock());
    semaphore->Header.Type = SemaphoreObject;
    semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
    semaphore->Header.SignalState = count;
    semaphore->Limit = limit;
    InitializeListHead(&semaphore->Header.WaitListHead);
}

LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY, LONG adjustment, BOOLEAN wait)
{
    if (t_irql > DISPATCH_LEVEL) ReportViolation("KeReleaseSemaphore called at IRQL %u", t_irql);
    LONG previous;
    bool uninitialized;
    {
        DispatcherGuard guard;
        uninitialized = Uninitialized(&semaphore->Header);
        previous = semaphore->Header.SignalState;
        if (adjustment <= 0 || previous + adjustment > semaphore->Limit || previous + adjustment < previous) {
            guard.Unlock();
            // The kernel raises STATUS_SEMAPHORE_LIMIT_EXCEEDED here, which a driver cannot survive.
            ReportViolation("KeReleaseSemaphore beyond the limit %d of semaphore %p", semaphore->Limit,
                            (void*)semaphore);
            return previous;
        }
        semaphore->Header.SignalState = previous + adjustment;
        guard.Signal(&semaphore->Header);
    }
    if (uninitialized) {
        ReportViolation("KeReleaseSemaphore on semaphore %p, which was never initialized", (void*)semaphore);
    }
    if (wait) EnterWaitNext("KeReleaseSemaphore");
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore)
{
    std::lock_guard guard(DispatcherLock());
    return semaphore->Header.SignalState;
}

// How often a wait for an absolute system time looks at the clock again. The platform's absolute
// timers follow a change of the system time (a timer whose time the clock has passed expires at
// the next tick, one whose time moved away waits on); here the clock is moved by the harness, and
// the waiter sees the move within this slice.
constexpr auto kSystemTimeSlice = std::chrono::milliseconds(10);

// Waits on `header` until it is signalled or the system time reaches `due` (absolute, 100 ns).
// The guard's lock is held on entry and released on return.
static NTSTATUS WaitUntilSystemTime(DispatcherGuard& guard, PDISPATCHER_HEADER header, LONGLONG due)
{
    for (;;) {
        auto expiry = TimerExpiry(RelativeUnits(due));
        auto slice = std::chrono::steady_clock::now() + kSystemTimeSlice;
        bool last = expiry <= slice;
        auto until = last ? expiry : slice;
        WaitBlock block;
        if (WaitOn(guard, header, block, &until)) return STATUS_SUCCESS;
        // The clock may have been set back while the timer ran its last stretch.
        if (last && RelativeUnits(due) == 0) return STATUS_TIMEOUT;
        guard.Lock().lock();
        if (IsSignalled(header)) {
            Satisfy(header);
            return STATUS_SUCCESS;
        }
    }
}

static NTSTATUS WaitForObject(PVOID object, PLARGE_INTEGER timeout)
{
    auto header = (PDISPATCHER_HEADER)object;
    if (header->Type != EventNotificationObject && header->Type != EventSynchronizationObject &&
        header->Type != SemaphoreObject && header->Type != ThreadObject) {
        ReportViolation("KeWaitForSingleObject on %p, which is not an event, semaphore or thread", object);
        return STATUS_INVALID_PARAMETER;
    }
    if (timeout == nullptr && IsCurrentThreadObject(object)) {
        ReportViolation("thread %p waits without time-out for its own end", object);
        return STATUS_TIMEOUT;
    }
    DispatcherGuard guard;
    if (Uninitialized(header)) {
        guard.Unlock();
        ReportViolation("KeWaitForSingleObject on %p, which was never initialized", object);
        return STATUS_INVALID_PARAMETER;
    }
    if (IsSignalled(header)) {
        Satisfy(header);
        return STATUS_SUCCESS;
    }
    // A zero time-out only tests the state: no timer, so no tick to wait for.
    if (timeout != nullptr && timeout->QuadPart == 0) return STATUS_TIMEOUT;
    if (timeout != nullptr && timeout->QuadPart > 0) return WaitUntilSystemTime(guard, header, timeout->QuadPart);
    std::chrono::steady_clock::time_point deadline;
    if (timeout != nullptr) deadline = TimerExpiry(RelativeUnits(timeout->QuadPart));
    WaitBlock block;
    return WaitOn(guard, header, block, timeout != nullptr ? &deadline : nullptr) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout)
{
    // After a Wait TRUE release the caller runs at DISPATCH_LEVEL; the rule applies to the IRQL
    // it had before, and the wait returns it there.
    bool waitNext = t_waitNext;
    KIRQL callerIrql = waitNext ? t_waitNextIrql : t_irql;
    t_waitNext = false;
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (poll ? callerIrql > DISPATCH_LEVEL : callerIrql > APC_LEVEL) {
        ReportViolation("KeWaitForSingleObject on %p at IRQL %u", object, callerIrql);
    }
    NTSTATUS status = WaitForObject(object, timeout);
    if (waitNext) t_irql = callerIrql;
    return status;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval)
{
    if (t_irql > APC_LEVEL) ReportViolation("KeDelayExecutionThread at IRQL %u", t_irql);
    std::function<void(LONGLONG)> observer;
    {
        std::lock_guard guard(g_delayObserverLock);
        observer = g_delayObserver;
    }
    if (observer) observer(interval->QuadPart);
    LONGLONG units = RelativeUnits(interval->QuadPart);
    if (units > 0) std::this_thread::sleep_until(TimerExpiry(units));
    else std::this_thread::yield();
    return STATUS_SUCCESS;
}

void KeEnterCriticalRegion(void)
{
    if (t_irql > APC_LEVEL) ReportViolation("KeEnterCriticalRegion at IRQL %u", t_irql);
    t_criticalRegionDepth++;
}

void KeLeaveCriticalRegion(void)
{
    if (t_irql > APC_LEVEL) ReportViolation("KeLeaveCriticalRegion at IRQL %u", t_irql);
    if (t_criticalRegionDepth == 0) {
        ReportViolation("KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
        return;
    }
    t_criticalRegionDepth--;
}

void ExInitializeFastMutex(PFAST_MUTEX mutex)
{
    mutex->Count = 1;
    mutex->Owner = nullptr;
    mutex->Contention = 0;
    KeInitializeEvent(&mutex->Event, SynchronizationEvent, FALSE);
    mutex->OldIrql = 0;
}

// A fast mutex as the platform keeps one: taken and given back by one interlocked operation when
// nobody else wants it; the dispatcher is involved only when a thread has to wait. Count is 1
// when free, 0 when held with nobody waiting and -1 when held while a thread may be waiting (set
// under the dispatcher lock by the thread about to wait). Waiters queue on the event's wait list;
// a release hands the mutex to the first of them, which returns owning it, as the platform's
// waiter wakes owning it.
static PVOID FastMutexOwner(PFAST_MUTEX mutex) { return __atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED); }

static void SetFastMutexOwner(PFAST_MUTEX mutex, PVOID owner) { __atomic_store_n(&mutex->Owner, owner, __ATOMIC_RELAXED); }

static bool TakeFreeFastMutex(PFAST_MUTEX mutex)
{
    LONG expected = 1;
    if (!__atomic_compare_exchange_n(&mutex->Count, &expected, 0, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        return false;
    }
    SetFastMutexOwner(mutex, (PVOID)&t_irql);  // identifies the owning thread
    return true;
}

static void AcquireFastMutexAtApc(PFAST_MUTEX mutex, KIRQL old)
{
    if (!TakeFreeFastMutex(mutex)) {
        if (FastMutexOwner(mutex) == (PVOID)&t_irql) {
            ReportViolation("fast mutex %p acquired again by its owner (deadlock)", (void*)mutex);
        }
        DispatcherGuard guard;
        // Announce the wait before looking: a release that sees -1 goes to the dispatcher, which
        // it can only enter once this thread is on the wait list.
        if (__atomic_exchange_n(&mutex->Count, -1, __ATOMIC_ACQUIRE) == 1) {
            // Released meanwhile: taken, and its next release looks for waiters (there are none).
            SetFastMutexOwner(mutex, (PVOID)&t_irql);
        } else {
            WaitBlock block;
            block.owner = (PVOID)&t_irql;
            WaitOn(guard, &mutex->Event.Header, block, nullptr);
        }
    }
    // Only the owner touches this field.
    mutex->OldIrql = old;
}

void ExAcquireFastMutex(PFAST_MUTEX mutex)
{
    if (t_irql > APC_LEVEL) ReportViolation("ExAcquireFastMutex at IRQL %u", t_irql);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    AcquireFastMutexAtApc(mutex, old);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX mutex)
{
    if (t_irql > APC_LEVEL) ReportViolation("ExTryToAcquireFastMutex at IRQL %u", t_irql);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    if (!TakeFreeFastMutex(mutex)) {
        t_irql = old;
        return FALSE;
    }
    mutex->OldIrql = old;
    return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX mutex)
{
    if (__atomic_load_n(&mutex->Count, __ATOMIC_RELAXED) == 1 || FastMutexOwner(mutex) != (PVOID)&t_irql) {
        ReportViolation("releasing fast mutex %p that this thread does not hold", (void*)mutex);
        return;
    }
    if (t_irql != APC_LEVEL) {
        ReportViolation("releasing fast mutex %p at IRQL %u instead of APC_LEVEL", (void*)mutex, t_irql);
    }
    KIRQL old = (KIRQL)mutex->OldIrql;
    SetFastMutexOwner(mutex, nullptr);
    LONG expected = 0;
    if (!__atomic_compare_exchange_n(&mutex->Count, &expected, 1, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
        // A thread may be waiting: hand the mutex over under the dispatcher lock.
        DispatcherGuard guard;
        if (IsListEmpty(&mutex->Event.Header.WaitListHead)) {
            __atomic_store_n(&mutex->Count, 1, __ATOMIC_RELEASE);
        } else {
            WaitBlock* next = FirstWaiter(&mutex->Event.Header);
            RemoveEntryList(&next->entry);
            SetFastMutexOwner(mutex, next->owner);
            // Still -1 while others wait, so that the new owner's release looks for them.
            if (IsListEmpty(&mutex->Event.Header.WaitListHead)) __atomic_store_n(&mutex->Count, 0, __ATOMIC_RELAXED);
            if (NoticePost(&next->satisfied)) guard.Wake(&next->satisfied);
        }
    }
    KeLowerIrql(old);
}

void KeQuerySystemTime(PLARGE_INTEGER currentTime)
{
    currentTime->QuadPart = (g_timeFrozen ? g_frozenTime.load() : RealSystemTime()) + g_timeOffset.load();
}

// The platform updates the interrupt time on each clock interrupt: with a tick modelled, the time
// of the last tick. KeQueryInterruptTimePrecise reads the clock itself.
ULONGLONG KeQueryInterruptTime(void)
{
    ULONGLONG now = KeQueryInterruptTimePrecise(nullptr);
    LONGLONG tick = EffectiveClockTick();
    return tick > 0 ? now / (ULONGLONG)tick * (ULONGLONG)tick : now;
}

ULONGLONG KeQueryInterruptTimePrecise(PULONGLONG qpcTimeStamp)
{
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    ULONGLONG units = (ULONGLONG)std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    if (qpcTimeStamp != nullptr) *qpcTimeStamp = units;
    return units;
}

ULONG KeQueryTimeIncrement(void) { return 156250; }

void KeQueryTickCount(PLARGE_INTEGER tickCount) { tickCount->QuadPart = (LONGLONG)(KeQueryInterruptTime() / KeQueryTimeIncrement()); }

void HkPagedCodeCheck(const char* function)
{
    if (t_irql > APC_LEVEL) {
        ReportViolation("pageable routine %s called at IRQL %u (above APC_LEVEL)", function, t_irql);
    }
}

}  // extern "C"
