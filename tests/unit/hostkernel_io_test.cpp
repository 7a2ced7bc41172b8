// hostkernel's I/O manager behaves as the platform does where drivers depend on it: completion
// routines and their invoke-on bits, pending propagation, buffered copy-out, access checks.
#include <gtest/gtest.h>
#include <hostkernel/harness.h>

#include "fake_driver.h"

#include <cstring>
#include <thread>

namespace {

struct CompletionLog {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS LogCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto log = (CompletionLog*)context;
    log->calls++;
    log->device = device;
    log->pendingReturned = irp->PendingReturned;
    return log->answer;
}

// Two-level stack: a filter (this test's "upper driver") over a fake device that completes or
// holds. The upper device is a fake device too; the request is built by hand for it.
class IoManagerTest : public testing::Test {
protected:
    void SetUp() override
    {
        lower_ = fake_.CreateDevice(STATUS_SUCCESS, DO_BUFFERED_IO);
        upper_ = fake_.CreateDevice(STATUS_SUCCESS);
    }
    void TearDown() override
    {
        fake_.DeleteDevices();
        hk::VerifyClean();
    }

    // Sends a request to `lower_` on behalf of `upper_` with a completion routine set as asked.
    // The request's allocator sits above `upper_` and always takes it back.
    PIRP Forward(CompletionLog* log, bool onSuccess, bool onError, bool onCancel, NTSTATUS lowerStatus)
    {
        ((FakeDeviceData*)lower_->DeviceExtension)->CompleteWith = lowerStatus;
        PIRP irp = IoAllocateIrp(2, FALSE);
        owner_ = CompletionLog{};
        owner_.answer = STATUS_MORE_PROCESSING_REQUIRED;
        IoSetCompletionRoutine(irp, LogCompletion, &owner_, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);  // upper_'s own location
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = upper_;
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        IoSetCompletionRoutine(irp, LogCompletion, log, onSuccess, onError, onCancel);
        IoCallDriver(lower_, irp);
        return irp;
    }

    CompletionLog owner_;
    FakeDriver fake_;
    PDEVICE_OBJECT lower_ = nullptr;
    PDEVICE_OBJECT upper_ = nullptr;
};

TEST_F(IoManagerTest, CompletionRoutineRunsOnlyForTheOutcomesItAskedFor)
{
    struct Case {
        bool onSuccess, onError;
        NTSTATUS status;
        int expectedCalls;
    } cases[] = {
        {true, false, STATUS_SUCCESS, 1},
        {true, false, STATUS_UNSUCCESSFUL, 0},
        {false, true, STATUS_UNSUCCESSFUL, 1},
        {false, true, STATUS_SUCCESS, 0},
        {true, true, STATUS_BUFFER_OVERFLOW, 1},  // a warning counts as success
    };
    for (const Case& c : cases) {
        CompletionLog log;
        PIRP irp = Forward(&log, c.onSuccess, c.onError, false, c.status);
        EXPECT_EQ(log.calls, c.expectedCalls) << std::hex << c.status;
        if (log.calls) EXPECT_EQ(log.device, upper_) << "the routine gets the device of the location that set it";
        EXPECT_EQ(owner_.calls, 1) << "completion goes on up to the allocator either way";
        EXPECT_EQ(owner_.device, nullptr) << "the topmost routine gets no device";
        IoFreeIrp(irp);
    }
}

TEST_F(IoManagerTest, MoreProcessingRequiredHandsTheIrpBackToItsOwner)
{
    CompletionLog log;
    log.answer = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = Forward(&log, true, true, true, STATUS_SUCCESS);
    ASSERT_EQ(log.calls, 1);
    EXPECT_EQ(owner_.calls, 0) << "completion stops at the routine that asked for more processing";
    // The owner may complete it again from its own location, which now is current.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, upper_);
    IoFreeIrp(irp);
}

TEST_F(IoManagerTest, PendingReturnedReachesTheRoutineOfTheDriverAbove)
{
    auto data = (FakeDeviceData*)lower_->DeviceExtension;
    data->Hold = true;
    CompletionLog log;
    log.answer = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, LogCompletion, &log, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower_, irp), STATUS_PENDING);
    EXPECT_EQ(log.calls, 0);
    fake_.ReleaseHeld(STATUS_SUCCESS);
    EXPECT_EQ(log.calls, 1);
    EXPECT_TRUE(log.pendingReturned);
    data->Hold = false;
    IoFreeIrp(irp);
}

TEST_F(IoManagerTest, SynchronousFsdReadCopiesBufferedDataBackAndSignalsItsEvent)
{
    auto data = (FakeDeviceData*)lower_->DeviceExtension;
    data->CompleteWith = STATUS_SUCCESS;
    data->Information = 3;
    char buffer[8] = "xxxxxxx";
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, lower_, buffer, sizeof buffer, nullptr, &event, &iosb);
    ASSERT_NE(irp->AssociatedIrp.SystemBuffer, (PVOID)buffer) << "buffered I/O uses a system buffer";
    memcpy(irp->AssociatedIrp.SystemBuffer, "abcdefgh", 8);
    EXPECT_EQ(IoCallDriver(lower_, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(std::string(buffer, 8), std::string("abcxxxx\0", 8)) << "only Information bytes come back";
    data->Information = 0;
}

TEST_F(IoManagerTest, ControlCodesNeedTheAccessTheyDeclare)
{
    NTSTATUS status;
    auto file = hk::File::Open(lower_, GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    const ULONG needsWrite = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_WRITE_ACCESS);
    const ULONG needsRead = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS);
    const ULONG needsNothing = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_EQ(file->Ioctl(needsWrite, nullptr, 0, 0)->Status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(file->Ioctl(needsRead, nullptr, 0, 0)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(file->Ioctl(needsNothing, nullptr, 0, 0)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(file->Write("a", 1)->Status(), STATUS_ACCESS_DENIED);
    size_t seenBefore = fake_.Seen().size();
    file->Close();
    EXPECT_EQ(fake_.Seen().size(), seenBefore + 2) << "cleanup and close reach the driver";
}

TEST_F(IoManagerTest, ExclusiveDeviceOpensOnce)
{
    PDEVICE_OBJECT exclusive = fake_.CreateDevice(STATUS_SUCCESS, DO_EXCLUSIVE);
    NTSTATUS status;
    auto first = hk::File::Open(exclusive, GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(hk::File::Open(exclusive, GENERIC_READ, &status), nullptr);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    first->Close();
    EXPECT_NE(hk::File::Open(exclusive, GENERIC_READ, &status), nullptr);
}

TEST(Dispatcher, EventsSemaphoresAndTimeouts)
{
    KEVENT sync;
    KeInitializeEvent(&sync, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT)
        << "a synchronization event resets when a wait is satisfied";

    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    std::thread setter([&] { KeSetEvent(&notification, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
    EXPECT_EQ(KeReadStateEvent(&notification), 1) << "a notification event stays set";

    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -10 * 1000 * 5;  // 5 ms
    KeClearEvent(&notification);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(5));
}

TEST(Dispatcher, FastMutexExcludesAndRaisesToApcLevel)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; i++) {
            ExAcquireFastMutex(&mutex);
            EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
            counter++;
            ExReleaseFastMutex(&mutex);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
