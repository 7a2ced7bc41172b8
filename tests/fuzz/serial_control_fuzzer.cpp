// libFuzzer target for a port's serial control requests: any code, any input and output lengths
// and contents, sent through an application's handle to an open port of a null-modem pair that
// has a read and a wait parked. Any crash, sanitizer or verifier report, Information beyond the
// output buffer, a request left hanging, or a pool block gained or lost is a finding.
//
// Input: byte 0 picks options, bytes 1-4 the code (an index into the serial codes, or the raw
// value), bytes 5-6 the input and output lengths; the rest is the input buffer's content.
#include <hostkernel/harness.h>
#include <hostkernel/pnp.h>
#include <hostkernel/security.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/handlers.h"
#include "vcombus/ioctl.h"

namespace {

using namespace std::chrono_literals;

constexpr PCWSTR kServicePath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vcombus";
const char16_t kPortCompatibleId[] = u"{B2B09CEF-9819-469a-984E-5B28CD07D0BF}\\CompatibleKadrix";

const ULONG kCodes[] = {
    IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_IMMEDIATE_CHAR,  IOCTL_SERIAL_SET_TIMEOUTS,
    IOCTL_SERIAL_GET_TIMEOUTS,   IOCTL_SERIAL_GET_WAIT_MASK,   IOCTL_SERIAL_SET_WAIT_MASK,
    IOCTL_SERIAL_WAIT_ON_MASK,   IOCTL_SERIAL_PURGE,           IOCTL_SERIAL_GET_CHARS,
    IOCTL_SERIAL_SET_CHARS,      IOCTL_SERIAL_GET_HANDFLOW,    IOCTL_SERIAL_SET_HANDFLOW,
    IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_PROPERTIES,  IOCTL_SERIAL_SET_BAUD_RATE,
    IOCTL_SERIAL_GET_BAUD_RATE,  IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_MODEMSTATUS,
    IOCTL_SERIAL_SET_DTR,        IOCTL_SERIAL_GET_DTRRTS,      IOCTL_SERIAL_XOFF_COUNTER,
    IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_SET_BREAK_ON,  IOCTL_SERIAL_SET_BREAK_OFF,
    IOCTL_SERIAL_CLR_DTR,        IOCTL_SERIAL_SET_RTS,         IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_RESET_DEVICE,   IOCTL_SERIAL_SET_XOFF,        IOCTL_SERIAL_SET_XON,
    IOCTL_SERIAL_CONFIG_SIZE,    IOCTL_SERIAL_GET_STATS,       IOCTL_SERIAL_CLEAR_STATS,
    IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL,
    IOCTL_VCOMBUS_WATCH_PARTNER,
};
constexpr size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);
// Enough for every record the port knows, and then some.
constexpr ULONG kMaxLength = 96;
// Queue sizes are kept to what a test machine's memory allows; the ring grows only.
constexpr ULONG kMaxQueueSize = 1u << 20;

[[noreturn]] void Finding(const char* what)
{
    fprintf(stderr, "finding: %s\n", what);
    abort();
}

// The driver, its bus, ports 9 and 10 and a handle on each, set up once for the whole run.
struct Setup {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT BusPdo = nullptr;
    PDEVICE_OBJECT Port = nullptr;
    std::unique_ptr<hk::File> File;
    std::unique_ptr<hk::File> Partner;
    std::unique_ptr<hk::Request> ParkedRead;
    std::unique_ptr<hk::Request> ParkedWait;
    std::unique_ptr<hk::Request> ParkedWatch;
    ULONG WatchGeneration = 0;
};

PDEVICE_OBJECT PlugIn(const std::unique_ptr<hk::File>& bus, PDEVICE_OBJECT busPdo, ULONG number)
{
    static const char16_t kIds[] = u"VCOMBUS\\Port\0";
    std::vector<UCHAR> input(8 + sizeof(kIds));
    ULONG size = 8;
    memcpy(input.data(), &size, 4);
    memcpy(input.data() + 4, &number, 4);
    memcpy(input.data() + 8, kIds, sizeof(kIds));
    if (bus->Ioctl(IOCTL_BUS_PLUGIN_PORT, input.data(), (ULONG)input.size(), 0)->Status() != STATUS_SUCCESS) {
        Finding("plug-in failed");
    }
    hk::WaitPnpIdle();
    for (PDEVICE_OBJECT child : hk::DeviceChildren(busPdo)) {
        if (((PortDeviceData*)child->DeviceExtension)->PortNumber == number) return child;
    }
    Finding("plugged port not found");
}

Setup& TheSetup();

// At the end of the run the port's service threads are still waiting: the bus is removed and the
// driver unloaded, which also runs the verifier's checks for anything left behind.
void TearDown()
{
    Setup& s = TheSetup();
    for (auto* parked : {&s.ParkedRead, &s.ParkedWait, &s.ParkedWatch}) {
        if (*parked != nullptr && !(*parked)->Completed()) {
            (*parked)->Cancel();
            (*parked)->Wait(10s);
        }
        parked->reset();
    }
    s.File.reset();
    s.Partner.reset();
    hk::RemoveDevice(s.BusPdo);
    hk::WaitPnpIdle();
    hk::UnloadDriver(s.Driver);
}

