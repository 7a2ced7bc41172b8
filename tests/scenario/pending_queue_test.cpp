// Parked reads and waits on a port, served by the port's two service threads: arrival order,
// cancellation while queued or held, the flushes of cleanup and close, stopping with requests
// held, and plug-ins whose threads cannot start. Requests are parked with QueuePendingRequest
// and try routines of the test's own (port_fixture); open, cleanup and close are the driver's.
#include "port_fixture.h"

#include <hostkernel/faults.h>
#include <hostkernel/threads.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Try {
    PIRP Irp;
    bool ServiceThread;
    KPRIORITY Priority;
};

struct TryScript {
    std::mutex lock;
    std::set<PIRP> blocked;  // tried, but never finished while blocked
    std::vector<Try> tries;
} g_script;

void LogTry(PIRP irp)
{
    std::lock_guard guard(g_script.lock);
    g_script.tries.push_back(
        {irp, PsIsSystemThread(PsGetCurrentThread()) != FALSE, KeQueryPriorityThread(KeGetCurrentThread())});
}

bool Blocked(PIRP irp)
{
    std::lock_guard guard(g_script.lock);
    return g_script.blocked.count(irp) != 0;
}

// A read that finishes as soon as any byte is there.
NTSTATUS TryRead(PortDeviceData* port, PIRP irp)
{
    LogTry(irp);
    if (Blocked(irp)) return STATUS_PENDING;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG taken = RingRead(&port->Ring, ReadBuffer(irp), length);
    if (taken == 0) return STATUS_PENDING;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = taken;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// A wait that finishes with whatever event bits are pending.
NTSTATUS TryWait(PortDeviceData* port, PIRP irp)
{
    LogTry(irp);
    if (Blocked(irp)) return STATUS_PENDING;
    RingAcquireLock(&port->Ring);
    ULONG events = port->Ring.EventBits;
    port->Ring.EventBits = 0;
    RingReleaseLock(&port->Ring);
    if (events == 0) return STATUS_PENDING;
    *(PULONG)irp->AssociatedIrp.SystemBuffer = events;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = sizeof(ULONG);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

class PendingQueueTest : public PortQueueTest {
protected:
    void SetUp() override
    {
        PortQueueTest::SetUp();
        {
            std::lock_guard guard(g_script.lock);
            g_script.blocked.clear();
            g_script.tries.clear();
        }
        SetTryRoutines(TryRead, TryWait);
        file_ = Open();
    }

    void TearDown() override
    {
        file_.reset();
        PortQueueTest::TearDown();
    }

    // As a producer delivers bytes: stored, then the port's service threads woken.
    void Deliver(const char* bytes)
    {
        RingWrite(&port_->Ring, (const UCHAR*)bytes, (ULONG)strlen(bytes));
        WakeReadServiceThread(port_);
        WakeWaitServiceThread(port_);
    }

    PIRP CurrentRead() { return (PIRP)ReadPointerNoFence((PVOID volatile*)&port_->CurrentReadIrp); }
    PIRP CurrentWait() { return (PIRP)ReadPointerNoFence((PVOID volatile*)&port_->CurrentWaitIrp); }

    void Block(const hk::Request& request)
    {
        std::lock_guard guard(g_script.lock);
        g_script.blocked.insert(request.Irp());
    }
    void Unblock(const hk::Request& request)
    {
        std::lock_guard guard(g_script.lock);
        g_script.blocked.erase(request.Irp());
    }
    std::vector<Try> TriesOf(const hk::Request& request)
    {
        std::lock_guard guard(g_script.lock);
        std::vector<Try> tries;
        for (const Try& t : g_script.tries) {
            if (t.Irp == request.Irp()) tries.push_back(t);
        }
        return tries;
    }
    // A read that the read thread holds as its current request and cannot finish.
    std::unique_ptr<hk::Request> HeldRead()
    {
        auto read = file_->ReadAsync(1);
        Block(*read);
        EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
        EXPECT_TRUE(WaitUntil([&] { return HeldRequest(port_, true) == read->Irp(); }));
        return read;
    }

    std::unique_ptr<hk::File> file_;
};

std::string Text(const hk::Request& request)
{
    return std::string(request.Output().begin(), request.Output().end());
}

TEST_F(PendingQueueTest, ParkedReadsAreServedInArrivalOrderByTheReadThreadAtPriority16)
{
    auto threads = hk::SystemThreads();
    ASSERT_EQ(threads.size(), 2u);
    for (auto& thread : threads) EXPECT_EQ(thread.StartContext, device_);
    EXPECT_TRUE(WaitUntil([] {
        auto threads = hk::SystemThreads();
        return std::all_of(threads.begin(), threads.end(),
                           [](auto& t) { return t.Priority == kServiceThreadPriority; });
    }));

    auto first = file_->ReadAsync(1);
    auto second = file_->ReadAsync(1);
    auto third = file_->ReadAsync(1);
    for (auto* read : {first.get(), second.get(), third.get()}) EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return HeldRequest(port_, true) == first->Irp(); }));
    Deliver("abc");
    for (auto* read : {first.get(), second.get(), third.get()}) ASSERT_TRUE(read->Wait());
    EXPECT_EQ(Text(*first), "a");
    EXPECT_EQ(Text(*second), "b");
    EXPECT_EQ(Text(*third), "c");
    for (auto* read : {first.get(), second.get(), third.get()}) {
        for (const Try& t : TriesOf(*read)) {
            if (t.ServiceThread) {
                EXPECT_EQ(t.Priority, kServiceThreadPriority);
            }
        }
        EXPECT_TRUE(TriesOf(*read).back().ServiceThread) << "finished by the read thread";
    }

    // With nothing queued or held and bytes waiting, a read finishes in the caller's thread.
    ASSERT_TRUE(WaitUntil([&] { return CurrentRead() == nullptr; }));
    Deliver("d");
    auto immediate = file_->ReadAsync(1);
    EXPECT_EQ(immediate->DispatchStatus(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*immediate), "d");
}

