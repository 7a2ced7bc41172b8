// The end of the tap: a detach leaves it on the real port's stack passing everything through
// until the port's removal, and a later attach takes it again; the removal of the bus while a tap
// is attached (orderly, or surprise removal then removal) cuts it from the bus's ports and takes it
// off the stack. No end waits for a request held below the tap, and such a request completes to
// its application whenever the real port lets it go.
#include "fake_driver.h"
#include "fake_serial_port.h"
#include "tap_fixture.h"

#include <functional>
#include <future>

namespace {

class TapDetachTest : public TapTest {
protected:
    void TearDown() override
    {
        Meanwhile() = nullptr;
        TapTest::TearDown();
    }

    // What happens between the I/O manager's choice of the stack's top for a request and its
    // call of that device's driver.
    static std::function<void()>& Meanwhile()
    {
        static std::function<void()> meanwhile;
        return meanwhile;
    }

    // Routed as the dispatch entry of a handle's requests: the I/O manager has taken the top of
    // the stack without a reference, as it does, and is held up before it calls the top's driver.
    static NTSTATUS LateCall(PDEVICE_OBJECT top, PIRP irp)
    {
        if (Meanwhile()) Meanwhile()();
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        return top->DriverObject->MajorFunction[major](top, irp);
    }

    std::unique_ptr<hk::File> OpenRealPort(FakeSerialPort& real)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        auto file = hk::File::Open(real.Device(), GENERIC_READ | GENERIC_WRITE, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return file;
    }

    // Runs one end of the tap while a read that capture hooked is held in the real port: the end
    // must return although the port never lets the read go; then the port does, and the read
    // reaches its application with its bytes (ASan, and the poisoned record of a deleted device,
    // see anything touching what the end freed).
    void EndWithAReadHeldBelow(const std::function<void()>& end)
    {
        ASSERT_NE(PlugIn(1), nullptr);
        auto hub = Open(Port(1));
        FakeSerialPort& real = RealPort();
        ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
        ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);
        auto app = OpenRealPort(real);
        real.Script(IRP_MJ_READ, FakeSerialPort::Answer::HoldUncancelable());
        auto read = app->ReadAsync(4);
        ASSERT_TRUE(real.WaitHeld(1));

        auto ended = std::async(std::launch::async, [&] {
            hub.reset();
            end();
        });
        bool returned = ended.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        EXPECT_TRUE(returned) << "the tap's end waited for the read held in the real port";
        EXPECT_FALSE(read->Completed());
        real.Receive("held");
        EXPECT_EQ(real.ReleaseHeld(), 1u);
        ended.wait();
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        EXPECT_EQ(read->Output(), Bytes("held"));
        app.reset();
    }
};

// A request aimed at the tap as it is detached goes to the real port unchanged, with the port's
// own answer. Capture is on, and the read is one the tap would copy were it still current.
TEST_F(TapDetachTest, ARequestMeetingADetachStillReachesTheRealPort)
{
    ASSERT_NE(PlugIn(1), nullptr);
    FakeSerialPort& real = RealPort();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);
    auto app = OpenRealPort(real);

    Meanwhile() = [&] { EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS); };
    app->Route(IRP_MJ_READ, LateCall);
    real.Receive("late");
    auto read = app->Read(4);
    EXPECT_FALSE(ReadNoFence(&TapAttached));
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), std::vector<UCHAR>({'l', 'a', 't', 'e'}));
    ASSERT_EQ(real.Requests(IRP_MJ_READ).size(), 1u);
    EXPECT_EQ(real.Requests(IRP_MJ_READ)[0].FileObject, real.Requests(IRP_MJ_CREATE).back().FileObject);

    // The application's cleanup and close, aimed at the tap as it is detached again, reach the
    // port too: its driver must hear of the end of every open.
    app->Route(IRP_MJ_READ, nullptr);
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    Meanwhile() = [&] { EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS); };
    app->Route(IRP_MJ_CLEANUP, LateCall);
    size_t cleanups = real.Requests(IRP_MJ_CLEANUP).size();
    size_t closes = real.Requests(IRP_MJ_CLOSE).size();
    EXPECT_EQ(app->Close(), STATUS_SUCCESS);
    EXPECT_EQ(real.Requests(IRP_MJ_CLEANUP).size(), cleanups + 1);
    EXPECT_EQ(real.Requests(IRP_MJ_CLOSE).size(), closes + 1);
    Meanwhile() = nullptr;
}

// Detached, the tap stays where it was, as if it were not there: no capture, no injection, no hub
// routing, not current, while a driver that attached above it keeps its place in the stack. The
// next attach to that port finds it, on top or below that driver, and takes it again.
TEST_F(TapDetachTest, ADetachedTapPassesThroughUntilALaterAttachTakesItAgain)
{
    ASSERT_NE(PlugIn(1), nullptr);
    auto hub = Open(Port(1));
    ASSERT_EQ(SetReadTimeouts(*hub, 0xFFFFFFFF, 0, 0), STATUS_SUCCESS);
    FakeSerialPort& real = RealPort();
    size_t devices = hk::LiveDeviceCount();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    PDEVICE_OBJECT tap = bus_->TapDevice;
    ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);
    auto app = OpenRealPort(real);

    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    EXPECT_EQ(IoGetAttachedDevice(real.Device()), tap) << "the tap stays on the stack";
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 0u);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 8u);
    real.Receive("gone");
    EXPECT_EQ(app->Read(4)->Output(), Bytes("gone"));
    EXPECT_EQ(hub->Read(16)->Output(), Bytes("")) << "nothing captured";

    FakeDriver above;
    PDEVICE_OBJECT filter = above.CreateDevice(STATUS_SUCCESS, DO_BUFFERED_IO | DO_POWER_PAGABLE);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, real.Device()), tap);
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    EXPECT_EQ(bus_->TapDevice, tap) << "the same tap, not a second one";
    EXPECT_EQ(hk::LiveDeviceCount(), devices + 2);
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 1u);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 2u) << "capture off, covered";
    IoDetachDevice(tap);
    above.DeleteDevices();

    // Taken again, it captures once configured again.
    ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);
    real.Receive("back");
    EXPECT_EQ(app->Read(4)->Output(), Bytes("back"));
    EXPECT_EQ(hub->Read(16)->Output(), Bytes("back"));
}

