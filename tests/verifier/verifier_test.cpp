// The verifier catches what it claims: a deliberately broken driver breaks one rule per test,
// and the report names the fault.
#include <gtest/gtest.h>
#include <hostkernel/harness.h>

#include <thread>

namespace {

enum class Fault {
    None,
    CompleteTwice,
    FreeWithWrongTag,
    LeakPool,
    CompleteUnderSpinLock,
    PendWithoutMarking,
    ForgetToComplete,
    LeaveDeviceBehind,
    CompletionRoutineReturnsToAllocator,
};

Fault g_fault = Fault::None;
KSPIN_LOCK g_lock;
constexpr ULONG kTag = hk::Tag("Brk1");
PVOID g_leaked = nullptr;


NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS OwnIrpDone(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

NTSTATUS BrokenDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    switch (g_fault) {
    case Fault::CompleteTwice:
        Complete(irp, STATUS_SUCCESS);
        return Complete(irp, STATUS_SUCCESS);
    case Fault::FreeWithWrongTag:
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag), hk::Tag("Brk2"));
        return Complete(irp, STATUS_SUCCESS);
    case Fault::CompleteUnderSpinLock: {
        KIRQL old;
        KeAcquireSpinLock(&g_lock, &old);
        NTSTATUS status = Complete(irp, STATUS_SUCCESS);
        KeReleaseSpinLock(&g_lock, old);
        return status;
    }
    case Fault::PendWithoutMarking:
        Complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    case Fault::ForgetToComplete:
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    case Fault::CompletionRoutineReturnsToAllocator: {
        PIRP own = IoAllocateIrp(1, FALSE);
        IoSetCompletionRoutine(own, OwnIrpDone, nullptr, TRUE, TRUE, TRUE);
        IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        // The device below is this one: complete the inner request right here.
        IoSetNextIrpStackLocation(own);
        IoGetCurrentIrpStackLocation(own)->DeviceObject = device;
        own->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(own, IO_NO_INCREMENT);
        IoFreeIrp(own);
        return Complete(irp, STATUS_SUCCESS);
    }
    default:
        return Complete(irp, STATUS_SUCCESS);
    }
}

NTSTATUS BrokenEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction) dispatch = BrokenDispatch;
    return STATUS_SUCCESS;
}

NTSTATUS LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    BrokenEntry(driver, path);
    g_leaked = ExAllocatePoolWithTag(PagedPool, 24, hk::Tag("Leak"));
    return STATUS_SUCCESS;
}

class VerifierTest : public testing::Test {
protected:
    // Loads the broken driver, opens its device, sends one flush while the fault is armed, then
    // closes and unloads, all while the verifier's reports are captured.
    void Run(Fault fault)
    {
        g_fault = Fault::None;
        KeInitializeSpinLock(&g_lock);
        PDRIVER_OBJECT driver;
        PDRIVER_INITIALIZE entry = fault == Fault::LeakPool ? LeakyEntry : BrokenEntry;
        ASSERT_EQ(hk::LoadDriver(entry, L"\\Registry\\broken", &driver, L"\\Driver\\broken"), STATUS_SUCCESS);
        PDEVICE_OBJECT device;
        ASSERT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        NTSTATUS status;
        auto file = hk::File::Open(device, GENERIC_READ, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        g_fault = fault;
        file->SendAsync(IRP_MJ_FLUSH_BUFFERS);  // a request the driver keeps is abandoned here
        g_fault = Fault::None;
        file.reset();
        if (fault != Fault::LeaveDeviceBehind) IoDeleteDevice(device);
        hk::UnloadDriver(driver);
    }

    hk::VerifierCapture capture_;
};

TEST_F(VerifierTest, CleanDriverRaisesNothing)
{
    Run(Fault::None);
    EXPECT_TRUE(capture_.Messages().empty()) << capture_.Messages().front();
}

TEST_F(VerifierTest, CatchesAnIrpCompletedTwice)
{
    Run(Fault::CompleteTwice);
    EXPECT_TRUE(capture_.Saw("completed twice"));
}

TEST_F(VerifierTest, CatchesPoolFreedWithTheWrongTag)
{
    Run(Fault::FreeWithWrongTag);
    EXPECT_TRUE(capture_.Saw("freed with tag 'Brk2' but allocated with tag 'Brk1'"));
}

TEST_F(VerifierTest, CatchesPoolLeakedAtUnloadByTag)
{
    Run(Fault::LeakPool);
    EXPECT_TRUE(capture_.Saw("pool leaked at unload: tag 'Leak', 24 bytes"));
}

TEST_F(VerifierTest, CatchesCompletionWhileHoldingASpinLock)
{
    Run(Fault::CompleteUnderSpinLock);
    EXPECT_TRUE(capture_.Saw("completed while holding a spin lock"));
}

TEST_F(VerifierTest, CatchesPendingReturnedWithoutMarkingTheIrp)
{
    Run(Fault::PendWithoutMarking);
    EXPECT_TRUE(capture_.Saw("without IoMarkIrpPending"));
}

TEST_F(VerifierTest, CatchesARequestNeverCompleted)
{
    Run(Fault::ForgetToComplete);
    EXPECT_TRUE(capture_.Saw("never completed"));
}

TEST_F(VerifierTest, CatchesADeviceLeftAtUnload)
{
    Run(Fault::LeaveDeviceBehind);
    EXPECT_TRUE(capture_.Saw("driver unloaded while device"));
    EXPECT_TRUE(capture_.Saw("device object"));
}

TEST_F(VerifierTest, CatchesAnOwnIrpCompletedBackToTheIoManager)
{
    Run(Fault::CompletionRoutineReturnsToAllocator);
    EXPECT_TRUE(capture_.Saw("must return STATUS_MORE_PROCESSING_REQUIRED"));
}

TEST(VerifierRules, CatchesADoubleFreeAndAReleaseOfALockNotHeld)
{
    hk::VerifierCapture capture;
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 4, kTag);
    ExFreePoolWithTag(p, kTag);
    ExFreePoolWithTag(p, kTag);
    EXPECT_TRUE(capture.Saw("freed twice"));

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_TRUE(capture.Saw("not held"));

    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    EXPECT_TRUE(capture.Saw("does not hold"));
}

