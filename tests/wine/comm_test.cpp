// The Win32 comm API on a null-modem pair of the installed image: what kernel32 makes of the
// port's serial control requests and event waits.
#include "wine_test.h"

#include <winternl.h>

#include <algorithm>
#include <cstring>

#include "vcombus/ioctl.h"

using namespace wine_test;

namespace {

constexpr DWORD kDeadlineMs = 20000;

extern "C" NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
extern "C" NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, PULONG, PULONG);

struct DirectoryEntry {
    UNICODE_STRING Name;
    UNICODE_STRING TypeName;
};

std::vector<std::wstring> DeviceNames()
{
    std::vector<std::wstring> names;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\Device");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, 0, nullptr, nullptr);
    HANDLE directory;
    NTSTATUS status = NtOpenDirectoryObject(&directory, 0x0001 /* DIRECTORY_QUERY */, &attributes);
    REQUIRE(status >= 0, "opening \\Device: status 0x%08lx", (unsigned long)status);
    ULONG context = 0;
    for (;;) {
        alignas(8) unsigned char buffer[4096];
        ULONG returned = 0;
        status = NtQueryDirectoryObject(directory, buffer, sizeof(buffer), TRUE, FALSE, &context, &returned);
        if (status < 0 || status == (NTSTATUS)0x8000001A /* no more entries */)
            break;
        auto entry = reinterpret_cast<DirectoryEntry*>(buffer);
        names.emplace_back(entry->Name.Buffer, entry->Name.Length / sizeof(WCHAR));
    }
    CloseHandle(directory);
    std::sort(names.begin(), names.end());
    return names;
}

HANDLE OpenBus()
{
    std::vector<std::wstring> paths = WaitForBusInterface(kDeadlineMs);
    REQUIRE(!paths.empty(), "no bus interface");
    HANDLE bus = CreateFileW(paths.front().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    REQUIRE(bus != INVALID_HANDLE_VALUE, "opening the bus: %s", DescribeError(GetLastError()).c_str());
    return bus;
}

DWORD Control(HANDLE bus, DWORD code, const void* input, DWORD inputLength)
{
    DWORD returned = 0;
    return DeviceIoControl(bus, code, const_cast<void*>(input), inputLength, nullptr, 0, &returned, nullptr)
               ? ERROR_SUCCESS
               : GetLastError();
}

// Plugs in the port and opens it by the one device name that appeared with it; polls the open
// until the port has started.
HANDLE PlugInAndOpen(HANDLE bus, unsigned number, DWORD flags)
{
    std::vector<std::wstring> before = DeviceNames();
    const wchar_t ids[] = L"VCOMBUS\\Port\0";
    unsigned char input[sizeof(PortPlugInRequest) + sizeof(ids)];
    PortPlugInRequest fixed = {sizeof(PortPlugInRequest), number};
    memcpy(input, &fixed, sizeof(fixed));
    memcpy(input + sizeof(fixed), ids, sizeof(ids));
    DWORD error = Control(bus, IOCTL_BUS_PLUGIN_PORT, input, sizeof(input));
    REQUIRE(error == ERROR_SUCCESS, "plugging in port %u: %s", number, DescribeError(error).c_str());
    std::vector<std::wstring> after = DeviceNames();
    std::vector<std::wstring> fresh;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(fresh));
    REQUIRE(fresh.size() == 1, "%u new device names with port %u", (unsigned)fresh.size(), number);
    std::wstring path = L"\\\\?\\GLOBALROOT\\Device\\" + fresh[0];
    for (DWORD waited = 0;; waited += 100) {
        HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (port != INVALID_HANDLE_VALUE)
            return port;
        REQUIRE(waited < kDeadlineMs, "opening port %u: %s", number, DescribeError(GetLastError()).c_str());
        Sleep(100);
    }
}

void Unplug(HANDLE bus, unsigned number)
{
    PortRemoveRequest request = {sizeof(PortRemoveRequest), number, {0, 0}};
    DWORD error = Control(bus, IOCTL_BUS_UNPLUG_PORT, &request, sizeof(request));
    REQUIRE(error == ERROR_SUCCESS, "unplugging port %u: %s", number, DescribeError(error).c_str());
}

struct Pair {
    HANDLE Bus;
    HANDLE Port;
    HANDLE Partner;
    unsigned Number;
    ~Pair()
    {
        CloseHandle(Port);
        CloseHandle(Partner);
        Unplug(Bus, Number);
        Unplug(Bus, Number + 1);
        CloseHandle(Bus);
    }
};

