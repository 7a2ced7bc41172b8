// Rules for device stacks and for the Plug and Play and power requests drivers build themselves:
// a deliberately broken filter and a driver that sends its own requests.
#include <hostkernel/harness.h>

#include "fake_driver.h"

#include <gtest/gtest.h>

namespace {

enum class FilterFault { None, KeepOwnIoFlags, KeepOwnPowerFlag };
FilterFault g_filterFault = FilterFault::None;

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(*(PDEVICE_OBJECT*)device->DeviceExtension, irp);
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction) dispatch = PassDown;
    return STATUS_SUCCESS;
}

class StackVerifierTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(hk::LoadDriver(FilterEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\filter",
                                 &driver_, L"\\Driver\\filter"),
                  STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (filter_) {
            IoDetachDevice(*(PDEVICE_OBJECT*)filter_->DeviceExtension);
            IoDeleteDevice(filter_);
        }
        lower_.DeleteDevices();
        hk::UnloadDriver(driver_);
    }

    // Attaches a filter on top of `lower` the way a filter attaches to a running stack: attach,
    // take the flags of the device it landed on, and only then let requests come.
    void AttachFilter(PDEVICE_OBJECT lower)
    {
        ASSERT_EQ(IoCreateDevice(driver_, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter_),
                  STATUS_SUCCESS);
        PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(filter_, lower);
        ASSERT_EQ(below, lower);
        *(PDEVICE_OBJECT*)filter_->DeviceExtension = below;
        ULONG taken = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE;
        if (g_filterFault == FilterFault::KeepOwnIoFlags) taken = DO_POWER_PAGABLE;
        if (g_filterFault == FilterFault::KeepOwnPowerFlag) taken = DO_BUFFERED_IO | DO_DIRECT_IO;
        filter_->Flags |= below->Flags & taken;
        filter_->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    hk::VerifierCapture capture_;
    FakeDriver lower_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
};

TEST_F(StackVerifierTest, FilterThatTakesTheFlagsFromBelowRaisesNothing)
{
    g_filterFault = FilterFault::None;
    AttachFilter(lower_.CreateDevice(STATUS_SUCCESS, DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(hk::SendDirect(filter_, IRP_MJ_SYSTEM_CONTROL, 0, nullptr, 0, STATUS_SUCCESS).Status, STATUS_SUCCESS);
    EXPECT_TRUE(capture_.Messages().empty()) << capture_.Messages().front();
    EXPECT_EQ(filter_->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE), (ULONG)(DO_BUFFERED_IO | DO_POWER_PAGABLE));
}

TEST_F(StackVerifierTest, FilterKeepingItsOwnIoMethodIsReportedAtItsFirstRequest)
{
    g_filterFault = FilterFault::KeepOwnIoFlags;
    PDEVICE_OBJECT port = lower_.CreateDevice(STATUS_SUCCESS, DO_BUFFERED_IO);
    AttachFilter(port);
    EXPECT_TRUE(capture_.Messages().empty()) << "nothing has reached the filter yet";
    NTSTATUS status;
    auto file = hk::File::Open(port, GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(capture_.Saw("reached by request 0x00 has I/O flags 0x0 but device"));
    EXPECT_TRUE(capture_.Saw("below it has 0x4: a filter takes DO_BUFFERED_IO and DO_DIRECT_IO from the device it "
                             "attaches to"));
    // Once per device.
    size_t reports = capture_.Messages().size();
    file->Read(4);
    EXPECT_EQ(capture_.Messages().size(), reports);
}

TEST_F(StackVerifierTest, FilterKeepingItsOwnPowerFlagIsReported)
{
    g_filterFault = FilterFault::KeepOwnPowerFlag;
    AttachFilter(lower_.CreateDevice(STATUS_SUCCESS, DO_DIRECT_IO | DO_POWER_PAGABLE));
    hk::SendDirect(filter_, IRP_MJ_SYSTEM_CONTROL, 0);
    EXPECT_TRUE(capture_.Saw("reached by request 0x17 has DO_POWER_PAGABLE clear but device"));
    EXPECT_TRUE(capture_.Saw("below it has it set: a filter takes DO_POWER_PAGABLE from the device it attaches to"));
    EXPECT_FALSE(capture_.Saw("I/O flags"));
}

// ---- Requests a driver builds -------------------------------------------------------------------

NTSTATUS FreeOwnIrp(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    *(NTSTATUS*)context = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a Plug and Play query the way a driver asks the stack below it (a synchronous request).
NTSTATUS SendOwnPnp(PDEVICE_OBJECT target, UCHAR minor, bool startUnsupported)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, target, nullptr, 0, nullptr, &event, &iosb);
    if (startUnsupported) irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (IoCallDriver(target, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return iosb.Status;
}

TEST(BuiltRequestVerifier, PnpRequestThatDoesNotStartUnsupportedIsReported)
{
    hk::VerifierCapture capture;
    FakeDriver lower;
    PDEVICE_OBJECT target = lower.CreateDevice(STATUS_NOT_SUPPORTED);
    // The fake completes with what the request carries when it doesn't handle it: the missing
    // initialisation turns "nobody answered" into a success.
    ((FakeDeviceData*)target->DeviceExtension)->CompleteWith = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(SendOwnPnp(target, IRP_MN_QUERY_BUS_INFORMATION, true), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(capture.Messages().empty()) << capture.Messages().front();
    SendOwnPnp(target, IRP_MN_QUERY_BUS_INFORMATION, false);
    EXPECT_TRUE(capture.Saw("IRP_MJ_PNP request 0x15 (IRP"));
    EXPECT_TRUE(capture.Saw("a driver built was sent to device"));
    EXPECT_TRUE(capture.Saw("with status 0x00000000: a Plug and Play or power request starts with "
                            "STATUS_NOT_SUPPORTED"));
    lower.DeleteDevices();
}

TEST(BuiltRequestVerifier, PowerRequestFromIoAllocateIrpThatDoesNotStartUnsupportedIsReported)
{
    hk::VerifierCapture capture;
    FakeDriver lower;
    PDEVICE_OBJECT target = lower.CreateDevice(STATUS_SUCCESS, DO_POWER_PAGABLE);
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_POWER_SEQUENCE;
    NTSTATUS result = STATUS_PENDING;
    IoSetCompletionRoutine(irp, FreeOwnIrp, &result, TRUE, TRUE, TRUE);
    PoCallDriver(target, irp);
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_TRUE(capture.Saw("IRP_MJ_POWER request 0x01 (IRP"));
    EXPECT_TRUE(capture.Saw("with status 0x00000000: a Plug and Play or power request starts with "
                            "STATUS_NOT_SUPPORTED"));
    lower.DeleteDevices();
}

}  // namespace
