// Capture through the tap: what the real port reads (or sends) reaches the receive rings of the
// hub ports as the real port completes it, and the real port's requests are left as they were.
#include "tap_fixture.h"

#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include "serial/ring.h"

namespace {

// Called before a ring store made at DISPATCH_LEVEL, when set; the store goes on after it.
std::atomic<std::function<void(ReceiveRing*)>*> g_beforeDispatchStore{nullptr};

}  // namespace

extern "C" ULONG __real__Z9RingWriteP11ReceiveRingPKhj(ReceiveRing* ring, const UCHAR* source, ULONG length);
extern "C" ULONG __wrap__Z9RingWriteP11ReceiveRingPKhj(ReceiveRing* ring, const UCHAR* source, ULONG length)
{
    auto hook = g_beforeDispatchStore.load();
    if (hook != nullptr && KeGetCurrentIrql() == DISPATCH_LEVEL) {
        (*hook)(ring);
    }
    return __real__Z9RingWriteP11ReceiveRingPKhj(ring, source, length);
}

namespace {

class TapCaptureTest : public TapTest {
protected:
    void SetUp() override
    {
        TapTest::SetUp();
        if (HasFatalFailure()) return;
        for (ULONG n : {1u, 3u, 5u, 9u, 10u}) {
            ports_[n] = PlugIn(n);
            ASSERT_NE(ports_[n], nullptr);
            files_[n] = Open(ports_[n]);
        }
        real_ = &RealPort();
        ASSERT_EQ(Attach("\\Device\\Serial0"), STATUS_SUCCESS);
        NTSTATUS status;
        app_ = hk::File::Open(real_->Device(), GENERIC_READ | GENERIC_WRITE, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override
    {
        app_.reset();
        for (auto& file : files_) file.reset();
        TapTest::TearDown();
    }

    void Capture(UCHAR direction, ULONG excluded = 0)
    {
        RoutingConfig config = MakeConfig();
        config.CaptureDirection = direction;
        config.ExcludedPort = excluded;
        ASSERT_EQ(Configure(IOCTL_TAP_CONFIGURE, config), STATUS_SUCCESS);
    }

    // What each hub and null-modem port holds, taken out; empty rings read nothing.
    std::vector<UCHAR> Take(ULONG n)
    {
        EXPECT_EQ(SetReadTimeouts(*files_[n], 0xFFFFFFFF, 0, 0), STATUS_SUCCESS);
        return files_[n]->Read(256)->Output();
    }

    ULONG HeldOnAll()
    {
        ULONG held = 0;
        for (ULONG n : {1u, 3u, 5u, 9u, 10u}) held += Held(ports_[n]);
        return held;
    }

    FakeSerialPort* real_ = nullptr;
    std::unique_ptr<hk::File> app_;
    PDEVICE_OBJECT ports_[11] = {};
    std::unique_ptr<hk::File> files_[11];
};

TEST_F(TapCaptureTest, ReceivedDataReachesEveryHubPortButTheExcludedOne)
{
    Capture(0, 3);
    real_->Receive("abc");
    auto read = app_->Read(8);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), Bytes("abc")) << "the application's read is unchanged";
    EXPECT_EQ(Take(1), Bytes("abc"));
    EXPECT_EQ(Take(5), Bytes("abc"));
    EXPECT_EQ(HeldOnAll(), 0u) << "nothing for the excluded port or the null-modem pair";

