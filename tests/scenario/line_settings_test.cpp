// The UART requests for standard serial applications: refused unless the service's Parameters key
// asks for them at the port's open; then baud rate and line control kept and validated, the modem
// lines crossed over to the partner with their events, statistics, and the lines' reset on open
// and close; the partner watch a bridge uses to learn what the application at the other end set.
#include <hostkernel/security.h>
#include <hostkernel/threads.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "bus_fixture.h"
#include "pair_fixture.h"

namespace {

using namespace std::chrono_literals;

const std::u16string kParametersKey = Wide(kServicePath) + u"\\Parameters";
constexpr ULONG kCts = 0x10;
constexpr ULONG kDsr = 0x20;
constexpr ULONG kDcd = 0x80;
constexpr ULONG kLineEvents = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD;

// Every request a real UART serves and a port without the emulation refuses, with the buffer
// sizes it needs.
struct UartCode {
    ULONG Code;
    ULONG Input;
    ULONG Output;
};
const UartCode kUartCodes[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},
    {IOCTL_SERIAL_SET_DTR, 0, 0},
    {IOCTL_SERIAL_CLR_DTR, 0, 0},
    {IOCTL_SERIAL_SET_RTS, 0, 0},
    {IOCTL_SERIAL_CLR_RTS, 0, 0},
    {IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0},
    {IOCTL_SERIAL_SET_XOFF, 0, 0},
    {IOCTL_SERIAL_SET_XON, 0, 0},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, sizeof(ULONG), 0},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS)},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0},
};

class LineSettingsTest : public BusTest {
protected:
    void SetUp() override
    {
        hk::ResetSecurityState();  // no value left behind by another test
        BusTest::SetUp();
        if (HasFatalFailure()) return;
        port_ = Plug(9);
        partner_ = Plug(10);
    }

    void TearDown() override
    {
        file_.reset();
        partnerFile_.reset();
        BusTest::TearDown();
        hk::ResetSecurityState();
    }

    // The value as an administrator's tool or the package's setup information writes it.
    static void SetValue(ULONG type, const std::vector<UCHAR>& data, const char16_t* name = u"EmulateLineSettings")
    {
        hk::RegistryCreateKey(kParametersKey);
        hk::RegistrySetValue(kParametersKey, name, type, data);
    }
    static void Emulate(ULONG value, const char16_t* name = u"EmulateLineSettings")
    {
        std::vector<UCHAR> data(4);
        memcpy(data.data(), &value, 4);
        SetValue(REG_DWORD, data, name);
    }

    static std::unique_ptr<hk::File> Open(PDEVICE_OBJECT port)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        auto file = hk::File::Open(port, GENERIC_READ | GENERIC_WRITE, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return file;
    }
    void OpenBoth()
    {
        file_ = Open(port_);
        partnerFile_ = Open(partner_);
    }

    template <typename T>
    static NTSTATUS Set(hk::File& file, ULONG code, const T& value)
    {
        return file.Ioctl(code, &value, sizeof(value), 0)->Status();
    }
    static NTSTATUS Send(hk::File& file, ULONG code) { return file.Ioctl(code, nullptr, 0, 0)->Status(); }
    template <typename T>
    static T Get(hk::File& file, ULONG code)
    {
        T value{};
        auto request = file.Ioctl(code, nullptr, 0, sizeof(T));
        EXPECT_EQ(request->Status(), STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(request->Information(), sizeof(T)) << std::hex << code;
        if (request->Output().size() == sizeof(T)) memcpy(&value, request->Output().data(), sizeof(T));
        return value;
    }
    static ULONG ModemStatus(hk::File& file) { return Get<ULONG>(file, IOCTL_SERIAL_GET_MODEMSTATUS); }
    static ULONG DtrRts(hk::File& file) { return Get<ULONG>(file, IOCTL_SERIAL_GET_DTRRTS); }

    static void ExpectAllRefused(hk::File& file, const char* why)
    {
        UCHAR input[64] = {};
        input[0] = 8;  // a sane value wherever one is read
        for (const UartCode& c : kUartCodes) {
            auto request = file.Ioctl(c.Code, input, c.Input, c.Output);
            EXPECT_EQ(request->Status(), STATUS_INVALID_PARAMETER) << why << std::hex << " code " << c.Code;
            EXPECT_EQ(request->Information(), 0u) << why << std::hex << " code " << c.Code;
        }
    }

    // A wait for the line events on `file`, left pending.
    static std::unique_ptr<hk::Request> WaitForLines(hk::File& file, ULONG mask = kLineEvents)
    {
        EXPECT_EQ(Set(file, IOCTL_SERIAL_SET_WAIT_MASK, mask), STATUS_SUCCESS);
        auto wait = file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
        EXPECT_EQ(wait->DispatchStatus(), STATUS_PENDING);
        return wait;
    }
    static ULONG Ended(hk::Request& wait)
    {
        EXPECT_TRUE(wait.Wait(5s));
        EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
        ULONG events = 0xDEADBEEF;
        if (wait.Output().size() == sizeof(ULONG)) memcpy(&events, wait.Output().data(), sizeof(ULONG));
        return events;
    }

    PDEVICE_OBJECT port_ = nullptr;
    PDEVICE_OBJECT partner_ = nullptr;
    std::unique_ptr<hk::File> file_;
    std::unique_ptr<hk::File> partnerFile_;
};

TEST_F(LineSettingsTest, UartRequestsAreRefusedUnlessTheValueIsOneAtTheOpen)
{
    file_ = Open(port_);
    ExpectAllRefused(*file_, "no value: ");

    Emulate(1);
    ExpectAllRefused(*file_, "set after the open: ");
    file_->Close();
    file_ = Open(port_);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(*file_, IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 9600u);

    for (ULONG off : {0u, 2u}) {
        Emulate(off);
        file_->Close();
        file_ = Open(port_);
        ExpectAllRefused(*file_, off == 0 ? "value 0: " : "value 2: ");
    }
    SetValue(REG_SZ, {'1', 0, 0, 0});
    file_->Close();
    file_ = Open(port_);
    ExpectAllRefused(*file_, "a string: ");

    // The requests every port serves stay as they were.
    SERIAL_HANDFLOW handFlow{0, 0, 100, 100};
    EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_HANDFLOW, handFlow), STATUS_SUCCESS);
}

