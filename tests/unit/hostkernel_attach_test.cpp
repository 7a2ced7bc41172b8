// Drivers that find a device by name and attach on top of its stack: IoGetDeviceObjectPointer's
// open, cleanup and close, attaching above a stack that already has a filter, detaching, and the
// fake serial port such drivers are tested against.
#include <gtest/gtest.h>
#include <hostkernel/faults.h>
#include <hostkernel/harness.h>
#include <hostkernel/pnp.h>
#include <ntddser.h>

#include "fake_serial_port.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// A pass-through filter of the test's own, counting what passes.
struct Filter {
    PDEVICE_OBJECT Lower;
    LONG Passed;
};

// Filters still attached, and the Plug and Play minors they passed down, in order.
std::vector<PDEVICE_OBJECT> g_filters;
std::mutex g_filterLock;
std::vector<UCHAR> g_filterPnp;

NTSTATUS FilterPass(PDEVICE_OBJECT device, PIRP irp)
{
    auto filter = (Filter*)device->DeviceExtension;
    InterlockedIncrement(&filter->Passed);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_PNP) {
        {
            std::lock_guard guard(g_filterLock);
            g_filterPnp.push_back(sp->MinorFunction);
        }
        if (sp->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            // The stack goes: down first, then away from it, as a filter leaves.
            PDEVICE_OBJECT lower = filter->Lower;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            std::lock_guard guard(g_filterLock);
            g_filters.erase(std::find(g_filters.begin(), g_filters.end(), device));
            return status;
        }
    }
    if (sp->MajorFunction == IRP_MJ_POWER) {
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
        g_filters.clear();
        g_filterPnp.clear();
        ASSERT_EQ(hk::LoadDriver(FilterEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tfilter",
                                 &driver_, L"\\Driver\\tfilter"),
                  STATUS_SUCCESS);
    }
    void TearDown() override
    {
        for (auto it = g_filters.rbegin(); it != g_filters.rend(); ++it) {
            IoDetachDevice(((Filter*)(*it)->DeviceExtension)->Lower);
            IoDeleteDevice(*it);
        }
        port_.reset();
        hk::UnloadDriver(driver_);
    }

    // The port goes after the filters above it have detached, before the clean checks.
    FakeSerialPort& MakePort(FakeSerialPort::Options options)
    {
        port_ = std::make_unique<FakeSerialPort>(std::move(options));
        return *port_;
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
        std::lock_guard guard(g_filterLock);
        g_filters.push_back(device);
        return device;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<FakeSerialPort> port_;
};

TEST_F(AttachTest, DeviceObjectPointerOpensTheNamedStackAndItsLastReferenceClosesIt)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial7"});
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

// A driver may keep a reference on an application's file object past the handle's close: the
// close of the handle ends with its cleanup, and IRP_MJ_CLOSE reaches the stack only when that
// reference goes, on the dropping thread.
TEST_F(AttachTest, AReferenceHeldPastTheHandlesCloseHoldsBackItsCloseUntilDropped)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial0"});
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PFILE_OBJECT file = app->Object();
    ObReferenceObject(file);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(app->Close(), STATUS_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2))
        << "the handle's close waited for a reference that is not a request";
    EXPECT_EQ(port.Requests().back().Major, IRP_MJ_CLEANUP);
    EXPECT_EQ(port.Device()->ReferenceCount, 1) << "the file is still open on its device";
    EXPECT_EQ(hk::ObjectReferenceCount(file), 1);

    ObDereferenceObject(file);
    auto seen = port.Requests();
    ASSERT_EQ(seen.back().Major, IRP_MJ_CLOSE);
    EXPECT_EQ(seen.back().FileObject, file);
    EXPECT_EQ(port.Device()->ReferenceCount, 0);
}

TEST_F(AttachTest, DeviceObjectPointerRefusalsLeaveNothingBehind)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial0", .Exclusive = true});
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
    auto& port = MakePort({.Name = u"\\Device\\Serial0"});
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
    g_filters.clear();
    app = hk::File::Open(port.Device(), GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(port.Requests(IRP_MJ_CREATE).back().StackCount, 1);
}

TEST_F(AttachTest, AttachingToADeletedDeviceFails)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial0"});
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

namespace {

constexpr ULONG kOutDirect = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kInDirect = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x802, METHOD_IN_DIRECT, FILE_ANY_ACCESS);