    // Completed later, at DISPATCH_LEVEL, as from the port's DPC; and a read that timed out with
    // part of its data.
    real_->Script(IRP_MJ_READ, FakeSerialPort::Answer::Later(STATUS_SUCCESS));
    real_->Script(IRP_MJ_READ, FakeSerialPort::Answer::Now(STATUS_TIMEOUT));
    real_->Receive("defgh");
    EXPECT_EQ(app_->Read(2)->Output(), Bytes("de"));
    auto timedOut = app_->Read(8);
    EXPECT_EQ(timedOut->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(timedOut->Output(), Bytes("fgh"));
    EXPECT_EQ(Take(1), Bytes("defgh"));
    EXPECT_EQ(Take(5), Bytes("defgh"));

    // Sent data is not what this direction captures.
    EXPECT_EQ(app_->Write("xyz", 3)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(real_->Written(), Bytes("xyz"));
    EXPECT_EQ(HeldOnAll(), 0u);
}

TEST_F(TapCaptureTest, CapturedBytesWakeTheHubPortsParkedReadsAndWaits)
{
    EndlessClockTick endless;  // every wait that ends here was woken, not polled
    Capture(0);
    auto read = files_[1]->ReadAsync(3);
    ASSERT_EQ(read->DispatchStatus(), STATUS_PENDING);
    ULONG mask = SERIAL_EV_RXCHAR;
    ASSERT_EQ(files_[5]->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0)->Status(), STATUS_SUCCESS);
    auto wait = files_[5]->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    ASSERT_EQ(wait->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return HeldRequest(Record(ports_[1]), true) == read->Irp(); }));
    ASSERT_TRUE(WaitUntil([&] { return HeldRequest(Record(ports_[5]), false) == wait->Irp(); }));

    real_->Receive("abc");
    EXPECT_EQ(app_->Read(8)->Output(), Bytes("abc"));
    ASSERT_TRUE(read->Wait(std::chrono::seconds(5))) << "the parked read was not woken by the captured bytes";
    EXPECT_EQ(read->Output(), Bytes("abc"));
    ASSERT_TRUE(wait->Wait(std::chrono::seconds(5))) << "the parked wait was not woken by the captured bytes";
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
}

TEST_F(TapCaptureTest, FailedAndEmptyRequestsCopyNothing)
{
    Capture(0);
    real_->Receive("lost");
    real_->Script(IRP_MJ_READ, FakeSerialPort::Answer::Now(STATUS_INTERNAL_ERROR));
    EXPECT_EQ(app_->Read(4)->Status(), STATUS_INTERNAL_ERROR);
    real_->Script(IRP_MJ_READ, FakeSerialPort::Answer::Later(STATUS_CANCELLED));
    EXPECT_EQ(app_->Read(4)->Status(), STATUS_CANCELLED);
    EXPECT_EQ(app_->Read(0)->Information(), 0u);
    EXPECT_EQ(HeldOnAll(), 0u);

    // The data was still there for the next good read.
    EXPECT_EQ(app_->Read(4)->Output(), Bytes("lost"));
    for (ULONG n : {1u, 3u, 5u}) EXPECT_EQ(Take(n), Bytes("lost"));
    auto empty = app_->Read(4);
    EXPECT_EQ(empty->Status(), STATUS_SUCCESS);
    EXPECT_EQ(empty->Information(), 0u);
    EXPECT_EQ(HeldOnAll(), 0u);
}

TEST_F(TapCaptureTest, SentDataReachesTheHubPorts)
{
    Capture(1, 5);
    EXPECT_EQ(app_->Write("0123456789", 10)->Information(), 10u);
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Now(STATUS_INTERNAL_ERROR));
    EXPECT_EQ(app_->Write("failed", 6)->Status(), STATUS_INTERNAL_ERROR);
    real_->Receive("in");
    EXPECT_EQ(app_->Read(2)->Output(), Bytes("in"));

    // A write the port reports as only partly sent is captured as far as the count it reported,
    // completed at once or later from the port's DPC; one reported as not sent at all not at all.
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Now().WithCount(4));
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Later().WithCount(3));
    real_->Script(IRP_MJ_WRITE, FakeSerialPort::Answer::Now().WithCount(0));
    EXPECT_EQ(app_->Write("ABCDEFGHIJ", 10)->Information(), 4u);
    EXPECT_EQ(app_->Write("KLMNOP", 6)->Information(), 3u);
    auto unsent = app_->Write("QRS", 3);
    EXPECT_EQ(unsent->Status(), STATUS_SUCCESS);
    EXPECT_EQ(unsent->Information(), 0u);

    EXPECT_EQ(Take(1), Bytes("0123456789ABCDKLM"));
    EXPECT_EQ(Take(3), Bytes("0123456789ABCDKLM"));
    EXPECT_EQ(HeldOnAll(), 0u);
}