Setup& TheSetup()
{
    static Setup* setup = [] {
        hk::SetViolationHandler([](const std::string& message) {
            fprintf(stderr, "%s\n", message.c_str());
            abort();
        });
        auto s = new Setup;
        if (hk::LoadDriver(DriverEntry, kServicePath, &s->Driver, L"\\Driver\\vcombus") != STATUS_SUCCESS) {
            Finding("load failed");
        }
        hk::InstallDriverForId(kPortCompatibleId);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDEVICE_OBJECT busPdo = s->BusPdo = hk::CreateRootDevice(s->Driver, &status, {});
        if (busPdo == nullptr || hk::StartDevice(busPdo) != STATUS_SUCCESS) Finding("bus start failed");
        hk::WaitPnpIdle();
        auto links = hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE);
        if (links.size() != 1) Finding("no bus interface");
        auto bus = hk::OpenDeviceInterface(links[0], GENERIC_READ | GENERIC_WRITE, &status);
        if (bus == nullptr) Finding("bus open failed");
        // The line settings on, so that the UART requests reach their handlers rather than the
        // refusal every port gives without them.
        const std::u16string parameters =
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vcombus\\Parameters";
        hk::RegistryCreateKey(parameters);
        hk::RegistrySetValue(parameters, u"EmulateLineSettings", REG_DWORD, {1, 0, 0, 0});
        s->Port = PlugIn(bus, busPdo, 9);
        PDEVICE_OBJECT partner = PlugIn(bus, busPdo, 10);
        s->File = hk::File::Open(s->Port, GENERIC_READ | GENERIC_WRITE, &status);
        s->Partner = hk::File::Open(partner, GENERIC_READ | GENERIC_WRITE, &status);
        if (s->File == nullptr || s->Partner == nullptr) Finding("port open failed");
        atexit(TearDown);
        return s;
    }();
    return *setup;
}

// A read and a wait stay parked between inputs; whatever an input ended is parked again.
void Repark(Setup& s)
{
    if (s.ParkedRead == nullptr || s.ParkedRead->Completed()) {
        s.ParkedRead = s.File->ReadAsync(8);
    }
    if (s.ParkedWait == nullptr || s.ParkedWait->Completed()) {
        ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY;
        s.File->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), 0);
        s.ParkedWait = s.File->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    }
    // The partner watches this port from the generation its last answer gave.
    for (int tries = 0; tries < 4 && (s.ParkedWatch == nullptr || s.ParkedWatch->Completed()); tries++) {
        if (s.ParkedWatch != nullptr) {
            if (s.ParkedWatch->Information() > sizeof(PartnerLineState)) Finding("watch answered too much");
            if (s.ParkedWatch->Output().size() == sizeof(PartnerLineState)) {
                memcpy(&s.WatchGeneration, s.ParkedWatch->Output().data() + 4, 4);
            }
        }
        PartnerWatchRequest watch{sizeof(PartnerWatchRequest), s.WatchGeneration};
        s.ParkedWatch = s.Partner->IoctlAsync(IOCTL_VCOMBUS_WATCH_PARTNER, &watch, sizeof(watch),
                                              sizeof(PartnerLineState));
    }
}

// A control request never hangs: pending only as a parked wait, which a cancel ends.
void Finish(hk::Request& request, ULONG outputLength)
{
    if (!request.Completed()) {
        request.Cancel();
        if (!request.Wait(10s)) Finding("request did not end after its cancel");
    }
    if (request.Information() > outputLength) Finding("Information beyond the output buffer");
    if (request.Output().size() > outputLength) Finding("output beyond the output buffer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 7) return 0;
    Setup& s = TheSetup();
    Repark(s);

    const uint8_t options = data[0];
    ULONG raw;
    memcpy(&raw, data + 1, 4);
    ULONG code = (options & 1) ? raw : kCodes[raw % kCodeCount];
    ULONG inputLength = data[5] % (kMaxLength + 1);
    ULONG outputLength = data[6] % (kMaxLength + 1);
    std::vector<UCHAR> input(inputLength, 0);
    if (inputLength != 0) memcpy(input.data(), data + 7, std::min<size_t>(inputLength, size - 7));
    if (code == IOCTL_SERIAL_SET_QUEUE_SIZE && inputLength >= 4) {
        ULONG inSize;
        memcpy(&inSize, input.data(), 4);
        inSize %= kMaxQueueSize + 1;
        memcpy(input.data(), &inSize, 4);
    }
    hk::File& target = (options & 2) ? *s.Partner : *s.File;

    size_t before = hk::PoolAllocations(kPoolTag);
    // The ring is the one thing a control request allocates: a failed resize must change nothing.
    if (options & 4) hk::FailNextAllocations(1, kPoolTag);
    auto request = target.IoctlAsync(code, input.data(), inputLength, outputLength);
    Finish(*request, outputLength);
    hk::ResetFaultInjection();
    if (hk::PoolAllocations(kPoolTag) != before) Finding("pool gained or lost a block");
    return 0;
}
