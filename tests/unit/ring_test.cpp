// The receive ring: what a port's reader would notice if it broke — pacing of large blocks,
// overrun of a full ring, order across the wrap, null stripping, the event bits, the capped
// input-count report and its backlog hysteresis, resize and purge, a disabled ring.
#include "driver_fixture.h"

#include <hostkernel/threads.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

constexpr LONGLONG kMs = 10000;  // 100 ns units

std::string Pattern(size_t length)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; i++) bytes[i] = (char)('a' + i % 26);
    return bytes;
}

class RingTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_TRUE(RingInitialize(&ring_));
        RingEnable(&ring_, TRUE);
    }
    void TearDown() override
    {
        hk::SetDelayObserver(nullptr);
        hk::ResetSystemTime();
        NoPacing = FALSE;
        RingFree(&ring_);
        DriverTest::TearDown();
    }

    ULONG Write(const std::string& bytes) { return RingWrite(&ring_, (const UCHAR*)bytes.data(), (ULONG)bytes.size()); }
    std::string Read(ULONG maximum)
    {
        std::string bytes(maximum, '\0');
        bytes.resize(RingRead(&ring_, (PUCHAR)bytes.data(), maximum));
        return bytes;
    }
    void SetWaitMask(ULONG mask)
    {
        RingAcquireLock(&ring_);
        ring_.WaitMask = mask;
        RingReleaseLock(&ring_);
    }
    // Reads whatever the ring holds whenever a producer pauses, as a reader between the two
    // halves of a paced block would.
    void ReadDuringPauses(std::vector<std::string>* seen)
    {
        hk::SetDelayObserver([this, seen](LONGLONG) { seen->push_back(Read(100000)); });
    }

    ReceiveRing ring_{};
};

TEST_F(RingTest, StartsEmptyDisabledWithTheDefaultSerialSettings)
{
    ReceiveRing ring{};
    LARGE_INTEGER before;
    KeQuerySystemTime(&before);
    size_t pool = hk::PoolBytes(kPoolTag);
    ASSERT_TRUE(RingInitialize(&ring));
    EXPECT_EQ(ring.Size, kRingDefaultSize);
    EXPECT_EQ(ring.Count, 0u);
    EXPECT_FALSE(ring.Enabled);
    EXPECT_EQ(ring.Chars.XonChar, 0x11);
    EXPECT_EQ(ring.Chars.XoffChar, 0x13);
    EXPECT_EQ(ring.Chars.EventChar, 0);
    EXPECT_EQ(ring.HandFlow.ControlHandShake, (ULONG)SERIAL_DTR_CONTROL);
    EXPECT_EQ(ring.HandFlow.FlowReplace, (ULONG)SERIAL_RTS_CONTROL);
    EXPECT_EQ(ring.HandFlow.XonLimit, 2048);
    EXPECT_EQ(ring.HandFlow.XoffLimit, 512);
    EXPECT_EQ(ring.Timeouts.ReadIntervalTimeout, 0u);
    EXPECT_GE(ring.LastReadTime, before.QuadPart);
    EXPECT_EQ(hk::PoolBytes(kPoolTag), pool + kRingDefaultSize);
    EXPECT_TRUE(RingFree(&ring));
    EXPECT_FALSE(RingFree(&ring)) << "nothing left to free";
    EXPECT_EQ(ring.Buffer, nullptr);
}

TEST_F(RingTest, DisabledRingStoresNothingRaisesNothingYetStillPausesLargeBlocks)
{
    RingEnable(&ring_, FALSE);
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    int pauses = 0;
    hk::SetDelayObserver([&](LONGLONG interval) {
        EXPECT_EQ(interval, -kMs);
        pauses++;
    });
    EXPECT_EQ(Write("abc"), 0u);
    EXPECT_EQ(Write(Pattern(16)), 0u);
    EXPECT_EQ(ring_.Count, 0u);
    EXPECT_EQ(ring_.EventBits, 0u);
    EXPECT_EQ(pauses, 1) << "the producer of a 16-byte block pays the pause even for nothing stored";
}

TEST_F(RingTest, ResizeToZeroIsRefusedAndKeepsTheRing)
{
    ReceiveRing ring;
    RingInitialize(&ring);
    ULONG size = RingGetSize(&ring);
    size_t allocations = hk::PoolAllocations(kPoolTag);
    EXPECT_FALSE(RingResize(&ring, 0));
    EXPECT_EQ(RingGetSize(&ring), size);
    EXPECT_EQ(hk::PoolAllocations(kPoolTag), allocations);
    RingFree(&ring);
}

