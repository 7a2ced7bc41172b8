// The bus through the Plug and Play manager: its start and interface, its children appearing and
// going, and the ways the bus itself goes away.
#include <hostkernel/faults.h>
#include <hostkernel/security.h>
#include <hostkernel/threads.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "bus_fixture.h"
#include "inf_file.h"

using hk::DeviceNodeState;

namespace {

// The minors the manager sent to one device, in order.
std::vector<UCHAR> MinorsSentTo(PDEVICE_OBJECT pdo, UCHAR major = IRP_MJ_PNP)
{
    std::vector<UCHAR> out;
    for (const auto& r : hk::ManagerLog()) {
        if (r.Pdo == pdo && r.Major == major) out.push_back(r.Minor);
    }
    return out;
}

class UnstartedBusTest : public BusTest {
protected:
    UnstartedBusTest() { startBus_ = false; }
};

class PendingStartBusTest : public BusTest {
protected:
    PendingStartBusTest()
    {
        startBus_ = false;
        behavior_.CompleteStartLater = true;
    }
};

class FailingStartBusTest : public BusTest {
protected:
    FailingStartBusTest()
    {
        startBus_ = false;
        behavior_.StartStatus = STATUS_DEVICE_POWER_FAILURE;
    }
};

class NoPortDriverBusTest : public BusTest {
protected:
    NoPortDriverBusTest() { installPortDriver_ = false; }
};

class AddBusDeviceTest : public DriverTest {};

// The bus installed as the package's setup information installs it: in the setup class and with
// the device's own Security setting that the information gives it. The Plug and Play manager puts
// that descriptor on the whole stack once AddDevice has built it.
class SecuredBusTest : public BusTest {
protected:
    SecuredBusTest()
    {
        section_ = inf_.InstallSection("Root\\vcombus");
        behavior_.ClassGuid = Ascii(inf_.Version("ClassGuid"));
        behavior_.Security = Ascii(inf_.DeviceSecurity(section_));
    }
    static std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

    InfFile inf_{"vcombus.inf"};
    std::string section_;
};

TEST_F(SecuredBusTest, OnlySystemAndAdministratorsOpenTheBusInstalledFromThePackage)
{
    ASSERT_TRUE(inf_.Found());
    ASSERT_FALSE(section_.empty()) << "no models line installs the bus";
    ASSERT_FALSE(behavior_.Security.empty()) << "the bus's install section gives it no Security setting";
    // Ports write their own class's Security value: a bus in that class would take it as its own.
    GUID busClass{};
    unsigned int d[11];
    ASSERT_EQ(sscanf(inf_.Version("ClassGuid").c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1],
                     &d[2], &d[3], &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]),
              11)
        << inf_.Version("ClassGuid");
    busClass.Data1 = d[0];
    busClass.Data2 = (USHORT)d[1];
    busClass.Data3 = (USHORT)d[2];
    for (int i = 0; i < 8; i++) busClass.Data4[i] = (UCHAR)d[3 + i];
    EXPECT_FALSE(IsEqualGUID(busClass, GUID_VIRTUAL_PORT_CLASS)) << "the bus shares the ports' setup class";

    auto link = hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).at(0);
    NTSTATUS status;
    EXPECT_EQ(hk::OpenDeviceInterface(link, GENERIC_READ, &status, hk::User::PlainUser), nullptr);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    for (hk::User user : {hk::User::Administrator, hk::User::LocalSystem}) {
        auto file = hk::OpenDeviceInterface(link, GENERIC_READ | GENERIC_WRITE, &status, user);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_NE(file, nullptr);
    }
    ACCESS_MASK granted;
    EXPECT_EQ(hk::CheckDeviceAccess(busPdo_, hk::User::PlainUser, GENERIC_READ, &granted), STATUS_ACCESS_DENIED);
}

TEST_F(BusTest, WithoutAnySecuritySettingTheBusKeepsItsDefaultDescriptor)
{
    auto link = hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).at(0);
    NTSTATUS status;
    auto user = hk::OpenDeviceInterface(link, GENERIC_READ, &status, hk::User::PlainUser);
    EXPECT_EQ(status, STATUS_SUCCESS) << "the platform's default lets anyone read";
}

