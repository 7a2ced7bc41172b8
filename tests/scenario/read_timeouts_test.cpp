// Reads with serial time-outs on port 10, fed by writes on its partner 9: the seven ways the
// time-outs combine, their clocks, zero-length reads, reads ended early, and reads served in the
// order they were issued, each on its own clocks.
#include "pair_fixture.h"

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr ULONG kMax = 0xFFFFFFFF;

class ReadTimeoutsTest : public PortIoTest {
protected:
    void SetUp() override
    {
        PortIoTest::SetUp();
        if (HasFatalFailure()) return;
        NoPacing = TRUE;
        writerPort_ = PlugIn(9);
        readerPort_ = PlugIn(10);
        writer_ = Open(writerPort_);
        reader_ = Open(readerPort_);
    }

    void TearDown() override
    {
        writer_.reset();
        reader_.reset();
        PortIoTest::TearDown();
    }

    void Send(const char* text) { writer_->Write(text, (ULONG)strlen(text)); }
    void Timeouts(ULONG interval, ULONG multiplier, ULONG constant)
    {
        ASSERT_EQ(SetReadTimeouts(*reader_, interval, multiplier, constant), STATUS_SUCCESS);
    }
    bool IsHeld(const hk::Request& read) { return CurrentRead(readerPort_) == read.Irp(); }
    std::unique_ptr<hk::Request> HeldRead(ULONG length)
    {
        auto read = reader_->ReadAsync(length);
        EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
        EXPECT_TRUE(WaitUntil([&] { return IsHeld(*read); }));
        return read;
    }

    PDEVICE_OBJECT writerPort_ = nullptr;
    PDEVICE_OBJECT readerPort_ = nullptr;
    std::unique_ptr<hk::File> writer_;
    std::unique_ptr<hk::File> reader_;
};

std::string Text(const hk::Request& request) { return std::string(request.Output().begin(), request.Output().end()); }

long long Millis(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

TEST(ReadTimeoutClassification, SevenCasesWithTheirClocksAndLimits)
{
    struct Case {
        ULONG ri, rm, rc, length;
        ReadTimeoutCase expected;
        ULONGLONG total, interval;
        ULONG limit;
    } cases[] = {
        {kMax, 0, 0, 10, ReadCaseReturnAtOnce, 0, 0, 10},
        {kMax, 7, kMax, 10, ReadCaseReturnAtOnce, 0, 0, 10},
        {kMax, 2, 30, 10, ReadCaseAnyBytes, 500000, 0, 10},
        {kMax, kMax, 100, 10, ReadCaseOneByte, 1000000, 0, 1},
        {kMax, kMax, 100, 0, ReadCaseOneByte, 1000000, 0, 0},
        {0, 10, 100, 20, ReadCaseTotal, 3000000, 0, 20},
        {50, 0, 0, 100, ReadCaseInterval, 0, 500000, 100},
        {0, 0, 0, 10, ReadCaseNeverTimesOut, 0, 0, 10},
        {5, 1, 0, 10, ReadCaseIntervalAndTotal, 100000, 50000, 10},
        // The largest totals saturate instead of wrapping round to a short time-out.
        {0, kMax, kMax - 1, kMax, ReadCaseTotal, ~0ULL, 0, kMax},
        {0, 1, kMax, kMax, ReadCaseTotal, 85899345900000ULL, 0, kMax},
    };
    for (const Case& c : cases) {
        SERIAL_TIMEOUTS timeouts{c.ri, c.rm, c.rc, 0, 0};
        ReadTimeoutPlan plan = ClassifyReadTimeouts(timeouts, c.length);
        SCOPED_TRACE(testing::Message() << c.ri << "/" << c.rm << "/" << c.rc << " L=" << c.length);
        EXPECT_EQ(plan.Case, c.expected);
        if (c.total) {
            EXPECT_EQ(plan.Total, c.total);
        }
        if (c.interval) {
            EXPECT_EQ(plan.Interval, c.interval);
        }
        EXPECT_EQ(plan.ByteLimit, c.limit);
    }
}

TEST_F(ReadTimeoutsTest, WithoutTimeOutsAReadWaitsForAllItsBytes)
{
    Send("abcd");
    auto read = reader_->ReadAsync(10);
    EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(read->Completed());
    Send("efghij");
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*read), "abcdefghij");
}