TEST_F(RingTest, RingWithoutStorageRefusesInputUntilAResizeSucceeds)
{
    ReceiveRing ring{};
    hk::FailNextAllocations(1, kPoolTag);
    EXPECT_FALSE(RingInitialize(&ring));
    EXPECT_EQ(ring.Size, 0u);
    RingEnable(&ring, TRUE);
    const UCHAR bytes[] = {1, 2, 3};
    UCHAR out[3];
    EXPECT_EQ(RingWrite(&ring, bytes, 3), 0u);
    EXPECT_EQ(RingRead(&ring, out, 3), 0u);
    EXPECT_TRUE(RingResize(&ring, 64));
    EXPECT_EQ(RingWrite(&ring, bytes, 3), 3u);
    EXPECT_EQ(RingRead(&ring, out, 3), 3u);
    EXPECT_TRUE(RingFree(&ring));
}

TEST_F(RingTest, BlocksOfSixteenOrMoreArriveInTwoHalvesOneMillisecondApart)
{
    std::vector<std::string> seen;
    ReadDuringPauses(&seen);

    EXPECT_EQ(Write(Pattern(15)), 15u);
    EXPECT_TRUE(seen.empty()) << "15 bytes are stored at once";
    EXPECT_EQ(Read(100), Pattern(15));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Write(Pattern(16)), 16u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1));
    EXPECT_EQ(seen, std::vector<std::string>{Pattern(8)}) << "a reader between the halves sees the first";
    EXPECT_EQ(Read(100), Pattern(16).substr(8));

    seen.clear();
    EXPECT_EQ(Write(Pattern(17)), 17u);
    EXPECT_EQ(seen, std::vector<std::string>{Pattern(8)});
    EXPECT_EQ(Read(100), Pattern(17).substr(8));

    // One split only, however large the block.
    ASSERT_TRUE(RingResize(&ring_, 16384));
    seen.clear();
    EXPECT_EQ(Write(Pattern(10000)), 10000u);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].size(), 5000u);
    EXPECT_EQ(Read(20000).size(), 5000u);
}

TEST_F(RingTest, AtDispatchLevelBothHalvesGoInBackToBack)
{
    int pauses = 0;
    hk::SetDelayObserver([&](LONGLONG) { pauses++; });
    ULONG stored = 0;
    hk::RunAtIrql(DISPATCH_LEVEL, [&] { stored = Write(Pattern(32)); });
    EXPECT_EQ(stored, 32u);
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(Read(100), Pattern(32));
}

TEST_F(RingTest, NoPacingStoresWholeBlocksAndReportsExactCounts)
{
    NoPacing = TRUE;
    int pauses = 0;
    hk::SetDelayObserver([&](LONGLONG) { pauses++; });
    EXPECT_EQ(Write(Pattern(100)), 100u);
    EXPECT_EQ(pauses, 0);
    Read(0);
    EXPECT_EQ(RingAvailableCount(&ring_), 100u);
}

TEST_F(RingTest, FullRingKeepsWhatFitsDropsTheRestAndFlagsOverrun)
{
    NoPacing = TRUE;
    std::string block = Pattern(5000);
    EXPECT_EQ(Write(block), 4096u);
    EXPECT_TRUE(ring_.Overrun);
    EXPECT_EQ(Read(5000), block.substr(0, 4096));

    // Paced, the same block goes in as 2500 + 2500 and the second half overruns.
    NoPacing = FALSE;
    RingPurge(&ring_);
    std::vector<ULONG> countsAtPause;
    hk::SetDelayObserver([&](LONGLONG) { countsAtPause.push_back(ring_.Count); });
    EXPECT_EQ(Write(block), 4096u);
    EXPECT_EQ(countsAtPause, std::vector<ULONG>{2500});
    EXPECT_TRUE(ring_.Overrun);
    EXPECT_EQ(Read(5000), block.substr(0, 4096));
}

TEST_F(RingTest, BytesKeepTheirOrderAcrossTheWrap)
{
    NoPacing = TRUE;
    EXPECT_EQ(Write(Pattern(4000)), 4000u);
    EXPECT_EQ(Read(4000).size(), 4000u);
    std::string block = Pattern(200);
    EXPECT_EQ(Write(block), 200u);
    EXPECT_EQ(std::string((const char*)ring_.Buffer + 4000, 96), block.substr(0, 96));
    EXPECT_EQ(std::string((const char*)ring_.Buffer, 104), block.substr(96));
    EXPECT_EQ(Read(200), block);
}

