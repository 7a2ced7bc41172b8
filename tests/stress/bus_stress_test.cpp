// Ports plugged and unplugged from several threads while the Plug and Play manager enumerates:
// every unplugged port ends up destroyed, every plugged one started, nothing leaks.
#include <hostkernel/threads.h>

#include <thread>

#include "bus_fixture.h"

TEST_F(BusTest, PlugAndUnplugFromManyThreadsLeavesExactlyThePluggedPorts)
{
    constexpr int kThreads = 3;
    constexpr int kRounds = 15;
    std::vector<PDEVICE_OBJECT> kept[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; round++) {
                ULONG number = 9 + (ULONG)(t * kRounds + round) * 2;
                PDEVICE_OBJECT port = Plug(number, {L"VCOMBUS\\Port"}, false);
                if (round % 3 == 0) {
                    kept[t].push_back(port);
                } else {
                    Unplug(port, false);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    Announce();

    size_t expected = 0;
    for (auto& list : kept) {
        expected += list.size();
        for (PDEVICE_OBJECT port : list) {
            EXPECT_EQ(hk::QueryDeviceNode(port).State, hk::DeviceNodeState::Started);
            EXPECT_EQ(Record(port)->Header.PnpState, PnpStarted);
        }
    }
    EXPECT_EQ(hk::DeviceChildren(busPdo_).size(), expected);
    // A port unplugged before any relations answer reported it is unknown to Plug and Play: it
    // stays linked, left out and marked, until the bus goes.
    size_t linked = 0;
    ExAcquireFastMutex(&bus_->ChildListLock);
    for (PLIST_ENTRY entry = bus_->ChildList.Flink; entry != &bus_->ChildList; entry = entry->Flink, linked++) {
        auto port = CONTAINING_RECORD(entry, PortDeviceData, ChildLink);
        if (!port->Present) {
            EXPECT_TRUE(port->ReportedMissing);
            EXPECT_EQ(hk::QueryDeviceNode(port->Header.Self).State, hk::DeviceNodeState::Unknown);
        }
    }
    ExReleaseFastMutex(&bus_->ChildListLock);
    EXPECT_EQ(bus_->ChildCount, linked);
    EXPECT_EQ(hk::RunningSystemThreadCount(), 2 * linked);
    EXPECT_EQ(hk::LiveDeviceCount(), linked + 2);  // the ports, the bus and its root device
}