TEST_F(PendingQueueTest, ReadArrivingBehindAQueuedReadWaitsItsTurnWithoutATry)
{
    auto held = HeldRead();
    auto queued = file_->ReadAsync(1);
    Block(*queued);
    ASSERT_EQ(queued->DispatchStatus(), STATUS_PENDING);
    EXPECT_TRUE(TriesOf(*queued).empty()) << "a read is held: the next one waits behind it without a try";

    Deliver("xy");
    auto behind = file_->ReadAsync(1);
    EXPECT_EQ(behind->DispatchStatus(), STATUS_PENDING) << "bytes are there, but an older read is queued";
    EXPECT_TRUE(TriesOf(*behind).empty());

    Unblock(*queued);
    held->Cancel();
    ASSERT_TRUE(queued->Wait());
    ASSERT_TRUE(behind->Wait());
    EXPECT_EQ(Text(*queued), "x");
    EXPECT_EQ(Text(*behind), "y");
    EXPECT_EQ(held->Status(), STATUS_CANCELLED);
}

TEST_F(PendingQueueTest, CancellingAParkedReadEndsItWithCancelledWhetherQueuedOrHeld)
{
    auto held = HeldRead();
    auto queued = file_->ReadAsync(1);
    Block(*queued);

    EXPECT_TRUE(queued->Cancel()) << "a queued read has the queue's cancel routine";
    ASSERT_TRUE(queued->Completed());
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    EXPECT_EQ(queued->Information(), 0u);

    auto start = std::chrono::steady_clock::now();
    // Between two tries the held read's cancel routine wakes the thread; during a try it has none
    // and the thread sees the flag after the try. Either way the thread completes it.
    held->Cancel();
    ASSERT_TRUE(held->Wait());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "noticed at the thread's next pass";
    EXPECT_EQ(held->Status(), STATUS_CANCELLED);
    EXPECT_EQ(held->Information(), 0u);

    // The thread goes on serving.
    auto next = file_->ReadAsync(1);
    Deliver("n");
    ASSERT_TRUE(next->Wait());
    EXPECT_EQ(Text(*next), "n");
}

