// Injection: in the real-port mode a flagged hub port's write goes out through the real serial
// port, on the file object of the application that holds the real port open, and the writer
// waits for the real port to complete it: for a bounded time, until its own write is cancelled,
// and never holding up the tap's end.
#include "tap_fixture.h"
#include "routing/injection.h"

#include <atomic>
#include <functional>
#include <future>

namespace {

constexpr ULONG kInjectTag = MakePoolTag('g', 'a', 'T', 'I');

// Run once by the next request the driver allocates, before it is allocated: set while an
// injection is the only thing the driver does, the moment it has taken the real port's open and
// not yet sent its write.
std::atomic<std::function<void()>*> g_beforeNextWriteBuilt{nullptr};

// The hub port's write as it reaches the driver (routed through this, then to the driver's own).
std::atomic<PIRP> g_hubWrite{nullptr};
NTSTATUS RecordHubWrite(PDEVICE_OBJECT top, PIRP irp)
{
    g_hubWrite = irp;
    return top->DriverObject->MajorFunction[IRP_MJ_WRITE](top, irp);
}

}  // namespace

// What the last injection returned (tap_routing_test.cpp's wrapper records it).
extern std::atomic<NTSTATUS> g_lastInjectionStatus;

extern "C" PIRP __real_IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
extern "C" PIRP __wrap_IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota)
{
    if (auto hook = g_beforeNextWriteBuilt.exchange(nullptr)) (*hook)();
    return __real_IoAllocateIrp(stackSize, chargeQuota);
}

namespace {

class TapInjectionTest : public TapTest {
protected:
    void SetUp() override
    {
        TapTest::SetUp();
        if (HasFatalFailure()) return;
        for (ULONG n : {1u, 2u}) {
            hub_[n] = PlugIn(n);
            ASSERT_NE(hub_[n], nullptr);
            files_[n] = Open(hub_[n]);
        }
        real_ = &RealPort();
        ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
        tapDevice_ = bus_->TapDevice;
        RoutingConfig config = MakeConfig();
        config.RealPortMode = 1;
        config.PortFlags[0] = 1;
        config.CaptureDirection = 1;  // injected bytes must still not come back as captured
        ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, config), STATUS_SUCCESS);
        OpenRealPort();
    }

    void TearDown() override
    {
        app_.reset();
        for (auto& file : files_) file.reset();
        TapTest::TearDown();
    }

    void OpenRealPort()
    {
        NTSTATUS status;
        app_ = hk::File::Open(real_->Device(), GENERIC_READ | GENERIC_WRITE, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    NTSTATUS Inject(const char* text)
    {
        return InjectWrite(tapDevice_, (const UCHAR*)text, (ULONG)strlen(text), nullptr);
    }

    size_t WritesSeen() { return real_->Requests(IRP_MJ_WRITE).size(); }

    FakeSerialPort* real_ = nullptr;
    PDEVICE_OBJECT tapDevice_ = nullptr;
    std::unique_ptr<hk::File> app_;
    PDEVICE_OBJECT hub_[3] = {};
    std::unique_ptr<hk::File> files_[3];
};

TEST_F(TapInjectionTest, AHubPortsWriteReachesTheRealPortOnTheApplicationsOpen)
{
    auto write = files_[1]->Write("hello", 5);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 5u);
    EXPECT_EQ(real_->Written(), Bytes("hello"));
    auto seen = real_->Requests(IRP_MJ_WRITE);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].FileObject, app_->Object());
    EXPECT_EQ(seen[0].Irql, PASSIVE_LEVEL);
    EXPECT_EQ(Held(hub_[1]) + Held(hub_[2]), 0u) << "an injection is never captured";
    EXPECT_EQ(hk::PoolAllocations(kInjectTag), 0u);

    // The real port's own failure is the injection's status; the hub port's write still succeeds.
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Now(STATUS_INTERNAL_ERROR));
    EXPECT_EQ(Inject("x"), STATUS_INTERNAL_ERROR);
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Now(STATUS_INTERNAL_ERROR));
    EXPECT_EQ(files_[1]->Write("y", 1)->Status(), STATUS_SUCCESS);
}