// Blocks are stored and read in at most two copies each; whatever the sizes, the ring must
// end exactly where storing and taking one byte at a time would: the same bytes back, the same
// counts, indexes, overrun and event bits (the byte that finds the ring full still raises
// them). The model below is that byte-at-a-time rule, run beside a 7-byte ring.
TEST_F(RingTest, BlockCopiesEndWhereByteAtATimeWouldAcrossWrapsAndOverruns)
{
    NoPacing = TRUE;
    constexpr ULONG kSize = 7;
    ASSERT_TRUE(RingResize(&ring_, kSize));
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    ring_.Chars.EventChar = 'e';
    struct Model {
        std::string held;
        ULONG write = 0, read = 0;
        bool overrun = false;
        ULONG events = 0;
    } model;
    unsigned seed = 12345;
    auto next = [&](unsigned bound) { seed = seed * 1103515245 + 12345; return (seed >> 16) % bound; };
    for (int round = 0; round < 3000; round++) {
        std::string block(next(12), 'x');
        for (char& c : block) c = "abcdefe"[next(7)];
        ULONG stored = 0;
        for (char c : block) {
            if (model.write == kSize) model.write = 0;
            model.events |= SERIAL_EV_RXCHAR;
            if (c == 'e') model.events |= SERIAL_EV_RXFLAG;
            if (model.held.size() == kSize) { model.overrun = true; break; }
            model.held.push_back(c);
            model.write++;
            stored++;
        }
        ASSERT_EQ(Write(block), stored) << "round " << round;
        ULONG maximum = next(10);
        ULONG taken = std::min<ULONG>(maximum, (ULONG)model.held.size());
        for (ULONG i = 0; i < taken; i++) {
            if (model.read == kSize) model.read = 0;
            model.read++;
        }
        std::string expected = model.held.substr(0, taken);
        model.held.erase(0, taken);
        if (maximum > 0 && !model.held.empty()) model.events |= SERIAL_EV_RXCHAR;
        ASSERT_EQ(Read(maximum), maximum == 0 ? std::string() : expected) << "round " << round;
        ASSERT_EQ(ring_.Count, model.held.size()) << "round " << round;
        ASSERT_EQ(ring_.WriteIndex, model.write) << "round " << round;
        ASSERT_EQ(ring_.ReadIndex, model.read) << "round " << round;
        ASSERT_EQ((bool)ring_.Overrun, model.overrun) << "round " << round;
        ASSERT_EQ(ring_.EventBits, model.events) << "round " << round;
        ring_.EventBits = 0;
        ring_.Overrun = FALSE;
        model.events = 0;
        model.overrun = false;
    }
}

TEST_F(RingTest, NullStrippingDropsZeroBytesBeforeTheyRaiseEvents)
{
    SetWaitMask(SERIAL_EV_RXFLAG);  // EventChar is 0 by default
    EXPECT_EQ(Write(std::string("A\0B", 3)), 3u);
    EXPECT_EQ(ring_.EventBits, (ULONG)SERIAL_EV_RXFLAG) << "a zero byte is the default event character";
    EXPECT_EQ(Read(10), std::string("A\0B", 3));

    ring_.EventBits = 0;
    ring_.HandFlow.FlowReplace |= SERIAL_NULL_STRIPPING;
    EXPECT_EQ(Write(std::string("A\0B", 3)), 2u);
    EXPECT_EQ(ring_.EventBits, 0u);
    EXPECT_EQ(Read(10), "AB");
}

