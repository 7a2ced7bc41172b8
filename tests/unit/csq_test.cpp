// The driver's own cancel-safe queue keeps the platform's contract: arrival order, the peek
// context, removal by context, cancellation through the completion callback, and exactly one
// owner for every request even when cancellation and removal race.
#include <gtest/gtest.h>
#include <hostkernel/harness.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel.h"

namespace {

struct TestQueue {
    IO_CSQ Csq;
    LIST_ENTRY List;
    KSPIN_LOCK Lock;
    // The test may hold the queue's lock itself and call the queue inside: the lock callbacks
    // then only count the nesting.
    std::atomic<std::thread::id> owner{};
    int nested = 0;
    std::atomic<int> callbacksOutsideLock{0};
    std::atomic<int> completionsUnderLock{0};
    std::mutex logLock;
    std::vector<PIRP> cancelled;
    std::map<PIRP, IO_CSQ_IRP_CONTEXT> contexts;
    enum class Mode { Insert, InsertWithContext, Hold } mode = Mode::Insert;
    std::vector<PIRP> held;
} g_queue;

bool HeldByThisThread() { return g_queue.owner.load() == std::this_thread::get_id(); }

void CheckLocked()
{
    if (!HeldByThisThread() || KeGetCurrentIrql() != DISPATCH_LEVEL) g_queue.callbacksOutsideLock++;
}

VOID InsertIrp(PIO_CSQ, PIRP irp)
{
    CheckLocked();
    InsertTailList(&g_queue.List, &irp->Tail.Overlay.ListEntry);
}

VOID RemoveIrp(PIO_CSQ, PIRP irp)
{
    CheckLocked();
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
}

PIRP PeekNextIrp(PIO_CSQ, PIRP irp, PVOID peekContext)
{
    CheckLocked();
    PLIST_ENTRY entry = irp == nullptr ? g_queue.List.Flink : irp->Tail.Overlay.ListEntry.Flink;
    for (; entry != &g_queue.List; entry = entry->Flink) {
        PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (peekContext == nullptr || IoGetCurrentIrpStackLocation(candidate)->FileObject == peekContext) {
            return candidate;
        }
    }
    return nullptr;
}

VOID AcquireLock(PIO_CSQ, PKIRQL irql)
{
    if (g_queue.owner.load() == std::this_thread::get_id()) {
        g_queue.nested++;
        *irql = KeGetCurrentIrql();
        return;
    }
    KeAcquireSpinLock(&g_queue.Lock, irql);
    g_queue.owner = std::this_thread::get_id();
}

VOID ReleaseLock(PIO_CSQ, KIRQL irql)
{
    if (g_queue.nested > 0) {
        g_queue.nested--;
        return;
    }
    g_queue.owner = std::thread::id();
    KeReleaseSpinLock(&g_queue.Lock, irql);
}

VOID CompleteCanceledIrp(PIO_CSQ, PIRP irp)
{
    if (HeldByThisThread()) g_queue.completionsUnderLock++;
    {
        std::lock_guard guard(g_queue.logLock);
        g_queue.cancelled.push_back(irp);
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    switch (g_queue.mode) {
    case TestQueue::Mode::Insert:
        IoCsqInsertIrp(&g_queue.Csq, irp, nullptr);
        break;
    case TestQueue::Mode::InsertWithContext: {
        PIO_CSQ_IRP_CONTEXT context;
        {
            std::lock_guard guard(g_queue.logLock);
            context = &g_queue.contexts[irp];
        }
        IoCsqInsertIrp(&g_queue.Csq, irp, context);
        break;
    }
    case TestQueue::Mode::Hold:
        IoMarkIrpPending(irp);
        g_queue.held.push_back(irp);
        break;
    }
    return STATUS_PENDING;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction) dispatch = Dispatch;
    return STATUS_SUCCESS;
}

void Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

class CsqTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_queue.mode = TestQueue::Mode::Insert;
        g_queue.cancelled.clear();
        g_queue.contexts.clear();
        g_queue.held.clear();
        g_queue.callbacksOutsideLock = 0;
        g_queue.completionsUnderLock = 0;
        InitializeListHead(&g_queue.List);
        KeInitializeSpinLock(&g_queue.Lock);
        ASSERT_EQ(IoCsqInitialize(&g_queue.Csq, InsertIrp, RemoveIrp, PeekNextIrp, AcquireLock, ReleaseLock,
                                  CompleteCanceledIrp),
                  STATUS_SUCCESS);
        ASSERT_EQ(hk::LoadDriver(Entry, L"\\Registry\\csq", &driver_, L"\\Driver\\csq"), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver_, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_), STATUS_SUCCESS);
        device_->Flags = (device_->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
        first_ = Open();
        second_ = Open();
    }

    void TearDown() override
    {
        EXPECT_EQ(g_queue.callbacksOutsideLock, 0) << "a queue callback ran without the queue's lock";
        EXPECT_EQ(g_queue.completionsUnderLock, 0) << "a cancelled request was completed under the lock";
        first_.reset();
        second_.reset();
        IoDeleteDevice(device_);
        hk::UnloadDriver(driver_);
    }

    std::unique_ptr<hk::File> Open()
    {
        NTSTATUS status;
        auto file = hk::File::Open(device_, GENERIC_READ, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return file;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::unique_ptr<hk::File> first_;
    std::unique_ptr<hk::File> second_;
};

TEST_F(CsqTest, RemovesRequestsInArrivalOrderMarkedPending)
{
    auto a = first_->ReadAsync(1);
    auto b = first_->ReadAsync(1);
    auto c = first_->ReadAsync(1);
    EXPECT_EQ(a->DispatchStatus(), STATUS_PENDING);

    std::vector<PIRP> taken;
    while (PIRP irp = IoCsqRemoveNextIrp(&g_queue.Csq, nullptr)) {
        EXPECT_TRUE(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED);
        EXPECT_EQ(irp->CancelRoutine, nullptr) << "a removed request is the caller's alone";
        taken.push_back(irp);
    }
    EXPECT_EQ(taken, (std::vector<PIRP>{a->Irp(), b->Irp(), c->Irp()}));
    for (PIRP irp : taken) Complete(irp, STATUS_SUCCESS);
    EXPECT_EQ(a->Status(), STATUS_SUCCESS);
    EXPECT_FALSE(a->Cancel()) << "a request that is back is not cancelled";
}

TEST_F(CsqTest, PeekContextTakesOnlyTheRequestsOfThatFile)
{
    auto a1 = first_->ReadAsync(1);
    auto b1 = second_->ReadAsync(1);
    auto a2 = first_->ReadAsync(1);

    PIRP fromSecond = IoCsqRemoveNextIrp(&g_queue.Csq, second_->Object());
    EXPECT_EQ(fromSecond, b1->Irp());
    EXPECT_EQ(IoCsqRemoveNextIrp(&g_queue.Csq, second_->Object()), nullptr);
    PIRP fromFirst = IoCsqRemoveNextIrp(&g_queue.Csq, first_->Object());
    EXPECT_EQ(fromFirst, a1->Irp());
    PIRP any = IoCsqRemoveNextIrp(&g_queue.Csq, nullptr);
    EXPECT_EQ(any, a2->Irp());
    for (PIRP irp : {fromSecond, fromFirst, any}) Complete(irp, STATUS_SUCCESS);
}

TEST_F(CsqTest, RemoveByContextTakesItsRequestOnceAndNotAfterCancellation)
{
    g_queue.mode = TestQueue::Mode::InsertWithContext;
    auto kept = first_->ReadAsync(1);
    auto dropped = first_->ReadAsync(1);
    PIO_CSQ_IRP_CONTEXT keptContext = &g_queue.contexts[kept->Irp()];
    PIO_CSQ_IRP_CONTEXT droppedContext = &g_queue.contexts[dropped->Irp()];
    EXPECT_EQ(keptContext->Irp, kept->Irp());
    EXPECT_EQ(keptContext->Csq, &g_queue.Csq);

    PIRP irp = IoCsqRemoveIrp(&g_queue.Csq, keptContext);
    EXPECT_EQ(irp, kept->Irp());
    EXPECT_EQ(keptContext->Irp, nullptr);
    EXPECT_EQ(IoCsqRemoveIrp(&g_queue.Csq, keptContext), nullptr);
    Complete(irp, STATUS_SUCCESS);

    EXPECT_TRUE(dropped->Cancel());
    EXPECT_EQ(dropped->Status(), STATUS_CANCELLED);
    EXPECT_EQ(droppedContext->Irp, nullptr);
    EXPECT_EQ(IoCsqRemoveIrp(&g_queue.Csq, droppedContext), nullptr);
}

TEST_F(CsqTest, CancelUnlinksAQueuedRequestAndCompletesItThroughTheCallback)
{
    auto a = first_->ReadAsync(1);
    auto b = first_->ReadAsync(1);
    EXPECT_TRUE(a->Cancel());
    ASSERT_TRUE(a->Completed());
    EXPECT_EQ(a->Status(), STATUS_CANCELLED);
    EXPECT_EQ(g_queue.cancelled, std::vector<PIRP>{a->Irp()});
    PIRP next = IoCsqRemoveNextIrp(&g_queue.Csq, nullptr);
    EXPECT_EQ(next, b->Irp());
    EXPECT_EQ(IoCsqRemoveNextIrp(&g_queue.Csq, nullptr), nullptr);
    Complete(next, STATUS_SUCCESS);
}

TEST_F(CsqTest, RequestCancelledBeforeInsertionIsCompletedInsteadOfQueued)
{
    g_queue.mode = TestQueue::Mode::Hold;
    auto read = first_->ReadAsync(1);
    ASSERT_EQ(g_queue.held.size(), 1u);
    EXPECT_FALSE(read->Cancel()) << "no cancel routine yet: only the flag is set";
    IoCsqInsertIrp(&g_queue.Csq, g_queue.held[0], nullptr);
    ASSERT_TRUE(read->Completed());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(IoCsqRemoveNextIrp(&g_queue.Csq, nullptr), nullptr);
}

TEST_F(CsqTest, RemovalPassesOverARequestWhoseCancellationIsUnderway)
{
    g_queue.mode = TestQueue::Mode::InsertWithContext;
    auto cancelling = first_->ReadAsync(1);
    auto next = first_->ReadAsync(1);
    PIO_CSQ_IRP_CONTEXT context = &g_queue.contexts[cancelling->Irp()];

    // Hold the queue's lock so that the cancel routine, once the I/O manager has called it,
    // waits for the lock with the request still linked.
    KIRQL irql;
    AcquireLock(&g_queue.Csq, &irql);
    std::thread canceller([&] { cancelling->Cancel(); });
    while (__atomic_load_n(&cancelling->Irp()->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) std::this_thread::yield();

    EXPECT_EQ(IoCsqRemoveIrp(&g_queue.Csq, context), nullptr) << "its cancellation owns it";
    PIRP taken = IoCsqRemoveNextIrp(&g_queue.Csq, nullptr);
    EXPECT_EQ(taken, next->Irp());
    EXPECT_EQ(IoCsqRemoveNextIrp(&g_queue.Csq, nullptr), nullptr);
    ReleaseLock(&g_queue.Csq, irql);
    canceller.join();

    EXPECT_EQ(cancelling->Status(), STATUS_CANCELLED);
    EXPECT_EQ(context->Irp, nullptr);
    Complete(taken, STATUS_SUCCESS);
    EXPECT_TRUE(IsListEmpty(&g_queue.List));
}

TEST_F(CsqTest, CancellationRacingRemovalLeavesEachRequestWithExactlyOneOwner)
{
    int removed = 0;
    int cancelled = 0;
    for (int round = 0; round < 300; round++) {
        auto a = first_->ReadAsync(1);
        auto b = second_->ReadAsync(1);
        std::vector<PIRP> taken;
        std::thread canceller([&] {
            a->Cancel();
            b->Cancel();
        });
        std::thread remover([&] {
            while (PIRP irp = IoCsqRemoveNextIrp(&g_queue.Csq, nullptr)) taken.push_back(irp);
        });
        canceller.join();
        remover.join();
        for (PIRP irp : taken) Complete(irp, STATUS_SUCCESS);
        ASSERT_TRUE(a->Completed() && b->Completed()) << "round " << round << ": a request was lost";
        for (auto* request : {a.get(), b.get()}) {
            if (request->Status() == STATUS_SUCCESS) removed++;
            else if (request->Status() == STATUS_CANCELLED) cancelled++;
            else ADD_FAILURE() << "unexpected status " << std::hex << request->Status();
        }
    }
    EXPECT_EQ(removed + cancelled, 600);
    EXPECT_EQ((size_t)cancelled, g_queue.cancelled.size());
    EXPECT_TRUE(IsListEmpty(&g_queue.List));
}

}  // namespace
