// The end of the tap: a request that the I/O manager aimed at the tap just before it left the
// stack, and the removal of the bus while a tap is attached (orderly, or surprise removal then
// removal): the tap leaves the real port's stack first, and the unload finds nothing left.
#include "fake_serial_port.h"
#include "tap_fixture.h"

#include <functional>

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
};

// The requests go to the real port unchanged, with the port's own answers, though the tap they
// were aimed at has left the stack in between; the tap's device object outlives them. Capture is
// on, and the read is one the tap would copy were it still attached.
TEST_F(TapDetachTest, ARequestAimedAtTheTapBeforeItDetachedStillReachesTheRealPort)
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
    EXPECT_EQ(IoGetAttachedDevice(real.Device()), real.Device()) << "the tap left the stack";
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), std::vector<UCHAR>({'l', 'a', 't', 'e'}));
    ASSERT_EQ(real.Requests(IRP_MJ_READ).size(), 1u);
    EXPECT_EQ(real.Requests(IRP_MJ_READ)[0].FileObject, real.Requests(IRP_MJ_CREATE).back().FileObject);

    // Once detached, the tap sees nothing of the port's requests; the next attach is a new tap.
    app->Route(IRP_MJ_READ, nullptr);
    real.Receive("on");
    EXPECT_EQ(app->Read(2)->Output(), std::vector<UCHAR>({'o', 'n'}));
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    EXPECT_NE(IoGetAttachedDevice(real.Device()), real.Device());

    // The application's cleanup and close, aimed at the tap as it leaves, reach the port too: its
    // driver must hear of the end of every open.
    Meanwhile() = [&] { EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS); };
    app->Route(IRP_MJ_CLEANUP, LateCall);
    size_t cleanups = real.Requests(IRP_MJ_CLEANUP).size();
    size_t closes = real.Requests(IRP_MJ_CLOSE).size();
    EXPECT_EQ(app->Close(), STATUS_SUCCESS);
    EXPECT_EQ(real.Requests(IRP_MJ_CLEANUP).size(), cleanups + 1);
    EXPECT_EQ(real.Requests(IRP_MJ_CLOSE).size(), closes + 1);
    Meanwhile() = nullptr;
}

// The bus's removal ends the tap attached through it and deletes the one it left detached; the
// real port then goes on alone. Were the tap still on the port, its capture would write into the
// ports of a bus that is gone.
TEST_F(TapDetachTest, RemovingTheBusTakesItsTapsAwayFirst)
{
    ASSERT_NE(PlugIn(1), nullptr);
    FakeSerialPort& real = RealPort();
    size_t devices = hk::LiveDeviceCount();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);
    auto app = OpenRealPort(real);
    EXPECT_EQ(hk::LiveDeviceCount(), devices + 2);

    control_.reset();
    ASSERT_EQ(hk::RemoveDevice(busPdo_), STATUS_SUCCESS);
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(IoGetAttachedDevice(real.Device()), real.Device());
    EXPECT_FALSE(ReadNoFence(&TapAttached));
    EXPECT_EQ(ReadNoFence(&TapCount), 0);
    EXPECT_EQ(hk::LiveDeviceCount(), 1u) << "the taps, the bus and its port are gone: the real port is left";

    real.Receive("alone");
    auto read = app->Read(5);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), std::vector<UCHAR>({'a', 'l', 'o', 'n', 'e'}));
}

// The bus pulled out with its control handle still open: the tap leaves the real port at once,
// and goes with the bus's removal after the handle's close.
TEST_F(TapDetachTest, ASurpriseRemovedBusEndsItsTapAtOnceAndItsRemovalDeletesIt)
{
    FakeSerialPort& real = RealPort();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);
    auto app = OpenRealPort(real);

    hk::SurpriseRemoveDevice(busPdo_);
    EXPECT_EQ(IoGetAttachedDevice(real.Device()), real.Device());
    EXPECT_FALSE(ReadNoFence(&TapAttached));
    EXPECT_EQ(bus_->TapDevice, nullptr);
    EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_DEVICE_DOES_NOT_EXIST);
    real.Receive("on");
    EXPECT_EQ(app->Read(2)->Output(), std::vector<UCHAR>({'o', 'n'}));

    control_.reset();
    ASSERT_TRUE(hk::WaitDeviceNodeState(busPdo_, hk::DeviceNodeState::Unknown));
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(hk::LiveDeviceCount(), 1u) << "the tap and the bus are gone: the real port is left";
}

// A detached tap holds the device it was attached to only as memory: that port's stack can still
// be removed, and the tap is deleted with the bus.
TEST_F(TapDetachTest, ThePortADetachedTapWasOnCanStillBeRemoved)
{
    FakeSerialPort& real = RealPort({.Pnp = true});
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    EXPECT_EQ(real.QueryRemoveAndRemove(), STATUS_SUCCESS);
    EXPECT_TRUE(real.Removed());
    EXPECT_FALSE(ReadNoFence(&TapAttached));
}

}  // namespace