TEST_F(AttachTest, DirectControlBuffersArriveLockedButUnmappedThroughAFilter)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial0"});
    ASSERT_NE(AttachByName(u"\\Device\\Serial0"), nullptr);
    port.SetControlOutput(kOutDirect, Bytes("status"));
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    auto out = app->Ioctl(kOutDirect, "in", 2, 16);
    EXPECT_EQ(out->Status(), STATUS_SUCCESS);
    EXPECT_EQ(out->Output(), Bytes("status"));
    auto seen = port.Requests(IRP_MJ_DEVICE_CONTROL);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Data, Bytes("in")) << "the input travels in the system buffer";
    ASSERT_NE(seen[0].Mdl, nullptr);
    EXPECT_FALSE(seen[0].MdlMapped) << "the application's pages have no system address until a driver maps them";

    // The buffer of METHOD_IN_DIRECT is read by the driver through the same kind of MDL.
    auto in = app->Ioctl(kInDirect, nullptr, 0, 4, "data");
    EXPECT_EQ(in->Status(), STATUS_SUCCESS);
    seen = port.Requests(IRP_MJ_DEVICE_CONTROL);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].MdlData, Bytes("data"));
    EXPECT_FALSE(seen[1].MdlMapped);

    // Already mapped by a driver above, or not mappable at all.
    app->MapDirectBuffers(true);
    app->Ioctl(kOutDirect, nullptr, 0, 16);
    EXPECT_TRUE(port.Requests(IRP_MJ_DEVICE_CONTROL).back().MdlMapped);
    app->MapDirectBuffers(false);
    hk::FailNextRoutineCall("MmGetSystemAddressForMdlSafe");
    EXPECT_EQ(app->Ioctl(kOutDirect, nullptr, 0, 16)->Status(), STATUS_INSUFFICIENT_RESOURCES);
    // Zero-length buffers get no MDL at all.
    app->Ioctl(kOutDirect, nullptr, 0, 0);
    EXPECT_EQ(port.Requests(IRP_MJ_DEVICE_CONTROL).back().Mdl, nullptr);
}

TEST_F(AttachTest, DirectIoPortReadsAndWritesThroughItsMdls)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial3", .Method = FakeSerialPort::Io::Direct});
    EXPECT_TRUE(port.Device()->Flags & DO_DIRECT_IO);
    EXPECT_FALSE(port.Device()->Flags & DO_BUFFERED_IO);
    port.Receive("xyz");
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto write = app->Write("12345", 5);
    EXPECT_EQ(write->Information(), 5u);
    EXPECT_EQ(port.Written(), Bytes("12345"));
    auto read = app->Read(8);
    EXPECT_EQ(read->Information(), 3u);
    EXPECT_EQ(read->Output(), Bytes("xyz"));
    auto reads = port.Requests(IRP_MJ_READ);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_NE(reads[0].Mdl, nullptr);
    EXPECT_EQ(reads[0].SystemBuffer, nullptr);
}

TEST_F(AttachTest, WineLikeDeviceObjectPointerLeavesOutWhatWasAskedAndClosesAnOpenItKeeps)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial0"});
    UNICODE_STRING name = Name(u"\\Device\\Serial0");
    PFILE_OBJECT file = (PFILE_OBJECT)1;
    PDEVICE_OBJECT top = (PDEVICE_OBJECT)1;
    hk::LeaveOutOfNextDeviceObjectPointer(hk::DeviceObjectPointerGap::NoFileObject);
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(top, port.Device());
    EXPECT_EQ(port.Requests().back().Major, IRP_MJ_CLOSE);
    EXPECT_EQ(port.Device()->ReferenceCount, 0);

    hk::LeaveOutOfNextDeviceObjectPointer(hk::DeviceObjectPointerGap::NoDevice);
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(top, nullptr);
    ASSERT_NE(file, nullptr);
    ObDereferenceObject(file);  // the caller's to drop

    hk::LeaveOutOfNextDeviceObjectPointer(hk::DeviceObjectPointerGap::Neither);
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(top, nullptr);
    // Once only.
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
    EXPECT_NE(file, nullptr);
    EXPECT_NE(top, nullptr);
    ObDereferenceObject(file);
}

TEST(SystemTime, FrozenTimeStandsStillButStillAdvances)
{
    hk::FreezeSystemTime();
    LARGE_INTEGER a, b;
    KeQuerySystemTime(&a);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    KeQuerySystemTime(&b);
    EXPECT_EQ(a.QuadPart, b.QuadPart);
    hk::AdvanceSystemTime(600000000);
    KeQuerySystemTime(&b);
    EXPECT_EQ(b.QuadPart - a.QuadPart, 600000000);
    hk::ResetSystemTime();
    KeQuerySystemTime(&b);
    EXPECT_LT(b.QuadPart - a.QuadPart, 600000000) << "the reset thaws it and drops the advance";
    EXPECT_GE(b.QuadPart, a.QuadPart);
}

}  // namespace