TEST_F(LineSettingsTest, BaudRateAndLineControlReadBackAsSetAndRefuseWhatAUartCannotFrame)
{
    Emulate(1);
    file_ = Open(port_);
    auto line = Get<SERIAL_LINE_CONTROL>(*file_, IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.WordLength, 8);
    EXPECT_EQ(line.Parity, NO_PARITY);
    EXPECT_EQ(line.StopBits, STOP_BIT_1);

    EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}), STATUS_SUCCESS);
    EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(*file_, IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 115200u);

    const SERIAL_LINE_CONTROL accepted[] = {
        {STOP_BIT_1, EVEN_PARITY, 7}, {STOP_BITS_1_5, MARK_PARITY, 5}, {STOP_BITS_2, SPACE_PARITY, 6},
        {STOP_BITS_2, ODD_PARITY, 8}, {STOP_BIT_1, NO_PARITY, 5},
    };
    for (const auto& want : accepted) {
        EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_LINE_CONTROL, want), STATUS_SUCCESS) << (int)want.WordLength;
        auto got = Get<SERIAL_LINE_CONTROL>(*file_, IOCTL_SERIAL_GET_LINE_CONTROL);
        EXPECT_EQ(memcmp(&got, &want, sizeof(got)), 0) << (int)want.WordLength;
    }
    const SERIAL_LINE_CONTROL refused[] = {
        {STOP_BIT_1, NO_PARITY, 4},     {STOP_BIT_1, NO_PARITY, 9}, {STOP_BIT_1, 5, 8},
        {3, NO_PARITY, 8},              {STOP_BITS_2, NO_PARITY, 5}, {STOP_BITS_1_5, NO_PARITY, 6},
        {STOP_BITS_1_5, EVEN_PARITY, 8},
    };
    for (const auto& bad : refused) {
        EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_LINE_CONTROL, bad), STATUS_INVALID_PARAMETER)
            << (int)bad.StopBits << "/" << (int)bad.Parity << "/" << (int)bad.WordLength;
    }
    line = Get<SERIAL_LINE_CONTROL>(*file_, IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.WordLength, 5) << "a refusal changes nothing";

    // Short buffers: refused with nothing written back.
    for (const UartCode& c : kUartCodes) {
        if (c.Input == 0 && c.Output == 0) continue;
        UCHAR input[64] = {};
        auto request = file_->Ioctl(c.Code, input, c.Input ? c.Input - 1 : 0, c.Output ? c.Output - 1 : 0);
        EXPECT_EQ(request->Status(), STATUS_BUFFER_TOO_SMALL) << std::hex << c.Code;
        EXPECT_EQ(request->Information(), 0u) << std::hex << c.Code;
    }

    // Accepted with nothing to act on; the configuration has no provider part.
    for (ULONG code : {IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_SET_XOFF,
                       IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_RESET_DEVICE}) {
        EXPECT_EQ(Send(*file_, code), STATUS_SUCCESS) << std::hex << code;
    }
    EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_FIFO_CONTROL, ULONG{0xC7}), STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(*file_, IOCTL_SERIAL_CONFIG_SIZE), 0u);

    // Kept across handles, as a serial port keeps them.
    file_->Close();
    file_ = Open(port_);
    EXPECT_EQ(Get<SERIAL_BAUD_RATE>(*file_, IOCTL_SERIAL_GET_BAUD_RATE).BaudRate, 115200u);
}