// Completed later from another thread at DISPATCH_LEVEL: the injection waits and reports the
// status the real port gave.
TEST_F(TapInjectionTest, APendingWriteIsWaitedFor)
{
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Later(STATUS_TIMEOUT, std::chrono::milliseconds(100)));
    EXPECT_EQ(Inject("slow"), STATUS_TIMEOUT);
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Hold());
    auto injection = std::async(std::launch::async, [&] { return Inject("held"); });
    ASSERT_TRUE(real_->WaitHeld(1));
    EXPECT_EQ(injection.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(real_->ReleaseHeld(STATUS_SUCCESS), 1u);
    EXPECT_EQ(injection.get(), STATUS_SUCCESS);
    EXPECT_EQ(real_->Written(), Bytes("slowheld"));
    EXPECT_EQ(hk::PoolAllocations(kInjectTag), 0u);
}

TEST_F(TapInjectionTest, RefusalsSendNothing)
{
    size_t before = WritesSeen();
    size_t pool = hk::PoolAllocations();
    hk::RunAtIrql(DISPATCH_LEVEL, [&] { EXPECT_EQ(Inject("irql"), STATUS_INSUFFICIENT_RESOURCES); });
    EXPECT_EQ(hk::PoolAllocations(), pool);

    ASSERT_EQ(Control(IOCTL_TAP_DISABLE), STATUS_SUCCESS);
    EXPECT_EQ(Inject("disabled"), STATUS_INSUFFICIENT_RESOURCES);
    RoutingConfig config = MakeConfig();
    ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, config), STATUS_SUCCESS);
    EXPECT_EQ(Inject("on"), STATUS_SUCCESS);
    before++;

    app_->Cleanup();
    EXPECT_EQ(Inject("cleaned up"), STATUS_INSUFFICIENT_RESOURCES);
    app_.reset();
    EXPECT_EQ(Inject("closed"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WritesSeen(), before);

    OpenRealPort();
    EXPECT_EQ(Inject("again"), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    EXPECT_EQ(Inject("detached"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WritesSeen(), before + 1);
    EXPECT_EQ(real_->Written(), Bytes("onagain"));
    EXPECT_EQ(hk::PoolAllocations(kInjectTag), 0u);
}

// An application that opened the real port before the tap came counts as not open.
TEST_F(TapInjectionTest, AnOpenFromBeforeTheTapIsNotUsed)
{
    app_.reset();
    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    OpenRealPort();
    ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
    tapDevice_ = bus_->TapDevice;
    RoutingConfig config = MakeConfig();
    ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, config), STATUS_SUCCESS);
    EXPECT_EQ(Inject("early"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(real_->Written().empty());
}

// The application may close its handle to the real port just as a hub port's write, admitted on
// its open, goes down: the file object handed to the real port's driver must still be there, and
// the port's close comes only once the injection has let go of it.
TEST_F(TapInjectionTest, TheApplicationsCloseDuringAnInjectionWaitsForItsFileObject)
{
    PFILE_OBJECT file = app_->Object();
    std::function<void()> closeNow = [&] { app_.reset(); };
    g_beforeNextWriteBuilt = &closeNow;
    auto write = files_[1]->Write("late", 4);
    EXPECT_EQ(g_beforeNextWriteBuilt.load(), nullptr) << "the injection never built its write";
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(real_->Written(), Bytes("late"));
    auto seen = real_->Requests();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[seen.size() - 3].Major, IRP_MJ_CLEANUP);
    EXPECT_EQ(seen[seen.size() - 2].Major, IRP_MJ_WRITE);
    EXPECT_EQ(seen[seen.size() - 2].FileObject, file);
    EXPECT_EQ(seen.back().Major, IRP_MJ_CLOSE) << "the close came before the injected write";
    EXPECT_EQ(seen.back().FileObject, file);
    EXPECT_EQ(Inject("after"), STATUS_INSUFFICIENT_RESOURCES) << "the open is gone";
    g_beforeNextWriteBuilt = nullptr;
}

// A detach that comes while an injection waits for the real port doesn't wait for it: the tap
// stops taking injections at once, and the one in progress still ends when the port completes it.
TEST_F(TapInjectionTest, ADetachDoesNotWaitForAnInjectionInProgress)
{
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Hold());
    auto injection = std::async(std::launch::async, [&] { return Inject("pending"); });
    ASSERT_TRUE(real_->WaitHeld(1));
    auto detach = std::async(std::launch::async, [&] { return Control(IOCTL_TAP_DETACH); });
    EXPECT_EQ(detach.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the detach waited for the injection below the tap";
    EXPECT_EQ(Inject("late"), STATUS_INSUFFICIENT_RESOURCES) << "no injection starts after the end";
    EXPECT_EQ(real_->ReleaseHeld(STATUS_SUCCESS), 1u);
    EXPECT_EQ(injection.get(), STATUS_SUCCESS);
    EXPECT_EQ(detach.get(), STATUS_SUCCESS);
    EXPECT_EQ(real_->Written(), Bytes("pending"));
}

// A real port held by flow control, whose driver can't take the write back: the writer gives up
// after the time limit with STATUS_TIMEOUT, and the write, with its copy of the bytes and its hold
// on the application's open, lives on below until the port completes it.
TEST_F(TapInjectionTest, AnInjectionGivesUpAfterItsTimeLimitAndItsWriteFinishesLater)
{
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::HoldUncancelable());
    std::vector<char> bytes = {'s', 't', 'u', 'c', 'k', 0};
    auto injection = std::async(std::launch::async, [&] { return Inject(bytes.data()); });
    ASSERT_TRUE(real_->WaitHeld(1));
    bool returned = injection.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "the injection waited past its time limit";
    EXPECT_EQ(real_->HeldCount(), 1u);
    EXPECT_EQ(hk::PoolAllocations(kInjectTag), 1u) << "the write's record is below with it";
    bytes.assign(bytes.size(), 'x');  // the writer's buffer is gone, as far as the write is concerned

    EXPECT_EQ(real_->ReleaseHeld(STATUS_SUCCESS), 1u);
    EXPECT_EQ(injection.get(), returned ? STATUS_TIMEOUT : STATUS_SUCCESS);
    EXPECT_EQ(real_->Written(), Bytes("stuck"));
    EXPECT_EQ(hk::PoolAllocations(kInjectTag), 0u) << "the write's completion freed it";
    PFILE_OBJECT file = app_->Object();
    app_.reset();
    auto seen = real_->Requests();
    EXPECT_EQ(seen.back().Major, IRP_MJ_CLOSE) << "the write let go of the application's open";
    EXPECT_EQ(seen.back().FileObject, file);
}

