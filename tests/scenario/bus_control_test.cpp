// The bus's control requests as the control application sends them through the bus interface:
// plug in, unplug, eject, count, version, and every refusal leaving nothing behind.
#include "bus_fixture.h"

#include <hostkernel/faults.h>
#include <hostkernel/security.h>
#include <hostkernel/threads.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

const std::u16string kIds = std::u16string(u"VCOMBUS\\Port\0VCOMBUS\\Other\0\0", 29);

class BusControlTest : public BusTest {
protected:
    void SetUp() override
    {
        BusTest::SetUp();
        if (HasFatalFailure()) return;
        control_ = OpenBus();
        ASSERT_NE(control_, nullptr);
    }

    void TearDown() override
    {
        control_.reset();
        BusTest::TearDown();
    }

    std::unique_ptr<hk::Request> Send(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength = 0,
                                      hk::File* file = nullptr)
    {
        return (file ? file : control_.get())->Ioctl(code, input.data(), (ULONG)input.size(), outputLength);
    }

    NTSTATUS PlugIn(ULONG number, const std::u16string& ids = kIds)
    {
        auto request = Send(IOCTL_BUS_PLUGIN_PORT, PlugInInput(8, number, ids));
        EXPECT_EQ(request->Information(), 0u);
        EXPECT_TRUE(hk::WaitPnpIdle());
        return request->Status();
    }

    ULONG Count()
    {
        auto request = Send(IOCTL_BUS_GET_PORT_COUNT, {}, 4);
        EXPECT_EQ(request->Status(), STATUS_SUCCESS);
        EXPECT_EQ(request->Information(), 4u);
        ULONG count = ~0u;
        if (request->Output().size() == 4) memcpy(&count, request->Output().data(), 4);
        return count;
    }

    PDEVICE_OBJECT Port(ULONG number)
    {
        for (PDEVICE_OBJECT child : hk::DeviceChildren(busPdo_)) {
            if (Record(child)->PortNumber == number) return child;
        }
        return nullptr;
    }

    std::unique_ptr<hk::File> control_;
};