TEST_F(LineSettingsTest, StatisticsCountBytesBothWaysUntilClearedOrReopened)
{
    Emulate(1);
    OpenBoth();
    NoPacing = TRUE;
    EXPECT_EQ(file_->Write("hello", 5)->Status(), STATUS_SUCCESS);
    UCHAR immediate = 'x';
    EXPECT_EQ(file_->Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, &immediate, 1, 0)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(partnerFile_->Write("ab", 2)->Status(), STATUS_SUCCESS);
    NoPacing = FALSE;

    auto stats = Get<SERIALPERF_STATS>(*file_, IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.TransmittedCount, 6u);
    EXPECT_EQ(stats.ReceivedCount, 2u);
    EXPECT_EQ(stats.FrameErrorCount + stats.SerialOverrunErrorCount + stats.ParityErrorCount, 0u);
    stats = Get<SERIALPERF_STATS>(*partnerFile_, IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.TransmittedCount, 2u);
    EXPECT_EQ(stats.ReceivedCount, 6u);

    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS);
    stats = Get<SERIALPERF_STATS>(*file_, IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.TransmittedCount + stats.ReceivedCount, 0u);
    partnerFile_->Close();
    partnerFile_ = Open(partner_);
    stats = Get<SERIALPERF_STATS>(*partnerFile_, IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.TransmittedCount + stats.ReceivedCount, 0u) << "an open starts counting afresh";
}

TEST_F(LineSettingsTest, ThePartnerSeesDtrAsDsrAndDcdAndRtsAsCts)
{
    Emulate(1);
    file_ = Open(port_);
    EXPECT_EQ(DtrRts(*file_), (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE)) << "the open raised both by default";
    EXPECT_EQ(ModemStatus(*file_), 0u) << "nobody at the other end yet";
    partnerFile_ = Open(partner_);
    EXPECT_EQ(ModemStatus(*file_), kCts | kDsr | kDcd);
    EXPECT_EQ(ModemStatus(*partnerFile_), kCts | kDsr | kDcd);

    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(ModemStatus(*partnerFile_), kCts);
    EXPECT_EQ(ModemStatus(*file_), kCts | kDsr | kDcd) << "the partner's own lines are untouched";
    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    EXPECT_EQ(ModemStatus(*partnerFile_), 0u);
    EXPECT_EQ(DtrRts(*file_), 0u);
    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(ModemStatus(*partnerFile_), kDsr | kDcd);

    // The modem control register carries the same two lines, and keeps the rest for read-back.
    EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_MODEM_CONTROL, ULONG{SERIAL_IOC_MCR_RTS | SERIAL_IOC_MCR_OUT2}),
              STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(*file_, IOCTL_SERIAL_GET_MODEM_CONTROL), (ULONG)(SERIAL_IOC_MCR_RTS | SERIAL_IOC_MCR_OUT2));
    EXPECT_EQ(DtrRts(*file_), (ULONG)SERIAL_RTS_STATE);
    EXPECT_EQ(ModemStatus(*partnerFile_), kCts);

    // Unplugged, the port is on no cable: each end sees the lines the other had up fall, with
    // their events, as when a cable is pulled out.
    auto partnerWait = WaitForLines(*partnerFile_);
    auto ownWait = WaitForLines(*file_);
    Unplug(port_);
    EXPECT_EQ(Ended(*partnerWait), (ULONG)SERIAL_EV_CTS);
    EXPECT_EQ(Ended(*ownWait), kLineEvents);
    EXPECT_EQ(ModemStatus(*partnerFile_), 0u);
    EXPECT_EQ(ModemStatus(*file_), 0u);
}

TEST_F(LineSettingsTest, ALineChangeEndsThePartnersWaitWithTheEventsItAskedFor)
{
    EndlessClockTick endless;  // every wait that ends here was woken, not polled
    Emulate(1);
    OpenBoth();
    auto wait = WaitForLines(*partnerFile_);
    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Ended(*wait), (ULONG)(SERIAL_EV_DSR | SERIAL_EV_RLSD));

    wait = WaitForLines(*partnerFile_);
    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);  // no change, no event
    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Ended(*wait), (ULONG)SERIAL_EV_CTS);

    // Only the events the mask asks for; this side hears nothing of its own changes.
    wait = WaitForLines(*partnerFile_, SERIAL_EV_CTS);
    auto own = WaitForLines(*file_);
    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(wait->Completed()) << "a DTR change is no CTS event";
    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Ended(*wait), (ULONG)SERIAL_EV_CTS);
    EXPECT_FALSE(own->Completed());

    // The partner raising its lines is news to this side.
    EXPECT_EQ(Send(*partnerFile_, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Ended(*own), (ULONG)(SERIAL_EV_DSR | SERIAL_EV_RLSD));
}

