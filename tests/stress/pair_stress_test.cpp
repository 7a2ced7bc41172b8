// Writers and readers on several null-modem pairs at once, with random read lengths and
// time-outs, while readers close and reopen their ports and one partner is unplugged and plugged
// in again under a flooding writer. Bytes may be lost (closed or full rings), but whatever a
// reader gets is the writer's stream with gaps: nothing read twice, nothing out of order. Every
// request completes exactly once and the unload finds nothing left behind.
#include "pair_fixture.h"

#include <hostkernel/threads.h>

#include <atomic>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr ULONG kPairs = 3;
constexpr auto kRunFor = 1500ms;

class PairStressTest : public PortIoTest {};

// Whether `got` is `sent` with some bytes left out, in the same order.
bool IsSubsequence(const std::vector<UCHAR>& got, const std::vector<UCHAR>& sent, size_t* mismatch)
{
    size_t at = 0;
    for (size_t i = 0; i < got.size(); i++) {
        while (at < sent.size() && sent[at] != got[i]) at++;
        if (at == sent.size()) {
            *mismatch = i;
            return false;
        }
        at++;
    }
    return true;
}

struct Pair {
    ULONG Odd;
    std::vector<UCHAR> Sent;
    std::vector<UCHAR> Received;
    int Reads = 0;
};

void SetRandomTimeouts(hk::File& file, std::mt19937& random)
{
    switch (random() % 6) {
    case 0: SetReadTimeouts(file, 0xFFFFFFFF, 0, 0); break;
    case 1: SetReadTimeouts(file, 0xFFFFFFFF, 1, 10); break;
    case 2: SetReadTimeouts(file, 0xFFFFFFFF, 0xFFFFFFFF, 20); break;
    case 3: SetReadTimeouts(file, 0, 1, 15); break;
    case 4: SetReadTimeouts(file, 5, 0, 0); break;
    default: SetReadTimeouts(file, 0, 0, 0); break;
    }
}

TEST_F(PairStressTest, BytesAreReadAtMostOnceAndInOrderWhilePortsComeAndGo)
{
    Pair pairs[kPairs];
    PDEVICE_OBJECT writers[kPairs];
    for (ULONG i = 0; i < kPairs; i++) {
        pairs[i].Odd = 9 + 2 * i;
        writers[i] = PlugIn(pairs[i].Odd);
        ASSERT_NE(PlugIn(pairs[i].Odd + 1), nullptr);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (ULONG i = 0; i < kPairs; i++) {
        threads.emplace_back([&, i] {
            Pair& pair = pairs[i];
            std::mt19937 random(100 + i);
            auto file = Open(writers[i]);
            while (!stop) {
                std::vector<UCHAR> block(1 + random() % 200);
                for (UCHAR& b : block) b = (UCHAR)random();
                auto write = file->Write(block.data(), (ULONG)block.size());
                EXPECT_EQ(write->Status(), STATUS_SUCCESS);
                EXPECT_EQ(write->Information(), block.size());
                pair.Sent.insert(pair.Sent.end(), block.begin(), block.end());
                if (random() % 4 == 0) std::this_thread::sleep_for(1ms);
            }
        });
        threads.emplace_back([&, i] {
            Pair& pair = pairs[i];
            ULONG number = pair.Odd + 1;
            std::mt19937 random(200 + i);
            // The last pair's reader unplugs its own port now and then, with its handle open.
            bool replugs = i == kPairs - 1;
            while (!stop) {
                PDEVICE_OBJECT port = Port(number);
                if (port == nullptr) {
                    EXPECT_NE(PlugIn(number), nullptr);
                    continue;
                }
                auto file = Open(port);
                int reads = 1 + random() % 20;
                for (int r = 0; r < reads && !stop; r++) {
                    SetRandomTimeouts(*file, random);
                    auto read = file->ReadAsync(1 + random() % 300);
                    if (!read->Wait(std::chrono::milliseconds(random() % 50))) read->Cancel();
                    EXPECT_TRUE(read->Wait());
                    NTSTATUS status = read->Status();
                    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_CANCELLED)
                        << std::hex << status;
                    pair.Received.insert(pair.Received.end(), read->Output().begin(), read->Output().end());
                    pair.Reads++;
                }
                if (replugs && random() % 2 == 0) {
                    // A parked read is ended by the handle's cleanup once the port is gone.
                    auto parked = file->ReadAsync(4096);
                    EXPECT_EQ(Unplug(number), STATUS_SUCCESS);
                    EXPECT_TRUE(hk::WaitPnpIdle());
                    file.reset();
                    EXPECT_TRUE(parked->Wait());
                    pair.Received.insert(pair.Received.end(), parked->Output().begin(), parked->Output().end());
                    EXPECT_TRUE(hk::WaitPnpIdle());
                }
            }
        });
    }
    std::this_thread::sleep_for(kRunFor);
    stop = true;
    for (auto& thread : threads) thread.join();

    for (const Pair& pair : pairs) {
        SCOPED_TRACE(testing::Message() << "pair " << pair.Odd);
        size_t mismatch = 0;
        EXPECT_TRUE(IsSubsequence(pair.Received, pair.Sent, &mismatch)) << "byte " << mismatch << " of what was read";
        EXPECT_GT(pair.Received.size(), 0u);
        EXPECT_GT(pair.Reads, 0);
    }
}

}  // namespace
