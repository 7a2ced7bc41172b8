// The verifier's thread, handle and cancellation rules: each test breaks one on purpose and
// checks that the report names it.
#include <gtest/gtest.h>
#include <hostkernel/harness.h>
#include <hostkernel/threads.h>

namespace {

// Driver threads' handles are kernel handles; the verifier reports any other.
POBJECT_ATTRIBUTES KernelHandle()
{
    static OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return &attributes;
}

KEVENT g_release;

void LingeringThread(PVOID)
{
    KeWaitForSingleObject(&g_release, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class ThreadVerifierTest : public testing::Test {
protected:
    void SetUp() override
    {
        KeInitializeEvent(&g_release, NotificationEvent, FALSE);
        ASSERT_EQ(hk::LoadDriver(Entry, L"\\Registry\\threads", &driver_, L"\\Driver\\threads"), STATUS_SUCCESS);
    }

    HANDLE StartThread()
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&handle, 0, KernelHandle(), nullptr, nullptr, LingeringThread, nullptr),
                  STATUS_SUCCESS);
        return handle;
    }

    PVOID Reference(HANDLE handle)
    {
        PVOID thread = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
                  STATUS_SUCCESS);
        return thread;
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(ThreadVerifierTest, CatchesASystemThreadStillRunningAtUnload)
{
    HANDLE handle = StartThread();
    PVOID thread = Reference(handle);
    ZwClose(handle);
    {
        hk::VerifierCapture capture;
        hk::UnloadDriver(driver_);
        EXPECT_TRUE(capture.Saw("still running at unload"));
    }
    // The reported object is kept by the object manager, never freed: it can still be waited on.
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hk::RunningSystemThreadCount(), 0u);
}

TEST_F(ThreadVerifierTest, CatchesAThreadObjectStillReferencedAfterTheThreadEnded)
{
    HANDLE handle = StartThread();
    PVOID thread = Reference(handle);
    ZwClose(handle);
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    {
        hk::VerifierCapture capture;
        hk::UnloadDriver(driver_);
        EXPECT_TRUE(capture.Saw("thread object"));
        EXPECT_FALSE(capture.Saw("still running"));
    }
}

TEST_F(ThreadVerifierTest, CatchesAHandleLeftOpenAtUnload)
{
    HANDLE handle = StartThread();
    PVOID thread = Reference(handle);
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    hk::VerifierCapture capture;
    hk::UnloadDriver(driver_);
    EXPECT_TRUE(capture.Saw("left open at unload"));
    EXPECT_FALSE(capture.Saw("not a live object"));
}

void KeepsTheCancelLock(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_CANCELLED;
    // Completed without IoReleaseCancelSpinLock: the next cancel anywhere would hang.
    IoSetCancelRoutine(irp, nullptr);
}

NTSTATUS HoldWithCancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, KeepsTheCancelLock);
    return STATUS_PENDING;
}

TEST_F(ThreadVerifierTest, CatchesACancelRoutineThatReturnsHoldingTheCancelSpinLock)
{
    hk::VerifierCapture capture;
    driver_->MajorFunction[IRP_MJ_READ] = HoldWithCancelRoutine;
    driver_->MajorFunction[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver_, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags = (device->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
    NTSTATUS status;
    auto file = hk::File::Open(device, GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto read = file->ReadAsync(1);
    read->Cancel();
    EXPECT_TRUE(capture.Saw("without releasing the cancel spin lock"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // Now end it properly so that the driver can go.
    IoCompleteRequest(read->Irp(), IO_NO_INCREMENT);
    driver_->MajorFunction[IRP_MJ_CLEANUP] = driver_->MajorFunction[IRP_MJ_CREATE];
    driver_->MajorFunction[IRP_MJ_CLOSE] = driver_->MajorFunction[IRP_MJ_CREATE];
    file.reset();
    IoDeleteDevice(device);
    hk::UnloadDriver(driver_);
}

TEST_F(ThreadVerifierTest, CatchesASleepAfterAReleaseWithWaitTrue)
{
    hk::VerifierCapture capture;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_TRUE(capture.Saw("KeDelayExecutionThread at IRQL 2"));
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);  // back to PASSIVE_LEVEL
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    hk::UnloadDriver(driver_);
}

TEST_F(ThreadVerifierTest, CatchesThreadCreationAboveItsIrql)
{
    hk::VerifierCapture capture;
    HANDLE handle = nullptr;
    hk::RunAtIrql(APC_LEVEL, [&] {
        PsCreateSystemThread(&handle, 0, KernelHandle(), nullptr, nullptr, LingeringThread, nullptr);
    });
    EXPECT_TRUE(capture.Saw("PsCreateSystemThread at IRQL 1"));
    PVOID thread = Reference(handle);
    ZwClose(handle);
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    hk::UnloadDriver(driver_);
}

}  // namespace
