// A null-modem pair of the installed image carries bytes: WriteFile on one port, ReadFile on the
// other, both ways, with the default time-outs (a read returns once all its bytes are there), and
// a read left waiting that a later write from another thread satisfies.
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

std::string Pattern(size_t length, char seed)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<char>(seed + i * 7);
    return bytes;
}

void WriteAll(HANDLE port, const std::string& bytes, const char* what)
{
    DWORD written = 0;
    BOOL ok = WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    REQUIRE(ok, "writing %s: %s", what, DescribeError(GetLastError()).c_str());
    REQUIRE(written == bytes.size(), "%s: %lu of %u bytes written", what, written, (unsigned)bytes.size());
}

std::string ReadExactly(HANDLE port, size_t length, const char* what)
{
    std::string bytes(length, '\0');
    DWORD read = 0;
    BOOL ok = ReadFile(port, bytes.data(), static_cast<DWORD>(length), &read, nullptr);
    REQUIRE(ok, "reading %s: %s", what, DescribeError(GetLastError()).c_str());
    REQUIRE(read == length, "%s: %lu of %u bytes read", what, read, (unsigned)length);
    return bytes;
}

struct DelayedWrite {
    HANDLE Port;
    std::string Bytes;
};

DWORD WINAPI WriteLater(void* context)
{
    auto job = static_cast<DelayedWrite*>(context);
    Sleep(200);
    DWORD written = 0;
    return WriteFile(job->Port, job->Bytes.data(), static_cast<DWORD>(job->Bytes.size()), &written, nullptr) &&
                   written == job->Bytes.size()
               ? 0
               : 1;
}

} // namespace

TEST_CASE(installed, bytes_written_on_one_port_of_a_pair_are_read_on_the_other)
{
    HANDLE bus = OpenBus();
    HANDLE nine = PlugInAndOpen(bus, 21, 0);
    HANDLE ten = PlugInAndOpen(bus, 22, 0);
    for (size_t length : {1u, 15u, 16u, 1000u}) {
        std::string there = Pattern(length, 'a');
        WriteAll(nine, there, "21 to 22");
        std::string got = ReadExactly(ten, length, "22 from 21");
        REQUIRE(got == there, "%u bytes from 21 arrived changed on 22", (unsigned)length);

        std::string back = Pattern(length, 'K');
        WriteAll(ten, back, "22 to 21");
        got = ReadExactly(nine, length, "21 from 22");
        REQUIRE(got == back, "%u bytes from 22 arrived changed on 21", (unsigned)length);
    }
    CloseHandle(nine);
    CloseHandle(ten);
    Unplug(bus, 21);
    Unplug(bus, 22);
    CloseHandle(bus);
}

TEST_CASE(installed, a_waiting_read_is_satisfied_by_a_later_write_from_another_thread)
{
    HANDLE bus = OpenBus();
    HANDLE reader = PlugInAndOpen(bus, 23, FILE_FLAG_OVERLAPPED);
    HANDLE writer = PlugInAndOpen(bus, 24, 0);

    std::string bytes = Pattern(64, '0');
    std::string buffer(bytes.size(), '\0');
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD read = 0;
    BOOL ok = ReadFile(reader, buffer.data(), static_cast<DWORD>(buffer.size()), &read, &overlapped);
    REQUIRE(!ok && GetLastError() == ERROR_IO_PENDING, "the read did not wait: ok %d, %s", ok,
            DescribeError(GetLastError()).c_str());

    DelayedWrite job = {writer, bytes};
    HANDLE thread = CreateThread(nullptr, 0, WriteLater, &job, 0, nullptr);
    REQUIRE(thread != nullptr, "starting the writer: %s", DescribeError(GetLastError()).c_str());
    DWORD waited = WaitForSingleObject(overlapped.hEvent, kDeadlineMs);
    REQUIRE(waited == WAIT_OBJECT_0, "the read was not satisfied within %lu s", kDeadlineMs / 1000);
    ok = GetOverlappedResult(reader, &overlapped, &read, FALSE);
    REQUIRE(ok, "the read failed: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(read == bytes.size() && buffer == bytes, "the read got %lu bytes, changed or short", read);
    REQUIRE(WaitForSingleObject(thread, kDeadlineMs) == WAIT_OBJECT_0, "the writer hung");
    DWORD writerExit = 1;
    GetExitCodeThread(thread, &writerExit);
    REQUIRE(writerExit == 0, "the writer's WriteFile failed or was short");
    CloseHandle(thread);

    // A read still waiting when its handle closes: Wine closes without a cleanup, and the close
    // ends it.
    ok = ReadFile(reader, buffer.data(), 8, &read, &overlapped);
    REQUIRE(!ok && GetLastError() == ERROR_IO_PENDING, "the second read did not wait");
    CloseHandle(reader);
    REQUIRE(WaitForSingleObject(overlapped.hEvent, kDeadlineMs) == WAIT_OBJECT_0, "the close left the read waiting");
    CloseHandle(overlapped.hEvent);
    CloseHandle(writer);
    Unplug(bus, 23);
    Unplug(bus, 24);
    CloseHandle(bus);
}

int wmain(int argc, wchar_t** argv)
{
    return RunPhase(argc, argv);
}
