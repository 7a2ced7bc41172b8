// Event waits on a port: the mask, waits ended by what the partner writes, by the port's own
// writes and by a change of the mask, one queued wait at a time, waits ended by close, cancel and
// cleanup, and the receive abort that ends every pending read.
#include "serial_fixture.h"

#include <chrono>

namespace {

using namespace std::chrono_literals;

class SerialEventsTest : public SerialPortTest {
protected:
    void OpenPartner() { partnerFile_ = Open(partner_); }
    void PartnerWrites(const char* text)
    {
        auto write = partnerFile_->Write(text, (ULONG)strlen(text));
        EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    }
    // A wait the wait thread has taken out of the queue and tries every millisecond.
    std::unique_ptr<hk::Request> HeldWait()
    {
        auto wait = WaitAsync();
        EXPECT_EQ(wait->DispatchStatus(), STATUS_PENDING);
        EXPECT_TRUE(WaitUntil([&] { return CurrentWait() == wait->Irp(); }));
        return wait;
    }
    void ExpectEnded(hk::Request& wait, ULONG events)
    {
        ASSERT_TRUE(wait.Wait(5s));
        EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
        EXPECT_EQ(wait.Information(), 4u);
        EXPECT_EQ(Events(wait), events);
    }
    void ExpectCancelled(hk::Request& request)
    {
        ASSERT_TRUE(request.Wait(5s));
        EXPECT_EQ(request.Status(), STATUS_CANCELLED);
        EXPECT_EQ(request.Information(), 0u);
    }
    // A fresh wait after a mask change must wait for its events, not end at once with nothing.
    void ExpectNextWaitWaits()
    {
        SetMask(SERIAL_EV_RXCHAR);
        auto next = WaitAsync();
        EXPECT_EQ(next->DispatchStatus(), STATUS_PENDING) << "ended at once with mask " << Events(*next);
        std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(next->Completed()) << "ended with mask " << Events(*next);
        Feed("r");
        ExpectEnded(*next, SERIAL_EV_RXCHAR);
    }
};

TEST_F(SerialEventsTest, MaskTakesTheThirteenEventBitsOnlyAndAWaitNeedsOne)
{
    for (ULONG refused : {0x2000u, 0x80000000u, 0xFFFFFFFFu}) {
        auto request = file_->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &refused, sizeof(refused), 0);
        EXPECT_EQ(request->Status(), STATUS_INVALID_PARAMETER) << std::hex << refused;
    }
    SetMask(0x1FFF);
    EXPECT_EQ(GetMask(), 0x1FFFu);

    SetMask(0);
    auto wait = WaitAsync();
    EXPECT_EQ(wait->Status(), STATUS_INVALID_PARAMETER) << "nothing could ever end it";
    EXPECT_EQ(wait->Information(), 0u);
}

TEST_F(SerialEventsTest, WaitForReceivedCharacterEndsWhenThePartnerWritesAndReportsItOnce)
{
    OpenPartner();
    SetMask(SERIAL_EV_RXCHAR);
    auto wait = HeldWait();
    auto start = std::chrono::steady_clock::now();
    PartnerWrites("a");
    ExpectEnded(*wait, SERIAL_EV_RXCHAR);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    auto again = WaitAsync();
    EXPECT_EQ(again->DispatchStatus(), STATUS_PENDING) << "the event was reported already";
    file_->Close();
    ExpectCancelled(*again);
}

TEST_F(SerialEventsTest, OwnWriteEndsATransmitEmptyWaitEvenWhenNobodyReceives)
{
    SetMask(SERIAL_EV_TXEMPTY);
    auto written = file_->Write("lost", 4);  // the partner is closed
    EXPECT_EQ(written->Status(), STATUS_SUCCESS);
    auto wait = WaitAsync();
    EXPECT_EQ(wait->DispatchStatus(), STATUS_SUCCESS);
    ExpectEnded(*wait, SERIAL_EV_TXEMPTY);

    // A new mask forgets a transmit-empty that nobody waited for.
    file_->Write("x", 1);
    SetMask(SERIAL_EV_TXEMPTY | SERIAL_EV_RXCHAR);
    auto pending = WaitAsync();
    EXPECT_EQ(pending->DispatchStatus(), STATUS_PENDING);
    file_->Write("y", 1);
    ExpectEnded(*pending, SERIAL_EV_TXEMPTY);
}