// An immediate character goes out ahead of the written data; the port reports it sent with a
// byte count of one, and only then is it a byte the line carried.
TEST_F(TapCaptureTest, AnImmediateCharacterIsCapturedOnceSentAsOneByte)
{
    Capture(1, 3);
    auto immediate = [&](char c) { return app_->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0); };
    auto sent = immediate('!');
    EXPECT_EQ(sent->Status(), STATUS_SUCCESS);
    EXPECT_EQ(sent->Information(), sizeof(UCHAR)) << "the port's answer reaches the application as it was";
    real_->Script(IRP_MJ_DEVICE_CONTROL, FakeSerialPort::Answer::Later());
    EXPECT_EQ(immediate('?')->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Take(1), Bytes("!?"));
    EXPECT_EQ(Take(5), Bytes("!?"));
    EXPECT_EQ(HeldOnAll(), 0u) << "nothing for the excluded port or the null-modem pair";

    // Not sent: no count, a failure (even one that reports a byte), or a direction that captures
    // what the port receives.
    real_->Script(IRP_MJ_DEVICE_CONTROL, FakeSerialPort::Answer::Now().WithCount(0));
    real_->Script(IRP_MJ_DEVICE_CONTROL, FakeSerialPort::Answer::Now(STATUS_INTERNAL_ERROR));
    real_->Script(IRP_MJ_DEVICE_CONTROL, FakeSerialPort::Answer::Later(STATUS_CANCELLED).WithCount(1));
    auto uncounted = immediate('a');
    EXPECT_EQ(uncounted->Status(), STATUS_SUCCESS);
    EXPECT_EQ(uncounted->Information(), 0u);
    EXPECT_EQ(immediate('b')->Status(), STATUS_INTERNAL_ERROR);
    EXPECT_EQ(immediate('c')->Status(), STATUS_CANCELLED);
    Capture(0);
    EXPECT_EQ(immediate('d')->Status(), STATUS_SUCCESS);
    EXPECT_EQ(HeldOnAll(), 0u);
    EXPECT_EQ(real_->ImmediateChars(), Bytes("!?d"));
}

// A direction that names neither captures nothing, but opens are still followed; with capture off
// requests pass down plainly.
TEST_F(TapCaptureTest, OtherDirectionsAndCaptureOffCopyNothingButFollowOpens)
{
    EXPECT_TRUE(Tap()->PortOpen) << "opens are followed before any capture is configured";
    EXPECT_EQ(Tap()->OpenFileObject, app_->Object());
    Capture(2);
    real_->Receive("ab");
    EXPECT_EQ(app_->Read(2)->Output(), Bytes("ab"));
    EXPECT_EQ(app_->Write("cd", 2)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(HeldOnAll(), 0u);

    ASSERT_EQ(Control(IOCTL_TAP_DISABLE), STATUS_SUCCESS);
    app_.reset();
    EXPECT_FALSE(Tap()->PortOpen);
    NTSTATUS status;
    app_ = hk::File::Open(real_->Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(Tap()->PortOpen);
    EXPECT_EQ(Tap()->OpenFileObject, app_->Object());
    real_->Receive("ef");
    EXPECT_EQ(app_->Read(2)->Output(), Bytes("ef"));
    EXPECT_EQ(HeldOnAll(), 0u);
}

// The direction is read again when the request completes; whether capture is on is not.
TEST_F(TapCaptureTest, ARequestHookedBeforeADisableIsCopiedButNotUnderAChangedDirection)
{
    Capture(0);
    real_->Script(IRP_MJ_READ, FakeSerialPort::Answer::Hold());
    auto read = app_->ReadAsync(3);
    ASSERT_TRUE(real_->WaitHeld(1));
    ASSERT_EQ(Control(IOCTL_TAP_DISABLE), STATUS_SUCCESS);
    real_->Receive("old");
    EXPECT_EQ(real_->ReleaseHeld(), 1u);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Output(), Bytes("old"));
    for (ULONG n : {1u, 3u, 5u}) EXPECT_EQ(Take(n), Bytes("old"));

    Capture(0);
    real_->Script(IRP_MJ_READ, FakeSerialPort::Answer::Hold());
    read = app_->ReadAsync(3);
    ASSERT_TRUE(real_->WaitHeld(1));
    Capture(1);
    real_->Receive("new");
    EXPECT_EQ(real_->ReleaseHeld(), 1u);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Output(), Bytes("new"));
    EXPECT_EQ(HeldOnAll(), 0u);
}

