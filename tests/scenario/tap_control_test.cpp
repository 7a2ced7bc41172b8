// The tap and routing control requests without a real port to attach to: configuration records
// judged by length and age, routing kept when there is no tap, the status word and count, and
// refusals that leave nothing behind.
#include "tap_fixture.h"

#include <climits>

namespace {

constexpr LONGLONG kMinute = 600000000;

class TapControlTest : public TapTest {};

TEST_F(TapControlTest, WithoutATapTheQueriesAnswerNoneAndTheCommandsRefuse)
{
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 0u);
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 8u);
    for (ULONG code : {IOCTL_TAP_DETACH, IOCTL_TAP_DETACH, IOCTL_TAP_DISABLE}) {
        ULONG_PTR information = 99;
        EXPECT_EQ(Control(code, nullptr, 0, 0, &information), STATUS_DEVICE_DOES_NOT_EXIST);
        EXPECT_EQ(information, 0u);
    }
    EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 0u) << "a second detach must not take the count below zero";

    // A code of the family the bus doesn't know.
    ULONG_PTR information = 99;
    EXPECT_EQ(Control(IOCTL_ROUTING_CONFIGURE + 4, nullptr, 0, 0, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0u);
}

TEST_F(TapControlTest, QueriesRefuseAnOutputShorterThanTheirAnswer)
{
    for (ULONG code : {IOCTL_TAP_GET_COUNT, IOCTL_TAP_GET_STATUS}) {
        for (ULONG length : {0u, 3u}) {
            ULONG_PTR information = 99;
            EXPECT_EQ(Control(code, nullptr, 0, length, &information), STATUS_BUFFER_TOO_SMALL) << length;
            EXPECT_EQ(information, 0u);
        }
        // A longer buffer is fine; the answer takes its first four bytes.
        std::vector<UCHAR> output;
        ULONG_PTR information = 0;
        EXPECT_EQ(Control(code, nullptr, 0, 16, &information, &output), STATUS_SUCCESS);
        EXPECT_EQ(information, 4u);
    }
}

