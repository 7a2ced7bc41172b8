// The I/O manager's and the executive's rules that a driver breaks without noticing on a
// forgiving kernel: the pending mark, the IRQL a dispatch routine returns at, cancellation and
// completion at the IRQLs the platform uses, buffers exactly as the platform hands them over,
// pool, thread handles and spin locks. Each test breaks one rule on purpose in a small driver and
// checks that the report names the rule and the request or device.
#include <gtest/gtest.h>
#include <hostkernel/harness.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "fake_driver.h"

namespace {

constexpr ULONG kTag = hk::Tag("Brk3");

std::string Text(const void* p)
{
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction) dispatch = Succeed;
    return STATUS_SUCCESS;
}

// What the broken driver's read, write and control handlers saw, for the buffer tests.
struct Seen {
    PVOID SystemBuffer;
    PMDL MdlAddress;
    PVOID UserBuffer;
    ULONG Length;
    UCHAR Bytes[16];
};
Seen g_seen;
PIRP g_kept = nullptr;
KSPIN_LOCK g_lock;

// A driver of one device, whose handler for `major` is the broken one under test.
class IoRulesTest : public testing::Test {
protected:
    void Load(UCHAR major, PDRIVER_DISPATCH dispatch, ULONG flags = DO_BUFFERED_IO)
    {
        g_seen = {};
        g_kept = nullptr;
        KeInitializeSpinLock(&g_lock);
        ASSERT_EQ(hk::LoadDriver(Entry, L"\\Registry\\broken", &driver_, L"\\Driver\\broken"), STATUS_SUCCESS);
        driver_->MajorFunction[major] = dispatch;
        ASSERT_EQ(IoCreateDevice(driver_, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_), STATUS_SUCCESS);
        device_->Flags = (device_->Flags & ~DO_DEVICE_INITIALIZING) | flags;
        NTSTATUS status;
        file_ = hk::File::Open(device_, GENERIC_READ | GENERIC_WRITE, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override
    {
        file_.reset();
        if (device_) IoDeleteDevice(device_);
        if (driver_) hk::UnloadDriver(driver_);
    }

    hk::VerifierCapture capture_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::unique_ptr<hk::File> file_;
};

// ---- The pending mark ------------------------------------------------------------------------

TEST_F(IoRulesTest, PendingReturnedWithoutTheMarkIsReportedWhenCompletedLaterOnAnotherThread)
{
    Load(IRP_MJ_READ, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        g_kept = irp;
        return STATUS_PENDING;  // IoMarkIrpPending forgotten
    });
    auto read = file_->ReadAsync(4);
    EXPECT_TRUE(capture_.Messages().empty()) << "judged only once the request is completed";
    std::thread([] { Complete(g_kept, STATUS_SUCCESS); }).join();
    ASSERT_TRUE(read->Wait());
    EXPECT_TRUE(capture_.Saw("pending rule: dispatch routine of device " + Text(device_) +
                             " returned STATUS_PENDING for IRP " + Text(read->Irp())));
    EXPECT_TRUE(capture_.Saw("without IoMarkIrpPending"));
}

TEST_F(IoRulesTest, MarkedPendingButAnotherStatusReturnedIsReported)
{
    Load(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        IoMarkIrpPending(irp);
        return Complete(irp, STATUS_SUCCESS);
    });
    auto flush = file_->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(capture_.Saw("pending rule: IRP " + Text(flush->Irp()) + " (major 0x09, minor 0x00) on device " +
                             Text(device_) + " was marked pending (IoMarkIrpPending) but its dispatch routine "
                             "returned 0x00000000"));
}

// A filter on top of a lower device that pends: how the filter hands the pending mark up decides.
enum class Propagation { ByCompletionRoutine, ByIoManager, Forgotten };
Propagation g_propagation;

