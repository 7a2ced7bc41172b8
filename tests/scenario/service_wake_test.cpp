// A held read or wait is tried again as soon as something may let it complete, not at the end of
// its thread's poll. The clock tick is modelled far coarser than the platform's, so that a thread
// left to its poll would not try again during the test: every completion seen here came from a
// wake-up.
#include "serial_fixture.h"

#include <hostkernel/threads.h>

#include <atomic>
#include <chrono>
#include <functional>

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

    // The count the held read's interval clock last started on.
    ULONG IntervalSeenCount()
    {
        PortDeviceData* port = Record(port_);
        KIRQL irql;
        KeAcquireSpinLock(&port->QueueLock, &irql);
        ULONG seen = port->IntervalArmed ? port->LastSeenCount : ~0u;
        KeReleaseSpinLock(&port->QueueLock, irql);
        return seen;
    }

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

// The interval clock starts again whenever the count changes, so each way the held bytes can go
// must wake the thread: left to sleep, the clock would run from the bytes' arrival and end the
// read too early.
TEST_F(ServiceWakeTest, HeldReadsIntervalClockRestartsWhenItsBytesGo)
{
    SERIAL_TIMEOUTS interval = {50, 0, 0, 0, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, interval), STATUS_SUCCESS);
    std::vector<std::unique_ptr<hk::File>> others;  // an open handle's close would end the read
    const std::pair<const char*, std::function<void()>> goes[] = {
        {"purge", [&] { EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, (ULONG)SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS); }},
        {"flush", [&] { EXPECT_EQ(file_->SendAsync(IRP_MJ_FLUSH_BUFFERS)->Status(), STATUS_SUCCESS); }},
        {"a larger queue", [&] {
             SERIAL_QUEUE_SIZE size = {8192, 0};
             EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, size), STATUS_SUCCESS);
         }},
        {"another open", [&] { others.push_back(Open(port_)); }},
    };
    auto read = HeldRead(5);
    for (const auto& [what, go] : goes) {
        PartnerWrites("a");
        ASSERT_TRUE(WaitUntil([&] { return IntervalSeenCount() == 1; })) << what;
        go();
        EXPECT_TRUE(WaitUntil([&] { return IntervalSeenCount() == 0; })) << what << " did not restart the clock";
    }
    read->Cancel();
    ExpectEnded(*read, STATUS_CANCELLED, 0);
}

// A paced block's first half is there during the writer's pause, and a read that takes whatever
// is there ends with it.
TEST_F(ServiceWakeTest, HeldReadEndsOnTheFirstHalfOfAPacedBlock)
{
    endless_.reset();  // the pause must end; the observer keeps the writer in it until the read ends
    SERIAL_TIMEOUTS anyBytes = {MAXULONG, 0, 60000, 0, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, anyBytes), STATUS_SUCCESS);
    auto read = HeldRead(16);
    std::atomic<bool> endedInPause{false};
    hk::SetDelayObserver([&](LONGLONG) { endedInPause = read->Wait(5s); });
    PartnerWrites("0123456789abcdef");
    hk::SetDelayObserver(nullptr);
    EXPECT_TRUE(endedInPause);
    ExpectEnded(*read, STATUS_SUCCESS, 8);
    EXPECT_EQ(read->Output(), Bytes("01234567"));
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
