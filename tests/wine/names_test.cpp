// COM names given by the control tool, end to end: a pair plugged in with names opens as \\.\COMn
// from another process after vcomctl has exited, the device map lists both ports, the COM name
// database's bits follow the names, a name in use is refused without leaving anything behind,
// and unplugging takes the names away.
#include "wine_ports.h"
#include "wine_test.h"

#include <winternl.h>

#include <cwchar>

#include "vcombus/ioctl.h"

using namespace wine_test;

namespace {

constexpr wchar_t kArbiter[] = L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
// Ports start a moment after they are plugged in; an open before that is refused.
constexpr DWORD kStartDeadlineMs = 20000;

// The device name a handle was opened on.
std::wstring HandleDeviceName(HANDLE handle)
{
    alignas(8) unsigned char buffer[1024];
    ULONG returned = 0;
    NTSTATUS status = NtQueryObject(handle, static_cast<OBJECT_INFORMATION_CLASS>(1) /* name */, buffer,
                                    sizeof(buffer), &returned);
    REQUIRE(status >= 0, "NtQueryObject: status 0x%08lx", static_cast<unsigned long>(status));
    auto name = reinterpret_cast<UNICODE_STRING*>(buffer);
    return std::wstring(name->Buffer, name->Length / sizeof(wchar_t));
}

// Opens \\.\<com> as a terminal program does, retrying while the port starts; the device it
// reached. Fails the case if it never opens.
std::wstring OpenByComName(const std::wstring& com)
{
    std::wstring path = L"\\\\.\\" + com;
    DWORD error = 0;
    for (DWORD waited = 0; waited <= kStartDeadlineMs; waited += 100) {
        HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        if (port != INVALID_HANDLE_VALUE) {
            std::wstring device = HandleDeviceName(port);
            CloseHandle(port);
            return device;
        }
        error = GetLastError();
        Sleep(100);
    }
    REQUIRE(false, "opening %s: %s", Narrow(path).c_str(), DescribeError(error).c_str());
    return {};
}

DWORD OpenError(const std::wstring& com)
{
    std::wstring path = L"\\\\.\\" + com;
    HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(port);
    return ERROR_SUCCESS;
}

// The target of the DOS device link com, or "" if none.
std::wstring LinkTarget(const std::wstring& com)
{
    wchar_t target[512] = {};
    return QueryDosDeviceW(com.c_str(), target, 512) ? std::wstring(target) : std::wstring();
}

// Wine keeps no COM name database; Windows always has one. The case gives the prefix an empty
// one, as Windows has, so that the claims can be seen.
void MakeEmptyComDb()
{
    HKEY key;
    REQUIRE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kArbiter, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
                ERROR_SUCCESS,
            "creating the arbiter's key");
    BYTE bits[32] = {};
    RegSetValueExW(key, L"ComDB", 0, REG_BINARY, bits, sizeof(bits));
    RegCloseKey(key);
}

bool ComDbClaims(unsigned number)
{
    BYTE bits[512] = {};
    DWORD bytes = sizeof(bits);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kArbiter, L"ComDB", RRF_RT_REG_BINARY, nullptr, bits, &bytes) !=
        ERROR_SUCCESS)
        return false;
    unsigned index = (number - 1) / 8;
    return index < bytes && (bits[index] & (1u << ((number - 1) % 8)));
}

void RequireNamed(const std::wstring& com, unsigned comNumber)
{
    std::wstring device = OpenByComName(com);
    REQUIRE(device.rfind(L"\\Device\\", 0) == 0, "%s opened %s", Narrow(com).c_str(), Narrow(device).c_str());
    REQUIRE(SerialCommDevice(com) == device, "SERIALCOMM lists %s as '%s', the open reached %s",
            Narrow(com).c_str(), Narrow(SerialCommDevice(com)).c_str(), Narrow(device).c_str());
    REQUIRE(LinkTarget(com) == device, "the link %s leads to '%s'", Narrow(com).c_str(),
            Narrow(LinkTarget(com)).c_str());
    REQUIRE(ComDbClaims(comNumber), "the COM name database doesn't claim %s", Narrow(com).c_str());
}

void RequireUnnamed(const std::wstring& com, unsigned comNumber)
{
    DWORD error = OpenError(com);
    REQUIRE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND, "opening %s: %s",
            Narrow(com).c_str(), DescribeError(error).c_str());
    REQUIRE(SerialCommDevice(com).empty(), "SERIALCOMM still lists %s for %s", Narrow(com).c_str(),
            Narrow(SerialCommDevice(com)).c_str());
    REQUIRE(LinkTarget(com).empty(), "the link %s is still there", Narrow(com).c_str());
    REQUIRE(!ComDbClaims(comNumber), "the COM name database still claims %s", Narrow(com).c_str());
}

unsigned PortCount()
{
    std::vector<std::wstring> paths = WaitForBusInterface(kStartDeadlineMs);
    REQUIRE(!paths.empty(), "the bus isn't running");
    HANDLE bus = CreateFileW(paths.front().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    REQUIRE(bus != INVALID_HANDLE_VALUE, "opening the bus: %s", DescribeError(GetLastError()).c_str());
    DWORD count = 0, returned = 0;
    BOOL ok = DeviceIoControl(bus, IOCTL_BUS_GET_PORT_COUNT, nullptr, 0, &count, sizeof(count), &returned, nullptr);
    DWORD error = GetLastError();
    CloseHandle(bus);
    REQUIRE(ok, "port count: %s", DescribeError(error).c_str());
    return count;
}

// Polls the bus's port count until it is `count`: a port leaves the count only once the Plug and
// Play manager has removed it.
unsigned WaitForPortCount(unsigned count)
{
    unsigned now = PortCount();
    for (DWORD waited = 0; now != count && waited < kStartDeadlineMs; waited += 100) {
        Sleep(100);
        now = PortCount();
    }
    return now;
}

} // namespace