NTSTATUS FilterCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (g_propagation == Propagation::ByCompletionRoutine && irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

class FilterTest : public IoRulesTest {
protected:
    void Attach(Propagation propagation)
    {
        g_propagation = propagation;
        lower_ = fake_.CreateDevice(STATUS_SUCCESS, DO_BUFFERED_IO);
        ((FakeDeviceData*)lower_->DeviceExtension)->Hold = true;
        Load(IRP_MJ_READ, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
            PDEVICE_OBJECT lower = *(PDEVICE_OBJECT*)device->DeviceExtension;
            IoCopyCurrentIrpStackLocationToNext(irp);
            if (g_propagation != Propagation::ByIoManager) {
                IoSetCompletionRoutine(irp, FilterCompletion, nullptr, TRUE, TRUE, TRUE);
            }
            return IoCallDriver(lower, irp);
        });
        file_.reset();
        device_->Flags |= lower_->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
        *(PDEVICE_OBJECT*)device_->DeviceExtension = IoAttachDeviceToDeviceStack(device_, lower_);
        NTSTATUS status;
        file_ = hk::File::Open(lower_, GENERIC_READ, &status);  // the top of the stack gets it
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override
    {
        file_.reset();
        if (lower_) IoDetachDevice(lower_);
        fake_.DeleteDevices();
        IoRulesTest::TearDown();
    }

    FakeDriver fake_;
    PDEVICE_OBJECT lower_ = nullptr;
};

TEST_F(FilterTest, PendingMarkHandedUpByTheCompletionRoutineRaisesNothing)
{
    Attach(Propagation::ByCompletionRoutine);
    auto read = file_->ReadAsync(1);
    EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
    // Completed by the lower driver at DISPATCH_LEVEL, as from its DPC, on another thread.
    std::thread([&] { fake_.ReleaseHeld(STATUS_SUCCESS, DISPATCH_LEVEL); }).join();
    ASSERT_TRUE(read->Wait());
    EXPECT_TRUE(capture_.Messages().empty()) << capture_.Messages().front();
}

TEST_F(FilterTest, PendingMarkHandedUpByTheIoManagerRaisesNothing)
{
    Attach(Propagation::ByIoManager);
    auto read = file_->ReadAsync(1);
    EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
    std::thread([&] { fake_.ReleaseHeld(STATUS_SUCCESS, DISPATCH_LEVEL); }).join();
    ASSERT_TRUE(read->Wait());
    EXPECT_TRUE(capture_.Messages().empty()) << capture_.Messages().front();
}

TEST_F(FilterTest, CompletionRoutineThatDropsThePendingMarkIsReported)
{
    Attach(Propagation::Forgotten);
    auto read = file_->ReadAsync(1);
    fake_.ReleaseHeld(STATUS_SUCCESS, DISPATCH_LEVEL);
    ASSERT_TRUE(read->Wait());
    EXPECT_TRUE(capture_.Saw("pending rule: completion routine " + Text((void*)FilterCompletion) + " of device " +
                             Text(device_) + " returned 0x00000000 for IRP " + Text(read->Irp())));
    EXPECT_TRUE(capture_.Saw("with PendingReturned set, without IoMarkIrpPending"));
}

// ---- IRQL across calls -----------------------------------------------------------------------

TEST_F(IoRulesTest, DispatchReturningAtAnotherIrqlIsReported)
{
    Load(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        Complete(irp, STATUS_SUCCESS);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);  // never lowered again
        return STATUS_SUCCESS;
    });
    auto flush = file_->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(capture_.Saw("IRQL rule: dispatch routine"));
    EXPECT_TRUE(capture_.Saw("of device " + Text(device_) + " returned at IRQL 2 from IRP " + Text(flush->Irp())));
    EXPECT_TRUE(capture_.Saw("which IoCallDriver called at IRQL 0"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IoRulesTest, DispatchReturningWithASpinLockHeldIsReported)
{
    Load(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        Complete(irp, STATUS_SUCCESS);
        KIRQL old;
        KeAcquireSpinLock(&g_lock, &old);  // the release on one path is missing
        return STATUS_SUCCESS;
    });
    auto flush = file_->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(capture_.Saw("of device " + Text(device_) + " returned from IRP " + Text(flush->Irp()) +
                             " (major 0x09, minor 0x00) still holding 1 spin lock(s)"));
    hk::RunAtIrql(DISPATCH_LEVEL, [] { KeReleaseSpinLockFromDpcLevel(&g_lock); });
}

