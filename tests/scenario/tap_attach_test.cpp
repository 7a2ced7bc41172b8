// The tap on a real serial port: attached on top of its stack by name and taken off again, one at
// most, refused on a port without buffered I/O, requests passing through to the port unchanged
// with the port's own answers, and the status word following what the tap is doing.
#include "fake_driver.h"
#include "fake_serial_port.h"
#include "tap_fixture.h"

namespace {

constexpr NTSTATUS kCarriedStatus = (NTSTATUS)0xC0000295;  // any status a request may carry

class TapAttachTest : public TapTest {};

TEST_F(TapAttachTest, TheTapJoinsTheTopOfThePortsStackAndDetachTakesItAway)
{
    FakeSerialPort& port = RealPort();
    FakeSerialPort& other = RealPort({.Name = u"\\Device\\Serial1"});
    size_t devices = hk::LiveDeviceCount();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    ASSERT_TRUE(ReadNoFence(&TapAttached));
    PDEVICE_OBJECT tap = bus_->TapDevice;
    EXPECT_EQ(IoGetAttachedDevice(port.Device()), tap);
    EXPECT_EQ(Tap()->LowerDevice, port.Device());
    EXPECT_EQ(Tap()->TapState, TapNotStarted) << "it joins a running stack";
    EXPECT_EQ(tap->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              (ULONG)(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 1u);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 0u) << "idle, capture off";

    // One tap at most, whatever the port.
    EXPECT_EQ(Attach("\\Device\\Serial1"), STATUS_DEVICE_ALREADY_ATTACHED);
    EXPECT_EQ(Attach("\\Device\\Serial0"), STATUS_DEVICE_ALREADY_ATTACHED);
    EXPECT_EQ(bus_->TapDevice, tap);
    EXPECT_EQ(IoGetAttachedDevice(other.Device()), other.Device());
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 1u);

    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    EXPECT_EQ(bus_->TapDevice, nullptr);
    // It stays on the port's stack, passing through, until the port or the bus is removed; the
    // unload finds nothing left.
    EXPECT_EQ(IoGetAttachedDevice(port.Device()), tap);
    EXPECT_EQ(hk::LiveDeviceCount(), devices + 1);
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 0u);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 8u);
    EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 0u);

    // And a new one may come, on another port.
    EXPECT_EQ(Attach("\\Device\\Serial1"), STATUS_SUCCESS);
    EXPECT_EQ(IoGetAttachedDevice(other.Device()), bus_->TapDevice);
    EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
}

TEST_F(TapAttachTest, APortWithoutBufferedIoIsRefusedWithNothingLeft)
{
    FakeSerialPort& port = RealPort({.Name = u"\\Device\\Serial1", .Method = FakeSerialPort::Io::Direct});
    size_t devices = hk::LiveDeviceCount();
    EXPECT_EQ(Attach("\\Device\\Serial1"), STATUS_PORT_CONNECTION_REFUSED);
    EXPECT_EQ(IoGetAttachedDevice(port.Device()), port.Device());
    EXPECT_EQ(hk::LiveDeviceCount(), devices);
    EXPECT_FALSE(ReadNoFence(&TapAttached));
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 0u);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 8u);
    EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_DEVICE_DOES_NOT_EXIST);
}

// A lookup by name that reports success yet hands back no file object or no device (Wine's does)
// leaves nothing to attach to: the attach fails, nothing is dereferenced that was not given, and
// the port is as it was.
TEST_F(TapAttachTest, ALookupWithoutFileObjectOrDeviceIsAFailedAttach)
{
    FakeSerialPort& port = RealPort();
    size_t devices = hk::LiveDeviceCount();
    for (auto gap : {hk::DeviceObjectPointerGap::NoFileObject, hk::DeviceObjectPointerGap::NoDevice,
                     hk::DeviceObjectPointerGap::Neither}) {
        hk::LeaveOutOfNextDeviceObjectPointer(gap);
        EXPECT_FALSE(NT_SUCCESS(Attach("\\Device\\Serial0"))) << (int)gap;
        EXPECT_EQ(IoGetAttachedDevice(port.Device()), port.Device());
        EXPECT_EQ(hk::LiveDeviceCount(), devices);
        EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 8u);
        EXPECT_EQ(port.Requests(IRP_MJ_CREATE).size(), port.Requests(IRP_MJ_CLOSE).size()) << "the lookup's open is closed";
    }
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS) << "and the port can still be tapped";
}

