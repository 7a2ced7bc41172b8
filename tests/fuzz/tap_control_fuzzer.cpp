// libFuzzer target for the tap and routing control requests on the bus: any code, any input and
// output lengths and contents, with and without a tap attached to a real port. Any crash,
// sanitizer or verifier report, a byte count beyond the output of a query, a request left hanging,
// or a device gained or lost beyond the tap is a finding.
//
// Input: byte 0 picks options, bytes 1-4 the code (an index into the seven codes, or the raw
// value), bytes 5-6 the input and output lengths, byte 7 a time offset; the rest is the input.
#include <hostkernel/faults.h>
#include <hostkernel/harness.h>
#include <hostkernel/pnp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/handlers.h"
#include "routing/tap.h"
#include "vcombus/ioctl.h"

namespace {

constexpr PCWSTR kServicePath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vcombus";
constexpr char kPortName[] = "\\Device\\Serial0";

const ULONG kCodes[] = {
    IOCTL_TAP_ATTACH,     IOCTL_TAP_DETACH,     IOCTL_TAP_CONFIGURE,     IOCTL_TAP_DISABLE,
    IOCTL_TAP_GET_COUNT,  IOCTL_TAP_GET_STATUS, IOCTL_ROUTING_CONFIGURE,
};
constexpr size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);
constexpr ULONG kMaxLength = 96;

[[noreturn]] void Finding(const char* what)
{
    fprintf(stderr, "finding: %s\n", what);
    abort();
}

// A real port that answers every request at once: enough for the tap to attach to.
NTSTATUS PortDispatch(PDEVICE_OBJECT, PIRP irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    NTSTATUS status = (major == IRP_MJ_PNP || major == IRP_MJ_SYSTEM_CONTROL) ? irp->IoStatus.Status : STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) driver->MajorFunction[major] = PortDispatch;
    return STATUS_SUCCESS;
}

struct Setup {
    PDRIVER_OBJECT Driver = nullptr;
    PDRIVER_OBJECT PortDriver = nullptr;
    PDEVICE_OBJECT Port = nullptr;
    PDEVICE_OBJECT BusPdo = nullptr;
    std::unique_ptr<hk::File> Bus;
};

Setup& TheSetup();

NTSTATUS Send(ULONG code, const void* input, ULONG inputLength)
{
    return TheSetup().Bus->Ioctl(code, input, inputLength, 0)->Status();
}

// The driver's taps: the attached one, or the one a detach leaves passing through on the port,
// which the next attach takes again.
size_t Taps()
{
    size_t taps = 0;
    for (PDEVICE_OBJECT device = TheSetup().Driver->DeviceObject; device != nullptr; device = device->NextDevice) {
        taps += ((CommonDeviceData*)device->DeviceExtension)->IsFilter ? 1 : 0;
    }
    return taps;
}

size_t DevicesButTaps() { return hk::LiveDeviceCount() - Taps(); }

void TearDown()
{
    Setup& s = TheSetup();
    if (ReadNoFence(&TapAttached)) Send(IOCTL_TAP_DETACH, nullptr, 0);
    s.Bus.reset();
    hk::RemoveDevice(s.BusPdo);
    hk::WaitPnpIdle();
    IoDeleteDevice(s.Port);
    // The stand-in port's driver object is only dropped: unloading runs the clean checks, which
    // belong to the driver under test.
    ObDereferenceObject(s.PortDriver);
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
        if (hk::LoadDriver(PortEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\serial",
                           &s->PortDriver, L"\\Driver\\serial") != STATUS_SUCCESS) {
            Finding("port driver load failed");
        }
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\Serial0");
        if (IoCreateDevice(s->PortDriver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &s->Port) != STATUS_SUCCESS) {
            Finding("port creation failed");
        }
        s->Port->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
        s->Port->Flags &= ~DO_DEVICE_INITIALIZING;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        s->BusPdo = hk::CreateRootDevice(s->Driver, &status, {});
        if (s->BusPdo == nullptr || hk::StartDevice(s->BusPdo) != STATUS_SUCCESS) Finding("bus start failed");
        hk::WaitPnpIdle();
        auto links = hk::FindDeviceInterfaces(GUID_VIRTUAL_BUS_INTERFACE);
        if (links.size() != 1) Finding("no bus interface");
        s->Bus = hk::OpenDeviceInterface(links[0], GENERIC_READ, &status);
        if (s->Bus == nullptr) Finding("bus open failed");
        atexit(TearDown);
        return s;
    }();
    return *setup;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) return 0;
    Setup& s = TheSetup();

    const uint8_t options = data[0];
    ULONG raw;
    memcpy(&raw, data + 1, 4);
    ULONG code = (options & 1) ? raw : kCodes[raw % kCodeCount];
    ULONG inputLength = data[5] % (kMaxLength + 1);
    ULONG outputLength = data[6] % (kMaxLength + 1);
    std::vector<UCHAR> input(inputLength, 0);
    if (inputLength != 0) memcpy(input.data(), data + 8, std::min<size_t>(inputLength, size - 8));

    // Often with a tap on the port, so that configuring, status and detach find one.
    if ((options & 2) && !ReadNoFence(&TapAttached)) {
        if (Send(IOCTL_TAP_ATTACH, kPortName, sizeof(kPortName)) != STATUS_SUCCESS) Finding("attach failed");
    }
    // A record stamped near now, so that the configuring paths get past the age test.
    if ((options & 4) && inputLength >= sizeof(RoutingConfig)) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        LONGLONG stamp = now.QuadPart + (LONGLONG)(int8_t)data[7] * 10000000;
        memcpy(input.data() + offsetof(RoutingConfig, Timestamp), &stamp, sizeof(stamp));
    }
    if (options & 8) hk::FailNextRoutineCall("MmGetSystemAddressForMdlSafe");

    size_t devices = DevicesButTaps();
    size_t pool = hk::PoolAllocations();
    auto request = s.Bus->IoctlAsync(code, input.data(), inputLength, outputLength);
    if (!request->Completed()) Finding("a tap control request pended");
    if ((code == IOCTL_TAP_GET_COUNT || code == IOCTL_TAP_GET_STATUS) && request->Information() > outputLength) {
        Finding("Information beyond the output buffer");
    }
    if (request->Output().size() > outputLength) Finding("output beyond the output buffer");
    if (!NT_SUCCESS(request->Status()) && request->Information() != 0) Finding("a failure with a byte count");
    request.reset();
    hk::ResetFaultInjection();
    if (DevicesButTaps() != devices) Finding("a device gained or lost");
    if (hk::PoolAllocations() != pool) Finding("pool gained or lost a block");
    if (ReadNoFence(&TapCount) != (ReadNoFence(&TapAttached) ? 1 : 0)) Finding("tap count and attachment disagree");
    if (Taps() > 1) Finding("a second tap on the port");
    return 0;
}