// ---- Cancellation and completion at the platform's IRQLs -------------------------------------

KEVENT g_signalled;

void WaitingCancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    g_seen.Length = irp->CancelIrql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    // Fine where the I/O manager cancels (APC_LEVEL); a bug check where a driver cancels.
    KeWaitForSingleObject(&g_signalled, Executive, KernelMode, FALSE, nullptr);
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS HoldCancellable(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, WaitingCancelRoutine);
    return STATUS_PENDING;
}

TEST_F(IoRulesTest, ApplicationsCancelAtApcLevelAndDriversAtDispatchLevel)
{
    KeInitializeEvent(&g_signalled, NotificationEvent, TRUE);
    Load(IRP_MJ_READ, HoldCancellable);

    auto read = file_->ReadAsync(1);
    EXPECT_TRUE(read->Cancel());
    EXPECT_EQ(g_seen.Length, (ULONG)APC_LEVEL) << "CancelIo";
    EXPECT_TRUE(capture_.Messages().empty());

    // The thread that issued the request ends.
    std::thread([&] {
        auto orphan = file_->ReadAsync(1);
        g_seen.Length = 0xff;
        EXPECT_EQ(hk::CancelThreadRequests(), 1u);
        EXPECT_EQ(g_seen.Length, (ULONG)APC_LEVEL) << "thread exit";
        EXPECT_TRUE(orphan->Wait());
    }).join();
    EXPECT_TRUE(capture_.Messages().empty());

    read = file_->ReadAsync(1);
    EXPECT_TRUE(read->CancelAtDispatchLevel());
    EXPECT_EQ(g_seen.Length, (ULONG)DISPATCH_LEVEL);
    EXPECT_TRUE(capture_.Saw("KeWaitForSingleObject on " + Text(&g_signalled) + " at IRQL 2"));
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
}

NTSTATUS PageableCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    PAGED_CODE();  // wrongly pageable: lower drivers complete from their DPCs
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

TEST_F(IoRulesTest, CompletionRoutineRunsAtTheIrqlTheLowerDriverCompletesAt)
{
    FakeDriver fake;
    PDEVICE_OBJECT lower = fake.CreateDevice(STATUS_SUCCESS);
    ((FakeDeviceData*)lower->DeviceExtension)->CompleteAtIrql = DISPATCH_LEVEL;
    Load(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        PDEVICE_OBJECT lower = *(PDEVICE_OBJECT*)device->DeviceExtension;
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, PageableCompletion, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    });
    *(PDEVICE_OBJECT*)device_->DeviceExtension = lower;
    device_->StackSize = (CCHAR)(lower->StackSize + 1);
    file_->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(capture_.Saw("pageable routine PageableCompletion called at IRQL 2"));
}

// ---- Buffers as the platform hands them over ---------------------------------------------------

NTSTATUS RecordTransfer(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    g_seen.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
    g_seen.MdlAddress = irp->MdlAddress;
    g_seen.UserBuffer = irp->UserBuffer;
    g_seen.Length = sp->Parameters.Read.Length;
    PUCHAR data = (PUCHAR)(g_seen.SystemBuffer ? g_seen.SystemBuffer
                           : g_seen.MdlAddress ? MmGetSystemAddressForMdlSafe(g_seen.MdlAddress, NormalPagePriority)
                                               : g_seen.UserBuffer);
    ULONG length = g_seen.Length < 2 ? g_seen.Length : 2;
    if (length == 0) return Complete(irp, STATUS_SUCCESS);
    if (sp->MajorFunction == IRP_MJ_WRITE) {
        memcpy(g_seen.Bytes, data, length);
        return Complete(irp, STATUS_SUCCESS, g_seen.Length);
    }
    memcpy(data, "xy", length);
    // Reports the whole length although it wrote two bytes at most.
    return Complete(irp, STATUS_SUCCESS, g_seen.Length);
}

