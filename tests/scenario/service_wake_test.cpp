// A held read or wait is tried again as soon as something may let it complete, not at the end of
// its thread's poll. The clock tick is modelled far coarser than the platform's, so that a thread
// left to its poll would not try again during the test: every completion seen here came from a
// wake-up.
#include "serial_fixture.h"

#include <chrono>

namespace {

using namespace std::chrono_literals;

std::vector<UCHAR> Bytes(const char* text) { return std::vector<UCHAR>(text, text + strlen(text)); }

class ServiceWakeTest : public SerialPortTest {
protected:
    void SetUp() override
    {
        SerialPortTest::SetUp();
        if (HasFatalFailure()) return;
        partnerFile_ = Open(partner_);
        endless_ = std::make_unique<EndlessClockTick>();
    }
    void TearDown() override
    {
        endless_.reset();
        SerialPortTest::TearDown();
    }

    void PartnerWrites(const char* text) { EXPECT_EQ(partnerFile_->Write(text, (ULONG)strlen(text))->Status(), STATUS_SUCCESS); }

    std::unique_ptr<hk::Request> HeldRead(ULONG length = 1)
    {
        auto read = file_->ReadAsync(length);
        EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
        EXPECT_TRUE(WaitUntil([&] { return CurrentRead() == read->Irp(); }));
        return read;
    }
    std::unique_ptr<hk::Request> HeldWait()
    {
        auto wait = WaitAsync();
        EXPECT_EQ(wait->DispatchStatus(), STATUS_PENDING);
        EXPECT_TRUE(WaitUntil([&] { return CurrentWait() == wait->Irp(); }));
        return wait;
    }
    std::unique_ptr<EndlessClockTick> endless_;

    static void ExpectEnded(hk::Request& request, NTSTATUS status, ULONG_PTR information)
    {
        ASSERT_TRUE(request.Wait(5s)) << "the held request was not tried again";
        EXPECT_EQ(request.Status(), status);
        EXPECT_EQ(request.Information(), information);
    }
};

TEST_F(ServiceWakeTest, HeldReadEndsWhenBytesArriveTimeoutsChangeOrItIsCancelledOrAborted)
{
    auto read = HeldRead(2);
    PartnerWrites("a");
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(read->Completed()) << "one byte of two";
    PartnerWrites("b");
    ExpectEnded(*read, STATUS_SUCCESS, 2);
    EXPECT_EQ(read->Output(), Bytes("ab"));

    // Return at once with whatever is there.
    read = HeldRead();
    SERIAL_TIMEOUTS atOnce = {MAXULONG, 0, 0, 0, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, atOnce), STATUS_SUCCESS);
    ExpectEnded(*read, STATUS_SUCCESS, 0);
    SERIAL_TIMEOUTS waitForAll = {};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, waitForAll), STATUS_SUCCESS);

    read = HeldRead();
    read->Cancel();
    ExpectEnded(*read, STATUS_CANCELLED, 0);

    read = HeldRead();
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, (ULONG)SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    ExpectEnded(*read, STATUS_CANCELLED, 0);

    // Cleanup of another handle to the port ends its pending reads.
    read = HeldRead();
    auto other = Open(port_);
    EXPECT_EQ(other->Cleanup(), STATUS_SUCCESS);
    ExpectEnded(*read, STATUS_CANCELLED, 0);

    // The thread still serves.
    read = HeldRead();
    PartnerWrites("c");
    ExpectEnded(*read, STATUS_SUCCESS, 1);
}

TEST_F(ServiceWakeTest, HeldWaitEndsOnEachEventTheMaskChangeOrACancel)
{
    SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    auto wait = HeldWait();
    PartnerWrites("x");
    ExpectEnded(*wait, STATUS_SUCCESS, 4);
    EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_RXCHAR);

    // The port's own write.
    wait = HeldWait();
    EXPECT_EQ(file_->Write("y", 1)->Status(), STATUS_SUCCESS);
    ExpectEnded(*wait, STATUS_SUCCESS, 4);
    EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_TXEMPTY);

    // A read that leaves a byte behind raises the receive event whatever came before it.
    PartnerWrites("z");
    EXPECT_EQ(file_->Read(1)->Output(), Bytes("x"));
    wait = WaitAsync();
    ExpectEnded(*wait, STATUS_SUCCESS, 4);  // the arrival of "z"
    wait = HeldWait();
    EXPECT_EQ(file_->Read(1)->Output(), Bytes("z"));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(wait->Completed()) << "the read left nothing behind";
    PartnerWrites("12");
    ExpectEnded(*wait, STATUS_SUCCESS, 4);
    wait = HeldWait();
    EXPECT_EQ(file_->Read(1)->Output(), Bytes("1"));
    ExpectEnded(*wait, STATUS_SUCCESS, 4);
    EXPECT_EQ(Events(*wait), (ULONG)SERIAL_EV_RXCHAR);

    wait = HeldWait();
    SetMask(SERIAL_EV_RXFLAG);
    ExpectEnded(*wait, STATUS_SUCCESS, 4);
    EXPECT_EQ(Events(*wait), 0u);

    wait = HeldWait();
    wait->Cancel();
    ExpectEnded(*wait, STATUS_CANCELLED, 0);
}

}  // namespace