TEST_F(TapControlTest, RoutingTakesRecordsOfFortyBytesOrMoreAndReadsOnlyTheFirstForty)
{
    RoutingConfig config = MakeConfig();
    config.MasterPortNumber = 3;
    config.RealPortMode = 1;
    for (int i = 0; i < 8; i++) config.PortFlags[i] = (UCHAR)(i + 1);

    EXPECT_EQ(Configure(IOCTL_ROUTING_CONFIGURE, config, 39), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Configure(IOCTL_TAP_CONFIGURE, config, 39), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bus_->MasterPortNumber, 0u) << "a short record changes nothing";
    EXPECT_EQ(Control(IOCTL_ROUTING_CONFIGURE), STATUS_INVALID_PARAMETER) << "no record at all";

    std::vector<UCHAR> input(41, 0xEE);
    memcpy(input.data(), &config, sizeof(config));
    ULONG_PTR information = 0;
    EXPECT_EQ(Control(IOCTL_ROUTING_CONFIGURE, input.data(), 41, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 40u);
    EXPECT_EQ(bus_->MasterPortNumber, 3u);
    // With a short output buffer beside it, the count stays within that buffer.
    auto request = control_->Ioctl(IOCTL_ROUTING_CONFIGURE, input.data(), 41, 8);
    EXPECT_EQ(request->Status(), STATUS_SUCCESS);
    EXPECT_LE(request->Information(), 8u);
    EXPECT_EQ(bus_->RealPortMode, 1);
    for (int i = 0; i < 8; i++) EXPECT_EQ(bus_->PortFlags[i], i + 1);
}

TEST_F(TapControlTest, ConfiguringWithoutATapStillSetsTheRoutingAndPacing)
{
    RoutingConfig config = MakeConfig();
    config.CaptureDirection = VCOMBUS_CAPTURE_SENT | VCOMBUS_NO_PACING;
    config.MasterPortNumber = 5;
    config.PortFlags[1] = 1;
    ULONG_PTR information = 99;
    std::vector<UCHAR> input(sizeof(config));
    memcpy(input.data(), &config, sizeof(config));
    EXPECT_EQ(Control(IOCTL_TAP_CONFIGURE, input.data(), 40, 0, &information), STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(bus_->MasterPortNumber, 5u);
    EXPECT_EQ(bus_->PortFlags[1], 1);
    EXPECT_TRUE(NoPacing);

    // The pacing bit follows every accepted record, in both codes.
    config.CaptureDirection = VCOMBUS_CAPTURE_SENT;
    EXPECT_EQ(Configure(IOCTL_ROUTING_CONFIGURE, config), STATUS_SUCCESS);
    EXPECT_FALSE(NoPacing);
}

// The driver's clock moves on between the test's reading and its own, so a record stamped a
// minute ahead is inside the window when the driver judges it, and one a minute and a moment
// behind is outside.
TEST_F(TapControlTest, RecordsOlderOrNewerThanAMinuteAreRefusedAndChangeNothing)
{
    struct Case {
        LONGLONG offset;
        bool accepted;
    };
    ULONG master = 1;
    for (Case c : {Case{kMinute, true}, Case{-kMinute + 10000000, true}, Case{0, true},
                   Case{kMinute + 10000000, false}, Case{-kMinute - 1, false}, Case{-kMinute - 10000000, false}}) {
        RoutingConfig config = MakeConfig(Now() + c.offset);
        config.MasterPortNumber = ++master;
        config.CaptureDirection = VCOMBUS_NO_PACING;
        NoPacing = FALSE;
        ULONG before = bus_->MasterPortNumber;
        NTSTATUS status = Configure(IOCTL_ROUTING_CONFIGURE, config);
        if (c.accepted) {
            EXPECT_EQ(status, STATUS_SUCCESS) << c.offset;
            EXPECT_EQ(bus_->MasterPortNumber, master);
            EXPECT_TRUE(NoPacing);
        } else {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << c.offset;
            EXPECT_EQ(bus_->MasterPortNumber, before);
            EXPECT_FALSE(NoPacing);
        }
    }
}

// With the clock standing still the window is exact: a minute either way is still taken, one unit
// more is not.
TEST_F(TapControlTest, AMinuteEitherWayIsTheLastStampTaken)
{
    hk::FreezeSystemTime();
    LONGLONG now = Now();
    for (ULONG code : {IOCTL_ROUTING_CONFIGURE, IOCTL_TAP_CONFIGURE}) {
        NTSTATUS accepted = code == IOCTL_ROUTING_CONFIGURE ? STATUS_SUCCESS : STATUS_DEVICE_DOES_NOT_EXIST;
        EXPECT_EQ(Configure(code, MakeConfig(now + kMinute)), accepted);
        EXPECT_EQ(Configure(code, MakeConfig(now - kMinute)), accepted);
        EXPECT_EQ(Configure(code, MakeConfig(now + kMinute + 1)), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Configure(code, MakeConfig(now - kMinute - 1)), STATUS_INVALID_PARAMETER);
    }
    hk::ThawSystemTime();
}

// The queries answer through the request's output MDL, which holds no system address until the
// driver maps it; when no mapping can be had, the query fails and says nothing.
TEST_F(TapControlTest, QueriesMapTheirOutputAndFailCleanlyWhenItCannotBeMapped)
{
    for (ULONG code : {IOCTL_TAP_GET_COUNT, IOCTL_TAP_GET_STATUS}) {
        hk::FailNextRoutineCall("MmGetSystemAddressForMdlSafe");
        std::vector<UCHAR> output;
        ULONG_PTR information = 99;
        EXPECT_EQ(Control(code, nullptr, 0, 4, &information, &output), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(information, 0u);
    }
    EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 8u);
}

// Stamps at the ends of the 64-bit range are a minute away from nothing: the distance must be
// worked out without overflow (UBSan reports a signed overflow otherwise).
TEST_F(TapControlTest, StampsAtTheEndsOfTheRangeAreRefused)
{
    for (LONGLONG stamp : {LLONG_MAX, LLONG_MIN, LLONG_MAX - kMinute + 1, LLONG_MIN + kMinute - 1, 0LL}) {
        EXPECT_EQ(Configure(IOCTL_ROUTING_CONFIGURE, MakeConfig(stamp)), STATUS_INVALID_PARAMETER) << stamp;
        EXPECT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig(stamp)), STATUS_INVALID_PARAMETER) << stamp;
    }
}

// Names of devices nobody made, given every way an application can: the lookup's failure comes
// back and nothing of a tap remains. A name that fills its buffer without a NUL ends there: the
// driver reads nothing beyond the input (ASan watches the buffer's end).
TEST_F(TapControlTest, AttachToANameThatDoesNotExistFailsAndLeavesNothing)
{
    size_t devices = hk::LiveDeviceCount();
    const char unterminated[] = {'\\', 'D', 'e', 'v', 'i', 'c', 'e', '\\', 'N', 'o', 'n', 'e'};
    struct Input {
        const void* data;
        ULONG length;
    };
    for (Input input : {Input{"\\Device\\NoSuchPort", 19}, Input{nullptr, 0}, Input{"", 1},
                        Input{unterminated, sizeof(unterminated)}, Input{"\\Device\\None\0\\Device\\Other", 27}}) {
        ULONG_PTR information = 99;
        NTSTATUS status = Control(IOCTL_TAP_ATTACH, input.data, input.length, 0, &information);
        EXPECT_FALSE(NT_SUCCESS(status)) << input.length;
        EXPECT_EQ(information, 0u);
        EXPECT_EQ(hk::LiveDeviceCount(), devices);
        EXPECT_EQ(Query(IOCTL_TAP_GET_COUNT), 0u);
        EXPECT_EQ(Query(IOCTL_TAP_GET_STATUS), 8u);
    }
}

}  // namespace