// The bus's lower device holds the system-control requests the bus passes down, so a request
// stays inside the bus until the test releases it.
class HeldRequestBusTest : public BusTest {
protected:
    HeldRequestBusTest() { hold_.Install(behavior_, IRP_MJ_SYSTEM_CONTROL); }

    void TearDown() override
    {
        hold_.Release();
        if (sender_.joinable()) sender_.join();
        BusTest::TearDown();
    }

    void SendHeldRequest()
    {
        sender_ = std::thread([this] {
            senderStatus_ = hk::SendDirect(busDevice_, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA).Status;
        });
        ASSERT_TRUE(hold_.WaitHeld());
    }

    bool RootSaw(UCHAR minor)
    {
        for (const auto& r : hk::RootDeviceLog(busPdo_)) {
            if (r.Major == IRP_MJ_PNP && r.Minor == minor) return true;
        }
        return false;
    }

    LONG GateCount() { return InterlockedCompareExchange(&bus_->Gate.OutstandingCount, 0, 0); }

    LowerDeviceHold hold_;
    std::thread sender_;
    std::atomic<NTSTATUS> senderStatus_{STATUS_PENDING};
};

}  // namespace

TEST_F(UnstartedBusTest, InterfaceIsFoundAndOpenedOnlyAfterTheStart)
{
    EXPECT_TRUE(hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).empty());
    NTSTATUS status;
    EXPECT_EQ(hk::File::Open(busPdo_, GENERIC_READ, &status), nullptr) << "opened before the start";

    ASSERT_EQ(hk::StartDevice(busPdo_), STATUS_SUCCESS);
    EXPECT_EQ(bus_->Header.PnpState, PnpStarted);
    EXPECT_EQ(bus_->Header.DevicePowerState, PowerDeviceD0);
    auto links = hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0], Wide(&bus_->InterfaceName));
    auto file = hk::OpenDeviceInterface(links[0], GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);

    ASSERT_EQ(hk::RemoveDevice(busPdo_), STATUS_SUCCESS);
    EXPECT_TRUE(hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).empty());
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

TEST_F(AddBusDeviceTest, FailedInterfaceRegistrationOrAttachLeavesNothing)
{
    size_t pool = hk::PoolAllocations();
    NTSTATUS status = STATUS_SUCCESS;
    hk::FailNextRoutineCall("IoRegisterDeviceInterface", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hk::CreateRootDevice(driver_, &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
    EXPECT_EQ(hk::PoolAllocations(), pool);

    // The interface is registered by then: its name goes with the device.
    hk::FailNextRoutineCall("IoAttachDeviceToDeviceStack");
    EXPECT_EQ(hk::CreateRootDevice(driver_, &status), nullptr);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
    EXPECT_EQ(hk::PoolAllocations(), pool);

    PDEVICE_OBJECT pdo = hk::CreateRootDevice(driver_, &status);
    ASSERT_EQ(status, STATUS_SUCCESS) << "nothing of the failures is in the way";
    EXPECT_EQ(hk::StartDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(hk::RemoveDevice(pdo), STATUS_SUCCESS);
}

TEST_F(UnstartedBusTest, StartWhoseInterfaceCannotBeEnabledFailsAndTheBusIsRemoved)
{
    hk::FailNextRoutineCall("IoSetDeviceInterfaceState", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hk::StartDevice(busPdo_), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hk::QueryDeviceNode(busPdo_).State, DeviceNodeState::StartFailed);
    EXPECT_EQ(busPdo_->AttachedDevice, nullptr);
    EXPECT_TRUE(hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).empty());
}

TEST_F(PendingStartBusTest, StartThatTheLowerDriverPendsCompletesWhenItFinishes)
{
    ASSERT_EQ(hk::StartDevice(busPdo_), STATUS_SUCCESS);
    EXPECT_EQ(bus_->Header.PnpState, PnpStarted);
    EXPECT_EQ(hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).size(), 1u);
}

TEST_F(FailingStartBusTest, LowerDriverStartFailureIsReturnedAndTheInterfaceStaysHidden)
{
    EXPECT_EQ(hk::StartDevice(busPdo_), STATUS_DEVICE_POWER_FAILURE);
    EXPECT_TRUE(hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).empty());
    // The manager removes a stack whose start failed: the bus device is gone, below it the root device stays.
    EXPECT_EQ(hk::QueryDeviceNode(busPdo_).State, DeviceNodeState::StartFailed);
    EXPECT_EQ(busPdo_->AttachedDevice, nullptr);
    for (const auto& call : hk::InterfaceStateCalls()) EXPECT_FALSE(call.Enable);
}

