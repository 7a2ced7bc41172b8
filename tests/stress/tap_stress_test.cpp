// The real port completes reads from another thread at DISPATCH_LEVEL while hub ports are
// plugged in, opened, read and unplugged, and the tap is configured, disabled, detached and
// attached again. Bytes may be missed (capture off, no tap, a closed or full ring), but whatever a
// hub port reads is what the real port carried, in order; the application's reads of the real
// port all succeed whether they meet the tap or not; nothing crashes and the unload finds nothing
// left behind.
#include "tap_fixture.h"

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kRunFor = 1500ms;

class TapStressTest : public TapTest {};

bool IsSubsequence(const std::vector<UCHAR>& got, const std::vector<UCHAR>& carried, size_t* mismatch)
{
    size_t at = 0;
    for (size_t i = 0; i < got.size(); i++) {
        while (at < carried.size() && carried[at] != got[i]) at++;
        if (at == carried.size()) {
            *mismatch = i;
            return false;
        }
        at++;
    }
    return true;
}

TEST_F(TapStressTest, CapturedBytesKeepTheirOrderWhilePortsAndTheTapComeAndGo)
{
    ASSERT_NE(PlugIn(1), nullptr);
    auto hub = Open(Port(1));
    ASSERT_EQ(SetReadTimeouts(*hub, 0xFFFFFFFF, 0, 0), STATUS_SUCCESS);
    FakeSerialPort& real = RealPort();
    real.SetDefault(IRP_MJ_READ, FakeSerialPort::Answer::Later(STATUS_SUCCESS, 1ms));
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    NTSTATUS status;
    auto app = hk::File::Open(real.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    RoutingConfig config = MakeConfig();
    ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, config), STATUS_SUCCESS);

    std::atomic<bool> stop{false};
    std::vector<UCHAR> carried;
    std::vector<UCHAR> hubGot;
    std::vector<std::vector<UCHAR>> churnGot;
    std::mutex controlLock;  // the bus handle's requests, one at a time as one application sends them

    std::thread line([&] {
        std::mt19937 random(1);
        UCHAR next = 0;
        while (!stop) {
            std::vector<UCHAR> chunk(1 + random() % 24);
            for (auto& b : chunk) b = next++;
            real.Receive(chunk);
            auto read = app->Read((ULONG)chunk.size());
            EXPECT_EQ(read->Status(), STATUS_SUCCESS);
            const auto& out = read->Output();
            carried.insert(carried.end(), out.begin(), out.end());
        }
    });
    std::thread reader([&] {
        while (!stop) {
            auto read = hub->Read(64);
            hubGot.insert(hubGot.end(), read->Output().begin(), read->Output().end());
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread churn([&] {
        while (!stop) {
            PDEVICE_OBJECT port;
            {
                std::lock_guard guard(controlLock);
                port = PlugIn(2);
            }
            if (port == nullptr) break;
            {
                auto file = Open(port);
                SetReadTimeouts(*file, 0xFFFFFFFF, 0, 0);
                std::vector<UCHAR> got;
                for (int i = 0; i < 5; i++) {
                    auto read = file->Read(64);
                    got.insert(got.end(), read->Output().begin(), read->Output().end());
                    std::this_thread::sleep_for(1ms);
                }
                churnGot.push_back(std::move(got));
            }
            {
                std::lock_guard guard(controlLock);
                EXPECT_EQ(Unplug(2), STATUS_SUCCESS);
            }
            EXPECT_TRUE(hk::WaitPnpIdle());
        }
    });
    std::thread control([&] {
        std::mt19937 random(2);
        while (!stop) {
            std::lock_guard guard(controlLock);
            switch (random() % 5) {
            case 0: Control(IOCTL_TAP_DISABLE); break;
            case 1:
                if (ReadNoFence(&TapAttached)) {
                    EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
                } else {
                    EXPECT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
                }
                break;
            default: {
                RoutingConfig fresh = MakeConfig();
                fresh.CaptureDirection = random() % 4 == 0 ? 1 : 0;
                Configure(IOCTL_TAP_CONFIGURE, fresh);
                break;
            }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2 + random() % 10));
        }
    });

    std::this_thread::sleep_for(kRunFor);
    stop = true;
    control.join();
    churn.join();
    reader.join();
    line.join();
    real.WaitIdle();
    if (ReadNoFence(&TapAttached)) {
        EXPECT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    }
    auto rest = hub->Read(4096);
    hubGot.insert(hubGot.end(), rest->Output().begin(), rest->Output().end());

    size_t mismatch = 0;
    EXPECT_FALSE(carried.empty());
    EXPECT_TRUE(IsSubsequence(hubGot, carried, &mismatch)) << "hub port 1's byte " << mismatch;
    for (const auto& got : churnGot) {
        EXPECT_TRUE(IsSubsequence(got, carried, &mismatch)) << "a plugged-in port's byte " << mismatch;
    }
    EXPECT_GT(churnGot.size(), 2u);
    EXPECT_FALSE(hubGot.empty()) << "capture was on for most of the run";
    app.reset();
    hub.reset();
}

// Round after round, a bus comes with two hub ports and a tap capturing the real port's reads,
// which complete from another thread at DISPATCH_LEVEL all along; then, at the same moment, a hub
// port is unplugged, the tap is detached (or not) and the bus is pulled out. Nothing crashes, none
// of it waits for the reads below the tap, the tap is off the real port once the bus's removal
// has come in every round, the application's reads of the real port never fail, and the unload
// finds nothing left.
TEST_F(TapStressTest, TheBusAndTheTapGoWhileCaptureCompletes)
{
    FakeSerialPort& real = RealPort();
    real.SetDefault(IRP_MJ_READ, FakeSerialPort::Answer::Later(STATUS_SUCCESS, 1ms));
    NTSTATUS status;
    auto app = hk::File::Open(real.Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    std::atomic<bool> stop{false};
    std::thread line([&] {
        UCHAR next = 0;
        while (!stop) {
            std::vector<UCHAR> chunk(8);
            for (auto& b : chunk) b = next++;
            real.Receive(chunk);
            EXPECT_EQ(app->Read((ULONG)chunk.size())->Status(), STATUS_SUCCESS);
        }
    });

    std::mt19937 random(3);
    for (int round = 0; round < 12 && !HasFailure(); round++) {
        if (round > 0) {
            AddBus(behavior_);
            ASSERT_EQ(hk::StartDevice(busPdo_), STATUS_SUCCESS);
            ASSERT_TRUE(hk::WaitPnpIdle());
            control_ = OpenBus();
            ASSERT_NE(control_, nullptr);
        }
        ASSERT_NE(PlugIn(1), nullptr);
        ASSERT_NE(PlugIn(2), nullptr);
        std::vector<std::unique_ptr<hk::File>> hubs;
        hubs.push_back(Open(Port(1)));
        hubs.push_back(Open(Port(2)));
        for (auto& hub : hubs) SetReadTimeouts(*hub, 0xFFFFFFFF, 0, 0);
        ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
        ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, MakeConfig()), STATUS_SUCCESS);

        std::atomic<bool> roundOver{false};
        std::vector<std::thread> readers;
        for (auto& hub : hubs) {
            readers.emplace_back([&roundOver, file = hub.get()] {
                while (!roundOver) {
                    file->Read(64);
                    std::this_thread::sleep_for(1ms);
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 25));

        // A handle's requests go one at a time, as one application thread sends them: the unplug
        // comes on a second handle to the bus.
        auto second = OpenBus();
        ASSERT_NE(second, nullptr);
        bool detach = random() % 2 == 0;
        std::thread unplug([&] {
            ULONG input[4] = {16, 2, 0, 0};
            second->Ioctl(IOCTL_BUS_UNPLUG_PORT, input, sizeof(input), 0);
        });
        std::thread detacher([&] {
            if (detach) Control(IOCTL_TAP_DETACH);
        });
        hk::SurpriseRemoveDevice(busPdo_);
        unplug.join();
        detacher.join();
        EXPECT_FALSE(ReadNoFence(&TapAttached));

        roundOver = true;
        for (auto& reader : readers) reader.join();
        hubs.clear();
        second.reset();
        control_.reset();
        ASSERT_TRUE(hk::WaitDeviceNodeState(busPdo_, hk::DeviceNodeState::Unknown));
        ASSERT_TRUE(hk::WaitPnpIdle());
        EXPECT_EQ(IoGetAttachedDevice(real.Device()), real.Device());
    }
    stop = true;
    line.join();
    real.WaitIdle();
    app.reset();
}

}  // namespace
