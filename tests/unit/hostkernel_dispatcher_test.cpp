// hostkernel's dispatcher wakes only the waiters of the object that was signalled, and as many of
// them as the object's new state satisfies: one per set of a synchronization event, every one for
// a notification event, one per count released of a semaphore, the next in line for a released
// fast mutex. A wait that times out while it is being satisfied either takes the signal or leaves
// it for the next waiter, never both and never neither.
#include <gtest/gtest.h>
#include <hostkernel/harness.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = 10s)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A thread blocked in KeWaitForSingleObject without time-out on one object.
class Waiter {
public:
    explicit Waiter(PVOID object)
        : thread_([this, object] {
              started_ = true;
              status_ = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
              done_ = true;
          })
    {
        WaitUntil([&] { return started_.load(); });
    }
    ~Waiter() { thread_.join(); }
    bool Done() const { return done_; }
    NTSTATUS Status() const { return status_; }

private:
    std::atomic<bool> started_{false};
    std::atomic<bool> done_{false};
    std::atomic<NTSTATUS> status_{STATUS_PENDING};
    std::thread thread_;
};

using Waiters = std::vector<std::unique_ptr<Waiter>>;

Waiters StartWaiters(PVOID object, int count)
{
    Waiters waiters;
    for (int i = 0; i < count; i++) waiters.push_back(std::make_unique<Waiter>(object));
    // Started is not yet blocked: give them time to reach the wait. A waiter that arrives late
    // finds the state the signal left, so every judgement below holds either way.
    std::this_thread::sleep_for(20ms);
    return waiters;
}

int CountDone(const Waiters& waiters)
{
    int done = 0;
    for (auto& waiter : waiters) done += waiter->Done();
    return done;
}

// Waits until `expected` waiters have returned, then a while longer to see that no more do.
int SettledCount(const Waiters& waiters, int expected)
{
    WaitUntil([&] { return CountDone(waiters) >= expected; });
    std::this_thread::sleep_for(50ms);
    return CountDone(waiters);
}

TEST(Dispatcher, SynchronizationEventReleasesOneWaiterPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    auto waiters = StartWaiters(&event, 3);

    for (int set = 1; set <= 3; set++) {
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "set " << set;
        EXPECT_EQ(SettledCount(waiters, set), set) << "set " << set;
        EXPECT_EQ(KeReadStateEvent(&event), 0) << "the released waiter took the signal";
    }
    for (auto& waiter : waiters) EXPECT_EQ(waiter->Status(), STATUS_SUCCESS);
}

TEST(Dispatcher, NotificationEventReleasesEveryWaiterAndStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto waiters = StartWaiters(&event, 4);
    EXPECT_EQ(CountDone(waiters), 0);

    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(SettledCount(waiters, 4), 4);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST(Dispatcher, SemaphoreReleasesAsManyWaitersAsItsCount)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 10);
    auto waiters = StartWaiters(&semaphore, 3);

    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 2, FALSE), 0);
    EXPECT_EQ(SettledCount(waiters, 2), 2);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);

    KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 2, FALSE);
    EXPECT_EQ(SettledCount(waiters, 3), 3);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1) << "the count no waiter took stays";
}

TEST(Dispatcher, SignallingOneObjectLeavesTheWaitsOnAnotherInPlace)
{
    KEVENT awaited, other;
    KeInitializeEvent(&awaited, SynchronizationEvent, FALSE);
    KeInitializeEvent(&other, SynchronizationEvent, FALSE);
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 10);
    auto waiters = StartWaiters(&awaited, 1);

    for (int i = 0; i < 5; i++) {
        KeSetEvent(&other, IO_NO_INCREMENT, FALSE);
        KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE);
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(CountDone(waiters), 0);
    EXPECT_EQ(KeReadStateEvent(&other), 1) << "nobody waits on it, so nobody took its signal";
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 5);

    KeSetEvent(&awaited, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(SettledCount(waiters, 1), 1);
}

// A short timed wait raced against a set: the signal is consumed exactly when the wait reports
// success. A wait that leaves on its time-out after the set chose it would lose the set (the
// event would read clear with nobody released); one that returned success without taking the
// signal would let a second waiter through.
TEST(Dispatcher, ATimeOutRacingASetEitherTakesTheSignalOrLeavesIt)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> round{0};
    std::atomic<int> setsDone{0};
    constexpr int kRounds = 400;
    std::thread setter([&] {
        for (int r = 1; r <= kRounds; r++) {
            while (round.load() < r) std::this_thread::yield();
            // A spread of moments around the waiter's time-out.
            auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(r % 7 * 15);
            while (std::chrono::steady_clock::now() < until) {
            }
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
            setsDone = r;
        }
    });
    int successes = 0;
    std::string fault;
    for (int r = 1; r <= kRounds && fault.empty(); r++) {
        KeClearEvent(&event);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -500;  // 50 us
        round = r;
        NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        if (!WaitUntil([&] { return setsDone.load() == r; })) fault = "the setter stalled";
        LONG left = KeReadStateEvent(&event);
        if (status == STATUS_SUCCESS) {
            successes++;
            if (left != 0) fault = "the wait succeeded and the signal is still there";
        } else if (status != STATUS_TIMEOUT) {
            fault = "the wait ended neither satisfied nor timed out";
        } else if (left != 1) {
            fault = "the wait timed out and the signal is gone";
        }
        if (!fault.empty()) fault = "round " + std::to_string(r) + ": " + fault;
    }
    round = kRounds;  // lets the setter finish after an early stop
    setter.join();
    EXPECT_EQ(fault, "");
    RecordProperty("successes", successes);
}

