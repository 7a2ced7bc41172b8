// The tap in the real port's Plug and Play stack: it leaves with the stack's removal, refuses
// requests after a surprise removal but the end of the opens and power, keeps its own start and
// power state through a restart while the function driver decides on stops, and passes power
// requests down the way a power-managed filter must, at DISPATCH_LEVEL too.
#include "tap_fixture.h"

#include <atomic>
#include <future>
#include <thread>

namespace {

class TapPnpTest : public TapTest {
protected:
    static POWER_STATE Device(DEVICE_POWER_STATE state)
    {
        POWER_STATE power;
        power.DeviceState = state;
        return power;
    }
};

TEST_F(TapPnpTest, RemovalOfThePortsStackEndsTheTapAndAllowsANewAttach)
{
    FakeSerialPort& port = RealPort({.Pnp = true});
    size_t devices = hk::LiveDeviceCount();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    EXPECT_EQ(port.QueryRemoveAndRemove(), STATUS_SUCCESS);
    EXPECT_TRUE(port.Removed());
    EXPECT_FALSE(ReadNoFence(&TapAttached));
    EXPECT_EQ(bus_->TapDevice, nullptr) << "the bus no longer names a deleted device";
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 0u);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 8u);
    EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_LT(hk::LiveDeviceCount(), devices) << "the tap and the port's device are gone";

    FakeSerialPort& next = RealPort({.Name = u"\\Device\\Serial1"});
    ASSERT_EQ(Attach("\\Device\\Serial1"), STATUS_SUCCESS);
    EXPECT_EQ(IoGetAttachedDevice(next.Device()), bus_->TapDevice);
}

