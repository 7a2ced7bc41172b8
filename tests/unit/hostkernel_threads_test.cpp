// hostkernel's system threads behave as the platform's: real threads whose objects are waitable
// through a reference taken from their handle, with priorities recorded, creation that can be
// made to fail, and the Wait TRUE rule of releases.
#include <gtest/gtest.h>
#include <hostkernel/faults.h>
#include <hostkernel/harness.h>
#include <hostkernel/threads.h>

#include <chrono>
#include <thread>

namespace {

// Driver threads' handles are kernel handles; the verifier reports any other.
POBJECT_ATTRIBUTES KernelHandle()
{
    static OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return &attributes;
}

struct Work {
    KEVENT go;
    bool terminate = true;
    volatile LONG ran = 0;
    volatile LONG afterTerminate = 0;
    volatile LONG sawSystemThread = 0;
};

void Worker(PVOID context)
{
    auto work = (Work*)context;
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    KeSetBasePriorityThread(KeGetCurrentThread(), 2);
    if (PsIsSystemThread(PsGetCurrentThread())) InterlockedExchange(&work->sawSystemThread, 1);
    KeWaitForSingleObject(&work->go, Executive, KernelMode, FALSE, nullptr);
    InterlockedIncrement(&work->ran);
    if (work->terminate) {
        PsTerminateSystemThread(STATUS_SUCCESS);
        InterlockedIncrement(&work->afterTerminate);
    }
}

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class SystemThreadTest : public testing::Test {
protected:
    void SetUp() override { KeInitializeEvent(&work_.go, NotificationEvent, FALSE); }
    void TearDown() override
    {
        hk::ResetFaultInjection();
        hk::VerifyClean();
    }

    PVOID StartReferenced(ULONG access = 0)
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&handle, access, KernelHandle(), nullptr, nullptr, Worker, &work_), STATUS_SUCCESS);
        PVOID thread = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        return thread;
    }

    Work work_;
};

TEST_F(SystemThreadTest, ThreadObjectIsSignalledWhenTheThreadTerminatesAndDiesWithItsLastReference)
{
    PVOID thread = StartReferenced();
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(hk::RunningSystemThreadCount(), 1u);

    KeSetEvent(&work_.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(work_.ran, 1);
    EXPECT_EQ(work_.afterTerminate, 0) << "PsTerminateSystemThread returned into the thread";
    EXPECT_EQ(work_.sawSystemThread, 1);
    EXPECT_FALSE(PsIsSystemThread(PsGetCurrentThread()));
    // Whoever saw the end sees only the references of others: the thread's own is gone.
    EXPECT_EQ(hk::RunningSystemThreadCount(), 0u);
    EXPECT_EQ(hk::ObjectReferenceCount(thread), 1);
    ObDereferenceObject(thread);
    EXPECT_TRUE(hk::SystemThreads().empty());
}

TEST_F(SystemThreadTest, ThreadThatReturnsFromItsStartRoutineEndsTheSameWay)
{
    work_.terminate = false;
    PVOID thread = StartReferenced();
    KeSetEvent(&work_.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(work_.ran, 1);
    ObDereferenceObject(thread);
}

TEST_F(SystemThreadTest, PrioritiesTheThreadSetsAreRecorded)
{
    PVOID thread = StartReferenced();
    EXPECT_TRUE(WaitUntil([&] {
        auto threads = hk::SystemThreads();
        return threads.size() == 1 && threads[0].Priority == LOW_REALTIME_PRIORITY &&
               threads[0].BasePriorityIncrement == 2;
    }));
    auto threads = hk::SystemThreads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ((PVOID)threads[0].Thread, thread);
    EXPECT_EQ(threads[0].StartRoutine, Worker);
    EXPECT_EQ(threads[0].StartContext, &work_);
    EXPECT_EQ(KeQueryPriorityThread((PKTHREAD)thread), LOW_REALTIME_PRIORITY);
    EXPECT_EQ(KeSetPriorityThread((PKTHREAD)thread, 20), LOW_REALTIME_PRIORITY);

    KeSetEvent(&work_.go, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

TEST_F(SystemThreadTest, FailedCreationCreatesNothingAndTheNextOneWorks)
{
    hk::FailNextThreadCreations(1, STATUS_NO_MEMORY);
    HANDLE handle = (HANDLE)0x1234;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, KernelHandle(), nullptr, nullptr, Worker, &work_), STATUS_NO_MEMORY);
    EXPECT_EQ(handle, (HANDLE)0x1234);
    EXPECT_TRUE(hk::SystemThreads().empty());

    PVOID thread = StartReferenced();
    KeSetEvent(&work_.go, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

TEST_F(SystemThreadTest, HandlesCheckUserModeAccessAndRefuseWhatIsNotOpen)
{
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, SYNCHRONIZE, KernelHandle(), nullptr, nullptr, Worker, &work_), STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_TERMINATE, nullptr, UserMode, &object, nullptr),
              STATUS_ACCESS_DENIED);
    OBJECT_HANDLE_INFORMATION info{};
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_TERMINATE, nullptr, KernelMode, &object, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.GrantedAccess, (ACCESS_MASK)SYNCHRONIZE);
    hk::FailNextRoutineCalls("ObReferenceObjectByHandle", 1, STATUS_INSUFFICIENT_RESOURCES);
    PVOID again;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &again, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &again, nullptr), STATUS_INVALID_HANDLE);
    {
        hk::VerifierCapture capture;
        EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
        EXPECT_TRUE(capture.Saw("not open"));
    }
    KeSetEvent(&work_.go, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
}

