// hostkernel's cancellation and close reach a driver as the platform's do: CancelIo runs the
// request's cancel routine under the cancel spin lock, or only marks a request that has none;
// closing a handle with requests pending sends IRP_MJ_CLEANUP at once and IRP_MJ_CLOSE only
// once those requests are back.
#include <gtest/gtest.h>
#include <hostkernel/harness.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct CancelDriverState {
    std::mutex lock;
    std::vector<std::string> events;
    std::vector<PIRP> held;
    bool setCancelRoutine = true;
    bool completeAtCleanup = true;
    KIRQL cancelIrql = 0xFF;
    bool sawCancelFlag = false;
    bool sawRoutineCleared = false;
    std::thread completer;
} g_state;

void Record(const std::string& event)
{
    std::lock_guard guard(g_state.lock);
    g_state.events.push_back(event);
}

void Forget(PIRP irp)
{
    std::lock_guard guard(g_state.lock);
    for (auto it = g_state.held.begin(); it != g_state.held.end(); ++it) {
        if (*it == irp) {
            g_state.held.erase(it);
            return;
        }
    }
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    g_state.cancelIrql = KeGetCurrentIrql();
    g_state.sawCancelFlag = irp->Cancel;
    g_state.sawRoutineCleared = irp->CancelRoutine == nullptr;
    Forget(irp);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Record("cancelled");
    Complete(irp, STATUS_CANCELLED);
}

// What a service thread would do a little later: the held requests end from another thread.
void CompleteHeldSoon()
{
    std::vector<PIRP> held;
    {
        std::lock_guard guard(g_state.lock);
        held.swap(g_state.held);
    }
    if (g_state.completer.joinable()) g_state.completer.join();
    g_state.completer = std::thread([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (PIRP irp : held) {
            // With a cancel routine set, whoever takes it back owns the request.
            if (g_state.setCancelRoutine && IoSetCancelRoutine(irp, nullptr) == nullptr) continue;
            Record("read completed");
            Complete(irp, STATUS_CANCELLED);
        }
    });
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_READ: {
        IoMarkIrpPending(irp);
        {
            std::lock_guard guard(g_state.lock);
            g_state.held.push_back(irp);
        }
        if (g_state.setCancelRoutine) {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            IoSetCancelRoutine(irp, CancelHeld);
            IoReleaseCancelSpinLock(irql);
        }
        return STATUS_PENDING;
    }
    case IRP_MJ_CLEANUP:
        Record("cleanup");
        if (g_state.completeAtCleanup) CompleteHeldSoon();
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        Record("close");
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_SUCCESS);
    }
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction) dispatch = Dispatch;
    return STATUS_SUCCESS;
}

class CancelTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_state.events.clear();
        g_state.held.clear();
        g_state.setCancelRoutine = true;
        g_state.completeAtCleanup = true;
        g_state.cancelIrql = 0xFF;
        ASSERT_EQ(hk::LoadDriver(Entry, L"\\Registry\\cancel", &driver_, L"\\Driver\\cancel"), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver_, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_), STATUS_SUCCESS);
        device_->Flags = (device_->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
        NTSTATUS status;
        file_ = hk::File::Open(device_, GENERIC_READ, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    void TearDown() override
    {
        file_.reset();
        if (g_state.completer.joinable()) g_state.completer.join();
        IoDeleteDevice(device_);
        hk::UnloadDriver(driver_);
    }

    std::vector<std::string> Events()
    {
        std::lock_guard guard(g_state.lock);
        return g_state.events;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::unique_ptr<hk::File> file_;
};

TEST_F(CancelTest, CancelRunsTheRoutineAtDispatchLevelWithTheRequestMarked)
{
    auto read = file_->ReadAsync(4);
    ASSERT_EQ(read->DispatchStatus(), STATUS_PENDING);
    EXPECT_TRUE(read->Cancel());
    ASSERT_TRUE(read->Completed()) << "the cancel routine completes the request before IoCancelIrp returns";
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(g_state.cancelIrql, DISPATCH_LEVEL);
    EXPECT_TRUE(g_state.sawCancelFlag);
    EXPECT_TRUE(g_state.sawRoutineCleared);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(read->Cancel()) << "a request that is back cannot be cancelled again";
}

TEST_F(CancelTest, CancelOfARequestWithoutARoutineOnlyMarksIt)
{
    g_state.setCancelRoutine = false;
    auto read = file_->ReadAsync(4);
    EXPECT_FALSE(read->Cancel());
    EXPECT_FALSE(read->Completed());
    EXPECT_TRUE(read->Irp()->Cancel) << "a driver that holds the request sees the flag";
    file_.reset();  // cleanup completes it
    EXPECT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
}

TEST_F(CancelTest, CloseSendsCleanupAtOnceAndCloseOnlyAfterPendingRequestsAreBack)
{
    auto first = file_->ReadAsync(4);
    auto second = file_->ReadAsync(4);
    file_->Close();
    EXPECT_TRUE(first->Completed());
    EXPECT_TRUE(second->Completed());
    EXPECT_EQ(Events(), (std::vector<std::string>{"cleanup", "read completed", "read completed", "close"}));
}

TEST_F(CancelTest, CloseIsHeldBackAndReportedWhenCleanupLeavesRequestsPending)
{
    g_state.completeAtCleanup = false;
    auto read = file_->ReadAsync(4);
    {
        hk::VerifierCapture capture;
        file_->Close();
        EXPECT_TRUE(capture.Saw("IRP_MJ_CLOSE for file object"));
    }
    EXPECT_EQ(Events(), std::vector<std::string>{"cleanup"});
    EXPECT_TRUE(read->Cancel());  // the application gives up; the driver completes it
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
}

}  // namespace