// The real port sees the same requests, file objects, data and IRQLs with the tap, capturing
// either way, as without it, and the application gets the same answers back.
TEST_F(TapCaptureTest, TheRealPortsRequestsAndAnswersAreUnchangedByTheTap)
{
    constexpr ULONG kBaud = 115200;
    std::vector<UCHAR> baud((const UCHAR*)&kBaud, (const UCHAR*)&kBaud + sizeof(kBaud));
    real_->SetControlOutput(IOCTL_SERIAL_GET_BAUD_RATE, baud);
    struct Answer {
        NTSTATUS Status;
        ULONG_PTR Information;
        std::vector<UCHAR> Output;
        bool operator==(const Answer&) const = default;
    };
    auto run = [&] {
        using FakeAnswer = FakeSerialPort::Answer;
        real_->Receive("0123456789");
        real_->Script(IRP_MJ_READ, FakeAnswer::Now());
        real_->Script(IRP_MJ_READ, FakeAnswer::Later(STATUS_TIMEOUT).WithCount(2));
        real_->Script(IRP_MJ_READ, FakeAnswer::Now(STATUS_INTERNAL_ERROR));
        real_->Script(IRP_MJ_READ, FakeAnswer::Now());
        real_->Script(IRP_MJ_WRITE, FakeAnswer::Now());
        real_->Script(IRP_MJ_WRITE, FakeAnswer::Later().WithCount(2));
        real_->Script(IRP_MJ_WRITE, FakeAnswer::Now(STATUS_INTERNAL_ERROR));
        real_->Script(IRP_MJ_DEVICE_CONTROL, FakeAnswer::Now());
        real_->Script(IRP_MJ_DEVICE_CONTROL, FakeAnswer::Later(STATUS_SUCCESS).WithCount(0));
        real_->Script(IRP_MJ_DEVICE_CONTROL, FakeAnswer::Now());
        real_->Script(IRP_MJ_DEVICE_CONTROL, FakeAnswer::Now(STATUS_INTERNAL_ERROR));
        std::vector<std::unique_ptr<hk::Request>> requests;
        requests.push_back(app_->Read(3));
        requests.push_back(app_->Read(5));
        requests.push_back(app_->Read(4));
        requests.push_back(app_->Read(8));
        requests.push_back(app_->Write("abcd", 4));
        requests.push_back(app_->Write("efgh", 4));
        requests.push_back(app_->Write("ijkl", 4));
        char c = '#';
        requests.push_back(app_->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0));
        requests.push_back(app_->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, 0));
        requests.push_back(app_->Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(ULONG)));
        requests.push_back(app_->Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(ULONG)));
        real_->WaitIdle();
        std::vector<Answer> answers;
        for (auto& request : requests) {
            answers.push_back({request->Status(), request->Information(), request->Output()});
        }
        return answers;
    };
    auto seenSince = [&](size_t first) {
        auto all = real_->Requests();
        return std::vector<FakeSerialPort::Seen>(all.begin() + (ptrdiff_t)first, all.end());
    };

    Capture(0);
    size_t first = real_->Requests().size();
    auto received = run();
    auto seenReceived = seenSince(first);
    Capture(1);
    first = real_->Requests().size();
    auto sent = run();
    auto seenSent = seenSince(first);
    ASSERT_EQ(Control(IOCTL_TAP_DETACH), STATUS_SUCCESS);
    first = real_->Requests().size();
    auto plain = run();
    auto seenPlain = seenSince(first);

    ASSERT_EQ(plain.size(), 11u);
    EXPECT_EQ(plain[1].Status, STATUS_TIMEOUT);
    EXPECT_EQ(plain[1].Output, Bytes("34"));
    EXPECT_EQ(plain[9].Output, baud);
    for (size_t i = 0; i < plain.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(received[i] == plain[i]) << "capturing received data changed the answer";
        EXPECT_TRUE(sent[i] == plain[i]) << "capturing sent data changed the answer";
    }
    ASSERT_EQ(seenPlain.size(), 11u);
    for (const auto* seen : {&seenReceived, &seenSent}) {
        ASSERT_EQ(seen->size(), seenPlain.size());
        for (size_t i = 0; i < seenPlain.size(); i++) {
            SCOPED_TRACE(i);
            const auto& a = (*seen)[i];
            const auto& b = seenPlain[i];
            EXPECT_EQ(a.Major, b.Major);
            EXPECT_EQ(a.Minor, b.Minor);
            EXPECT_EQ(a.IoControlCode, b.IoControlCode);
            EXPECT_EQ(a.FileObject, b.FileObject);
            EXPECT_EQ(a.Length, b.Length);
            EXPECT_EQ(a.Data, b.Data);
            EXPECT_EQ(a.Irql, b.Irql);
        }
    }
    EXPECT_EQ(real_->Written(), Bytes("abcdefabcdefabcdef"));
    EXPECT_EQ(real_->ImmediateChars(), Bytes("###"));
}

