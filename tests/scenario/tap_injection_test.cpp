// Injection: in the real-port mode a flagged hub port's write goes out through the real serial
// port, on the file object of the application that holds the real port open, and the writer
// waits for the real port to complete it.
#include "tap_fixture.h"
#include "routing/injection.h"

#include <atomic>
#include <functional>
#include <future>

namespace {

constexpr ULONG kInjectTag = MakePoolTag('g', 'a', 'T', 'I');

// Run once by the next write built with IoBuildSynchronousFsdRequest, before it is built: the
// moment an injection has taken the real port's open and not yet sent its write.
std::atomic<std::function<void()>*> g_beforeNextWriteBuilt{nullptr};

}  // namespace

extern "C" PIRP __real_IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                                    PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK iosb);
extern "C" PIRP __wrap_IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                                    PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    if (major == IRP_MJ_WRITE) {
        if (auto hook = g_beforeNextWriteBuilt.exchange(nullptr)) (*hook)();
    }
    return __real_IoBuildSynchronousFsdRequest(major, device, buffer, length, offset, event, iosb);
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

    NTSTATUS Inject(const char* text) { return InjectWrite(tapDevice_, (const UCHAR*)text, (ULONG)strlen(text)); }

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

// A detach that comes while an injection waits for the real port leaves the tap in place until
// the injection is done.
TEST_F(TapInjectionTest, ADetachWaitsForAnInjectionInProgress)
{
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Hold());
    auto injection = std::async(std::launch::async, [&] { return Inject("pending"); });
    ASSERT_TRUE(real_->WaitHeld(1));
    auto detach = std::async(std::launch::async, [&] { return Control(IOCTL_TAP_DETACH); });
    EXPECT_TRUE(WaitUntil([&] { return !ReadNoFence(&TapAttached); }));
    EXPECT_EQ(detach.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "the tap left while its injection was still below it";
    EXPECT_EQ(Inject("late"), STATUS_INSUFFICIENT_RESOURCES) << "no injection starts after the end";
    EXPECT_EQ(real_->ReleaseHeld(STATUS_SUCCESS), 1u);
    EXPECT_EQ(injection.get(), STATUS_SUCCESS);
    EXPECT_EQ(detach.get(), STATUS_SUCCESS);
    EXPECT_EQ(real_->Written(), Bytes("pending"));
}

}  // namespace