TEST_F(IoRulesTest, ReadsAndWritesUseTheMethodTheDeviceFlagsSelect)
{
    for (ULONG flags : {(ULONG)DO_BUFFERED_IO, (ULONG)DO_DIRECT_IO, 0u}) {
        SCOPED_TRACE(flags);
        TearDown();
        driver_ = nullptr;
        device_ = nullptr;
        Load(IRP_MJ_READ, RecordTransfer, flags);
        driver_->MajorFunction[IRP_MJ_WRITE] = RecordTransfer;

        auto write = file_->Write("ab", 2);
        EXPECT_EQ(g_seen.SystemBuffer != nullptr, flags == DO_BUFFERED_IO);
        EXPECT_EQ(g_seen.MdlAddress != nullptr, flags == DO_DIRECT_IO);
        EXPECT_EQ(g_seen.UserBuffer != nullptr, flags == 0) << "neither I/O only: the application's address";
        EXPECT_EQ(memcmp(g_seen.Bytes, "ab", 2), 0);

        auto read = file_->Read(4);
        EXPECT_EQ(g_seen.SystemBuffer != nullptr, flags == DO_BUFFERED_IO);
        EXPECT_EQ(g_seen.MdlAddress != nullptr, flags == DO_DIRECT_IO);
        EXPECT_EQ(g_seen.UserBuffer != nullptr, flags == 0);
        // The two bytes the driver claimed without writing are stale, not zero.
        EXPECT_EQ(read->Output(), (std::vector<UCHAR>{'x', 'y', hk::kStalePoolByte, hk::kStalePoolByte}));

        for (bool isWrite : {false, true}) {
            g_seen.SystemBuffer = g_seen.MdlAddress = nullptr;
            g_seen.UserBuffer = (PVOID)1;
            auto empty = isWrite ? file_->Write("", 0) : file_->Read(0);
            EXPECT_EQ(g_seen.SystemBuffer, nullptr) << "a zero-length transfer has no buffer";
            EXPECT_EQ(g_seen.MdlAddress, nullptr);
            EXPECT_EQ(g_seen.UserBuffer, nullptr);
        }
    }
    EXPECT_TRUE(capture_.Messages().empty());
}

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

TEST_F(IoRulesTest, BufferedControlBytesBeyondTheInputAreStaleNotZero)
{
    Load(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        auto buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
        memcpy(g_seen.Bytes, buffer, 6);
        buffer[0] = 'o';
        return Complete(irp, STATUS_SUCCESS, 3);  // one byte more than it wrote
    });
    auto control = file_->Ioctl(kBufferedCode, "in", 2, 6);
    EXPECT_EQ(std::vector<UCHAR>(g_seen.Bytes, g_seen.Bytes + 6),
              (std::vector<UCHAR>{'i', 'n', hk::kStalePoolByte, hk::kStalePoolByte, hk::kStalePoolByte,
                                  hk::kStalePoolByte}));
    EXPECT_EQ(control->Output(), (std::vector<UCHAR>{'o', 'n', hk::kStalePoolByte}));
}

#ifdef __SANITIZE_ADDRESS__
TEST_F(IoRulesTest, ReadingPastASystemBufferIsCaught)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Load(IRP_MJ_WRITE, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        volatile UCHAR past = ((volatile UCHAR*)irp->AssociatedIrp.SystemBuffer)[length];
        (void)past;
        return Complete(irp, STATUS_SUCCESS, length);
    });
    EXPECT_DEATH(file_->Write("abc", 3), "heap-buffer-overflow");
}

// A synchronous request whose sender returns before it completes: the I/O manager's store into
// the status block lands in a frame that has ended.
__attribute__((noinline)) void SendAndForget(PDEVICE_OBJECT lower)
{
    KEVENT event;
    IO_STATUS_BLOCK status;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, lower, nullptr, 0, nullptr, &event, &status);
    IoCallDriver(lower, irp);  // STATUS_PENDING, and no wait
}