// The bus's removal ends the tap attached through it and takes it, and the one it left detached on
// another port, off their stacks; the real ports then go on alone. Were a tap still capturing, it
// would write into the ports of a bus that is gone.
TEST_F(TapDetachTest, RemovingTheBusTakesItsTapsAwayFirst)
{
    ASSERT_NE(PlugIn(1), nullptr);
    FakeSerialPort& real = RealPort();
    size_t devices = hk::LiveDeviceCount();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    FakeSerialPort& other = RealPort({.Name = u"\\Device\\Serial1"});
    ASSERT_EQ(Attach("\\Device\\Serial1"), STATUS_SUCCESS);
    ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);
    auto app = OpenRealPort(real);
    EXPECT_EQ(hk::LiveDeviceCount(), devices + 3) << "two taps and the second port";

    control_.reset();
    ASSERT_EQ(hk::RemoveDevice(busPdo_), STATUS_SUCCESS);
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(IoGetAttachedDevice(real.Device()), real.Device());
    EXPECT_EQ(IoGetAttachedDevice(other.Device()), other.Device());
    EXPECT_FALSE(ReadNoFence(&TapAttached));
    EXPECT_EQ(ReadNoFence(&TapCount), 0);
    EXPECT_EQ(driver_->DeviceObject, nullptr) << "the taps, the bus and its port are deleted";
    EXPECT_EQ(hk::LiveDeviceCount(), 4u) << "the real ports, and the taps' records until the driver's unload";

    real.Receive("alone");
    auto read = app->Read(5);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), std::vector<UCHAR>({'a', 'l', 'o', 'n', 'e'}));
}

// The bus pulled out with its control handle still open: the tap stops at once and passes through,
// cut from the bus's ports, and goes with the bus's removal after the handle's close.
TEST_F(TapDetachTest, ASurpriseRemovedBusEndsItsTapAtOnceAndItsRemovalDeletesIt)
{
    FakeSerialPort& real = RealPort();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);
    auto app = OpenRealPort(real);

    PDEVICE_OBJECT tap = bus_->TapDevice;
    hk::SurpriseRemoveDevice(busPdo_);
    EXPECT_EQ(IoGetAttachedDevice(real.Device()), tap);
    EXPECT_EQ(((TapDeviceData*)tap->DeviceExtension)->Bus, nullptr);
    EXPECT_FALSE(ReadNoFence(&TapAttached));
    EXPECT_EQ(bus_->TapDevice, nullptr);
    EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_DEVICE_DOES_NOT_EXIST);
    real.Receive("on");
    EXPECT_EQ(app->Read(2)->Output(), std::vector<UCHAR>({'o', 'n'}));

    control_.reset();
    ASSERT_TRUE(hk::WaitDeviceNodeState(busPdo_, hk::DeviceNodeState::Unknown));
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(IoGetAttachedDevice(real.Device()), real.Device());
    EXPECT_EQ(driver_->DeviceObject, nullptr) << "the tap and the bus are deleted";
    EXPECT_EQ(hk::LiveDeviceCount(), 2u) << "the real port, and the tap's record until the driver's unload";
}

// A detached tap leaves with the removal of the port's stack, which takes nothing else to
// happen first; the port's driver can go.
TEST_F(TapDetachTest, ThePortsRemovalTakesADetachedTapAway)
{
    size_t devices = hk::LiveDeviceCount();
    FakeSerialPort& real = RealPort({.Pnp = true});
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    EXPECT_EQ(real.QueryRemoveAndRemove(), STATUS_SUCCESS);
    EXPECT_TRUE(real.Removed());
    EXPECT_FALSE(ReadNoFence(&TapAttached));
    EXPECT_EQ(hk::LiveDeviceCount(), devices) << "the tap went with the port's stack";
}

TEST_F(TapDetachTest, ADetachReturnsWithAReadHeldBelow)
{
    EndWithAReadHeldBelow([&] { EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS); });
}

TEST_F(TapDetachTest, TheBussRemovalReturnsWithAReadHeldBelow)
{
    EndWithAReadHeldBelow([&] {
        control_.reset();
        EXPECT_EQ(hk::RemoveDevice(busPdo_), STATUS_SUCCESS);
        EXPECT_TRUE(hk::WaitPnpIdle());
    });
}

TEST_F(TapDetachTest, TheBussSurpriseRemovalAndRemovalReturnWithAReadHeldBelow)
{
    EndWithAReadHeldBelow([&] {
        hk::SurpriseRemoveDevice(busPdo_);
        control_.reset();
        EXPECT_TRUE(hk::WaitDeviceNodeState(busPdo_, hk::DeviceNodeState::Unknown));
        EXPECT_TRUE(hk::WaitPnpIdle());
    });
}

}  // namespace