TEST(WaitRules, ReleaseWithWaitTrueStaysAtDispatchLevelUntilTheNextWait)
{
    hk::VerifierCapture capture;
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 10);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, TRUE);

    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, TRUE), 0);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    // A wait without time-out is allowed here: the rule applies to the IRQL before the release.
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);

    KeSetEvent(&done, IO_NO_INCREMENT, TRUE);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
    EXPECT_TRUE(capture.Messages().empty());
}

TEST(WaitRules, DelayObserverSeesEveryDelayWithItsInterval)
{
    std::vector<LONGLONG> seen;
    hk::SetDelayObserver([&](LONGLONG interval) { seen.push_back(interval); });
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    hk::SetDelayObserver(nullptr);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_EQ(seen, std::vector<LONGLONG>{-10000});
}

// The modelled clock tick: timers expire only on a tick of a fixed grid, so a thread that has
// just woken from a delay sits on a tick and its next 1 ms delay, or 1 ms time-out, lasts a whole
// tick; a signalled object still ends a wait at once. Only lower bounds are judged, and upper
// ones far beyond a tick.
class ClockTickTest : public testing::Test {
protected:
    void SetUp() override { hk::SetClockTick(hk::kDefaultClockTick); }
    void TearDown() override { hk::SetClockTick(0); }

    static double Milliseconds(std::chrono::steady_clock::time_point since)
    {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
    }
};

TEST_F(ClockTickTest, DelaysAndTimeOutsEndOnTheFirstTickAfterTheyAreDue)
{
    // The ticks fall on a fixed grid of the steady clock: a thread that returns from a 1 ms
    // delay or time-out is past the first grid point at or after start + 1 ms, however late it
    // was scheduled; so a polling loop's 1 ms lasts a whole tick.
    auto nextTick = [](std::chrono::steady_clock::time_point due) {
        auto tick = std::chrono::nanoseconds(hk::kDefaultClockTick * 100);
        auto since = due.time_since_epoch();
        return std::chrono::steady_clock::time_point((since + tick - std::chrono::nanoseconds(1)) / tick * tick);
    };
    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10000;
    for (int i = 0; i < 3; i++) {
        auto start = std::chrono::steady_clock::now();
        KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
        EXPECT_GE(std::chrono::steady_clock::now(), nextTick(start + std::chrono::milliseconds(1)));
    }

    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &oneMs), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now(), nextTick(start + std::chrono::milliseconds(1)));

    // A zero time-out tests the state and sets no timer.
    LARGE_INTEGER poll{};
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_LT(Milliseconds(start), 1000.0);
}

TEST_F(ClockTickTest, ASignalEndsATimedWaitWithoutWaitingForATick)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER tenSeconds;
    tenSeconds.QuadPart = -100000000;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &tenSeconds), STATUS_SUCCESS);
    EXPECT_LT(Milliseconds(start), 5000.0);
    setter.join();
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(ClockTick, OffByDefaultSoDelaysLastWhatTheyAsk)
{
    EXPECT_EQ(hk::ClockTick(), 0);
    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10000;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++) KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
    // Twenty ticks would take over 300 ms.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

}  // namespace