// The read thread's take of a request spans two holds of QueueLock with the queue's own removal
// between them. A cancel that lands in that gap completes the request while it is still queued:
// from then on the request may be freed, and the port must never name it as its current read.
TEST_F(PendingQueueTest, ReadCancelledWhileTheThreadTakesItIsNeverLeftAsTheCurrentRead)
{
    PVOID readThread = port_->ReadQueue.ServiceThread;
    ASSERT_NE(readThread, nullptr);
    std::atomic<hk::Request*> target{nullptr};
    std::atomic<bool> fired{false};
    std::atomic<bool> done{false};
    std::atomic<bool> completedInGap{false};
    std::atomic<PIRP> currentAfterCancel{nullptr};
    // In the read thread, at its next acquisition of QueueLock once it has begun a take and the
    // request is still queued: the application cancels the request right there.
    hk::SetSpinLockObserver([&](PKSPIN_LOCK lock) {
        if (lock != &port_->QueueLock || (PVOID)KeGetCurrentThread() != readThread) return;
        bool taking = ReadBooleanNoFence(&port_->TakingRead) || CurrentRead() != nullptr;
        if (!taking || IsListEmpty(&port_->ReadQueue.PendingList) || fired.exchange(true)) return;
        auto deadline = std::chrono::steady_clock::now() + 10s;
        hk::Request* request;
        while ((request = target.load()) == nullptr && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (request != nullptr) {
            request->Cancel();
            completedInGap = request->Completed();
            currentAfterCancel = CurrentRead();
        }
        done = true;
    });
    struct ObserverRemoval {
        ~ObserverRemoval() { hk::SetSpinLockObserver(nullptr); }
    } removal;

    auto read = file_->ReadAsync(1);  // no bytes: parked
    target = read.get();
    ASSERT_TRUE(WaitUntil([&] { return done.load(); })) << "the read thread never began to take the read";
    EXPECT_TRUE(completedInGap) << "the cancel ended the read while it was still queued";
    EXPECT_NE(currentAfterCancel.load(), read->Irp()) << "the port names a completed read as its current one";
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    hk::SetSpinLockObserver(nullptr);

    // The take came to nothing; the thread goes on serving.
    ASSERT_TRUE(WaitUntil([&] { return CurrentRead() == nullptr && !ReadBooleanNoFence(&port_->TakingRead); }));
    auto next = file_->ReadAsync(1);
    Deliver("m");
    ASSERT_TRUE(next->Wait());
    EXPECT_EQ(Text(*next), "m");
}

TEST_F(PendingQueueTest, CleanupEndsQueuedReadsAtOnceAndTheHeldOnesAtTheNextPass)
{
    auto held = HeldRead();
    auto second = file_->ReadAsync(1);
    auto third = file_->ReadAsync(1);
    Block(*second);
    Block(*third);
    auto wait = file_->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    ASSERT_TRUE(WaitUntil([&] { return HeldRequest(port_, false) == wait->Irp(); }));

    EXPECT_EQ(file_->Cleanup(), STATUS_SUCCESS);
    EXPECT_TRUE(second->Completed());
    EXPECT_TRUE(third->Completed());
    EXPECT_EQ(second->Status(), STATUS_CANCELLED);
    EXPECT_EQ(third->Status(), STATUS_CANCELLED);
    ASSERT_TRUE(held->Wait(2s));
    EXPECT_EQ(held->Status(), STATUS_CANCELLED);
    ASSERT_TRUE(wait->Wait(2s));
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
    EXPECT_TRUE(WaitUntil([&] { return CurrentRead() == nullptr; }));
    EXPECT_FALSE(ReadBooleanNoFence(&port_->AbortCurrentRead)) << "the thread clears the abort it acted on";
    file_->Close();

    file_ = Open();
    auto later = file_->ReadAsync(1);
    ASSERT_TRUE(WaitUntil([&] { return HeldRequest(port_, true) == later->Irp(); }));
    Deliver("z");
    ASSERT_TRUE(later->Wait());
    EXPECT_EQ(later->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*later), "z");
}

// An open right after a cleanup must not take back the abort the cleanup aimed at the read the
// old handle left held; that read would otherwise go on and take the new handle's bytes.
TEST_F(PendingQueueTest, OpenAfterCleanupLeavesTheAbortForTheHeldRead)
{
    for (int round = 0; round < 5; round++) {
        auto held = HeldRead();
        ASSERT_EQ(file_->Cleanup(), STATUS_SUCCESS);
        auto next = Open();
        ASSERT_TRUE(held->Wait(2s)) << "round " << round << ": the held read outlived its handle's cleanup";
        EXPECT_EQ(held->Status(), STATUS_CANCELLED);
        ASSERT_TRUE(WaitUntil([&] { return CurrentRead() == nullptr; }));
        file_->Close();
        file_ = std::move(next);
    }
}

// A handle's close can come long after its cleanup (and, under some hosts, without one): it
// ends what is parked on the port by then, and stops input.
TEST_F(PendingQueueTest, LateCloseOfAnotherHandleEndsParkedReadsAndWaits)
{
    auto other = Open();
    ASSERT_EQ(other->Cleanup(), STATUS_SUCCESS);
    auto held = HeldRead();
    auto queued = file_->ReadAsync(1);
    Block(*queued);
    auto wait = file_->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    ASSERT_TRUE(WaitUntil([&] { return HeldRequest(port_, false) == wait->Irp(); }));

    EXPECT_EQ(other->Close(), STATUS_SUCCESS);
    EXPECT_TRUE(queued->Completed());
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    ASSERT_TRUE(held->Wait(2s));
    EXPECT_EQ(held->Status(), STATUS_CANCELLED);
    ASSERT_TRUE(wait->Wait(2s));
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(port_->Ring.Enabled);
}

TEST_F(PendingQueueTest, FlushWithNothingHeldLeavesTheNextReadAlone)
{
    FlushReadQueue(device_);
    FlushWaitQueue(device_);
    EXPECT_FALSE(ReadBooleanNoFence(&port_->AbortCurrentRead));
    EXPECT_FALSE(ReadBooleanNoFence(&port_->AbortCurrentWait));
    auto read = file_->ReadAsync(1);
    ASSERT_TRUE(WaitUntil([&] { return HeldRequest(port_, true) == read->Irp(); }));
    std::this_thread::sleep_for(5ms);  // several passes of the thread
    Deliver("k");
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
}

