// The tap in the real port's Plug and Play stack: it leaves with the stack's removal, refuses
// requests after a surprise removal, keeps its own start and power state through a restart, and
// passes power requests down the way a power-managed filter must, at DISPATCH_LEVEL too.
#include "tap_fixture.h"

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

// Joined to a running stack, the tap has seen no start: power changes pass without touching its
// state. After a restart it knows it is started, and a powered-down port refuses to stop until it
// has been powered up again.
TEST_F(TapPnpTest, ARestartedPortCannotStopWhilePoweredDown)
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
    EXPECT_EQ(hk::StopDevice(port.Pdo()), STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(Tap()->TapState, TapPoweredDown);

    EXPECT_EQ(hk::SendSetPower(port.Device(), DevicePowerState, Device(PowerDeviceD0)).Status, STATUS_SUCCESS);
    EXPECT_EQ(Tap()->TapState, TapStarted);

    // Every power request reached the port with what it asked.
    auto power = port.Requests(IRP_MJ_POWER);
    EXPECT_EQ(power.size(), 5u);
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

}  // namespace
