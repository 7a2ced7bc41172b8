// The request gates: stop and removal wait for the requests in progress, never longer.
#include "driver_fixture.h"
#include "driver/gate.h"

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Runs `body` on its own thread and tells whether it has finished.
class Background {
public:
    explicit Background(std::function<void()> body)
        : thread_([this, body = std::move(body)] {
              body();
              done_ = true;
          })
    {
    }
    ~Background() { thread_.join(); }
    bool Done() const { return done_; }
    bool WaitDone(std::chrono::milliseconds limit = 10s)
    {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done_ && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        return done_;
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST(IoGate, IdleBusStopsAtOnce)
{
    IoGate gate;
    IoGateInitialize(&gate);
    IoGateAcquire(&gate);  // the stop request's own count
    Background stop([&] { IoGateWaitForStop(&gate); });
    EXPECT_TRUE(stop.WaitDone());
    EXPECT_EQ(gate.OutstandingCount, 2);
}

TEST(IoGate, StopWaitsForTheRequestInProgress)
{
    IoGate gate;
    IoGateInitialize(&gate);
    IoGateAcquire(&gate);  // a control request running in the driver
    IoGateAcquire(&gate);  // the stop request
    Background stop([&] { IoGateWaitForStop(&gate); });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(stop.Done());
    IoGateRelease(&gate);  // the control request completes
    EXPECT_TRUE(stop.WaitDone());
    EXPECT_EQ(gate.OutstandingCount, 2);
}

TEST(IoGate, StopEventFollowsTheCountAcrossManyRequests)
{
    IoGate gate;
    IoGateInitialize(&gate);
    IoGateAcquire(&gate);
    IoGateAcquire(&gate);
    IoGateAcquire(&gate);
    IoGateRelease(&gate);
    EXPECT_EQ(KeReadStateEvent(&gate.StopEvent), 0) << "two requests still in progress";
    IoGateRelease(&gate);
    IoGateRelease(&gate);
    EXPECT_EQ(KeReadStateEvent(&gate.StopEvent), 1);
    EXPECT_EQ(KeReadStateEvent(&gate.RemoveEvent), 0);
}

class BusGateTest : public DriverTest {};

TEST_F(BusGateTest, RemoveWaitsForTheLastRequestAndRefusesNewcomers)
{
    PDEVICE_OBJECT device = CreateBusRecord();
    auto bus = (BusDeviceData*)device->DeviceExtension;
    IoGateAcquire(&bus->Gate);  // two control requests in progress
    IoGateAcquire(&bus->Gate);
    IoGateAcquire(&bus->Gate);  // the remove request
    SetPnpState(&bus->Header, PnpDeleted);
    Background remove([&] { IoGateWaitForRemove(&bus->Gate); });

    NTSTATUS status;
    EXPECT_EQ(hk::File::Open(device, GENERIC_READ, &status), nullptr);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    IoGateRelease(&bus->Gate);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(remove.Done()) << "one request is still in progress";
    IoGateRelease(&bus->Gate);
    EXPECT_TRUE(remove.WaitDone());
    EXPECT_EQ(bus->Gate.OutstandingCount, 0);
    DeleteRecord(device);
}

// A release dropping to the base count and an acquire taking it up again race: the stop event
// must never be left set while a request holds the gate, or a stop would pass early.
TEST(IoGate, StopEventIsNeverSetWhileARequestHoldsTheGate)
{
    IoGate gate;
    IoGateInitialize(&gate);
    std::atomic<bool> stop{false};
    std::atomic<int> setWhileHeld{0};
    auto worker = [&] {
        while (!stop) {
            IoGateAcquire(&gate);
            if (KeReadStateEvent(&gate.StopEvent) != 0) setWhileHeld++;
            IoGateRelease(&gate);
        }
    };
    std::thread a(worker), b(worker);
    std::this_thread::sleep_for(1500ms);
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(setWhileHeld, 0);
    EXPECT_EQ(gate.OutstandingCount, 1);
}

}  // namespace