namespace {

TEST_F(AttachTest, PnpPortUnderAFilterIsRemovedFromTheTopDown)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial4", .Pnp = true});
    ASSERT_NE(port.Pdo(), nullptr);
    ASSERT_NE(port.Device(), nullptr);
    EXPECT_EQ(hk::QueryDeviceNode(port.Pdo()).State, hk::DeviceNodeState::Started);
    PDEVICE_OBJECT filter = AttachByName(u"\\Device\\Serial4");
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->StackSize, 3) << "PDO, port, filter";

    // Attached to a running stack, the filter sees its next start.
    EXPECT_EQ(port.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(port.Start(), STATUS_SUCCESS);
    ASSERT_GE(g_filterPnp.size(), 3u);
    EXPECT_EQ(std::vector<UCHAR>(g_filterPnp.begin(), g_filterPnp.begin() + 3),
              (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}));
    EXPECT_EQ(port.Requests(IRP_MJ_PNP).back().Minor, IRP_MN_QUERY_DEVICE_RELATIONS) << "after the start";
    g_filterPnp.clear();

    // An open handle vetoes the removal before any driver is asked.
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(port.QueryRemoveAndRemove(), STATUS_DEVICE_BUSY);
    app->Close();
    EXPECT_TRUE(g_filterPnp.empty());

    // The port refuses: the filter saw the query and the cancel, and everything stays.
    port.FailNextPnp(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port.QueryRemoveAndRemove(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_filterPnp, (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    EXPECT_FALSE(port.Removed());
    g_filterPnp.clear();

    EXPECT_EQ(port.QueryRemoveAndRemove(), STATUS_SUCCESS);
    EXPECT_EQ(g_filterPnp, (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
    auto pnp = port.Requests(IRP_MJ_PNP);
    ASSERT_GE(pnp.size(), 2u);
    EXPECT_EQ(pnp[pnp.size() - 2].Minor, IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(pnp.back().Minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(pnp.back().StackCount, 3) << "sent to the filter on top";
    // The port deleted its device inside the filter's call; the filter detached afterwards.
    EXPECT_TRUE(port.Removed());
    EXPECT_EQ(port.Device(), nullptr);
    EXPECT_TRUE(g_filters.empty());
    UNICODE_STRING name = Name(u"\\Device\\Serial4");
    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(AttachTest, SurpriseRemovedPnpPortIsRemovedOnceTheLastHandleCloses)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial5", .Pnp = true});
    ASSERT_NE(AttachByName(u"\\Device\\Serial5"), nullptr);
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    port.Script(IRP_MJ_READ, FakeSerialPort::Answer::Hold());
    auto read = app->ReadAsync(4);
    ASSERT_TRUE(port.WaitHeld(1));

    port.SurpriseRemove();
    EXPECT_EQ(g_filterPnp, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL}));
    EXPECT_FALSE(port.Removed());
    // The application's close ends its held read (the port's cleanup) and lets the removal come.
    app->Close();
    EXPECT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_TRUE(hk::WaitPnpIdle());
    EXPECT_TRUE(port.Removed());
    EXPECT_EQ(g_filterPnp, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_TRUE(g_filters.empty());
}

TEST_F(AttachTest, ScriptedAnswersCompleteNowLaterOrWhenReleased)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial0"});
    ASSERT_NE(AttachByName(u"\\Device\\Serial0"), nullptr);
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    port.Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Now(STATUS_DEVICE_BUSY));
    port.Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Later(STATUS_SUCCESS));
    port.Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Hold());
    auto failed = app->Write("no", 2);
    EXPECT_EQ(failed->Status(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(failed->Information(), 0u);
    auto later = app->WriteAsync("later", 5);
    EXPECT_EQ(later->DispatchStatus(), STATUS_PENDING);
    auto held = app->WriteAsync("held", 4);
    EXPECT_EQ(held->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(later->Wait());
    EXPECT_EQ(later->Information(), 5u);
    EXPECT_EQ(port.Written(), Bytes("later")) << "a failed write moves nothing";
    EXPECT_FALSE(held->Completed());
    EXPECT_EQ(port.ReleaseHeld(), 1u);
    ASSERT_TRUE(held->Wait());
    EXPECT_EQ(held->Information(), 4u);
    EXPECT_EQ(port.Written(), Bytes("laterheld"));
    EXPECT_EQ(port.Requests(IRP_MJ_WRITE).size(), 3u) << "each is recorded as it arrived";

    // A held read takes what arrived by its release; a cancelled one ends at once.
    port.SetDefault(IRP_MJ_READ, FakeSerialPort::Answer::Hold());
    auto read = app->ReadAsync(8);
    auto cancelled = app->ReadAsync(8);
    ASSERT_TRUE(port.WaitHeld(2));
    EXPECT_TRUE(cancelled->Cancel());
    ASSERT_TRUE(cancelled->Wait());
    EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
    port.Receive("data");
    EXPECT_EQ(port.ReleaseHeld(), 1u);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Output(), Bytes("data"));

    // The immediate character, refused without its byte.
    char c = 0x13;
    EXPECT_EQ(app->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(app->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, nullptr, 0, 0)->Status(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(port.ImmediateChars(), std::vector<UCHAR>{0x13});

    // Power: held below the filter, then released; PoStartNextPowerIrp was called all the same.
    port.Script(IRP_MJ_POWER, FakeSerialPort::Answer::Later(STATUS_UNSUCCESSFUL));
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(hk::SendSetPower(port.Device(), DevicePowerState, d0).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hk::SendSetPower(port.Device(), DevicePowerState, d0).Status, STATUS_SUCCESS);
}

// The byte count a request completes with: the true one unless scripted otherwise, and then what
// the port carried follows the count it reported.
TEST_F(AttachTest, ScriptedByteCountsAreReportedAndCarried)
{
    auto& port = MakePort({.Name = u"\\Device\\Serial0"});
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    // An immediate character answers with the byte it sent, as the platform's drivers do.
    char c = 'i';
    auto immediate = app->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0);
    EXPECT_EQ(immediate->Status(), STATUS_SUCCESS);
    EXPECT_EQ(immediate->Information(), sizeof(UCHAR));
    port.Script(IRP_MJ_DEVICE_CONTROL, FakeSerialPort::Answer::Now().WithCount(0));
    immediate = app->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0);
    EXPECT_EQ(immediate->Status(), STATUS_SUCCESS);
    EXPECT_EQ(immediate->Information(), 0u);
    EXPECT_EQ(port.ImmediateChars(), Bytes("i")) << "a character reported as not sent was not carried";

    // A short write: ten bytes handed over, four reported and carried; later and held ones too.
    port.Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Now().WithCount(4));
    port.Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Later().WithCount(0));
    port.Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Hold().WithCount(2));
    port.Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Now(STATUS_INTERNAL_ERROR).WithCount(3));
    EXPECT_EQ(app->Write("0123456789", 10)->Information(), 4u);
    auto none = app->Write("lost", 4);
    EXPECT_EQ(none->Status(), STATUS_SUCCESS);
    EXPECT_EQ(none->Information(), 0u);
    auto held = app->WriteAsync("held", 4);
    ASSERT_TRUE(port.WaitHeld(1));
    EXPECT_EQ(port.ReleaseHeld(), 1u);
    ASSERT_TRUE(held->Wait());
    EXPECT_EQ(held->Information(), 2u);
    auto failed = app->Write("bad", 3);
    EXPECT_EQ(failed->Status(), STATUS_INTERNAL_ERROR);
    EXPECT_EQ(failed->Information(), 3u) << "the count comes with the failure as scripted";
    EXPECT_EQ(port.Written(), Bytes("0123he")) << "only the bytes reported went out";
    EXPECT_EQ(port.Requests(IRP_MJ_WRITE)[0].Data, Bytes("0123456789")) << "the port saw the whole write";

    // A read reports the scripted count and takes no more than that from the line.
    port.Receive("abcdef");
    port.Script(IRP_MJ_READ, FakeSerialPort::Answer::Now().WithCount(2));
    port.Script(IRP_MJ_READ, FakeSerialPort::Answer::Now().WithCount(0));
    port.Script(IRP_MJ_READ, FakeSerialPort::Answer::Now().WithCount(50));
    EXPECT_EQ(app->Read(8)->Output(), Bytes("ab"));
    auto empty = app->Read(8);
    EXPECT_EQ(empty->Status(), STATUS_SUCCESS);
    EXPECT_EQ(empty->Information(), 0u);
    EXPECT_EQ(app->Read(4)->Output(), Bytes("cdef")) << "a count beyond the buffer is cut to it";
}

}  // namespace