TEST_F(BusTest, PortAppearsAfterInvalidationIsQueriedAndStarted)
{
    EXPECT_TRUE(hk::DeviceChildren(busPdo_).empty());
    PDEVICE_OBJECT port = Plug(9);
    ASSERT_EQ(hk::DeviceChildren(busPdo_), std::vector<PDEVICE_OBJECT>{port});
    EXPECT_EQ(hk::QueryDeviceNode(port).State, DeviceNodeState::Started);
    EXPECT_EQ(Record(port)->Header.PnpState, PnpStarted);
    EXPECT_EQ(Record(port)->Header.DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(bus_->ChildCount, 1u);
    // Only the manager's own reference (from the relations) and the creator's are held.
    EXPECT_EQ(hk::ObjectReferenceCount(port), 2);

    auto minors = MinorsSentTo(port);
    for (UCHAR expected : {IRP_MN_QUERY_ID, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_DEVICE_TEXT,
                           IRP_MN_QUERY_BUS_INFORMATION, IRP_MN_START_DEVICE}) {
        EXPECT_NE(std::find(minors.begin(), minors.end(), expected), minors.end()) << (int)expected;
    }

    // A second announcement changes nothing and drops the reference it was handed.
    Announce();
    EXPECT_EQ(hk::ObjectReferenceCount(port), 2);
    EXPECT_EQ(hk::DeviceChildren(busPdo_).size(), 1u);
}

TEST_F(BusTest, UnpluggedPortIsLeftOutRemovedAndDestroyed)
{
    PDEVICE_OBJECT keep = Plug(10);
    PDEVICE_OBJECT port = Plug(9);
    hk::ClearManagerLog();

    Unplug(port);
    EXPECT_EQ(hk::DeviceChildren(busPdo_), std::vector<PDEVICE_OBJECT>{keep});
    EXPECT_EQ(hk::QueryDeviceNode(port).State, DeviceNodeState::Unknown);
    EXPECT_FALSE(Alive(port));
    EXPECT_EQ(hk::RunningSystemThreadCount(), 2u);
    EXPECT_EQ(bus_->ChildCount, 1u);
    EXPECT_EQ(CONTAINING_RECORD(bus_->ChildList.Flink, PortDeviceData, ChildLink), Record(keep));
    // A started child that goes missing is surprise-removed before its removal.
    EXPECT_EQ(MinorsSentTo(port), (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(Record(keep)->Header.PnpState, PnpStarted);
}

TEST_F(NoPortDriverBusTest, ChildWithoutDriverIsNeverStartedAndOnlyRemovedWhenMissing)
{
    PDEVICE_OBJECT port = Plug(11);
    EXPECT_EQ(hk::QueryDeviceNode(port).State, DeviceNodeState::Enumerated);
    EXPECT_EQ(Record(port)->Header.PnpState, PnpNotStarted);
    hk::ClearManagerLog();
    Unplug(port);
    EXPECT_FALSE(Alive(port));
    EXPECT_EQ(MinorsSentTo(port), std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
}

TEST_F(BusTest, RemoveOfAPluggedPortKeepsItForANewStart)
{
    PDEVICE_OBJECT port = Plug(9);
    ASSERT_EQ(hk::RemoveDevice(port), STATUS_SUCCESS);
    EXPECT_EQ(hk::QueryDeviceNode(port).State, DeviceNodeState::Removed);
    EXPECT_TRUE(Alive(port));
    EXPECT_EQ(Record(port)->Header.PnpState, PnpNotStarted);
    EXPECT_EQ(Record(port)->Header.PreviousPnpState, PnpRemovePending);
    EXPECT_NE(Record(port)->HardwareIds, nullptr);
    EXPECT_EQ(bus_->ChildCount, 1u);

    // Still reported: a new announcement leaves it alone.
    Announce();
    EXPECT_TRUE(Alive(port));

    ASSERT_EQ(hk::StartDevice(port), STATUS_SUCCESS);
    EXPECT_EQ(Record(port)->Header.PnpState, PnpStarted);
    EXPECT_EQ(hk::QueryDeviceNode(port).State, DeviceNodeState::Started);
}

TEST_F(BusTest, RemoveOfAnUnpluggedPortNotYetLeftOutChangesNothing)
{
    PDEVICE_OBJECT port = Plug(9);
    StopBus();  // its announcement of the unplug is acted on only at the next start
    Unplug(port);
    auto result = hk::SendDirect(port, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_TRUE(Alive(port));
    EXPECT_EQ(Record(port)->Header.PnpState, PnpStarted);
    EXPECT_EQ(bus_->ChildCount, 1u);

    ASSERT_TRUE(NT_SUCCESS(hk::StartDevice(busPdo_)));
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_FALSE(Alive(port));
    EXPECT_EQ(bus_->ChildCount, 0u);
}

TEST_F(BusTest, EjectGoesQueryRemoveRemoveEjectThenThePortDisappears)
{
    PDEVICE_OBJECT port = Plug(9);
    hk::ClearManagerLog();
    IoRequestDeviceEject(port);
    ASSERT_TRUE(hk::WaitPnpIdle());

    EXPECT_FALSE(Alive(port));
    EXPECT_EQ(bus_->ChildCount, 0u);
    std::vector<std::pair<PDEVICE_OBJECT, UCHAR>> seen;
    for (const auto& r : hk::ManagerLog()) seen.emplace_back(r.Pdo, r.Minor);
    std::vector<std::pair<PDEVICE_OBJECT, UCHAR>> expected = {
        {port, IRP_MN_QUERY_REMOVE_DEVICE},        {port, IRP_MN_REMOVE_DEVICE}, {port, IRP_MN_EJECT},
        {busPdo_, IRP_MN_QUERY_DEVICE_RELATIONS}, {port, IRP_MN_REMOVE_DEVICE},
    };
    EXPECT_EQ(seen, expected);
}

TEST_F(BusTest, QueryStopAndStopSucceedWithPortsAndTheBusStartsAgain)
{
    Plug(9);
    ASSERT_EQ(hk::StopDevice(busPdo_), STATUS_SUCCESS);
    EXPECT_EQ(bus_->Header.PnpState, PnpStopped);
    EXPECT_EQ(bus_->Header.PreviousPnpState, PnpStopPending);
    EXPECT_EQ(bus_->Gate.OutstandingCount, 1);

    EXPECT_TRUE(NT_SUCCESS(hk::StartDevice(busPdo_)));
    EXPECT_EQ(bus_->Header.PnpState, PnpStarted);
    EXPECT_EQ(hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).size(), 1u);
}

TEST_F(BusTest, CancelledQueriesRestoreTheBusState)
{
    auto send = [&](UCHAR minor) { return hk::SendDirect(busPdo_, IRP_MJ_PNP, minor).Status; };
    EXPECT_EQ(send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus_->Header.PnpState, PnpRemovePending);
    // A cancel of the other kind does not restore anything.
    EXPECT_EQ(send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus_->Header.PnpState, PnpRemovePending);
    EXPECT_EQ(send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus_->Header.PnpState, PnpStarted);
    EXPECT_EQ(send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bus_->Header.PnpState, PnpStarted);
    EXPECT_EQ(bus_->Gate.OutstandingCount, 1);
}

TEST_F(BusTest, PortStopQueriesMoveItsStateAndTheirCancelRestoresIt)
{
    PDEVICE_OBJECT port = Plug(9);
    auto state = [&] { return Record(port)->Header.PnpState; };
    auto send = [&](UCHAR minor) { return hk::SendDirect(port, IRP_MJ_PNP, minor).Status; };
    EXPECT_EQ(send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(state(), PnpStopPending);
    EXPECT_EQ(send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(state(), PnpStopPending) << "a cancel of the other kind restores nothing";
    EXPECT_EQ(send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(state(), PnpStarted);
    EXPECT_EQ(send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(state(), PnpStarted) << "a cancel without its query changes nothing";

    ASSERT_EQ(hk::StopDevice(port), STATUS_SUCCESS);
    EXPECT_EQ(state(), PnpStopped);
    EXPECT_EQ(Record(port)->Header.PreviousPnpState, PnpStopPending);
    ASSERT_EQ(hk::StartDevice(port), STATUS_SUCCESS);
    EXPECT_EQ(state(), PnpStarted);
}

TEST_F(HeldRequestBusTest, StopWaitsForARequestStillInsideTheBus)
{
    SendHeldRequest();
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        EXPECT_EQ(hk::StopDevice(busPdo_), STATUS_SUCCESS);
        stopped = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return RootSaw(IRP_MN_QUERY_STOP_DEVICE); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(stopped) << "the stop finished with a request still inside the bus";
    EXPECT_FALSE(RootSaw(IRP_MN_STOP_DEVICE));

    hold_.Release();
    stopper.join();
    sender_.join();
    EXPECT_TRUE(RootSaw(IRP_MN_STOP_DEVICE));
    EXPECT_EQ(senderStatus_, STATUS_NOT_SUPPORTED) << "the system-control request came back as it went";
    EXPECT_EQ(bus_->Header.PnpState, PnpStopped);
    EXPECT_EQ(bus_->Gate.OutstandingCount, 1);
}

// Between its removal's mark and the last request's leaving, the bus refuses every newcomer.
TEST_F(HeldRequestBusTest, RemovalWaitsForARequestStillInsideTheBusAndRefusesNewcomers)
{
    SendHeldRequest();
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        EXPECT_EQ(hk::RemoveDevice(busPdo_), STATUS_SUCCESS);
        removed = true;
    });
    // The removal has given back its own count and the base count: only the held request's is left.
    EXPECT_TRUE(WaitUntil([&] { return RootSaw(IRP_MN_QUERY_REMOVE_DEVICE) && GateCount() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bool early = removed;
    EXPECT_FALSE(early) << "the removal finished with a request still inside the bus";
    if (!early) {
        EXPECT_EQ(bus_->Header.PnpState, PnpDeleted);
        auto control = hk::SendDirect(busDevice_, IRP_MJ_DEVICE_CONTROL, 0, [](PIO_STACK_LOCATION sp) {
            sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_BUS_GET_VERSION;
        });
        EXPECT_EQ(control.Status, STATUS_NO_SUCH_DEVICE) << "a control request to the deleted bus";
        EXPECT_EQ(control.Information, 0u);
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_CLOSE}) {
            EXPECT_EQ(hk::SendDirect(busDevice_, major, 0).Status, STATUS_NO_SUCH_DEVICE) << (int)major;
        }
        POWER_STATE working;
        working.SystemState = PowerSystemWorking;
        EXPECT_EQ(hk::SendQueryPower(busDevice_, SystemPowerState, working).Status, STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(GateCount(), 1) << "refused newcomers give their count back";
    }

    hold_.Release();
    remover.join();
    sender_.join();
    EXPECT_TRUE(removed);
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

TEST_F(BusTest, SurpriseRemovedBusLetsGoOfAPortStillOpen)
{
    PDEVICE_OBJECT port = Plug(9);
    NTSTATUS status;
    auto file = hk::File::Open(port, GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    hk::SurpriseRemoveDevice(busPdo_);
    // The port's removal waits for its handle; the bus has already let go of it.
    ASSERT_TRUE(Alive(port));
    EXPECT_EQ(Record(port)->Header.PnpState, PnpSurpriseRemovePending);
    EXPECT_EQ(Record(port)->ParentBus, nullptr);
    EXPECT_TRUE(Record(port)->ReportedMissing);
    EXPECT_EQ(Record(port)->ChildLink.Flink, &Record(port)->ChildLink);
    EXPECT_TRUE(IsListEmpty(&bus_->ChildList));

    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    ASSERT_TRUE(hk::WaitDeviceNodeState(busPdo_, DeviceNodeState::Unknown));
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_FALSE(Alive(port));
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

TEST_F(BusTest, RemovingTheBusDestroysEveryPortAndEndsTheirThreads)
{
    PDEVICE_OBJECT ports[] = {Plug(9), Plug(10), Plug(1)};
    StopBus();
    PDEVICE_OBJECT silent = Plug(2);  // linked but never reported
    EXPECT_EQ(hk::RunningSystemThreadCount(), 8u);  // a read and a wait service thread per port
    ASSERT_EQ(hk::RemoveDevice(busPdo_), STATUS_SUCCESS);
    EXPECT_EQ(hk::RunningSystemThreadCount(), 0u);
    for (PDEVICE_OBJECT port : ports) EXPECT_FALSE(Alive(port));
    EXPECT_FALSE(Alive(silent));
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
    EXPECT_TRUE(hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).empty());
}

TEST_F(BusTest, SurpriseRemovalDetachesChildrenAndDisablesTheInterfaceOnce)
{
    PDEVICE_OBJECT ports[] = {Plug(9), Plug(10)};
    auto link = hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).at(0);
    NTSTATUS status;
    auto file = hk::OpenDeviceInterface(link, GENERIC_READ, &status);
    ASSERT_NE(file, nullptr);

    hk::SurpriseRemoveDevice(busPdo_);
    // The children go; the bus waits for its last handle.
    for (PDEVICE_OBJECT port : ports) EXPECT_FALSE(Alive(port));
    EXPECT_EQ(hk::QueryDeviceNode(busPdo_).State, DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(bus_->Header.PnpState, PnpSurpriseRemovePending);
    EXPECT_TRUE(IsListEmpty(&bus_->ChildList));
    EXPECT_TRUE(hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE).empty());

    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    ASSERT_TRUE(hk::WaitDeviceNodeState(busPdo_, DeviceNodeState::Unknown));
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);

    int disables = 0;
    for (const auto& call : hk::InterfaceStateCalls()) {
        if (!call.Enable) {
            disables++;
            EXPECT_EQ(call.Status, STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(disables, 1);
}

// A port plugged in but never reported gets no removal of its own: it dies with the bus.
TEST_F(BusTest, SurpriseRemovalDestroysPortsNeverReported)
{
    PDEVICE_OBJECT reported = Plug(9);
    PDEVICE_OBJECT unreported = Plug(11, {L"VCOMBUS\\Port"}, false);
    EXPECT_TRUE(reported->Flags & DO_BUFFERED_IO) << "reads and writes use the system buffer";
    size_t threads = hk::RunningSystemThreadCount();
    hk::SurpriseRemoveDevice(busPdo_);
    ASSERT_TRUE(hk::WaitDeviceNodeState(busPdo_, DeviceNodeState::Unknown));
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_FALSE(Alive(unreported));
    EXPECT_FALSE(Alive(reported));
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
    EXPECT_LE(hk::RunningSystemThreadCount() + 4, threads) << "both ports' service threads ended";
}

// A handle opened on a port before the Plug and Play manager ever saw it keeps the port's device
// object after the port dies with its bus. What the handle sends then finds the port gone,
// instead of a freed ring and queues whose threads have ended.
TEST_F(BusTest, HandleToAPortDestroyedWithTheBusGetsNoSuchDevice)
{
    StopBus();  // the port stays unreported: only the bus decides its fate
    PDEVICE_OBJECT port = Plug(9);
    NTSTATUS status;
    auto file = hk::File::Open(port, GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    hk::SurpriseRemoveDevice(busPdo_);
    ASSERT_TRUE(hk::WaitDeviceNodeState(busPdo_, DeviceNodeState::Unknown));
    ASSERT_TRUE(hk::WaitPnpIdle());
    ASSERT_TRUE(Alive(port)) << "the open handle holds the device object";

    auto read = file->ReadAsync(4);
    ASSERT_TRUE(read->Wait(std::chrono::seconds(2))) << "a read was parked on a port without service threads";
    EXPECT_EQ(read->Status(), STATUS_NO_SUCH_DEVICE);
    const char bytes[] = "abc";
    EXPECT_EQ(file->Write(bytes, 3)->Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(file->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS))->Status(),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(file->SendAsync(IRP_MJ_FLUSH_BUFFERS)->Status(), STATUS_NO_SUCH_DEVICE);
    file.reset();
    EXPECT_FALSE(Alive(port));
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

// The same port with a request still running inside it when the bus goes: the port is destroyed
// only once the request has left, so what the request does to the port (here a resize of its
// ring) is undone with the port rather than done to a ring already freed.
TEST_F(BusTest, APortDestroyedWithTheBusWaitsForTheRequestRunningInside)
{
    StopBus();
    PDEVICE_OBJECT port = Plug(9);
    NTSTATUS status;
    auto file = hk::File::Open(port, GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PKSPIN_LOCK ring = &Record(port)->Ring.Lock;
    static thread_local bool requester = false;
    std::mutex lock;
    std::condition_variable changed;
    bool held = false, release = false, ringTakenMeanwhile = false;
    hk::SetSpinLockObserver([&](PKSPIN_LOCK acquired) {
        if (acquired != ring) return;
        std::unique_lock guard(lock);
        if (requester && !held) {  // the request's first look at the ring: held there
            held = true;
            changed.notify_all();
            changed.wait_for(guard, std::chrono::seconds(10), [&] { return release; });
        } else if (held && !release) {
            ringTakenMeanwhile = true;  // the destruction reached the ring under the request
            changed.notify_all();
        }
    });
    std::thread sender([&] {
        requester = true;
        SERIAL_QUEUE_SIZE size{8192, 0};
        EXPECT_EQ(file->Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof(size), 0)->Status(), STATUS_SUCCESS);
    });
    std::atomic<bool> removed{false};
    {
        std::unique_lock guard(lock);
        if (!changed.wait_for(guard, std::chrono::seconds(10), [&] { return held; })) {
            ADD_FAILURE() << "the request never looked at the ring";
            release = true;
            guard.unlock();
            sender.join();
            hk::SetSpinLockObserver(nullptr);
            return;
        }
    }
    std::thread remover([&] {
        hk::SurpriseRemoveDevice(busPdo_);
        removed = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return ReadPnpState(&Record(port)->Header) == PnpDeleted; }));
    {
        std::unique_lock guard(lock);
        changed.wait_for(guard, std::chrono::milliseconds(200), [&] { return ringTakenMeanwhile || removed; });
        EXPECT_FALSE(ringTakenMeanwhile) << "the port's ring was freed under the request running inside it";
        EXPECT_FALSE(removed) << "the removal finished with a request still inside a port it destroyed";
        release = true;
        changed.notify_all();
    }
    sender.join();
    remover.join();
    hk::SetSpinLockObserver(nullptr);
    ASSERT_TRUE(hk::WaitDeviceNodeState(busPdo_, DeviceNodeState::Unknown));
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_EQ(file->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS))->Status(),
              STATUS_NO_SUCH_DEVICE);
    file.reset();
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

// A port that is surprise-removed when the bus is removed outlives the bus, detached; its own
// removal deletes it later without touching the bus.
TEST_F(BusTest, SurpriseRemovedPortOutlivesTheBusAndItsCapabilityQueryFails)
{
    StopBus();  // the ports stay unreported: the bus alone decides their fate
    PDEVICE_OBJECT gone = Plug(9);
    PDEVICE_OBJECT detached = Plug(10);
    EXPECT_EQ(hk::SendDirect(detached, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);

    ASSERT_EQ(hk::RemoveDevice(busPdo_), STATUS_SUCCESS);
    EXPECT_FALSE(Alive(gone));
    ASSERT_TRUE(Alive(detached));
    auto port = Record(detached);
    EXPECT_EQ(port->ParentBus, nullptr);
    EXPECT_EQ(port->ReportedMissing, TRUE);
    EXPECT_EQ(port->ChildLink.Flink, &port->ChildLink);

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    auto query = hk::SendDirect(detached, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    EXPECT_EQ(query.Status, STATUS_NO_SUCH_DEVICE);

    EXPECT_EQ(hk::SendDirect(detached, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_FALSE(Alive(detached));
}

TEST_F(BusTest, RelationsFromAboveGoDownUntouchedWithoutChildren)
{
    auto above = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), hk::Tag("Test"));
    above->Count = 1;
    above->Objects[0] = busPdo_;
    auto result = hk::SendDirect(
        busPdo_, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; }, (ULONG_PTR)above);
    EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.Information, (ULONG_PTR)above);
    ExFreePoolWithTag(above, hk::Tag("Test"));

    // Without a list from above and without children, the answer is an empty list.
    result = hk::SendDirect(busPdo_, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                            [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; });
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    ASSERT_NE(result.Information, 0u);
    EXPECT_EQ(((PDEVICE_RELATIONS)result.Information)->Count, 0u);
    ExFreePool((PVOID)result.Information);
}

TEST_F(BusTest, RelationsFromAboveComeFirstAndNoPoolKeepsThem)
{
    // Reported while the bus runs: a port never reported would go at once with its unplug.
    PDEVICE_OBJECT unplugged = Plug(10);
    StopBus();  // nothing reports the ports but the requests of this test
    PDEVICE_OBJECT present = Plug(9);
    Unplug(unplugged);
    auto above = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), hk::Tag("Test"));
    above->Count = 1;
    above->Objects[0] = busPdo_;
    auto prepare = [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; };

    hk::FailNextAllocations(1, kPoolTag);
    auto refused = hk::SendDirect(busPdo_, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, prepare, (ULONG_PTR)above);
    EXPECT_EQ(refused.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(refused.Information, (ULONG_PTR)above);

    auto result = hk::SendDirect(busPdo_, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, prepare, (ULONG_PTR)above);
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    auto relations = (PDEVICE_RELATIONS)result.Information;
    ASSERT_EQ(relations->Count, 2u);
    EXPECT_EQ(relations->Objects[0], busPdo_);
    EXPECT_EQ(relations->Objects[1], present);
    EXPECT_EQ(Record(unplugged)->ReportedMissing, TRUE);
    EXPECT_EQ(Record(present)->ReportedMissing, FALSE);
    ObDereferenceObject(present);  // the reference handed to whoever asked
    ExFreePool(relations);
}

TEST_F(BusTest, PortHandleOutlivesTheSurpriseRemovalOfTheBus)
{
    PDEVICE_OBJECT port = Plug(9);
    NTSTATUS status;
    auto file = hk::File::Open(port, GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    hk::SurpriseRemoveDevice(busPdo_);
    // The port's stack stays until its handle is closed, and answers it meanwhile.
    EXPECT_EQ(hk::QueryDeviceNode(port).State, DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(hk::QueryDeviceNode(busPdo_).State, DeviceNodeState::SurpriseRemoved);
    auto flush = file->SendAsync(IRP_MJ_FLUSH_BUFFERS);
    ASSERT_TRUE(flush->Wait());
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    ASSERT_TRUE(hk::WaitDeviceNodeState(busPdo_, DeviceNodeState::Unknown));
    ASSERT_TRUE(hk::WaitPnpIdle());
    EXPECT_FALSE(Alive(port));
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

TEST_F(BusTest, OpenPortVetoesTheOrderlyRemovalOfTheBus)
{
    PDEVICE_OBJECT port = Plug(9);
    NTSTATUS status;
    auto file = hk::File::Open(port, GENERIC_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(hk::RemoveDevice(busPdo_), STATUS_DEVICE_BUSY);
    EXPECT_EQ(hk::QueryDeviceNode(port).State, DeviceNodeState::Started);
    EXPECT_EQ(Record(port)->Header.PnpState, PnpStarted);
    file.reset();
}
