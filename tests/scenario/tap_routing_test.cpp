// The hub's routing with a tap attached, set the way the control application sets it: flagged hub
// ports write to the master, or through the tap into the real port, and nothing moves once the
// tap is gone.
#include "tap_fixture.h"

#include <atomic>
#include <mutex>

namespace {

// What reached the injection into the real port. The test binary is linked with the injection
// wrapped (tests/CMakeLists.txt): each call is recorded here, then handed to the driver's own.
struct Injection {
    PDEVICE_OBJECT Tap;
    std::vector<UCHAR> Bytes;
};
std::mutex g_injectionLock;
std::vector<Injection> g_injections;

std::vector<Injection> TakeInjections()
{
    std::lock_guard guard(g_injectionLock);
    return std::exchange(g_injections, {});
}

}  // namespace

// The status of the last injection through the wrapper (tap_injection_test.cpp reads it).
std::atomic<NTSTATUS> g_lastInjectionStatus{STATUS_PENDING};

extern "C" NTSTATUS __real__Z11InjectWriteP14_DEVICE_OBJECTPKhjP4_IRP(PDEVICE_OBJECT tap, const UCHAR* bytes,
                                                                       ULONG length, PIRP request);
extern "C" NTSTATUS __wrap__Z11InjectWriteP14_DEVICE_OBJECTPKhjP4_IRP(PDEVICE_OBJECT tap, const UCHAR* bytes,
                                                                       ULONG length, PIRP request)
{
    {
        std::lock_guard guard(g_injectionLock);
        g_injections.push_back({tap, std::vector<UCHAR>(bytes, bytes + length)});
    }
    NTSTATUS status = __real__Z11InjectWriteP14_DEVICE_OBJECTPKhjP4_IRP(tap, bytes, length, request);
    g_lastInjectionStatus = status;
    return status;
}

namespace {

class TapRoutingTest : public TapTest {
protected:
    void SetUp() override
    {
        TapTest::SetUp();
        if (HasFatalFailure()) return;
        TakeInjections();
        for (ULONG n = 1; n <= 8; n++) {
            hub_[n] = PlugIn(n);
            ASSERT_NE(hub_[n], nullptr);
            files_[n] = Open(hub_[n]);
        }
    }

    void TearDown() override
    {
        for (auto& file : files_) file.reset();
        TapTest::TearDown();
    }

    void Route(ULONG master, bool realPort, std::initializer_list<std::pair<ULONG, UCHAR>> flags)
    {
        RoutingConfig config = MakeConfig();
        config.MasterPortNumber = master;
        config.RealPortMode = realPort;
        for (auto [port, flag] : flags) config.PortFlags[port - 1] = flag;
        ASSERT_EQ(Configure(IOCTL_ROUTING_CONFIGURE, config), STATUS_SUCCESS);
    }

    void WriteFrom(ULONG n, const char* text)
    {
        auto write = files_[n]->Write(text, (ULONG)strlen(text));
        EXPECT_EQ(write->Status(), STATUS_SUCCESS);
        EXPECT_EQ(write->Information(), strlen(text)) << "a write always reports all its bytes";
    }

    std::vector<UCHAR> Take(ULONG n)
    {
        EXPECT_EQ(SetReadTimeouts(*files_[n], 0xFFFFFFFF, 0, 0), STATUS_SUCCESS);
        return files_[n]->Read(256)->Output();
    }

    ULONG HeldOnHub()
    {
        ULONG held = 0;
        for (ULONG n = 1; n <= 8; n++) held += Held(hub_[n]);
        return held;
    }

    PDEVICE_OBJECT hub_[9] = {};
    std::unique_ptr<hk::File> files_[9];
};

TEST_F(TapRoutingTest, FlaggedHubPortsWriteToTheMasterOnlyWhileATapIsAttached)
{
    RealPort();
    Route(3, false, {{1, 1}, {2, 1}});
    WriteFrom(1, "one");
    EXPECT_EQ(HeldOnHub(), 0u) << "no tap, no routing";

    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    WriteFrom(1, "one");
    WriteFrom(2, "two");
    EXPECT_EQ(Take(3), Bytes("onetwo"));
    // The master's own writes and those of unflagged ports go nowhere.
    for (ULONG n = 3; n <= 8; n++) WriteFrom(n, "dropped");
    EXPECT_EQ(HeldOnHub(), 0u);

    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    WriteFrom(1, "late");
    WriteFrom(2, "late");
    EXPECT_EQ(HeldOnHub(), 0u);
    EXPECT_TRUE(TakeInjections().empty());
}

// In the real-port mode only the flag value 1 sends a port's bytes into the real port, through the
// tap; no byte reaches another virtual port.
TEST_F(TapRoutingTest, InTheRealPortModeOnlyPortsFlaggedOneReachTheTap)
{
    RealPort();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    Route(3, true, {{1, 1}, {2, 2}});
    WriteFrom(1, "abc");
    WriteFrom(2, "def");
    WriteFrom(3, "ghi");
    auto injections = TakeInjections();
    ASSERT_EQ(injections.size(), 1u);
    EXPECT_EQ(injections[0].Tap, bus_->TapDevice);
    EXPECT_EQ(injections[0].Bytes, Bytes("abc"));
    EXPECT_EQ(HeldOnHub(), 0u);

    // An immediate character goes where a write would.
    UCHAR c = 'z';
    EXPECT_EQ(files_[1]->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0)->Status(), STATUS_SUCCESS);
    injections = TakeInjections();
    ASSERT_EQ(injections.size(), 1u);
    EXPECT_EQ(injections[0].Bytes, Bytes("z"));

    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    WriteFrom(1, "late");
    EXPECT_TRUE(TakeInjections().empty()) << "no tap, nothing for the real port";
}

}  // namespace