void Write(HANDLE port, const char* text)
{
    DWORD written = 0;
    BOOL ok = WriteFile(port, text, (DWORD)strlen(text), &written, nullptr);
    REQUIRE(ok && written == strlen(text), "writing: %s", DescribeError(GetLastError()).c_str());
}

DWORD InQueue(HANDLE port, DWORD* errors)
{
    COMSTAT status = {};
    BOOL ok = ClearCommError(port, errors, &status);
    REQUIRE(ok, "ClearCommError: %s", DescribeError(GetLastError()).c_str());
    return status.cbInQue;
}

// An overlapped WaitCommEvent: Wine may report an early status, so the event decides.
DWORD OverlappedWait(HANDLE port, DWORD timeoutMs, bool* ended)
{
    DWORD mask = 0xDEAD;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = WaitCommEvent(port, &mask, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    REQUIRE(ok || error == ERROR_IO_PENDING, "WaitCommEvent: %s", DescribeError(error).c_str());
    *ended = WaitForSingleObject(overlapped.hEvent, timeoutMs) == WAIT_OBJECT_0;
    if (!*ended) {
        CancelIo(port);
        WaitForSingleObject(overlapped.hEvent, kDeadlineMs);
    }
    DWORD returned = 0;
    GetOverlappedResult(port, &overlapped, &returned, FALSE);
    CloseHandle(overlapped.hEvent);
    return mask;
}

} // namespace

TEST_CASE(installed, comm_properties_time_outs_and_queue_size)
{
    HANDLE bus = OpenBus();
    Pair pair = {bus, PlugInAndOpen(bus, 31, 0), PlugInAndOpen(bus, 32, 0), 31};

    COMMPROP properties = {};
    REQUIRE(GetCommProperties(pair.Port, &properties), "GetCommProperties: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(properties.wPacketLength == 64 && properties.wPacketVersion == 2, "packet %u version %u",
            properties.wPacketLength, properties.wPacketVersion);
    REQUIRE(properties.dwServiceMask == SP_SERIALCOMM && properties.dwProvSubType == PST_RS232, "service %lx type %lx",
            properties.dwServiceMask, properties.dwProvSubType);
    REQUIRE(properties.dwMaxBaud == BAUD_USER && properties.dwSettableBaud == BAUD_USER, "baud %lx", properties.dwMaxBaud);
    REQUIRE(properties.dwProvCapabilities == 0xFF && properties.dwSettableParams == 0x7F, "capabilities %lx %lx",
            properties.dwProvCapabilities, properties.dwSettableParams);
    REQUIRE(properties.wSettableData == 0x0F && properties.wSettableStopParity == 0x1F07, "data %x stop/parity %x",
            properties.wSettableData, properties.wSettableStopParity);
    REQUIRE(properties.dwCurrentRxQueue == 4096, "receive queue %lu", properties.dwCurrentRxQueue);

    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 11, 12};
    REQUIRE(SetCommTimeouts(pair.Port, &timeouts), "SetCommTimeouts: %s", DescribeError(GetLastError()).c_str());
    COMMTIMEOUTS back = {};
    REQUIRE(GetCommTimeouts(pair.Port, &back), "GetCommTimeouts: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(memcmp(&back, &timeouts, sizeof(back)) == 0, "time-outs read back as %lu %lu %lu %lu %lu",
            back.ReadIntervalTimeout, back.ReadTotalTimeoutMultiplier, back.ReadTotalTimeoutConstant,
            back.WriteTotalTimeoutMultiplier, back.WriteTotalTimeoutConstant);
    COMMTIMEOUTS impossible = {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    REQUIRE(!SetCommTimeouts(pair.Port, &impossible), "all-MAXDWORD read time-outs were accepted");
    REQUIRE(GetCommTimeouts(pair.Port, &back) && back.ReadTotalTimeoutConstant == 0, "a refusal changed the time-outs");

    // The queue only grows.
    REQUIRE(SetupComm(pair.Port, 1024, 1024), "SetupComm 1024: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(GetCommProperties(pair.Port, &properties) && properties.dwCurrentRxQueue == 4096, "queue %lu after 1024",
            properties.dwCurrentRxQueue);
    REQUIRE(SetupComm(pair.Port, 8192, 1024), "SetupComm 8192: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(GetCommProperties(pair.Port, &properties) && properties.dwCurrentRxQueue == 8192, "queue %lu after 8192",
            properties.dwCurrentRxQueue);

    // A port without a UART has no line settings to take.
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.fBinary = TRUE;
    REQUIRE(!SetCommState(pair.Port, &dcb), "SetCommState was accepted");
}

