// Drivers that find a device by name and attach on top of its stack: IoGetDeviceObjectPointer's
// open, cleanup and close, attaching above a stack that already has a filter, detaching, and the
// fake serial port such drivers are tested against.
#include <gtest/gtest.h>
#include <hostkernel/faults.h>
#include <hostkernel/harness.h>
#include <hostkernel/pnp.h>
#include <ntddser.h>

#include "fake_serial_port.h"

#include <cstring>

namespace {

// A pass-through filter of the test's own, counting what passes.
struct Filter {
    PDEVICE_OBJECT Lower;
    LONG Passed;
};

NTSTATUS FilterPass(PDEVICE_OBJECT device, PIRP irp)
{
    auto filter = (Filter*)device->DeviceExtension;
    InterlockedIncrement(&filter->Passed);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(filter->Lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(filter->Lower, irp);
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction) dispatch = FilterPass;
    return STATUS_SUCCESS;
}

UNICODE_STRING Name(const char16_t* text)
{
    UNICODE_STRING name;
    name.Buffer = (PWCH)text;
    name.Length = (USHORT)(std::char_traits<char16_t>::length(text) * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    return name;
}

std::vector<UCHAR> Bytes(const char* text) { return std::vector<UCHAR>(text, text + strlen(text)); }

class AttachTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(hk::LoadDriver(FilterEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tfilter",
                                 &driver_, L"\\Driver\\tfilter"),
                  STATUS_SUCCESS);
    }
    void TearDown() override
    {
        for (auto it = filters_.rbegin(); it != filters_.rend(); ++it) {
            IoDetachDevice(((Filter*)(*it)->DeviceExtension)->Lower);
            IoDeleteDevice(*it);
        }
        hk::UnloadDriver(driver_);
    }

    // Attaches a filter the way a driver attaches to a running stack it found by name.
    PDEVICE_OBJECT AttachByName(const char16_t* text)
    {
        UNICODE_STRING name = Name(text);
        PFILE_OBJECT file = nullptr;
        PDEVICE_OBJECT top = nullptr;
        EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA | FILE_WRITE_DATA, &file, &top), STATUS_SUCCESS);
        if (file == nullptr) return nullptr;
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(Filter), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device),
                  STATUS_SUCCESS);
        PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, top);
        EXPECT_EQ(lower, top);
        ((Filter*)device->DeviceExtension)->Lower = lower;
        device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        ObDereferenceObject(file);
        filters_.push_back(device);
        return device;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> filters_;
};

TEST_F(AttachTest, DeviceObjectPointerOpensTheNamedStackAndItsLastReferenceClosesIt)
{
    FakeSerialPort port({.Name = u"\\Device\\Serial7"});
    UNICODE_STRING name = Name(u"\\device\\SERIAL7");  // names are compared without case
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA | FILE_WRITE_DATA, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(top, port.Device());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->DeviceObject, port.Device());
    EXPECT_TRUE(file->ReadAccess && file->WriteAccess);
    // The handle behind it is closed again at once; the file object holds the open.
    auto seen = port.Requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Major, IRP_MJ_CREATE);
    EXPECT_EQ(seen[1].Major, IRP_MJ_CLEANUP);
    EXPECT_EQ(seen[0].FileObject, file);
    EXPECT_EQ(seen[1].FileObject, file);
    EXPECT_EQ(port.Device()->ReferenceCount, 1);
    ObDereferenceObject(file);
    seen = port.Requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].Major, IRP_MJ_CLOSE);
    EXPECT_EQ(seen[2].FileObject, file);
    EXPECT_EQ(port.Device()->ReferenceCount, 0);
}

TEST_F(AttachTest, DeviceObjectPointerRefusalsLeaveNothingBehind)
{
    FakeSerialPort port({.Name = u"\\Device\\Serial0", .Exclusive = true});
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    UNICODE_STRING missing = Name(u"\\Device\\Serial1");
    EXPECT_EQ(IoGetDeviceObjectPointer(&missing, FILE_READ_DATA, &file, &top), STATUS_OBJECT_NAME_NOT_FOUND);

    // An exclusive port that an application holds refuses the open before its driver sees it.
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    UNICODE_STRING name = Name(u"\\Device\\Serial0");
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_ACCESS_DENIED);
    app->Close();
    size_t requests = port.Requests().size();

    // A create the driver fails is never cleaned up or closed.
    port.Script(IRP_MJ_CREATE, FakeSerialPort::Answer::Now(STATUS_DEVICE_BUSY));
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port.Requests().size(), requests + 1);
    EXPECT_EQ(port.Device()->ReferenceCount, 0);

    hk::FailNextRoutineCall("IoGetDeviceObjectPointer", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port.Requests().size(), requests + 1);
    // Unload checks that no file object is left.
}

TEST_F(AttachTest, FiltersStackUpAndApplicationRequestsPassThroughThemToThePort)
{
    FakeSerialPort port({.Name = u"\\Device\\Serial0"});
    PDEVICE_OBJECT first = AttachByName(u"\\Device\\Serial0");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->StackSize, 2);
    EXPECT_TRUE(first->Flags & DO_BUFFERED_IO);
    // The name still leads to the port's device; the stack's top is now the first filter, and a
    // second filter lands above it.
    PDEVICE_OBJECT second = AttachByName(u"\\Device\\Serial0");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(((Filter*)second->DeviceExtension)->Lower, first);
    EXPECT_EQ(second->StackSize, 3);
    EXPECT_EQ(port.Device()->AttachedDevice, first);
    EXPECT_EQ(first->AttachedDevice, second);

    port.Receive("hello");
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto write = app->Write("abc", 3);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 3u);
    auto read = app->Read(3);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), Bytes("hel"));
    EXPECT_EQ(port.Written(), Bytes("abc"));
    auto writes = port.Requests(IRP_MJ_WRITE);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].FileObject, app->Object());
    // A close goes to the top of the stack when the file object goes: each filter saw the close of
    // its own open, dropped after it attached, and the first one the second's create and cleanup.
    EXPECT_EQ(((Filter*)first->DeviceExtension)->Passed, ((Filter*)second->DeviceExtension)->Passed + 3);
    EXPECT_EQ(((Filter*)second->DeviceExtension)->Passed, 4);  // its close; create, write, read
    app->Close();

    // Detached, the filters see nothing more.
    IoDetachDevice(first);
    IoDeleteDevice(second);
    IoDetachDevice(port.Device());
    IoDeleteDevice(first);
    filters_.clear();
    app = hk::File::Open(port.Device(), GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(port.Requests(IRP_MJ_CREATE).back().StackCount, 1);
}

TEST_F(AttachTest, AttachingToADeletedDeviceFails)
{
    FakeSerialPort port({.Name = u"\\Device\\Serial0"});
    PDEVICE_OBJECT target = port.Device();
    ObReferenceObject(target);  // keeps the object itself after its deletion
    port.Destroy();
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(Filter), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(device, target), nullptr);
    IoDeleteDevice(device);
    ObDereferenceObject(target);
}

}  // namespace