// A try of the partner's wait can come at any moment, between two holds of its ring's lock too
// (here forced by waking its thread there): one change's events must all be in place by then.
TEST_F(LineSettingsTest, AWaitTriedDuringALineChangeSeesEveryEventOfTheChange)
{
    Emulate(1);
    OpenBoth();
    auto wait = WaitForLines(*partnerFile_);
    PortDeviceData* partner = Record(partner_);
    const std::thread::id changer = std::this_thread::get_id();
    int holds = 0;
    hk::SetSpinLockObserver([&](PKSPIN_LOCK lock) {
        if (lock != &partner->Ring.Lock || std::this_thread::get_id() != changer || ++holds != 2) return;
        WakeWaitServiceThread(partner);
        WaitUntil([&] { return wait->Completed(); }, 5s);
    });
    EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_MODEM_CONTROL, ULONG{0}), STATUS_SUCCESS);  // DTR and RTS fall
    hk::SetSpinLockObserver(nullptr);
    EXPECT_EQ(Ended(*wait), kLineEvents);
}

TEST_F(LineSettingsTest, HandshakeModesDriveTheLinesAndRefuseManualChanges)
{
    Emulate(1);
    OpenBoth();
    SERIAL_HANDFLOW none{0, 0, 2048, 512};
    EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_HANDFLOW, none), STATUS_SUCCESS);
    EXPECT_EQ(DtrRts(*file_), 0u);
    EXPECT_EQ(ModemStatus(*partnerFile_), 0u);

    SERIAL_HANDFLOW handshake{SERIAL_DTR_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE, 2048, 512};
    EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_HANDFLOW, handshake), STATUS_SUCCESS);
    EXPECT_EQ(DtrRts(*file_), (ULONG)SERIAL_DTR_STATE) << "DTR up to receive, RTS down with nothing to send";
    for (ULONG code : {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS}) {
        EXPECT_EQ(Send(*file_, code), STATUS_INVALID_PARAMETER) << std::hex << code;
    }
    SERIAL_HANDFLOW rtsHandshake{0, SERIAL_RTS_HANDSHAKE, 2048, 512};
    EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_HANDFLOW, rtsHandshake), STATUS_SUCCESS);
    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_SET_RTS), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(ModemStatus(*partnerFile_), kCts | kDsr | kDcd);
}

TEST_F(LineSettingsTest, CloseDropsTheLinesAndOpenRaisesThemAsTheHandshakeSays)
{
    Emulate(1);
    OpenBoth();
    EXPECT_EQ(Send(*file_, IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    auto wait = WaitForLines(*partnerFile_);
    file_->Close();
    EXPECT_EQ(Ended(*wait), kLineEvents);
    EXPECT_EQ(ModemStatus(*partnerFile_), 0u);
    EXPECT_EQ(Record(port_)->Lines.BreakOn, FALSE);

    wait = WaitForLines(*partnerFile_);
    file_ = Open(port_);
    EXPECT_EQ(Ended(*wait), kLineEvents);
    EXPECT_EQ(ModemStatus(*partnerFile_), kCts | kDsr | kDcd);

    // The handshake settings outlive the handle, and the next open follows them.
    SERIAL_HANDFLOW dtrOnly{SERIAL_DTR_CONTROL, 0, 2048, 512};
    EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_HANDFLOW, dtrOnly), STATUS_SUCCESS);
    file_->Close();
    file_ = Open(port_);
    EXPECT_EQ(DtrRts(*file_), (ULONG)SERIAL_DTR_STATE);
    EXPECT_EQ(ModemStatus(*partnerFile_), kDsr | kDcd);

    // Without the emulation an open leaves the lines down.
    Emulate(0);
    file_->Close();
    file_ = Open(port_);
    EXPECT_EQ(ModemStatus(*partnerFile_), 0u);
}

// The partner's events and modem status are reached through the bus's child list while the
// partner opens, closes and finally goes away.
TEST_F(LineSettingsTest, LineChangesRaceThePartnersOpensClosesAndUnplug)
{
    Emulate(1);
    OpenBoth();
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread toggler([&] {
        const ULONG codes[] = {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS};
        for (int i = 0; !stop; i++) {
            if (Send(*file_, codes[i % 4]) != STATUS_SUCCESS) failures++;
        }
    });
    for (int round = 0; round < 20; round++) {
        // The toggler runs on: the wait may end as soon as it is sent, or be ended by the close.
        EXPECT_EQ(Set(*partnerFile_, IOCTL_SERIAL_SET_WAIT_MASK, kLineEvents), STATUS_SUCCESS);
        auto wait = partnerFile_->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
        ModemStatus(*partnerFile_);
        partnerFile_->Close();
        EXPECT_TRUE(wait->Wait(5s));
        partnerFile_ = Open(partner_);
    }
    partnerFile_.reset();
    Unplug(partner_);
    stop = true;
    toggler.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(ModemStatus(*file_), 0u);
}