// The name is what the input holds up to its NUL or its end: a name that fills the whole input
// without a NUL is still the name (the system buffer is exactly the input: ASan sees any read
// beyond it), and what follows a NUL is not part of it.
TEST_F(TapAttachTest, TheNameEndsAtItsNulOrAtTheEndOfTheInput)
{
    FakeSerialPort& port = RealPort();
    const char name[] = "\\Device\\Serial0";
    ASSERT_EQ(Control(IOCTL_TAP_ATTACH, name, sizeof(name) - 1), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    const char trailing[] = "\\Device\\Serial0\0\\Device\\Serial1";
    ASSERT_EQ(Control(IOCTL_TAP_ATTACH, trailing, sizeof(trailing)), STATUS_SUCCESS);
    EXPECT_EQ(IoGetAttachedDevice(port.Device()), bus_->TapDevice);
    EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    // Cut one character short, the name is another device's, which doesn't exist.
    EXPECT_FALSE(NT_SUCCESS(Control(IOCTL_TAP_ATTACH, name, sizeof(name) - 2)));
}

TEST_F(TapAttachTest, TheStatusWordFollowsCaptureRequestsInProgressAndADeviceAbove)
{
    FakeSerialPort& port = RealPort();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    EXPECT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);
    EXPECT_TRUE(Tap()->CaptureEnabled);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 1u) << "capture on";
    EXPECT_EQ(Control(IOCTL_TAP_DISABLE), STATUS_SUCCESS);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 0u);

    // Another filter on top of the tap.
    FakeDriver above;
    PDEVICE_OBJECT filter = above.CreateDevice(STATUS_SUCCESS, DO_BUFFERED_IO | DO_POWER_PAGABLE);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, port.Device()), bus_->TapDevice);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 2u);
    EXPECT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 3u);
    IoDetachDevice(bus_->TapDevice);
    above.DeleteDevices();
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 1u);
}

