// Power requests on ports and on the bus, as the power manager sends them.
#include "bus_fixture.h"

namespace {

POWER_STATE DeviceState(DEVICE_POWER_STATE state)
{
    POWER_STATE s;
    s.DeviceState = state;
    return s;
}

POWER_STATE SystemState(SYSTEM_POWER_STATE state)
{
    POWER_STATE s;
    s.SystemState = state;
    return s;
}

std::vector<DEVICE_POWER_STATE> ReportedStates(PDEVICE_OBJECT device)
{
    std::vector<DEVICE_POWER_STATE> out;
    for (const auto& r : hk::PowerStateReports()) {
        if (r.Device == device) {
            EXPECT_EQ(r.Type, DevicePowerState);
            out.push_back(r.State.DeviceState);
        }
    }
    return out;
}

}  // namespace

TEST_F(BusTest, PortRecordsAndReportsDeviceStateChanges)
{
    PDEVICE_OBJECT port = Plug(9);
    auto down = hk::SendSetPower(port, DevicePowerState, DeviceState(PowerDeviceD3));
    EXPECT_EQ(down.Status, STATUS_SUCCESS);
    EXPECT_EQ(Record(port)->Header.DevicePowerState, PowerDeviceD3);
    auto up = hk::SendSetPower(port, DevicePowerState, DeviceState(PowerDeviceD0));
    EXPECT_EQ(up.Status, STATUS_SUCCESS);
    EXPECT_EQ(Record(port)->Header.DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(ReportedStates(port), (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}));

    // A system state is recorded but not reported: only device states are.
    EXPECT_EQ(hk::SendSetPower(port, SystemPowerState, SystemState(PowerSystemSleeping3)).Status, STATUS_SUCCESS);
    EXPECT_EQ(Record(port)->Header.SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(ReportedStates(port).size(), 2u);
}

TEST_F(BusTest, PortAgreesToEveryQueryAndLeavesOtherRequestsAsTheyCame)
{
    PDEVICE_OBJECT port = Plug(9);
    for (auto state : {PowerSystemSleeping1, PowerSystemHibernate, PowerSystemShutdown}) {
        EXPECT_EQ(hk::SendQueryPower(port, SystemPowerState, SystemState(state)).Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(hk::SendQueryPower(port, DevicePowerState, DeviceState(PowerDeviceD3)).Status, STATUS_SUCCESS);
    EXPECT_EQ(Record(port)->Header.DevicePowerState, PowerDeviceD0);

    auto wake = hk::SendPower(port, IRP_MN_WAIT_WAKE, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.WaitWake.PowerState = PowerSystemSleeping1;
    });
    EXPECT_EQ(wake.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(hk::SendPower(port, IRP_MN_POWER_SEQUENCE, nullptr, STATUS_PENDING + 0x100).Status,
              STATUS_PENDING + 0x100);
    EXPECT_TRUE(ReportedStates(port).empty());
}

TEST_F(BusTest, BusPassesPowerDownWithItsLocationSkipped)
{
    size_t before = hk::RootDeviceLog(busPdo_).size();
    auto result = hk::SendSetPower(busDevice_, SystemPowerState, SystemState(PowerSystemSleeping1));
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    auto log = hk::RootDeviceLog(busPdo_);
    ASSERT_EQ(log.size(), before + 1);
    const auto& seen = log.back();
    EXPECT_EQ(seen.Major, IRP_MJ_POWER);
    EXPECT_EQ(seen.Minor, IRP_MN_SET_POWER);
    EXPECT_EQ(seen.Stack.Parameters.Power.State.SystemState, PowerSystemSleeping1);
    // Skipped: the device below sees the location the power manager filled for the bus.
    EXPECT_EQ(seen.CurrentLocation, seen.StackCount);
    // Nothing is recorded on the bus.
    EXPECT_EQ(bus_->Header.SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(bus_->Gate.OutstandingCount, 1);
}

TEST_F(BusTest, DeletedDevicesRefusePowerAndStillStartTheNext)
{
    PDEVICE_OBJECT port = Plug(9);
    for (CommonDeviceData* header : {&Record(port)->Header, &bus_->Header}) {
        PnpStateCode saved = header->PnpState;
        header->PnpState = PnpDeleted;
        auto result = hk::SendSetPower(header->Self, DevicePowerState, DeviceState(PowerDeviceD3));
        EXPECT_EQ(result.Status, STATUS_NO_SUCH_DEVICE);
        header->PnpState = saved;
        // The next request is served normally.
        EXPECT_EQ(hk::SendQueryPower(header->Self, SystemPowerState, SystemState(PowerSystemSleeping1)).Status,
                  STATUS_SUCCESS);
    }
    EXPECT_TRUE(ReportedStates(port).empty());
}