TEST_F(LineSettingsTest, HubPortsSeeAPeerThatIsAlwaysReadyAndALonePortSeesNone)
{
    Emulate(1);
    auto hub = Open(Plug(1));
    EXPECT_EQ(ModemStatus(*hub), kCts | kDsr | kDcd);
    EXPECT_EQ(Send(*hub, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(ModemStatus(*hub), kCts | kDsr | kDcd);
    auto lone = Open(Plug(11));
    EXPECT_EQ(ModemStatus(*lone), 0u);
}

// A bridge on port 9 watches what the application on port 10 sets.
class PartnerWatchTest : public LineSettingsTest {
protected:
    static std::unique_ptr<hk::Request> Watch(hk::File& file, ULONG generation, ULONG size = sizeof(PartnerWatchRequest),
                                              ULONG output = sizeof(PartnerLineState))
    {
        PartnerWatchRequest request{size, generation};
        return file.IoctlAsync(IOCTL_VCOMBUS_WATCH_PARTNER, &request, sizeof(request), output);
    }
    static PartnerLineState Answer(hk::Request& watch)
    {
        PartnerLineState state{};
        EXPECT_TRUE(watch.Wait(5s));
        EXPECT_EQ(watch.Status(), STATUS_SUCCESS);
        EXPECT_EQ(watch.Information(), sizeof(PartnerLineState));
        if (watch.Output().size() == sizeof(state)) memcpy(&state, watch.Output().data(), sizeof(state));
        EXPECT_NE(state.Generation, 0u);
        return state;
    }
    // Parks a watch on the latest generation, makes `change` on the application's side, and
    // returns what the watch was answered.
    template <typename Change>
    PartnerLineState AfterChange(ULONG& generation, Change change)
    {
        auto watch = Watch(*file_, generation);
        EXPECT_EQ(watch->DispatchStatus(), STATUS_PENDING);
        EXPECT_FALSE(watch->Wait(20ms)) << "answered before any change";
        change();
        PartnerLineState state = Answer(*watch);
        EXPECT_NE(state.Generation, generation);
        generation = state.Generation;
        return state;
    }
};

TEST_F(PartnerWatchTest, EveryChangeOfTheApplicationsSettingsAnswersTheParkedWatch)
{
    Emulate(1);
    OpenBoth();
    PartnerLineState state = Answer(*Watch(*file_, 0));
    EXPECT_EQ(state.Size, sizeof(PartnerLineState));
    EXPECT_EQ(state.Flags, VCOMBUS_PARTNER_PRESENT | VCOMBUS_PARTNER_OPEN);
    EXPECT_EQ(state.BaudRate, 9600u);
    EXPECT_EQ(state.WordLength, 8);
    ULONG generation = state.Generation;

    hk::File& app = *partnerFile_;
    state = AfterChange(generation, [&] { Set(app, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{57600}); });
    EXPECT_EQ(state.BaudRate, 57600u);
    state = AfterChange(generation, [&] {
        Set(app, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, EVEN_PARITY, 8});
    });
    EXPECT_EQ(state.Parity, EVEN_PARITY);
    EXPECT_EQ(state.StopBits, STOP_BIT_1);
    // The open raised both lines as the handshake says.
    EXPECT_EQ(state.ModemControl, (ULONG)(SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS));
    state = AfterChange(generation, [&] { Send(app, IOCTL_SERIAL_CLR_DTR); });
    EXPECT_EQ(state.ModemControl & SERIAL_IOC_MCR_DTR, 0u);
    state = AfterChange(generation, [&] { Send(app, IOCTL_SERIAL_CLR_RTS); });
    EXPECT_EQ(state.ModemControl & SERIAL_IOC_MCR_RTS, 0u);
    state = AfterChange(generation, [&] { Send(app, IOCTL_SERIAL_SET_BREAK_ON); });
    EXPECT_EQ(state.Flags & VCOMBUS_PARTNER_BREAK, VCOMBUS_PARTNER_BREAK);
    EXPECT_EQ(state.BreakCount, 1u);
    state = AfterChange(generation, [&] { Send(app, IOCTL_SERIAL_SET_BREAK_OFF); });
    EXPECT_EQ(state.Flags & VCOMBUS_PARTNER_BREAK, 0u);
    state = AfterChange(generation, [&] { Set(app, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXCLEAR}); });
    EXPECT_EQ(state.TxPurgeCount, 1u);
    EXPECT_EQ(state.RxPurgeCount, 0u);
    state = AfterChange(generation, [&] {
        Set(app, IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_CTS_HANDSHAKE, SERIAL_AUTO_RECEIVE, 10, 10});
    });
    EXPECT_EQ(state.ControlHandShake, (ULONG)SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(state.FlowReplace, (ULONG)SERIAL_AUTO_RECEIVE);
    state = AfterChange(generation, [&] { app.Close(); });
    EXPECT_EQ(state.Flags, VCOMBUS_PARTNER_PRESENT);

    // Changes made while no watch is parked are not lost: the next watch is answered at once.
    partnerFile_ = Open(partner_);
    Set(*partnerFile_, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{300});
    state = Answer(*Watch(*file_, generation));
    EXPECT_EQ(state.BaudRate, 300u);
    EXPECT_EQ(state.Flags, VCOMBUS_PARTNER_PRESENT | VCOMBUS_PARTNER_OPEN);

    // The partner leaving the cable answers with nothing on it.
    generation = state.Generation;
    state = AfterChange(generation, [&] { Unplug(partner_); });
    EXPECT_EQ(state.Flags, 0u);
    EXPECT_EQ(state.BaudRate, 0u);
}