TEST_F(RingTest, EventBitsFollowTheWaitMaskAndWhatReadsLeaveBehind)
{
    EXPECT_EQ(Write("xy"), 2u);
    EXPECT_EQ(ring_.EventBits, 0u) << "nothing is waited for";
    EXPECT_EQ(Read(1), "x");
    EXPECT_EQ(ring_.EventBits, (ULONG)SERIAL_EV_RXCHAR) << "a read that leaves bytes raises RXCHAR regardless";
    ring_.EventBits = 0;
    EXPECT_EQ(Read(1), "y");
    EXPECT_EQ(ring_.EventBits, 0u) << "one that empties the ring does not";

    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    ring_.Chars.EventChar = '!';
    EXPECT_EQ(Write("ab"), 2u);
    EXPECT_EQ(ring_.EventBits, (ULONG)SERIAL_EV_RXCHAR);
    EXPECT_EQ(Write("c!"), 2u);
    EXPECT_EQ(ring_.EventBits, (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));

    // The byte that finds the ring full still raises its events.
    NoPacing = TRUE;
    Write(Pattern(4096));
    ring_.EventBits = 0;
    ring_.Overrun = FALSE;
    EXPECT_EQ(Write("!"), 0u);
    EXPECT_EQ(ring_.EventBits, (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
    EXPECT_TRUE(ring_.Overrun);
}

TEST_F(RingTest, InputCountIsCappedRightAfterAReadUntilABacklogBuilds)
{
    // The clock is moved back a second to stand "within 100 ms of the last read" however slow
    // the machine is, and forward to stand past that window.
    auto withinWindow = [this] {
        hk::AdvanceSystemTime(-1000 * kMs);
        ULONG count = RingAvailableCount(&ring_);
        hk::ResetSystemTime();
        return count;
    };
    auto afterWindow = [this] {
        hk::AdvanceSystemTime(150 * kMs);
        ULONG count = RingAvailableCount(&ring_);
        hk::ResetSystemTime();
        return count;
    };
    NoPacing = TRUE;  // blocks stored whole here; pacing of the report is switched back on below
    Write(Pattern(101));
    NoPacing = FALSE;
    EXPECT_EQ(Read(1).size(), 1u);
    EXPECT_EQ(withinWindow(), 15u);
    EXPECT_EQ(afterWindow(), 100u);
    EXPECT_EQ(Read(100).size(), 100u) << "the cap is only the report's: reads take everything";

    NoPacing = TRUE;
    Write(Pattern(1501));
    NoPacing = FALSE;
    EXPECT_EQ(Read(1).size(), 1u);
    EXPECT_EQ(withinWindow(), 1500u) << "a quarter of the ring held: the true count";
    EXPECT_TRUE(ring_.Backlog);
    EXPECT_EQ(Read(1200).size(), 1200u);  // 300 left: not below a sixteenth
    EXPECT_EQ(withinWindow(), 300u);
    EXPECT_EQ(Read(100).size(), 100u);  // 200 left: the backlog is over
    EXPECT_FALSE(ring_.Backlog);
    EXPECT_EQ(withinWindow(), 15u);

    NoPacing = TRUE;
    EXPECT_EQ(withinWindow(), 200u);
}

TEST_F(RingTest, ResizeDiscardsHeldBytesAndScalesTheFlowLimitsUnlessPoolRunsOut)
{
    ring_.WaitMask = SERIAL_EV_RXCHAR;
    Write("keep");
    ring_.Overrun = TRUE;
    hk::FailNextAllocations(1, kPoolTag);
    EXPECT_FALSE(RingResize(&ring_, 8192));
    EXPECT_EQ(ring_.Size, 4096u);
    EXPECT_TRUE(ring_.Overrun);
    EXPECT_EQ(Read(10), "keep");

    Write("gone");
    size_t pool = hk::PoolBytes(kPoolTag);
    EXPECT_TRUE(RingResize(&ring_, 8192));
    EXPECT_EQ(ring_.Size, 8192u);
    EXPECT_EQ(ring_.Count, 0u);
    EXPECT_FALSE(ring_.Overrun);
    EXPECT_EQ(ring_.HandFlow.XonLimit, 4096);
    EXPECT_EQ(ring_.HandFlow.XoffLimit, 1024);
    EXPECT_EQ(ring_.WaitMask, (ULONG)SERIAL_EV_RXCHAR) << "the event state is kept";
    EXPECT_TRUE(ring_.Enabled);
    EXPECT_EQ(hk::PoolBytes(kPoolTag), pool + 4096) << "the old storage is freed";
}

TEST_F(RingTest, PurgeEmptiesTheRingAndClearsOnlyRxchar)
{
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    Write(std::string("a\0b", 3));
    ring_.EventBits |= SERIAL_EV_TXEMPTY;
    ring_.Overrun = TRUE;
    RingPurge(&ring_);
    EXPECT_EQ(ring_.Count, 0u);
    EXPECT_FALSE(ring_.Overrun);
    EXPECT_EQ(ring_.EventBits, (ULONG)(SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY));
    EXPECT_EQ(Read(10), "");
}

TEST_F(RingTest, EnableResetsTheEventStateButKeepsTheBytes)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    Write("held");
    EXPECT_FALSE(RingSetWaitPending(&ring_, TRUE));
    EXPECT_TRUE(RingSetWaitPending(&ring_, TRUE));
    EXPECT_TRUE(RingEnable(&ring_, FALSE));
    EXPECT_EQ(ring_.WaitMask, 0u);
    EXPECT_EQ(ring_.EventBits, 0u);
    EXPECT_FALSE(ring_.WaitPending);
    EXPECT_FALSE(RingEnable(&ring_, TRUE));
    EXPECT_EQ(Read(10), "held");
    EXPECT_EQ(RingGetSize(&ring_), kRingDefaultSize);
}

}  // namespace