TEST_CASE(installed, a_named_pair_opens_by_its_com_names_and_is_listed)
{
    MakeEmptyComDb();
    // Two names longer than two characters that differ only in their last digit: a link made
    // with a name cut short would lead both to one port.
    REQUIRE(RunVcomctl(L"pair 9 --com COM20,COM21") == 0, "pair 9 --com COM20,COM21 failed");
    RequireNamed(L"COM20", 20);
    RequireNamed(L"COM21", 21);
    REQUIRE(OpenByComName(L"COM20") != OpenByComName(L"COM21"), "COM20 and COM21 lead to one device");

    std::string listing;
    REQUIRE(RunVcomctl(L"list", &listing) == 0, "list failed");
    for (const char* expected : {"COM20", "COM21", "2 ports on the bus"})
        REQUIRE(listing.find(expected) != std::string::npos, "list doesn't show %s:\n%s", expected,
                listing.c_str());
    REQUIRE(listing.find(Narrow(OpenByComName(L"COM21"))) != std::string::npos,
            "list doesn't show COM21's device:\n%s", listing.c_str());
}

TEST_CASE(installed, a_name_in_use_is_refused_and_leaves_nothing_behind)
{
    // Port 9 has COM20 and port 10 COM21 from the case before.
    REQUIRE(RunVcomctl(L"plug 11") == 0, "plug 11 failed");
    REQUIRE(RunVcomctl(L"name 11 COM20") == 1, "naming port 11 COM20, port 9's name, succeeded");
    REQUIRE(RunVcomctl(L"name 9 COM22") == 1, "naming port 9 twice succeeded");
    REQUIRE(RunVcomctl(L"name 13 COM22") == 1, "naming a port that isn't plugged in succeeded");
    REQUIRE(RunVcomctl(L"unname 11") == 1, "unnaming a port without a name succeeded");
    REQUIRE(RunVcomctl(L"name 11 LPT1") == 2, "a name that isn't a COM name is no usage error");
    REQUIRE(RunVcomctl(L"plug 12 --com COM0") == 2, "COM0 is no usage error");
    REQUIRE(RunVcomctl(L"pair 13 --com COM23,COM23") == 2, "one name for both ports is no usage error");
    RequireUnnamed(L"COM22", 22);

    // A plug or pair whose name is taken plugs nothing in.
    REQUIRE(RunVcomctl(L"plug 12 --com COM21") == 1, "plugging port 12 as COM21, port 10's name, succeeded");
    REQUIRE(RunVcomctl(L"pair 13 --com COM23,COM20") == 1, "a pair whose second name is taken succeeded");
    RequireUnnamed(L"COM23", 23);
    unsigned left = WaitForPortCount(3);
    REQUIRE(left == 3, "%u ports, not 9, 10 and 11: the refused plug-ins left ports behind", left);
    RequireNamed(L"COM20", 20);
    RequireNamed(L"COM21", 21);

    // Naming and unnaming a plugged port.
    REQUIRE(RunVcomctl(L"name 11 com22") == 0, "naming port 11 com22 failed");
    RequireNamed(L"COM22", 22);
    REQUIRE(RunVcomctl(L"unname 11") == 0, "unnaming port 11 failed");
    RequireUnnamed(L"COM22", 22);
    REQUIRE(RunVcomctl(L"name 11 COM22") == 0, "naming port 11 again failed");
}

TEST_CASE(installed, unplugging_takes_the_names_away)
{
    REQUIRE(RunVcomctl(L"unplug 11") == 0, "unplug 11 failed");
    RequireUnnamed(L"COM22", 22);
    RequireNamed(L"COM20", 20);
    REQUIRE(RunVcomctl(L"unplug all") == 0, "unplug all failed");
    RequireUnnamed(L"COM20", 20);
    RequireUnnamed(L"COM21", 21);
    // The names are free again.
    REQUIRE(RunVcomctl(L"plug 9 --com COM21") == 0, "plugging port 9 as COM21 after the unplug failed");
    RequireNamed(L"COM21", 21);
    REQUIRE(RunVcomctl(L"unplug 9") == 0, "unplug 9 failed");
    RequireUnnamed(L"COM21", 21);
}

TEST_CASE(installed, a_named_port_is_left_plugged_in_for_the_uninstall)
{
    REQUIRE(RunVcomctl(L"plug 9 --com COM25") == 0, "plug 9 --com COM25 failed");
    RequireNamed(L"COM25", 25);
}

// After `vcomctl uninstall`: the port went with the bus, and its names with it.
TEST_CASE(uninstalled, the_uninstall_took_the_names_of_its_ports_away)
{
    RequireUnnamed(L"COM25", 25);
    // restore_test leaves its pair restored as COM20 and COM21, and a hub port.
    RequireUnnamed(L"COM20", 20);
    RequireUnnamed(L"COM21", 21);
    HKEY key;
    REQUIRE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\vcombus", 0, KEY_READ, &key) == ERROR_FILE_NOT_FOUND,
            "vcomctl's records are left after the uninstall");
}

int wmain(int argc, wchar_t** argv)
{
    return RunPhase(argc, argv);
}
