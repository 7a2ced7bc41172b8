// Ports for the Win32 test programs (wine_ports.h).
#include "wine_ports.h"

#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "vcombus/ioctl.h"
#include "wine_test.h"

namespace wine_test {

namespace {

extern "C" NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
extern "C" NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, PULONG, PULONG);

struct DirectoryEntry {
    UNICODE_STRING Name;
    UNICODE_STRING TypeName;
};

} // namespace

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
    REQUIRE(!fresh.empty(), "no new device name with port %u", number);
    // Wine may create a device of its own meanwhile (seen once: two new names); the port is the
    // new device that answers a serial properties request.
    for (DWORD waited = 0;; waited += 100) {
        DWORD error = ERROR_SUCCESS;
        for (const std::wstring& name : fresh) {
            std::wstring path = L"\\\\?\\GLOBALROOT\\Device\\" + name;
            HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                                      nullptr);
            if (port == INVALID_HANDLE_VALUE) {
                error = GetLastError();
                continue;
            }
            COMMPROP properties = {};
            if (fresh.size() == 1 || GetCommProperties(port, &properties))
                return port;
            CloseHandle(port);
        }
        REQUIRE(waited < kDeadlineMs, "opening port %u (%u new device names): %s", number, (unsigned)fresh.size(),
                DescribeError(error).c_str());
        Sleep(100);
    }
}

void Unplug(HANDLE bus, unsigned number)
{
    PortRemoveRequest request = {sizeof(PortRemoveRequest), number, {0, 0}};
    DWORD error = Control(bus, IOCTL_BUS_UNPLUG_PORT, &request, sizeof(request));
    REQUIRE(error == ERROR_SUCCESS, "unplugging port %u: %s", number, DescribeError(error).c_str());
}

std::wstring SerialCommDevice(const std::wstring& com)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return L"";
    std::wstring device;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256], data[64] = {};
        DWORD nameChars = 256, dataBytes = sizeof(data) - sizeof(wchar_t), type = 0;
        if (RegEnumValueW(key, index, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(data),
                          &dataBytes) != ERROR_SUCCESS)
            break;
        if (type == REG_SZ && _wcsicmp(data, com.c_str()) == 0)
            device = name;
    }
    RegCloseKey(key);
    return device;
}

} // namespace wine_test