// A failed open of the real port leaves the open the tap follows as it was: its file object goes
// back to the I/O manager and must never be handed to the real port's driver.
TEST_F(TapCaptureTest, AFailedOpenIsNotFollowed)
{
    real_->Script(IRP_MJ_CREATE, FakeSerialPort::Answer::Now(STATUS_ACCESS_DENIED));
    NTSTATUS status = STATUS_SUCCESS;
    auto refused = hk::File::Open(real_->Device(), GENERIC_READ | GENERIC_WRITE, &status);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Tap()->PortOpen);
    EXPECT_EQ(Tap()->OpenFileObject, app_->Object());

    app_.reset();
    real_->Script(IRP_MJ_CREATE, FakeSerialPort::Answer::Now(STATUS_ACCESS_DENIED));
    refused = hk::File::Open(real_->Device(), GENERIC_READ | GENERIC_WRITE, &status);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(Tap()->PortOpen);

    // The same when the port completes its opens from its DPC.
    real_->Script(IRP_MJ_CREATE, FakeSerialPort::Answer::Later(STATUS_SUCCESS));
    app_ = hk::File::Open(real_->Device(), GENERIC_READ | GENERIC_WRITE, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(Tap()->PortOpen);
    EXPECT_EQ(Tap()->OpenFileObject, app_->Object());
    real_->Script(IRP_MJ_CREATE, FakeSerialPort::Answer::Later(STATUS_ACCESS_DENIED));
    refused = hk::File::Open(real_->Device(), GENERIC_READ | GENERIC_WRITE, &status);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Tap()->OpenFileObject, app_->Object());
}

// A hub port unplugged while a capture is about to store into its ring: its removal waits for the
// walk, so the store never reaches a port being deleted, and the port is gone afterwards.
TEST_F(TapCaptureTest, AnUnplugWaitsForACaptureWalkingThePort)
{
    PDEVICE_OBJECT unopened = PlugIn(4);
    ASSERT_NE(unopened, nullptr);
    ReceiveRing* target = &Record(unopened)->Ring;
    Capture(0);
    real_->Script(IRP_MJ_READ, FakeSerialPort::Answer::Later(STATUS_SUCCESS));

    std::future<void> removal;
    std::atomic<bool> fired{false};
    std::function<void(ReceiveRing*)> hook = [&](ReceiveRing* ring) {
        if (ring != target || fired.exchange(true)) return;
        removal = std::async(std::launch::async, [&] {
            EXPECT_EQ(Unplug(4), STATUS_SUCCESS);
            EXPECT_TRUE(hk::WaitPnpIdle());
        });
        // Long enough for an unguarded removal to finish.
        removal.wait_for(std::chrono::milliseconds(300));
    };
    g_beforeDispatchStore = &hook;
    real_->Receive("race");
    EXPECT_EQ(app_->Read(4)->Output(), Bytes("race"));
    real_->WaitIdle();
    g_beforeDispatchStore = nullptr;
    ASSERT_TRUE(fired);
    removal.get();
    EXPECT_EQ(Port(4), nullptr);
    for (ULONG n : {1u, 3u, 5u}) EXPECT_EQ(Take(n), Bytes("race"));
}

}  // namespace