TEST(VerifierRules, CatchesWaitsAndPagedPoolAboveTheirIrql)
{
    hk::VerifierCapture capture;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    hk::RunAtIrql(DISPATCH_LEVEL, [&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 4, kTag), kTag);
    });
    EXPECT_TRUE(capture.Saw("KeWaitForSingleObject"));
    EXPECT_TRUE(capture.Saw("ExAllocatePoolWithTag(PagedPool) at IRQL 2"));

    // A zero time-out is a poll, which DISPATCH_LEVEL allows.
    size_t before = capture.Messages().size();
    LARGE_INTEGER zero{};
    hk::RunAtIrql(DISPATCH_LEVEL, [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero); });
    EXPECT_EQ(capture.Messages().size(), before);
}

// Quota goes to the allocating thread's process, comes back whoever frees the block, and is never
// charged to the System process; a charge beyond the limit fails, and raises unless told not to.
TEST(VerifierRules, QuotaBlocksAreChargedToTheirProcessAndAFailureWithoutTheFlagIsReported)
{
    hk::VerifierCapture capture;
    hk::Process process(100);
    PVOID charged = nullptr;
    {
        hk::ProcessScope scope(process);
        charged = ExAllocatePoolWithQuotaTag((POOL_TYPE)(NonPagedPoolNx | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), 60, kTag);
        EXPECT_EQ(ExAllocatePoolWithQuotaTag((POOL_TYPE)(NonPagedPoolNx | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), 60, kTag),
                  nullptr);
        EXPECT_TRUE(capture.Messages().empty());
        EXPECT_EQ(ExAllocatePoolWithQuotaTag(NonPagedPoolNx, 60, kTag), nullptr);
        EXPECT_TRUE(capture.Saw("raised an exception"));
    }
    ASSERT_NE(charged, nullptr);
    EXPECT_EQ(process.NonPagedCharged(), 60u);
    std::thread([&] { ExFreePoolWithTag(charged, kTag); }).join();
    EXPECT_EQ(process.NonPagedCharged(), 0u);
}

#ifndef __SANITIZE_ADDRESS__
TEST(VerifierRules, CatchesADeviceExtensionWrittenAfterDeletion)
{
    hk::VerifierCapture capture;
    PDRIVER_OBJECT driver;
    ASSERT_EQ(hk::LoadDriver(BrokenEntry, L"\\Registry\\broken", &driver, L"\\Driver\\broken"), STATUS_SUCCESS);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, 32, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    auto extension = (volatile UCHAR*)device->DeviceExtension;
    IoDeleteDevice(device);
    extension[5] = 1;  // the kind of late write a use-after-free race makes
    hk::UnloadDriver(driver);
    EXPECT_TRUE(capture.Saw("written after its device was deleted"));
}
#endif

}  // namespace

namespace {

// A device extension is exactly the size asked for: one byte past it is caught.
#ifndef __SANITIZE_ADDRESS__
TEST(VerifierRules, CatchesADeviceExtensionWrittenPastItsEnd)
{
    hk::VerifierCapture capture;
    PDRIVER_OBJECT driver;
    ASSERT_EQ(hk::LoadDriver(BrokenEntry, L"\\Registry\\broken", &driver, L"\\Driver\\broken"), STATUS_SUCCESS);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, 13, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    auto extension = (volatile UCHAR*)device->DeviceExtension;
    extension[12] = 1;  // the last byte is the driver's
    extension[13] = 1;
    IoDeleteDevice(device);
    hk::UnloadDriver(driver);
    EXPECT_TRUE(capture.Saw("its 13-byte device extension was written past its end (at offset 13)"))
        << capture.Messages().size();
}
#else
TEST(VerifierRulesDeathTest, DeviceExtensionOverrunIsAHeapBufferOverflow)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PDRIVER_OBJECT driver;
    ASSERT_EQ(hk::LoadDriver(BrokenEntry, L"\\Registry\\broken", &driver, L"\\Driver\\broken"), STATUS_SUCCESS);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, 13, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    auto extension = (volatile UCHAR*)device->DeviceExtension;
    extension[12] = 1;
    EXPECT_DEATH(extension[13] = 1, "heap-buffer-overflow");
    IoDeleteDevice(device);
    hk::UnloadDriver(driver);
}
#endif

}  // namespace