TEST_F(ReadTimeoutsTest, ReturnAtOnceGivesWhatIsHeldEvenNothing)
{
    Timeouts(kMax, 0, 0);
    auto empty = reader_->ReadAsync(5);
    EXPECT_EQ(empty->DispatchStatus(), STATUS_SUCCESS);
    EXPECT_EQ(empty->Information(), 0u);
    Send("xyz");
    auto some = reader_->Read(5);
    EXPECT_EQ(some->DispatchStatus(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*some), "xyz");
}

TEST_F(ReadTimeoutsTest, OneByteCaseTakesOneByteOrTimesOutAfterItsConstant)
{
    Timeouts(kMax, kMax, 100);
    Send("12345");
    auto atOnce = reader_->ReadAsync(10);
    EXPECT_EQ(atOnce->DispatchStatus(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*atOnce), "1");
    EXPECT_EQ(Held(readerPort_), 4u);
    ASSERT_EQ(reader_->SendAsync(IRP_MJ_FLUSH_BUFFERS)->Status(), STATUS_SUCCESS);

    Timeouts(kMax, kMax, 2000);
    auto arrives = HeldRead(10);
    Send("78");
    ASSERT_TRUE(arrives->Wait());
    EXPECT_EQ(arrives->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*arrives), "7");
    ASSERT_EQ(reader_->SendAsync(IRP_MJ_FLUSH_BUFFERS)->Status(), STATUS_SUCCESS);

    Timeouts(kMax, kMax, 100);
    auto start = Clock::now();
    auto times = reader_->ReadAsync(10);
    ASSERT_TRUE(times->Wait());
    EXPECT_EQ(times->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(times->Information(), 0u);
    EXPECT_GE(Millis(Clock::now() - start), 90);

    // A constant of 0: the thread's first try already finds the time-out over.
    Timeouts(kMax, kMax, 0);
    auto zero = reader_->ReadAsync(10);
    EXPECT_EQ(zero->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(zero->Wait(2s));
    EXPECT_EQ(zero->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(zero->Information(), 0u);
}

TEST_F(ReadTimeoutsTest, AnyBytesCaseReturnsAllHeldOnceOneIsThere)
{
    Timeouts(kMax, 1, 5000);
    auto read = HeldRead(10);
    Send("abc");
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*read), "abc");
}

TEST_F(ReadTimeoutsTest, IntervalClockStartsOnlyWhenTheCountChanges)
{
    Timeouts(50, 0, 0);
    auto read = HeldRead(100);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(read->Completed()) << "a silent line never times out on the interval";
    auto sent = Clock::now();
    Send("abc");
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(Text(*read), "abc");
    EXPECT_GE(Millis(Clock::now() - sent), 45);
}

TEST_F(ReadTimeoutsTest, IntervalRestartsWithEveryArrivalAndTheTotalStillBounds)
{
    // Bytes every 20 ms keep a 150 ms interval from running out; the 400 ms total ends the read.
    Timeouts(150, 0, 400);
    auto start = Clock::now();
    auto read = HeldRead(1000);
    while (!read->Completed() && Clock::now() - start < 3s) {
        Send("z");
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_GE(read->Information(), 5u);
    EXPECT_GE(Millis(Clock::now() - start), 390);
}

TEST_F(ReadTimeoutsTest, TotalTimeOutReturnsTheBytesHeldByThen)
{
    Timeouts(0, 10, 100);  // 10 × 20 + 100 = 300 ms
    Send("12345");
    auto start = Clock::now();
    auto read = reader_->ReadAsync(20);
    EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(Text(*read), "12345");
    EXPECT_GE(Millis(Clock::now() - start), 290);
}

TEST_F(ReadTimeoutsTest, ZeroLengthReadsCompleteAtOnceExceptWhenTheyWaitForAByte)
{
    struct {
        ULONG ri, rm, rc;
        bool waits;
    } cases[] = {{kMax, 0, 0, false}, {0, 10, 100, false}, {50, 0, 0, false}, {0, 0, 0, false},
                 {50, 10, 100, false}, {kMax, 1, 5000, true}, {kMax, kMax, 5000, true}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.ri << "/" << c.rm << "/" << c.rc);
        Timeouts(c.ri, c.rm, c.rc);
        auto read = reader_->ReadAsync(0);
        if (!c.waits) {
            EXPECT_EQ(read->DispatchStatus(), STATUS_SUCCESS);
            EXPECT_EQ(read->Information(), 0u);
            continue;
        }
        EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
        Send("q");
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        EXPECT_EQ(read->Information(), 0u);
        EXPECT_EQ(Held(readerPort_), 1u) << "the byte stays for the next read";
        ASSERT_EQ(reader_->SendAsync(IRP_MJ_FLUSH_BUFFERS)->Status(), STATUS_SUCCESS);
    }
}