TEST(Dispatcher, FastMutexPassesToEachWaiterInTurn)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    hk::VerifierCapture capture;
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    long counter = 0;  // guarded by the mutex only
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                ExAcquireFastMutex(&mutex);
                EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
                counter++;
                if (i % 64 == 0) std::this_thread::yield();  // let the others queue up behind
                ExReleaseFastMutex(&mutex);
            }
            finished++;
        });
    }
    if (!WaitUntil([&] { return finished.load() == kThreads; }, 60s)) {
        for (auto& thread : threads) thread.detach();
        FAIL() << "a release left a waiter asleep";
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, (long)kThreads * kRounds);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex)) << "the last release left the mutex free";
    ExReleaseFastMutex(&mutex);
    EXPECT_TRUE(capture.Messages().empty());
}

TEST(Dispatcher, ObjectsThatWereNeverInitializedAreReportedNotWalked)
{
    hk::VerifierCapture capture;
    KEVENT zeroed{};
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&zeroed, Executive, KernelMode, FALSE, &poll), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(capture.Saw("never initialized"));
    KSEMAPHORE semaphore{};
    semaphore.Limit = 1;
    KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE);
    EXPECT_EQ(capture.Messages().size(), 2u);
}

}  // namespace

// ---- Executive timers and the clock tick -------------------------------------------------------

struct TimerLog {
    std::atomic<int> calls{0};
    std::atomic<KIRQL> irql{PASSIVE_LEVEL};
    std::atomic<ULONGLONG> at{0};
};

VOID NTAPI LogExpiry(PEX_TIMER, PVOID context)
{
    auto log = (TimerLog*)context;
    log->irql = KeGetCurrentIrql();
    log->at = KeQueryInterruptTimePrecise(nullptr);
    log->calls++;
}

TEST(ExecutiveTimer, AnOrdinaryTimerExpiresOnATickAndCallsBackAtDispatchLevel)
{
    constexpr LONGLONG kTick = hk::kDefaultClockTick;
    hk::SetClockTick(kTick);
    EXPECT_EQ(KeQueryInterruptTime() % kTick, 0u) << "the interrupt time moves on the tick";
    for (ULONG attributes : {0u, (ULONG)EX_TIMER_HIGH_RESOLUTION}) {
        TimerLog log;
        PEX_TIMER timer = ExAllocateTimer(LogExpiry, &log, attributes);
        ULONGLONG set = KeQueryInterruptTimePrecise(nullptr);
        ExSetTimer(timer, -10000, 0, nullptr);
        ASSERT_TRUE(WaitUntil([&] { return log.calls == 1; }));
        EXPECT_EQ(log.irql, DISPATCH_LEVEL);
        EXPECT_GE(log.at, set + 10000);
        if (attributes == 0) {
            EXPECT_GE(log.at, (set + 10000 + kTick - 1) / kTick * kTick) << "before the tick";
        }
        EXPECT_TRUE(ExDeleteTimer(timer, TRUE, TRUE, nullptr) == FALSE);
    }
    // A driver's request for a finer clock holds until it withdraws it.
    EXPECT_EQ(ExSetTimerResolution(1, TRUE), 10000u);
    EXPECT_EQ(hk::EffectiveClockTick(), 10000);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), (ULONG)kTick);
    hk::SetClockTick(0);
}

TEST(ExecutiveTimer, LeftoversAndAnAbsoluteHighResolutionDueTimeAreReported)
{
    hk::VerifierCapture capture;
    PEX_TIMER timer = ExAllocateTimer(nullptr, nullptr, EX_TIMER_HIGH_RESOLUTION);
    ExSetTimer(timer, 1000, 0, nullptr);
    EXPECT_TRUE(capture.Saw("absolute due time"));
    ExSetTimerResolution(10000, TRUE);
    hk::VerifyClean();
    EXPECT_TRUE(capture.Saw("allocated and never deleted"));
    EXPECT_TRUE(capture.Saw("ExSetTimerResolution request still in force"));
    EXPECT_EQ(hk::LiveExecutiveTimers(), 0u);
}