TEST_F(PartnerWatchTest, AParkedWatchEndsByCancelCleanupCloseAndRemovalAndIsAloneOnItsPort)
{
    OpenBoth();
    ULONG generation = Answer(*Watch(*file_, 0)).Generation;
    auto watch = Watch(*file_, generation);
    EXPECT_EQ(watch->DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(Watch(*file_, generation)->Status(), STATUS_DEVICE_BUSY);
    // Without the emulation the application's changes it can make still reach the watch.
    EXPECT_EQ(Set(*partnerFile_, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}), STATUS_SUCCESS);
    PartnerLineState state = Answer(*watch);
    EXPECT_EQ(state.RxPurgeCount, 1u);
    generation = state.Generation;

    watch = Watch(*file_, generation);
    EXPECT_TRUE(watch->Cancel());
    EXPECT_TRUE(watch->Wait(5s));
    EXPECT_EQ(watch->Status(), STATUS_CANCELLED);

    watch = Watch(*file_, generation);
    EXPECT_EQ(file_->Cleanup(), STATUS_SUCCESS);
    EXPECT_TRUE(watch->Wait(5s));
    EXPECT_EQ(watch->Status(), STATUS_CANCELLED);
    file_->Close();

    // Close alone (as Wine sends it, without a cleanup) ends it too.
    file_ = Open(port_);
    watch = Watch(*file_, generation);
    EXPECT_EQ(watch->DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(hk::SendDirect(port_, IRP_MJ_CLOSE, 0).Status, STATUS_SUCCESS);
    EXPECT_TRUE(watch->Wait(5s));
    EXPECT_EQ(watch->Status(), STATUS_CANCELLED);
}

TEST_F(PartnerWatchTest, ShortBuffersAndAWrongSizeAreRefused)
{
    file_ = Open(port_);
    EXPECT_EQ(Watch(*file_, 0, sizeof(PartnerWatchRequest), sizeof(PartnerLineState) - 1)->Status(),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(file_->Ioctl(IOCTL_VCOMBUS_WATCH_PARTNER, nullptr, 0, sizeof(PartnerLineState))->Status(),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Watch(*file_, 0, 12)->Status(), STATUS_INVALID_PARAMETER);
    // A lone port is answered with no partner.
    auto lone = Open(Plug(11));
    EXPECT_EQ(Answer(*Watch(*lone, 0)).Flags, 0u);
}

}  // namespace

// ---- Line timing (BaudTiming) ------------------------------------------------------------------

class LineTimingTest : public LineSettingsTest {
protected:
    void TearDown() override
    {
        LineSettingsTest::TearDown();
        hk::SetClockTick(0);
    }

    // Both ends open with the line timed, port 9 at `baud` 8N1 (10 bits a character).
    void OpenTimed(ULONG baud)
    {
        Emulate(1);
        Emulate(1, u"BaudTiming");
        OpenBoth();
        ASSERT_EQ(Set(*file_, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{baud}), STATUS_SUCCESS);
    }
    static ULONG OutQueue(hk::File& file) { return Get<SERIAL_STATUS>(file, IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue; }
    static std::chrono::steady_clock::duration Since(std::chrono::steady_clock::time_point start)
    {
        return std::chrono::steady_clock::now() - start;
    }
    // What the partner's ring holds.
    ULONG Arrived() { return Get<SERIAL_STATUS>(*partnerFile_, IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue; }
};

// 150 baud, 10 bits: a character takes 66.7 ms, 17 of them 1.13 s.
constexpr auto kCharAt150 = std::chrono::microseconds(66667);

TEST_F(LineTimingTest, AWriteIsHeldAndCountedUntilItsLastByteHasLeftAndOnlyThenTheTransmitterIsEmpty)
{
    OpenTimed(150);
    auto wait = WaitForLines(*file_, SERIAL_EV_TXEMPTY);
    auto bytes = Pattern(17);
    auto start = std::chrono::steady_clock::now();
    auto write = file_->WriteAsync(bytes.data(), 17);
    ASSERT_EQ(write->DispatchStatus(), STATUS_PENDING);
    ULONG queued = OutQueue(*file_);
    EXPECT_GE(queued, 1u);
    EXPECT_LE(queued, 17u);

    // Whenever the partner looks, it holds no byte whose last bit can't have gone yet.
    while (!write->Completed()) {
        ULONG arrived = Arrived();
        auto elapsed = Since(start);
        EXPECT_LE(arrived, (ULONG)(elapsed / kCharAt150)) << "bytes ahead of the line";
        if (!write->Completed()) {
            EXPECT_FALSE(wait->Completed()) << "transmitter empty while a write is on the line";
        }
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(Since(start), 17 * kCharAt150);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 17u);
    EXPECT_EQ(Ended(*wait), (ULONG)SERIAL_EV_TXEMPTY);
    EXPECT_EQ(OutQueue(*file_), 0u);
    auto read = partnerFile_->Read(17);
    EXPECT_EQ(read->Output(), bytes);
    EXPECT_EQ(Get<SERIALPERF_STATS>(*file_, IOCTL_SERIAL_GET_STATS).TransmittedCount, 17u);
}

TEST_F(LineTimingTest, WritesQueueBehindTheLineAndTheTotalTimeOutEndsOneWithTheBytesSent)
{
    OpenTimed(1200);  // 8.33 ms a character
    // 7E2: 1 + 7 + 1 + 2 = 11 bits.
    ASSERT_EQ(Set(*file_, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7}),
              STATUS_SUCCESS);
    auto start = std::chrono::steady_clock::now();
    auto first = file_->WriteAsync("0123456789", 10);
    auto second = file_->WriteAsync("abcdefghij", 10);
    ASSERT_EQ(second->DispatchStatus(), STATUS_PENDING);
    EXPECT_GT(OutQueue(*file_), 10u) << "both writes count";
    ASSERT_TRUE(second->Wait(10s));
    EXPECT_GE(Since(start), std::chrono::microseconds(20 * 11 * 1000000 / 1200));
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(second->Information(), 10u);
    EXPECT_EQ(partnerFile_->Read(20)->Output(), Bytes("0123456789abcdefghij"));

    // 150 baud, 200 ms total: at least three characters are out when it runs out, never all.
    ASSERT_EQ(Set(*file_, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{150}), STATUS_SUCCESS);
    ASSERT_EQ(Set(*file_, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}),
              STATUS_SUCCESS);
    SERIAL_TIMEOUTS timeouts = {0, 0, 0, 0, 200};
    ASSERT_EQ(Set(*file_, IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
    auto timed = file_->WriteAsync(Pattern(17).data(), 17);
    ASSERT_TRUE(timed->Wait(10s));
    EXPECT_EQ(timed->Status(), STATUS_TIMEOUT);
    EXPECT_GE(timed->Information(), 3u);
    EXPECT_LT(timed->Information(), 17u);
    EXPECT_EQ(Arrived(), timed->Information()) << "what was sent arrived, the rest was dropped";
    EXPECT_EQ(OutQueue(*file_), 0u);
}

TEST_F(LineTimingTest, PurgeCancelAndCloseEndHeldWritesWithWhatTheySent)
{
    OpenTimed(150);
    for (ULONG flags : {(ULONG)SERIAL_PURGE_TXABORT, (ULONG)SERIAL_PURGE_TXCLEAR}) {
        auto onLine = file_->WriteAsync(Pattern(17).data(), 17);
        auto queued = file_->WriteAsync("tail", 4);
        EXPECT_EQ(OutQueue(*file_), 21u);
        auto wait = WaitForLines(*file_, SERIAL_EV_TXEMPTY);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(Set(*file_, IOCTL_SERIAL_PURGE, flags), STATUS_SUCCESS);
        ASSERT_TRUE(onLine->Wait(5s));
        ASSERT_TRUE(queued->Wait(5s));
        EXPECT_EQ(onLine->Status(), STATUS_CANCELLED) << flags;
        EXPECT_LT(onLine->Information(), 17u);
        EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
        EXPECT_EQ(queued->Information(), 0u);
        EXPECT_EQ(OutQueue(*file_), 0u);
        EXPECT_EQ(Arrived(), onLine->Information());
        EXPECT_FALSE(wait->Completed()) << "an aborted line is not a transmitted one";
        EXPECT_EQ(Set(*file_, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}), STATUS_SUCCESS);
        EXPECT_EQ(Set(*partnerFile_, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR}), STATUS_SUCCESS);
        EXPECT_EQ(Set(*file_, IOCTL_SERIAL_SET_WAIT_MASK, ULONG{0}), STATUS_SUCCESS);
        ASSERT_TRUE(wait->Wait(5s));
    }

    // An application's CancelIo: the write on the line and the one behind it.
    auto onLine = file_->WriteAsync(Pattern(17).data(), 17);
    auto queued = file_->WriteAsync("tail", 4);
    EXPECT_TRUE(queued->Cancel());
    ASSERT_TRUE(queued->Wait(5s));
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    EXPECT_EQ(OutQueue(*file_), 17u);
    onLine->Cancel();  // may come as the write goes on the line, before its cancel routine
    ASSERT_TRUE(onLine->Wait(5s));
    EXPECT_EQ(onLine->Status(), STATUS_CANCELLED);
    EXPECT_EQ(OutQueue(*file_), 0u);

    // The handle's close ends what it left on the line.
    onLine = file_->WriteAsync(Pattern(17).data(), 17);
    EXPECT_EQ(file_->Close(), STATUS_SUCCESS);
    ASSERT_TRUE(onLine->Wait(5s));
    EXPECT_EQ(onLine->Status(), STATUS_CANCELLED);
}

TEST_F(LineTimingTest, UnplugAndRemovalDuringAHeldWriteEndIt)
{
    OpenTimed(150);
    auto onLine = file_->WriteAsync(Pattern(17).data(), 17);
    auto queued = file_->WriteAsync("tail", 4);
    EXPECT_GE(hk::LiveExecutiveTimers(), 1u);
    Unplug(port_);
    EXPECT_TRUE(hk::WaitPnpIdle());
    file_.reset();  // the application lets go; removal follows
    ASSERT_TRUE(onLine->Wait(5s));
    ASSERT_TRUE(queued->Wait(5s));
    EXPECT_EQ(onLine->Status(), STATUS_CANCELLED);
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    EXPECT_TRUE(hk::WaitPnpIdle());
}

TEST_F(LineTimingTest, WithoutTheSettingOrTheEmulationWritesMoveAtOnce)
{
    Emulate(1, u"BaudTiming");  // without EmulateLineSettings: no baud rate, no line time
    OpenBoth();
    auto write = file_->WriteAsync(Pattern(17).data(), 17);
    EXPECT_EQ(write->DispatchStatus(), STATUS_SUCCESS);
    for (ULONG value : {0u, 2u}) {
        Emulate(1);
        Emulate(value, u"BaudTiming");
        file_->Close();
        file_ = Open(port_);
        ASSERT_EQ(Set(*file_, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{150}), STATUS_SUCCESS);
        write = file_->WriteAsync(Pattern(17).data(), 17);
        EXPECT_EQ(write->DispatchStatus(), STATUS_SUCCESS) << value;
        EXPECT_EQ(OutQueue(*file_), 0u);
    }
    EXPECT_EQ(hk::LiveExecutiveTimers(), 0u) << "no transmitter was started";
}

TEST_F(LineTimingTest, OnAKernelWithoutHighResolutionTimersTheClockIsAskedForAFinerTickWhileALineIsBusy)
{
    hk::SetHighResolutionTimers(false);
    hk::SetClockTick(hk::kDefaultClockTick);
    OpenTimed(9600);
    EXPECT_EQ(hk::LiveExecutiveTimers(), 0u);
    auto start = std::chrono::steady_clock::now();
    auto write = file_->WriteAsync(Pattern(96).data(), 96);  // 100 ms
    ASSERT_EQ(write->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(write->Wait(10s));
    EXPECT_GE(Since(start), 100ms);
    EXPECT_EQ(write->Information(), 96u);
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (hk::TimerResolutionRequested() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(hk::TimerResolutionRequested(), 0) << "an idle line gives the clock back";
    auto held = file_->WriteAsync(Pattern(96).data(), 96);
    deadline = std::chrono::steady_clock::now() + 5s;
    while (hk::TimerResolutionRequested() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(hk::TimerResolutionRequested(), 10000);
    ASSERT_TRUE(held->Wait(10s));
}

TEST_F(LineTimingTest, WritesCancelsAndPurgesRacingOnAFastLineAllEndAndLeaveTheQueueEmpty)
{
    OpenTimed(115200);
    auto purging = Open(port_);  // a handle of its own: one handle serves one thread here
    std::atomic<bool> stop{false};
    std::thread purger([&] {
        while (!stop) {
            Set(*purging, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_TXABORT});
            std::this_thread::sleep_for(3ms);
        }
    });
    std::vector<std::unique_ptr<hk::Request>> writes;
    for (int i = 0; i < 200; i++) {
        writes.push_back(file_->WriteAsync(Pattern(64 + i % 50).data(), 64 + i % 50));
        if (i % 7 == 0) writes.back()->Cancel();
        if (i % 3 == 0) Set(*partnerFile_, IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXCLEAR});
    }
    stop = true;
    purger.join();
    for (auto& write : writes) {
        ASSERT_TRUE(write->Wait(10s));
        NTSTATUS status = write->Status();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
    }
    EXPECT_EQ(OutQueue(*file_), 0u);
    // Still a line: the next write is held for its time.
    auto last = file_->WriteAsync(Pattern(17).data(), 17);
    EXPECT_EQ(last->DispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(last->Wait(10s));
    EXPECT_EQ(last->Status(), STATUS_SUCCESS);
}