TEST_F(BusControlTest, PlugInMakesAStartedPortOnlyAdministratorsMayOpen)
{
    ASSERT_EQ(PlugIn(9), STATUS_SUCCESS);
    PDEVICE_OBJECT port = Port(9);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(hk::QueryDeviceNode(port).State, hk::DeviceNodeState::Started);
    auto record = Record(port);
    EXPECT_EQ(std::u16string((const char16_t*)record->HardwareIds, 29), kIds);
    EXPECT_EQ(port->Characteristics & FILE_DEVICE_SECURE_OPEN, (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_EQ(port->DeviceType, (ULONG)FILE_DEVICE_BUS_EXTENDER);

    ACCESS_MASK granted;
    EXPECT_EQ(hk::CheckDeviceAccess(port, hk::User::PlainUser, GENERIC_READ, &granted), STATUS_ACCESS_DENIED);
    EXPECT_EQ(hk::CheckDeviceAccess(port, hk::User::Administrator, GENERIC_READ | GENERIC_WRITE, &granted),
              STATUS_SUCCESS);
    EXPECT_EQ(hk::CheckDeviceAccess(port, hk::User::LocalSystem, GENERIC_ALL, &granted), STATUS_SUCCESS);
    EXPECT_EQ(Count(), 1u);
}

TEST_F(BusControlTest, MalformedPlugInsAreRefusedAndLeaveNothing)
{
    size_t devices = hk::LiveDeviceCount();
    size_t pool = hk::PoolAllocations(kPoolTag);
    const std::vector<UCHAR> good = PlugInInput(8, 9, kIds);
    struct Case {
        const char* what;
        std::vector<UCHAR> input;
    } cases[] = {
        // Shorter than the fixed part: nothing past the input may be read (the buffer is
        // exactly this long), whatever the bytes there claim.
        {"4 bytes", std::vector<UCHAR>(good.begin(), good.begin() + 4)},
        {"0 bytes", {}},
        {"11 bytes", std::vector<UCHAR>(good.begin(), good.begin() + 11)},
        {"Size 12", PlugInInput(12, 9, kIds)},
        {"one final NUL", PlugInInput(8, 9, std::u16string(u"VCOMBUS\\Port\0", 13))},
        {"NULs not at the very end", PlugInInput(8, 9, std::u16string(u"A\0\0B", 4))},
    };
    for (const Case& c : cases) {
        auto request = Send(IOCTL_BUS_PLUGIN_PORT, c.input);
        EXPECT_EQ(request->Status(), STATUS_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(request->Information(), 0u) << c.what;
    }
    EXPECT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(hk::LiveDeviceCount(), devices);
    EXPECT_EQ(hk::PoolAllocations(kPoolTag), pool);
    EXPECT_EQ(Count(), 0u);

    // The shortest list there is, two NULs, is accepted; an odd trailing byte is ignored.
    auto input = PlugInInput(8, 12, std::u16string(u"\0\0", 2));
    input.push_back(0x7F);
    EXPECT_EQ(Send(IOCTL_BUS_PLUGIN_PORT, input)->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::WaitPnpIdle());
}

TEST_F(BusControlTest, ANumberStaysTakenUntilItsPortIsRemoved)
{
    ASSERT_EQ(PlugIn(9), STATUS_SUCCESS);
    EXPECT_EQ(PlugIn(9), STATUS_INVALID_PARAMETER);
    PDEVICE_OBJECT port = Port(9);
    // Unplugged but not yet reported missing (the stopped bus's announcement waits for its
    // start): still linked, still counted, still taken.
    StopBus();
    Unplug(port);
    EXPECT_EQ(Count(), 1u);
    EXPECT_EQ(PlugIn(9), STATUS_INVALID_PARAMETER);
    ASSERT_TRUE(NT_SUCCESS(hk::StartDevice(busPdo_)));
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(PlugIn(9), STATUS_SUCCESS);
}

TEST_F(BusControlTest, UnplugAndEjectRefusals)
{
    for (ULONG code : {IOCTL_BUS_UNPLUG_PORT, IOCTL_BUS_EJECT_PORT}) {
        EXPECT_EQ(Send(code, RemoveInput(9))->Status(), STATUS_NO_SUCH_DEVICE) << "no ports at all";
    }
    ASSERT_EQ(PlugIn(9), STATUS_SUCCESS);
    for (ULONG code : {IOCTL_BUS_UNPLUG_PORT, IOCTL_BUS_EJECT_PORT}) {
        EXPECT_EQ(Send(code, RemoveInput(9, 15))->Status(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Send(code, RemoveInput(9, 17))->Status(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Send(code, RemoveInput(9, 16, 8))->Status(), STATUS_INVALID_PARAMETER);
        auto noMatch = Send(code, RemoveInput(10));
        EXPECT_EQ(noMatch->Status(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(noMatch->Information(), 0u);
    }
    EXPECT_TRUE(hk::WaitPnpIdle());
    EXPECT_NE(Port(9), nullptr);
}

TEST_F(BusControlTest, UnplugRemovesOnePortOrAll)
{
    for (ULONG n : {9, 10, 11}) ASSERT_EQ(PlugIn(n), STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_BUS_UNPLUG_PORT, RemoveInput(10))->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(Port(10), nullptr);
    EXPECT_EQ(Count(), 2u);

    EXPECT_EQ(Send(IOCTL_BUS_UNPLUG_PORT, RemoveInput(0))->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::WaitPnpIdle());
    EXPECT_TRUE(hk::DeviceChildren(busPdo_).empty());
    EXPECT_EQ(Count(), 0u);
}

TEST_F(BusControlTest, EjectGoesThroughThePlatformsEjectSequence)
{
    ASSERT_EQ(PlugIn(9), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(10), STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_BUS_EJECT_PORT, RemoveInput(9))->Status(), STATUS_SUCCESS);
    EXPECT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(Port(9), nullptr);
    EXPECT_NE(Port(10), nullptr);
    EXPECT_EQ(Count(), 1u);
}

TEST_F(BusControlTest, CountVersionAndForeignCodes)
{
    auto version = Send(IOCTL_BUS_GET_VERSION, {}, 4);
    EXPECT_EQ(version->Status(), STATUS_SUCCESS);
    EXPECT_EQ(version->Information(), 4u);
    ULONG value = 0;
    memcpy(&value, version->Output().data(), 4);
    EXPECT_EQ(value, 0x2001u);

    for (ULONG code : {IOCTL_BUS_GET_VERSION, IOCTL_BUS_GET_PORT_COUNT}) {
        auto tooShort = Send(code, {}, 3);
        EXPECT_EQ(tooShort->Status(), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(tooShort->Information(), 0u);
    }
    // Function 0x513 is no bus code: the tap and routing handler answers it.
    const ULONG unused = CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x513, METHOD_BUFFERED, FILE_READ_ACCESS);
    auto foreign = Send(unused, {}, 4);
    EXPECT_EQ(foreign->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(foreign->Information(), 0u);
}

TEST_F(BusControlTest, FailedAllocationsCreationsAndThreadsLeaveNothing)
{
    size_t devices = hk::LiveDeviceCount();
    size_t threads = hk::SystemThreads().size();

    hk::FailNextAllocations(1, kPoolTag);  // the identifiers' copy
    EXPECT_EQ(PlugIn(9), STATUS_INSUFFICIENT_RESOURCES);
    hk::FailNextRoutineCalls("IoCreateDevice", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PlugIn(9), STATUS_INSUFFICIENT_RESOURCES);
    hk::FailNextThreadCreations(1, STATUS_NO_MEMORY);  // a port without threads would hang its reads
    EXPECT_EQ(PlugIn(9), STATUS_NO_MEMORY);
    EXPECT_EQ(hk::LiveDeviceCount(), devices);
    EXPECT_EQ(hk::SystemThreads().size(), threads);
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(PlugIn(9), STATUS_SUCCESS) << "nothing of the failures is in the way";
}

TEST_F(BusControlTest, RacingPlugInsOfOneNumberMakeOnePort)
{
    constexpr int kRacers = 6;
    std::vector<std::unique_ptr<hk::File>> handles;
    for (int i = 0; i < kRacers; i++) handles.push_back(OpenBus());
    std::atomic<int> successes{0}, ready{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < kRacers; i++) {
        racers.emplace_back([&, i] {
            ready++;
            while (ready < kRacers) std::this_thread::yield();
            auto request = Send(IOCTL_BUS_PLUGIN_PORT, PlugInInput(8, 11, kIds), 0, handles[i].get());
            if (request->Status() == STATUS_SUCCESS) successes++;
            else EXPECT_EQ(request->Status(), STATUS_INVALID_PARAMETER);
        });
    }
    for (auto& racer : racers) racer.join();
    EXPECT_EQ(successes, 1);
    EXPECT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(Count(), 1u);
    handles.clear();
}

}  // namespace