// After a surprise removal the port is gone for reads, writes and control requests, which the tap
// refuses; the end of the open (cleanup and close) and power requests still reach the port's
// driver, and the removal that follows the last close ends the tap.
TEST_F(TapPnpTest, AfterASurpriseRemovalOnlyTheOpensEndPowerAndPlugAndPlayPass)
{
    FakeSerialPort& port = RealPort({.Pnp = true});
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    NTSTATUS status;
    auto app = hk::File::Open(port.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    port.SurpriseRemove();
    EXPECT_EQ(Tap()->TapState, TapSurpriseRemoved);

    size_t seen = port.Requests().size();
    EXPECT_EQ(app->Read(4)->Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(app->Write("x", 1)->Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(app->Ioctl(IOCTL_SERIAL_SET_DTR, nullptr, 0, 0)->Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(port.Requests().size(), seen) << "none of them reached the port";
    size_t powers = port.Requests(IRP_MJ_POWER).size();
    EXPECT_EQ(hk::SendSetPower(port.Device(), DevicePowerState, Device(PowerDeviceD3)).Status, STATUS_SUCCESS);
    EXPECT_EQ(port.Requests(IRP_MJ_POWER).size(), powers + 1) << "the power request reached the port";

    app.reset();
    EXPECT_EQ(port.Requests(IRP_MJ_CLEANUP).size(), port.Requests(IRP_MJ_CREATE).size()) << "the cleanup went down";
    EXPECT_TRUE(port.Requests(IRP_MJ_CLOSE).size() >= 1) << "the close went down";
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_TRUE(WaitUntil([&] { return port.Removed(); }));
    EXPECT_FALSE(ReadNoFence(&TapAttached));
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 0u);
}

// A port that fails the capability query after a good start fails the start: the system then
// removes the stack, and the tap with it.
TEST_F(TapPnpTest, AFailedCapabilityQueryFailsTheStart)
{
    FakeSerialPort& port = RealPort({.Pnp = true});
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    ASSERT_EQ(hk::StopDevice(port.Pdo()), STATUS_SUCCESS);
    port.FailNextPnp(IRP_MN_QUERY_CAPABILITIES, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(hk::StartDevice(port.Pdo()), STATUS_DEVICE_NOT_READY);
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_FALSE(ReadNoFence(&TapAttached));
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 0u);
    // The device that failed to start stays known to the system until it is taken away.
    hk::RemoveDevice(port.Pdo());
}

// Joined to a running stack, the tap has seen no start: power changes pass without touching its
// state. After a restart it knows it is started and powered down; whether the port can stop then
// is its function driver's to say, which sees the stop.
TEST_F(TapPnpTest, ARestartedPortStopsAsItsDriverDecidesEvenPoweredDown)
{
    FakeSerialPort& port = RealPort({.Pnp = true});
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    EXPECT_EQ(hk::SendSetPower(port.Device(), DevicePowerState, Device(PowerDeviceD3)).Status, STATUS_SUCCESS);
    EXPECT_EQ(Tap()->TapState, TapNotStarted);
    EXPECT_EQ(hk::SendSetPower(port.Device(), DevicePowerState, Device(PowerDeviceD0)).Status, STATUS_SUCCESS);

    ASSERT_EQ(hk::StopDevice(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Tap()->TapState, TapNotStarted) << "only a started tap becomes stopped";
    ASSERT_EQ(hk::StartDevice(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Tap()->TapState, TapStarted);
    EXPECT_EQ(Tap()->Capabilities.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(Tap()->Capabilities.Version, 1);

    EXPECT_EQ(hk::SendSetPower(port.Device(), DevicePowerState, Device(PowerDeviceD2)).Status, STATUS_SUCCESS);
    EXPECT_EQ(Tap()->TapState, TapPoweredDown);
    EXPECT_EQ(hk::SendQueryPower(port.Device(), SystemPowerState, POWER_STATE{}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Tap()->TapState, TapPoweredDown) << "a query changes nothing";
    EXPECT_EQ(hk::StopDevice(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(port.Requests(IRP_MJ_PNP).back().Minor, IRP_MN_STOP_DEVICE) << "the stop reached the port's driver";
    EXPECT_EQ(Tap()->TapState, TapStopped);
    ASSERT_EQ(hk::StartDevice(port.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Tap()->TapState, TapStarted);

    // Every power request reached the port with what it asked.
    auto power = port.Requests(IRP_MJ_POWER);
    EXPECT_EQ(power.size(), 4u);
    EXPECT_EQ(Tap()->Gate.OutstandingCount, 0) << "every power request's count was given back";
}

// On a stack that is not power-pageable, power requests come at DISPATCH_LEVEL: from the driver's
// entry down to the port, nothing on their way may be pageable code.
TEST_F(TapPnpTest, PowerRequestsAtDispatchLevelRunNoPageableCode)
{
    FakeSerialPort& port = RealPort({.PowerPagable = false, .Pnp = true});
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    EXPECT_EQ(bus_->TapDevice->Flags & DO_POWER_PAGABLE, 0u);
    // A pageable routine at DISPATCH_LEVEL is a verifier report, which fails the test.
    EXPECT_EQ(hk::SendSetPower(port.Device(), DevicePowerState, Device(PowerDeviceD2)).Status, STATUS_SUCCESS);
    EXPECT_EQ(hk::SendSetPower(port.Device(), DevicePowerState, Device(PowerDeviceD0)).Status, STATUS_SUCCESS);
    auto power = port.Requests(IRP_MJ_POWER);
    ASSERT_EQ(power.size(), 2u);
    EXPECT_EQ(power[0].Irql, DISPATCH_LEVEL);
}

// A power request still below the tap has the tap's completion routine to run, which reads the
// tap's record: neither a detach nor the bus's removal, which takes the tap off the stack, waits
// for it, and the record outlives it.
TEST_F(TapPnpTest, ThePowerRequestBelowOutlivesTheTapsEnd)
{
    FakeSerialPort& port = RealPort();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    port.Script(IRP_MJ_POWER, FakeSerialPort::Answer::Hold());
    hk::DirectResult power{};
    std::thread powering([&] { power = hk::SendSetPower(port.Device(), DevicePowerState, Device(PowerDeviceD0)); });
    ASSERT_TRUE(port.WaitHeld(1));

    auto ended = std::async(std::launch::async, [&] {
        EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
        control_.reset();
        EXPECT_EQ(hk::RemoveDevice(busPdo_), STATUS_SUCCESS);
    });
    EXPECT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the tap's end waited for its power request";
    EXPECT_EQ(IoGetAttachedDevice(port.Device()), port.Device());
    EXPECT_EQ(port.ReleaseHeld(), 1u);
    powering.join();
    ended.wait();
    EXPECT_EQ(power.Status, STATUS_SUCCESS);
    EXPECT_FALSE(ReadNoFence(&TapAttached));
}

}  // namespace