TEST_F(ReadTimeoutsTest, ChangedTimeOutsApplyFromTheNextTry)
{
    auto read = HeldRead(10);
    Send("ab");
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(read->Completed());
    Timeouts(kMax, 0, 0);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(*read), "ab");
}

TEST_F(ReadTimeoutsTest, MovingTheSystemClockMovesPendingTimeOuts)
{
    Timeouts(0, 0, 3600 * 1000);  // an hour
    auto read = HeldRead(5);
    hk::AdvanceSystemTime(2LL * 3600 * 10000000);
    bool done = read->Wait(5s);
    hk::ResetSystemTime();
    ASSERT_TRUE(done);
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
}

TEST_F(ReadTimeoutsTest, ParkedReadsEndByCancelCleanupAndClose)
{
    auto cancelled = HeldRead(5);
    auto queued = reader_->ReadAsync(5);
    EXPECT_TRUE(queued->Cancel());
    cancelled->Cancel();  // held: the thread completes it
    for (auto* read : {cancelled.get(), queued.get()}) {
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->Status(), STATUS_CANCELLED);
        EXPECT_EQ(read->Information(), 0u);
    }

    auto held = HeldRead(5);
    auto behind = reader_->ReadAsync(5);
    EXPECT_EQ(reader_->Cleanup(), STATUS_SUCCESS);
    for (auto* read : {held.get(), behind.get()}) {
        ASSERT_TRUE(read->Wait());
        EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    }

    auto other = Open(readerPort_);
    auto closing = other->ReadAsync(5);
    EXPECT_TRUE(WaitUntil([&] { return IsHeld(*closing); }));
    other->Close();
    ASSERT_TRUE(closing->Wait());
    EXPECT_EQ(closing->Status(), STATUS_CANCELLED);
}

TEST_F(ReadTimeoutsTest, ANewReadWaitsBehindTheHeldOneAndTakesNoBytesAheadOfIt)
{
    auto first = HeldRead(5);
    Send("abc");
    auto second = reader_->ReadAsync(3);
    EXPECT_EQ(second->DispatchStatus(), STATUS_PENDING) << "three bytes are there, but the first read came first";
    Send("defgh");
    ASSERT_TRUE(first->Wait());
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ(Text(*first), "abcde");
    EXPECT_EQ(Text(*second), "fgh");
}

TEST_F(ReadTimeoutsTest, EachReadRunsItsTotalFromWhenTheThreadTookIt)
{
    Timeouts(0, 0, 200);
    auto start = Clock::now();
    auto first = HeldRead(5);
    auto second = reader_->ReadAsync(5);
    EXPECT_EQ(second->DispatchStatus(), STATUS_PENDING);
    // The second read's arrival must not stop the first one's clock.
    ASSERT_TRUE(first->Wait(3s));
    EXPECT_GE(Millis(Clock::now() - start), 190);
    EXPECT_EQ(first->Status(), STATUS_TIMEOUT);
    ASSERT_TRUE(second->Wait(3s));
    EXPECT_EQ(second->Status(), STATUS_TIMEOUT);
    // Judged from the start, not from when this thread saw the first end: a loaded machine may
    // wake this thread late, which only makes both figures larger.
    EXPECT_GE(Millis(Clock::now() - start), 380) << "the second read's clock starts when the thread takes it";
}

}  // namespace