TEST_F(PendingQueueTest, ReadTakenWhileAFlushRunsIsStillEnded)
{
    // The thread takes a request out of the queue while a flush empties it: whichever wins,
    // the read must end cancelled and never stay held past the flush.
    for (int round = 0; round < 200; round++) {
        auto read = file_->ReadAsync(1);
        Block(*read);
        if (round % 2) std::this_thread::yield();
        FlushReadQueue(device_);
        ASSERT_TRUE(read->Wait(2s)) << "round " << round << ": the read slipped past the flush";
        ASSERT_EQ(read->Status(), STATUS_CANCELLED);
        Unblock(*read);  // its address may come back for the next request
    }
    // A flush that met a take in progress marks it for abort; the take that then comes to
    // nothing clears the mark on the thread's own time, so wait for the thread to settle.
    ASSERT_TRUE(WaitUntil([&] { return CurrentRead() == nullptr && !ReadBooleanNoFence(&port_->TakingRead); }));
    EXPECT_FALSE(ReadBooleanNoFence(&port_->AbortCurrentRead));
    auto next = file_->ReadAsync(1);
    Deliver("n");
    ASSERT_TRUE(next->Wait(2s));
    EXPECT_EQ(next->Status(), STATUS_SUCCESS) << "an abort outlived the flush and hit the next read";
}

TEST_F(PendingQueueTest, ParkedWaitIsServedByTheWaitThread)
{
    auto wait = file_->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    ASSERT_EQ(wait->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return HeldRequest(port_, false) == wait->Irp(); }));
    RingAcquireLock(&port_->Ring);
    port_->Ring.EventBits |= SERIAL_EV_TXEMPTY;
    RingReleaseLock(&port_->Ring);
    WakeWaitServiceThread(port_);
    ASSERT_TRUE(wait->Wait());
    ASSERT_EQ(wait->Output().size(), sizeof(ULONG));
    EXPECT_EQ(*(const ULONG*)wait->Output().data(), (ULONG)SERIAL_EV_TXEMPTY);
    EXPECT_TRUE(TriesOf(*wait).back().ServiceThread);
}

TEST_F(PendingQueueTest, StoppingEndsBothThreadsPromptlyEvenWithRequestsHeld)
{
    auto read = HeldRead();
    auto wait = file_->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    ASSERT_TRUE(WaitUntil([&] { return HeldRequest(port_, false) == wait->Irp(); }));
    auto queued = file_->ReadAsync(1);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StopWaitQueue(device_), STATUS_SUCCESS);
    EXPECT_EQ(StopReadQueue(device_), STATUS_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(hk::RunningSystemThreadCount(), 0u);
    EXPECT_TRUE(hk::SystemThreads().empty()) << "the thread objects' references are dropped";
    EXPECT_EQ(port_->ReadQueue.ServiceThread, nullptr);
    for (auto* request : {read.get(), wait.get(), queued.get()}) {
        ASSERT_TRUE(request->Completed());
        EXPECT_EQ(request->Status(), STATUS_CANCELLED);
    }
}

TEST_F(PendingQueueTest, PlugInWhoseReadThreadCannotBeReferencedEndsTheWaitThreadToo)
{
    // Where the read thread's reference is taken: the last ObReferenceObjectByHandle of a plug-in.
    size_t before = hk::RoutineCalls("ObReferenceObjectByHandle");
    ASSERT_NE(Plug(11), nullptr);
    size_t calls = hk::RoutineCalls("ObReferenceObjectByHandle") - before;
    ASSERT_GE(calls, 2u);
    size_t running = hk::RunningSystemThreadCount();

    // The read thread runs but its object cannot be referenced: it is ended before the plug-in
    // fails, since nothing could wait for it later, and the wait thread goes with it.
    hk::FailNextRoutineCall("ObReferenceObjectByHandle", STATUS_INSUFFICIENT_RESOURCES, 1, (int)calls - 1);
    auto input = PlugInInput(8, 13, std::u16string(u"VCOMBUS\\Port\0\0", 14));
    auto bus = OpenBus();
    auto plugIn = bus->Ioctl(IOCTL_BUS_PLUGIN_PORT, input.data(), (ULONG)input.size(), 0);
    EXPECT_EQ(plugIn->Status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(LinkedPort(13), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return hk::RunningSystemThreadCount() == running; }));
    EXPECT_EQ(hk::SystemThreads().size(), running) << "no thread object is left referenced";
}

}  // namespace