TEST_F(TapAttachTest, ConfiguringATapKeepsTheCaptureSettingsWithoutThePacingBit)
{
    RealPort();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    RoutingConfig config = MakeConfig();
    config.CaptureDirection = VCOMBUS_CAPTURE_SENT | VCOMBUS_NO_PACING;
    config.ExcludedPort = 4;
    config.MasterPortNumber = 2;
    ULONG_PTR information = 0;
    std::vector<UCHAR> input(sizeof(config));
    memcpy(input.data(), &config, sizeof(config));
    ASSERT_EQ(Control(IOCTL_TAP_CONFIGURE, input.data(), 40, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 40u);
    EXPECT_EQ(Tap()->Config.CaptureDirection, VCOMBUS_CAPTURE_SENT);
    EXPECT_EQ(Tap()->Config.ExcludedPort, 4u);
    EXPECT_TRUE(NoPacing);
    EXPECT_EQ(bus_->MasterPortNumber, 2u);

    // Disabling leaves the settings; routing alone leaves the tap's.
    EXPECT_EQ(Control(IOCTL_TAP_DISABLE), STATUS_SUCCESS);
    EXPECT_EQ(Tap()->Config.ExcludedPort, 4u);
    EXPECT_EQ(bus_->MasterPortNumber, 2u);
    config.ExcludedPort = 6;
    EXPECT_EQ(Configure(IOCTL_ROUTING_CONFIGURE, config), STATUS_SUCCESS);
    EXPECT_EQ(Tap()->Config.ExcludedPort, 4u);
    EXPECT_FALSE(Tap()->CaptureEnabled);
}

// What an application does with the real port arrives there as it sent it, on its own file
// object, and comes back with the port's answer, whether at once, later from the port's DPC, or
// as a failure.
TEST_F(TapAttachTest, RequestsReachThePortUnchangedAndComeBackWithItsAnswers)
{
    FakeSerialPort& port = RealPort();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    auto write = app->Write("hello", 5);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 5u);
    EXPECT_EQ(port.Written(), Bytes("hello"));

    port.Receive("abc");
    port.Script(IRP_MJ_READ, FakeSerialPort::Answer::Later());
    auto read = app->Read(8);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), Bytes("abc"));

    SERIAL_BAUD_RATE baud = {115200};
    std::vector<UCHAR> answer((UCHAR*)&baud, (UCHAR*)&baud + sizeof(baud));
    port.SetControlOutput(IOCTL_SERIAL_GET_BAUD_RATE, answer);
    auto query = app->Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(baud));
    EXPECT_EQ(query->Status(), STATUS_SUCCESS);
    EXPECT_EQ(query->Output(), answer);

    port.Script(IRP_MJ_DEVICE_CONTROL, FakeSerialPort::Answer::Later(STATUS_INVALID_DEVICE_STATE));
    EXPECT_EQ(app->Ioctl(IOCTL_SERIAL_SET_DTR, nullptr, 0, 0)->Status(), STATUS_INVALID_DEVICE_STATE);
    port.Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Now(STATUS_TIMEOUT));
    EXPECT_EQ(app->Write("x", 1)->Status(), STATUS_TIMEOUT);
    // The tap has no opinion on immediate characters yet: they pass like any other code.
    UCHAR c = 'z';
    EXPECT_EQ(app->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(port.ImmediateChars(), Bytes("z"));

    for (const auto& seen : port.Requests()) {
        if (seen.Major == IRP_MJ_CREATE || seen.Major == IRP_MJ_CLOSE || seen.Major == IRP_MJ_CLEANUP) continue;
        EXPECT_EQ(seen.FileObject, app->Object()) << "major " << (int)seen.Major;
    }
    EXPECT_EQ(Tap()->Gate.OutstandingCount, 0) << "every request has left the tap";
    app.reset();
    EXPECT_FALSE(Tap()->PortOpen);
}

// The real port's driver may be a WMI provider: system-control requests reach it through the tap,
// with its own answer.
TEST_F(TapAttachTest, SystemControlReachesThePort)
{
    FakeSerialPort& port = RealPort();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    port.Script(IRP_MJ_SYSTEM_CONTROL, FakeSerialPort::Answer::Now(STATUS_INVALID_DEVICE_STATE));
    auto result = hk::SendDirect(port.Device(), IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA, nullptr, 0, kCarriedStatus);
    EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(port.Requests(IRP_MJ_SYSTEM_CONTROL).size(), 1u);
}

// The tap is no way into the real port: it has no name an application could open it by, it takes
// the real port's type and characteristics, and an open aimed at its own device object is refused
// whoever asks, while the port is held exclusively by its application. The application's open of
// the real port passes through the tap as before.
TEST_F(TapAttachTest, TheTapItselfCannotBeOpened)
{
    FakeSerialPort& port = RealPort({.Exclusive = true});
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    PDEVICE_OBJECT tap = bus_->TapDevice;
    EXPECT_EQ(hk::DeviceObjectName(tap), u"");
    EXPECT_EQ(tap->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_EQ(tap->Characteristics, port.Device()->Characteristics);
    EXPECT_NE(tap->Characteristics & FILE_DEVICE_SECURE_OPEN, 0u);

    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(Tap()->PortOpen);
    size_t creates = port.Requests(IRP_MJ_CREATE).size();
    for (hk::User user : {hk::User::PlainUser, hk::User::Administrator}) {
        auto door = hk::File::Open(tap, GENERIC_READ | GENERIC_WRITE, &status, user);
        EXPECT_EQ(door, nullptr) << (int)user;
        EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST) << (int)user;
    }
    EXPECT_EQ(port.Requests(IRP_MJ_CREATE).size(), creates) << "no open reached the port";
    EXPECT_EQ(Tap()->OpenFileObject, app->Object()) << "the application's open is still the one followed";
}

}  // namespace