TEST_F(SerialEventsTest, ImmediateCharacterReachesThePartnerAndEndsATransmitEmptyWaitAsAWriteDoes)
{
    OpenPartner();
    SetMask(SERIAL_EV_TXEMPTY);
    auto wait = WaitAsync();
    EXPECT_EQ(wait->DispatchStatus(), STATUS_PENDING);
    UCHAR bytes[] = {'Z', 'q'};
    auto sent = file_->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, bytes, sizeof(bytes), 0);
    EXPECT_EQ(sent->Status(), STATUS_SUCCESS);
    EXPECT_EQ(sent->Information(), 0u);
    ExpectEnded(*wait, SERIAL_EV_TXEMPTY);
    auto read = partnerFile_->Read(2);
    ASSERT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(std::string(read->Output().begin(), read->Output().end()), "Zq");
}

TEST_F(SerialEventsTest, MaskChangeEndsThePendingWaitWithNothingAndTheNextWaitUsesTheNewMask)
{
    OpenPartner();
    SERIAL_CHARS chars{0, 0, 0, 'F', 0x11, 0x13};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    SetMask(SERIAL_EV_RXCHAR);
    auto wait = HeldWait();
    SetMask(SERIAL_EV_RXFLAG);
    ExpectEnded(*wait, 0);

    auto next = WaitAsync();
    EXPECT_EQ(next->DispatchStatus(), STATUS_PENDING);
    PartnerWrites("ab");
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(next->Completed()) << "received characters are not in the mask any more";
    PartnerWrites("F");
    ExpectEnded(*next, SERIAL_EV_RXFLAG);
}

TEST_F(SerialEventsTest, OnlyOneWaitQueuesAndCloseEndsEveryWaitAndClearsTheMask)
{
    SetMask(SERIAL_EV_RXCHAR);
    auto held = HeldWait();
    // The thread is busy with the held wait, so this one stays in the queue.
    auto queued = WaitAsync();
    EXPECT_EQ(queued->DispatchStatus(), STATUS_PENDING);
    auto refused = WaitAsync();
    EXPECT_EQ(refused->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused->Information(), 0u);

    file_->Close();
    ExpectCancelled(*queued);
    ExpectCancelled(*held);
    file_ = Open(port_);
    EXPECT_EQ(GetMask(), 0u);
}

// Each way a wait can end without a try deciding it: the mask set afterwards must not be taken for
// a change under a wait that is gone.
TEST_F(SerialEventsTest, WaitEndedByCancelOrCleanupLeavesNoWaitBehind)
{
    SetMask(SERIAL_EV_RXCHAR);
    auto held = HeldWait();
    held->Cancel();
    ExpectCancelled(*held);
    ExpectNextWaitWaits();

    SetMask(SERIAL_EV_RXCHAR);
    held = HeldWait();
    auto queued = WaitAsync();
    ASSERT_EQ(queued->DispatchStatus(), STATUS_PENDING);
    EXPECT_TRUE(queued->Cancel());
    ExpectCancelled(*queued);
    SetMask(SERIAL_EV_RXCHAR);
    ExpectEnded(*held, 0);  // the held wait is still there and sees the change
    ExpectNextWaitWaits();

    // The cleanup of another handle ends the port's waits; the port stays open.
    auto other = Open(port_);
    SetMask(SERIAL_EV_RXCHAR);
    held = HeldWait();
    EXPECT_EQ(other->Cleanup(), STATUS_SUCCESS);
    ExpectCancelled(*held);
    ExpectNextWaitWaits();
}

TEST_F(SerialEventsTest, ReceiveAbortEndsTheHeldReadAndTheQueuedOnes)
{
    OpenPartner();
    auto held = file_->ReadAsync(4);
    ASSERT_EQ(held->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return CurrentRead() == held->Irp(); }));
    auto queued = file_->ReadAsync(4);
    ASSERT_EQ(queued->DispatchStatus(), STATUS_PENDING);

    ULONG abort = SERIAL_PURGE_RXABORT;
    auto purge = file_->Ioctl(IOCTL_SERIAL_PURGE, &abort, sizeof(abort), sizeof(ULONG));
    EXPECT_EQ(purge->Status(), STATUS_SUCCESS);
    EXPECT_EQ(purge->Information(), 4u);
    EXPECT_TRUE(queued->Completed()) << "a queued read ends with the purge";
    ExpectCancelled(*queued);
    ExpectCancelled(*held);

    // The abort was for those reads only.
    auto next = file_->ReadAsync(2);
    ASSERT_TRUE(WaitUntil([&] { return CurrentRead() == next->Irp() || next->Completed(); }));
    PartnerWrites("ok");
    ASSERT_TRUE(next->Wait(5s));
    EXPECT_EQ(next->Status(), STATUS_SUCCESS);
    EXPECT_EQ(std::string(next->Output().begin(), next->Output().end()), "ok");
}

}  // namespace