TEST_CASE(installed, purge_clear_status_and_immediate_character)
{
    HANDLE bus = OpenBus();
    Pair pair = {bus, PlugInAndOpen(bus, 33, 0), PlugInAndOpen(bus, 34, FILE_FLAG_OVERLAPPED), 33};

    Write(pair.Port, "abc");
    DWORD errors = 0xDEAD;
    REQUIRE(InQueue(pair.Partner, &errors) == 3 && errors == 0, "3 bytes waiting without errors, errors %lx", errors);
    REQUIRE(PurgeComm(pair.Partner, PURGE_RXCLEAR), "PurgeComm: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(InQueue(pair.Partner, &errors) == 0, "the purge left bytes");

    // Overrun: more than the ring holds, reported once.
    std::string flood(5000, 'f');
    for (size_t at = 0; at < flood.size(); at += 1000) Write(pair.Port, flood.substr(at, 1000).c_str());
    DWORD waiting = InQueue(pair.Partner, &errors);
    REQUIRE(errors == CE_RXOVER, "errors %lx after a flood (%lu waiting)", errors, waiting);
    InQueue(pair.Partner, &errors);
    REQUIRE(errors == 0, "the overrun was reported twice");
    PurgeComm(pair.Partner, PURGE_RXCLEAR);

    // A read the partner is waiting in ends with the abort.
    char buffer[8];
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = ReadFile(pair.Partner, buffer, sizeof(buffer), nullptr, &overlapped);
    REQUIRE(!ok && GetLastError() == ERROR_IO_PENDING, "the read did not wait");
    Sleep(50);
    REQUIRE(PurgeComm(pair.Partner, PURGE_RXABORT), "PurgeComm abort: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(WaitForSingleObject(overlapped.hEvent, kDeadlineMs) == WAIT_OBJECT_0, "the abort did not end the read");
    DWORD read = 0;
    REQUIRE(!GetOverlappedResult(pair.Partner, &overlapped, &read, FALSE), "the aborted read succeeded");
    CloseHandle(overlapped.hEvent);

    REQUIRE(TransmitCommChar(pair.Port, 'Z'), "TransmitCommChar: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(InQueue(pair.Partner, &errors) == 1, "the immediate character did not arrive");
}

TEST_CASE(installed, wait_comm_event_for_received_characters_and_transmit_empty)
{
    HANDLE bus = OpenBus();
    Pair pair = {bus, PlugInAndOpen(bus, 35, 0), PlugInAndOpen(bus, 36, FILE_FLAG_OVERLAPPED), 35};

    // Synchronous: the event is already there.
    REQUIRE(SetCommMask(pair.Port, EV_TXEMPTY), "SetCommMask: %s", DescribeError(GetLastError()).c_str());
    DWORD mask = 0;
    REQUIRE(GetCommMask(pair.Port, &mask) && mask == EV_TXEMPTY, "mask %lx", mask);
    Write(pair.Port, "x");
    mask = 0;
    REQUIRE(WaitCommEvent(pair.Port, &mask, nullptr), "WaitCommEvent: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(mask == EV_TXEMPTY, "mask %lx after a write", mask);

    // Overlapped: nothing yet, then the partner writes.
    REQUIRE(SetCommMask(pair.Partner, EV_RXCHAR), "SetCommMask: %s", DescribeError(GetLastError()).c_str());
    PurgeComm(pair.Partner, PURGE_RXCLEAR);
    bool ended = false;
    mask = OverlappedWait(pair.Partner, 200, &ended);
    REQUIRE(!ended, "the wait ended with %lx before anything arrived", mask);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    mask = 0xDEAD;
    BOOL ok = WaitCommEvent(pair.Partner, &mask, &overlapped);
    REQUIRE(ok || GetLastError() == ERROR_IO_PENDING, "WaitCommEvent: %s", DescribeError(GetLastError()).c_str());
    Write(pair.Port, "y");
    REQUIRE(WaitForSingleObject(overlapped.hEvent, kDeadlineMs) == WAIT_OBJECT_0, "the wait did not end");
    DWORD returned = 0;
    REQUIRE(GetOverlappedResult(pair.Partner, &overlapped, &returned, FALSE), "the wait failed");
    REQUIRE(mask == EV_RXCHAR, "mask %lx after the partner wrote", mask);
    CloseHandle(overlapped.hEvent);
}

int wmain(int argc, wchar_t** argv)
{
    return RunPhase(argc, argv);
}
