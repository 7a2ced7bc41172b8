// Rules for drivers that open another driver's device by name and attach above it: the IRQL of
// IoGetDeviceObjectPointer and of mapping a request's MDL, the file object it hands over, and
// a filter that never detaches from a device deleted below it.
#include <gtest/gtest.h>
#include <hostkernel/harness.h>

#include "fake_serial_port.h"

namespace {

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(*(PDEVICE_OBJECT*)device->DeviceExtension, irp);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction) dispatch = PassDown;
    return STATUS_SUCCESS;
}

UNICODE_STRING SerialName()
{
    static const char16_t text[] = u"\\Device\\Serial0";
    UNICODE_STRING name;
    name.Buffer = (PWCH)text;
    name.Length = (USHORT)(sizeof text - sizeof(WCHAR));
    name.MaximumLength = sizeof text;
    return name;
}

class AttachVerifierTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(hk::LoadDriver(Entry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\brkattach",
                                 &driver_, L"\\Driver\\brkattach"),
                  STATUS_SUCCESS);
    }
    void TearDown() override
    {
        port_.reset();
        hk::UnloadDriver(driver_);
    }

    hk::VerifierCapture capture_;
    std::unique_ptr<FakeSerialPort> port_ = std::make_unique<FakeSerialPort>();
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(AttachVerifierTest, DeviceObjectPointerAbovePassiveLevelIsReported)
{
    UNICODE_STRING name = SerialName();
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    // Sent from a completion routine or under a spin lock, say.
    hk::RunAtIrql(DISPATCH_LEVEL, [&] { IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top); });
    EXPECT_TRUE(capture_.Saw("IoGetDeviceObjectPointer at IRQL 2"));
    if (file) ObDereferenceObject(file);
}

TEST_F(AttachVerifierTest, FileObjectNeverDereferencedIsReportedAtUnload)
{
    UNICODE_STRING name = SerialName();
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
    EXPECT_TRUE(capture_.Messages().empty());
    port_.reset();
    hk::VerifyClean();
    char text[64];
    snprintf(text, sizeof text, "file object %p left at unload", (void*)file);
    EXPECT_TRUE(capture_.Saw(text));
}

// A driver that sends a request of its own on a file object must hold a reference on it: once the
// last one goes, the object's memory goes too, and any driver of the stack may touch it.
TEST_F(AttachVerifierTest, ARequestOnAFileObjectAfterItsLastReferenceIsReported)
{
    UNICODE_STRING name = SerialName();
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA | FILE_WRITE_DATA, &file, &top), STATUS_SUCCESS);
    auto send = [&] {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        UCHAR byte = 'x';
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, top, &byte, 1, nullptr, &done, &iosb);
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    };
    send();
    EXPECT_TRUE(capture_.Messages().empty());
    ObDereferenceObject(file);  // the close reaches the port; the object is gone
    send();
    char text[64];
    snprintf(text, sizeof text, "on file object %p, which is not a live file object", (void*)file);
    EXPECT_TRUE(capture_.Saw(text));
}

TEST_F(AttachVerifierTest, FilterThatNeverDetachesFromADeletedDeviceIsReported)
{
    PDEVICE_OBJECT filter = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &filter),
              STATUS_SUCCESS);
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(filter, port_->Device());
    *(PDEVICE_OBJECT*)filter->DeviceExtension = lower;
    // The port deletes its device under the filter: allowed, its deletion waits for the detach.
    port_.reset();
    EXPECT_TRUE(capture_.Messages().empty()) << capture_.Messages().front();
    // The filter goes without detaching.
    IoDeleteDevice(filter);
    EXPECT_TRUE(capture_.Saw("(IoDetachDevice missing)"));
    hk::VerifyClean();
    char text[96];
    snprintf(text, sizeof text, "device %p was deleted but device %p never detached from it", (void*)lower,
             (void*)filter);
    EXPECT_TRUE(capture_.Saw(text));
}

NTSTATUS MapAtHighIrql(PDEVICE_OBJECT, PIRP irp)
{
    hk::RunAtIrql(HIGH_LEVEL, [&] { MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority); });
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(AttachVerifierTest, MappingAnMdlAboveDispatchLevelIsReported)
{
    NTSTATUS status;
    auto app = hk::File::Open(port_->Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    app->Route(IRP_MJ_DEVICE_CONTROL, MapAtHighIrql);
    app->Ioctl(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS), nullptr, 0, 8);
    EXPECT_TRUE(capture_.Saw("MmGetSystemAddressForMdlSafe at IRQL"));
    app->Close();
}

}  // namespace