// The hub port's writer cancels its write (CancelIo, or its thread ends) while the injection waits:
// the wait ends at once with STATUS_CANCELLED, the write below is cancelled too, and the hub
// port's write completes as any write whose injection failed.
TEST_F(TapInjectionTest, CancellingTheHubPortsWriteEndsItsInjection)
{
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Hold());
    g_hubWrite = nullptr;
    files_[1]->Route(IRP_MJ_WRITE, RecordHubWrite);
    auto write = std::async(std::launch::async, [&] { return files_[1]->Write("cancel", 6)->Status(); });
    ASSERT_TRUE(real_->WaitHeld(1));
    ASSERT_NE(g_hubWrite.load(), nullptr);
    hk::RunAtIrql(APC_LEVEL, [&] { IoCancelIrp(g_hubWrite.load()); });
    EXPECT_EQ(write.get(), STATUS_SUCCESS);
    EXPECT_EQ(g_lastInjectionStatus.load(), STATUS_CANCELLED);
    EXPECT_EQ(real_->HeldCount(), 0u) << "the injected write was cancelled";
    EXPECT_TRUE(real_->Written().empty());
    EXPECT_EQ(hk::PoolAllocations(kInjectTag), 0u);
    files_[1]->Route(IRP_MJ_WRITE, nullptr);
}

}  // namespace