TEST(BuildSettings, StackUseAfterReturnIsCaught)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            FakeDriver fake;
            PDEVICE_OBJECT lower = fake.CreateDevice();
            ((FakeDeviceData*)lower->DeviceExtension)->Hold = true;
            SendAndForget(lower);
            fake.ReleaseHeld(STATUS_SUCCESS);
        },
        "stack-use-after-return");
}
#endif

// ---- Pool, threads and spin locks --------------------------------------------------------------

TEST_F(IoRulesTest, ZeroByteAndExecutablePoolAreReported)
{
    Load(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag), kTag);
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), kTag);
        return Complete(irp, STATUS_SUCCESS);
    });
    file_->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(capture_.Saw("pool rule: ExAllocatePoolWithTag of zero bytes (tag 'Brk3')"));
    EXPECT_TRUE(capture_.Saw("pool rule: ExAllocatePoolWithTag of executable non-paged pool (type 0, tag 'Brk3', "
                             "8 bytes)"));
    EXPECT_EQ(capture_.Messages().size(), 2u);
}

TEST_F(IoRulesTest, PagedPoolFreedAboveApcLevelIsReported)
{
    Load(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        PVOID block = ExAllocatePoolWithTag(PagedPool, 8, kTag);
        g_seen.UserBuffer = block;
        KIRQL old;
        KeAcquireSpinLock(&g_lock, &old);
        ExFreePoolWithTag(block, kTag);
        KeReleaseSpinLock(&g_lock, old);
        return Complete(irp, STATUS_SUCCESS);
    });
    file_->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(capture_.Saw("pool rule: paged pool block " + Text(g_seen.UserBuffer) +
                             " (tag 'Brk3') freed at IRQL 2, above APC_LEVEL"));
}

void ShortThread(PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }

TEST_F(IoRulesTest, SystemThreadWithoutAKernelHandleIsReported)
{
    Load(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        HANDLE handle;
        // No OBJECT_ATTRIBUTES with OBJ_KERNEL_HANDLE: the handle is the calling application's.
        NTSTATUS status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, ShortThread, nullptr);
        if (NT_SUCCESS(status)) {
            PVOID thread;
            ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr);
            ZwClose(handle);
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
            ObDereferenceObject(thread);
        }
        return Complete(irp, status);
    });
    file_->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(capture_.Saw("PsCreateSystemThread without OBJ_KERNEL_HANDLE"));
}

TEST_F(IoRulesTest, SpinLockAcquiredTwiceByItsOwnerIsReportedNotHung)
{
    Load(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        KIRQL outer, inner;
        KeAcquireSpinLock(&g_lock, &outer);
        KeAcquireSpinLock(&g_lock, &inner);  // a helper that takes the lock its caller holds
        KeReleaseSpinLock(&g_lock, inner);
        KeReleaseSpinLock(&g_lock, outer);
        return Complete(irp, STATUS_SUCCESS);
    });
    file_->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(capture_.Saw("spin lock rule: spin lock " + Text(&g_lock) +
                             " acquired again by the thread that holds it"));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IoRulesTest, SpinLockReleasedByAnotherThreadIsReported)
{
    Load(IRP_MJ_FLUSH_BUFFERS, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        // Taken in one thread, let go in another (a lock handed along with the work).
        std::thread([] {
            KIRQL old;
            KeAcquireSpinLock(&g_lock, &old);
        }).join();
        hk::RunAtIrql(DISPATCH_LEVEL, [] { KeReleaseSpinLockFromDpcLevel(&g_lock); });
        return Complete(irp, STATUS_SUCCESS);
    });
    file_->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    EXPECT_TRUE(capture_.Saw("spin lock rule: spin lock " + Text(&g_lock) +
                             " released by a thread that does not hold it"));
}

}  // namespace
