// The bus of the installed image, end to end: found through its interface only once installed,
// opened and closed by an application, refusing data transfer, and kept as it is by a second
// install; removed by uninstall. A failed install leaves nothing behind.
#include "wine_ports.h"
#include "wine_test.h"

#include <cfgmgr32.h>
#include <setupapi.h>
#include <winternl.h>
#include <sddl.h>

#include <algorithm>
#include <initializer_list>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "vcombus/ioctl.h"

using namespace wine_test;

namespace {

// Install waits for the bus itself; this covers a slow start on a loaded machine.
constexpr DWORD kStartDeadlineMs = 20000;

std::wstring RunningBusPath()
{
    std::vector<std::wstring> paths = WaitForBusInterface(kStartDeadlineMs);
    REQUIRE(!paths.empty(),
            "the bus never started: no device offers the bus interface %lu s after the install",
            kStartDeadlineMs / 1000);
    return paths.front();
}

HANDLE OpenBus(DWORD access)
{
    std::wstring path = RunningBusPath();
    HANDLE handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    REQUIRE(handle != INVALID_HANDLE_VALUE, "opening %s: %s", Narrow(path).c_str(),
            DescribeError(GetLastError()).c_str());
    return handle;
}

// ---- Ports -------------------------------------------------------------------------------------

DWORD BusControl(HANDLE bus, DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength)
{
    DWORD returned = 0;
    return DeviceIoControl(bus, code, const_cast<void*>(input), inputLength, output, outputLength, &returned,
                           nullptr)
               ? ERROR_SUCCESS
               : GetLastError();
}

DWORD PlugIn(HANDLE bus, unsigned number)
{
    const wchar_t ids[] = L"VCOMBUS\\Port\0";  // with the array's own NUL: two at the end
    unsigned char input[sizeof(PortPlugInRequest) + sizeof(ids)];
    PortPlugInRequest fixed = {sizeof(PortPlugInRequest), number};
    memcpy(input, &fixed, sizeof(fixed));
    memcpy(input + sizeof(fixed), ids, sizeof(ids));
    return BusControl(bus, IOCTL_BUS_PLUGIN_PORT, input, sizeof(input), nullptr, 0);
}

unsigned PortCount(HANDLE bus)
{
    DWORD count = 0;
    DWORD error = BusControl(bus, IOCTL_BUS_GET_PORT_COUNT, nullptr, 0, &count, sizeof(count));
    REQUIRE(error == ERROR_SUCCESS, "port count: %s", DescribeError(error).c_str());
    return count;
}

// Instance identifiers of the present ports that the setup information installed: a port with the
// port hardware identifier whose driver (the null one) put it into the ports' setup class. Wine
// starts a child only once such a driver is installed for it.
//
// Only the ports' class is listed, never every class. Wine's setup functions write the class that
// a listing read back into each listed device's record. While Wine's Plug and Play manager
// installs a new port, the record first holds the null class and gets the ports' class when the
// driver search finds the setup information; a listing of every class that reads the null class
// just before and writes it just after (the lister preempted in between, as on a loaded machine)
// leaves the port in the null class for good: reported by the bus, installed and started by Wine,
// but never listed here. Seen as "setup's record of port 9: class {00000000-...}, driver
// {D9B20363-...}\0000", the driver key made after the driver search still there. A listing of
// the ports' class only takes records that already hold it, and writes back the same class.
std::vector<std::wstring> StartedPorts()
{
    std::vector<std::wstring> ports;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_VIRTUAL_PORT_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    REQUIRE(set != INVALID_HANDLE_VALUE, "listing ports: %s", DescribeError(GetLastError()).c_str());
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        wchar_t ids[1024] = {};
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE*>(ids), sizeof(ids) - 4, nullptr) ||
            _wcsicmp(ids, L"VCOMBUS\\Port") != 0)
            continue;
        wchar_t id[MAX_DEVICE_ID_LEN];
        if (SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr))
            ports.push_back(id);
    }
    SetupDiDestroyDeviceInfoList(set);
    std::sort(ports.begin(), ports.end());
    return ports;
}

std::wstring Join(const std::vector<std::wstring>& items)
{
    std::wstring text;
    for (const std::wstring& item : items)
        text += (text.empty() ? L"" : L", ") + item;
    return text.empty() ? L"none" : text;
}

// Polls until every port of `numbers` is installed and started (its instance identifier, the
// "%02d" of its number, ends its device instance identifier); whether all of them got there.
// Records of ports removed earlier may linger in setup's view under Wine, so only these count.
bool WaitForStartedPorts(std::initializer_list<unsigned> numbers)
{
    for (DWORD waited = 0;; waited += 100) {
        std::vector<std::wstring> ports = StartedPorts();
        bool all = true;
        for (unsigned number : numbers) {
            wchar_t suffix[16];
            swprintf(suffix, 16, L"\\%02u", number);
            size_t length = wcslen(suffix);
            bool found = false;
            for (const std::wstring& port : ports)
                found = found || (port.size() > length && _wcsicmp(port.c_str() + port.size() - length, suffix) == 0);
            all = all && found;
        }
        if (all)
            return true;
        if (waited >= kStartDeadlineMs)
            return false;
        Sleep(100);
    }
}

// What each side holds when a port did not show as started, so that the message says which one
// lost it: the bus's count (a port stays counted until the Plug and Play manager removes it), and
// setup's record of each port read straight from the registry (a listing through setup would
// write records back, see StartedPorts): missing, or its class, hardware identifier and driver.
std::string DescribePorts(HANDLE bus, std::initializer_list<unsigned> numbers)
{
    DWORD count = 0;
    DWORD error = BusControl(bus, IOCTL_BUS_GET_PORT_COUNT, nullptr, 0, &count, sizeof(count));
    std::string text = error == ERROR_SUCCESS ? Format("the bus counts %lu ports", count)
                                              : "port count: " + DescribeError(error);
    for (unsigned number : numbers) {
        wchar_t path[96];
        swprintf(path, 96, L"SYSTEM\\CurrentControlSet\\Enum\\VCOMBUS\\Port\\%02u", number);
        HKEY key = nullptr;
        LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
        text += Format("; setup's record of port %u: ", number);
        if (opened != ERROR_SUCCESS) {
            text += "none (" + DescribeError(opened) + ")";
            continue;
        }
        auto value = [&](const wchar_t* name) {
            wchar_t data[512] = L"";
            DWORD size = sizeof(data) - 2 * sizeof(wchar_t);
            LONG read = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
            return read == ERROR_SUCCESS ? Narrow(data) : std::string("-");
        };
        text += "class " + value(L"ClassGUID") + ", hardware id " + value(L"HardwareID") + ", driver " +
                value(L"Driver");
        RegCloseKey(key);
    }
    return text;
}

// Polls the bus's port count until it is `count`: a port leaves the count only when the Plug and
// Play manager has removed it (Wine keeps its device record, so setup's view can't tell).
unsigned WaitForPortCount(HANDLE bus, unsigned count)
{
    unsigned now = PortCount(bus);
    for (DWORD waited = 0; now != count && waited < kStartDeadlineMs; waited += 100) {
        Sleep(100);
        now = PortCount(bus);
    }
    return now;
}

} // namespace

TEST_CASE(installed, plugged_ports_start_open_and_go_away_when_unplugged)
{
    HANDLE bus = OpenBus(GENERIC_READ);
    std::vector<std::wstring> namesBefore = DeviceNames();
    DWORD error = PlugIn(bus, 9);
    REQUIRE(error == ERROR_SUCCESS, "plugging in port 9: %s", DescribeError(error).c_str());
    error = PlugIn(bus, 10);
    REQUIRE(error == ERROR_SUCCESS, "plugging in port 10: %s", DescribeError(error).c_str());
    error = PlugIn(bus, 10);
    REQUIRE(error == ERROR_INVALID_PARAMETER, "a second port 10: %s", DescribeError(error).c_str());

    REQUIRE(WaitForStartedPorts({9, 10}), "ports 9 and 10 did not both start; installed: %s; %s",
            Narrow(Join(StartedPorts())).c_str(), DescribePorts(bus, {9, 10}).c_str());
    REQUIRE(PortCount(bus) == 2, "port count %u", PortCount(bus));
    DWORD version = 0;
    error = BusControl(bus, IOCTL_BUS_GET_VERSION, nullptr, 0, &version, sizeof(version));
    REQUIRE(error == ERROR_SUCCESS && version == 0x2001, "version 0x%lx, %s", version,
            DescribeError(error).c_str());

    // Each new device name opens as a port would for an application.
    std::vector<std::wstring> namesAfter = DeviceNames();
    std::vector<std::wstring> fresh;
    std::set_difference(namesAfter.begin(), namesAfter.end(), namesBefore.begin(), namesBefore.end(),
                        std::back_inserter(fresh));
    REQUIRE(fresh.size() >= 2, "%u new device names", static_cast<unsigned>(fresh.size()));
    unsigned opened = 0;
    for (const std::wstring& name : fresh) {
        std::wstring path = L"\\\\?\\GLOBALROOT\\Device\\" + name;
        HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port != INVALID_HANDLE_VALUE) {
            opened++;
            CloseHandle(port);
        }
    }
    REQUIRE(opened >= 2, "only %u of the new devices opened", opened);

    PortRemoveRequest unplug = {sizeof(PortRemoveRequest), 10, {0, 0}};
    error = BusControl(bus, IOCTL_BUS_UNPLUG_PORT, &unplug, sizeof(unplug), nullptr, 0);
    REQUIRE(error == ERROR_SUCCESS, "unplugging port 10: %s", DescribeError(error).c_str());
    unsigned left = WaitForPortCount(bus, 1);
    REQUIRE(left == 1, "%u ports left after unplugging 10", left);
    CloseHandle(bus);
}

namespace {

// The system-devices setup class.
const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// Whether the descriptor in SDDL has a protected DACL whose every entry names LocalSystem or the
// built-in Administrators, and at least one.
bool OnlySystemAndAdministrators(const std::wstring& sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool only = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl != nullptr &&
                GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                (control & SE_DACL_PROTECTED) != 0 && dacl->AceCount > 0;
    for (DWORD index = 0; only && index < dacl->AceCount; ++index) {
        ACE_HEADER* ace = nullptr;
        only = GetAce(dacl, index, reinterpret_cast<void**>(&ace)) && ace->AceType == ACCESS_ALLOWED_ACE_TYPE &&
               (IsWellKnownSid(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, WinLocalSystemSid) ||
                IsWellKnownSid(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, WinBuiltinAdministratorsSid));
    }
    LocalFree(descriptor);
    return only;
}

} // namespace

// The bus is a system device with a DACL of its own, apart from the ports, whose class key holds
// their security: as setup recorded the installation.
TEST_CASE(installed, bus_is_a_system_device_open_only_to_system_and_administrators)
{
    RunningBusPath();
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    REQUIRE(set != INVALID_HANDLE_VALUE, "listing devices: %s", DescribeError(GetLastError()).c_str());
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    bool found = false;
    for (DWORD index = 0; !found && SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        wchar_t ids[1024] = {};
        found = SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<BYTE*>(ids), sizeof(ids) - 4, nullptr) &&
                _wcsicmp(ids, L"Root\\vcombus") == 0;
    }
    REQUIRE(found, "no present bus device");

    wchar_t className[64] = L"";
    SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_CLASS, nullptr, reinterpret_cast<BYTE*>(className),
                                      sizeof(className) - 2, nullptr);
    bool systemClass = IsEqualGUID(device.ClassGuid, kSystemClass) != 0;
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    SetupDiDestroyDeviceInfoList(set);
    REQUIRE(systemClass, "the bus is in class %s, not the system devices'", Narrow(className).c_str());
    REQUIRE(_wcsicmp(className, L"System") == 0, "the bus's class is named %s", Narrow(className).c_str());

    REQUIRE(key != INVALID_HANDLE_VALUE, "opening the bus's hardware key: %s", DescribeError(GetLastError()).c_str());
    wchar_t security[512] = L"";
    DWORD type = 0;
    DWORD size = sizeof(security) - sizeof(wchar_t);
    LONG error = RegQueryValueExW(key, L"Security", nullptr, &type, reinterpret_cast<BYTE*>(security), &size);
    RegCloseKey(key);
    REQUIRE(error == ERROR_SUCCESS && type == REG_SZ, "the bus's hardware key has no Security setting: %s",
            DescribeError(error).c_str());
    REQUIRE(OnlySystemAndAdministrators(security), "the bus's Security setting %s lets in others",
            Narrow(security).c_str());
}

// Plug-in requests the Plug and Play manager could not take are refused before anything is made.
TEST_CASE(installed, malformed_plug_in_requests_are_refused_and_leave_no_port)
{
    HANDLE bus = OpenBus(GENERIC_READ);
    unsigned before = PortCount(bus);
    struct Case {
        const char* what;
        std::vector<unsigned char> input;
    };
    auto request = [](unsigned number, const std::wstring& ids) {
        PortPlugInRequest fixed = {sizeof(PortPlugInRequest), number};
        std::vector<unsigned char> input(sizeof(fixed) + ids.size() * sizeof(wchar_t));
        memcpy(input.data(), &fixed, sizeof(fixed));
        if (!ids.empty())
            memcpy(input.data() + sizeof(fixed), ids.data(), ids.size() * sizeof(wchar_t));
        return input;
    };
    std::vector<unsigned char> fourBytes = request(13, L"");
    fourBytes.resize(4);
    std::vector<Case> cases = {
        {"a 4-byte request", fourBytes},
        {"an empty identifier list", request(13, std::wstring(L"\0\0", 2))},
        {"an identifier with a comma", request(13, std::wstring(L"VCOMBUS\\Po,rt\0\0", 15))},
        {"an identifier with a control character", request(13, std::wstring(L"VCOMBUS\\Po\trt\0\0", 15))},
    };
    for (const Case& c : cases) {
        DWORD result = BusControl(bus, IOCTL_BUS_PLUGIN_PORT, c.input.data(), static_cast<DWORD>(c.input.size()),
                                  nullptr, 0);
        REQUIRE(result == ERROR_INVALID_PARAMETER, "%s: %s", c.what, DescribeError(result).c_str());
        REQUIRE(PortCount(bus) == before, "%s left %u ports, %u before", c.what, PortCount(bus), before);
    }
    // No input at all.
    DWORD result = BusControl(bus, IOCTL_BUS_PLUGIN_PORT, nullptr, 0, nullptr, 0);
    REQUIRE(result == ERROR_INVALID_PARAMETER, "a 0-byte request: %s", DescribeError(result).c_str());
    REQUIRE(PortCount(bus) == before, "a 0-byte request left %u ports, %u before", PortCount(bus), before);
    CloseHandle(bus);
}

// Five ports unplugged at once give their numbers back: they plug in again under the same ones.
TEST_CASE(installed, five_ports_unplugged_at_once_plug_in_again_under_their_numbers)
{
    HANDLE bus = OpenBus(GENERIC_READ);
    unsigned before = PortCount(bus);
    const unsigned numbers[] = {21, 22, 23, 24, 25};
    for (int round = 0; round < 2; ++round) {
        for (unsigned number : numbers) {
            DWORD error = PlugIn(bus, number);
            REQUIRE(error == ERROR_SUCCESS, "round %d: plugging in port %u: %s", round, number,
                    DescribeError(error).c_str());
        }
        REQUIRE(PortCount(bus) == before + 5, "round %d: %u ports, %u before", round, PortCount(bus), before);
        for (unsigned number : numbers) {
            PortRemoveRequest unplug = {sizeof(PortRemoveRequest), number, {0, 0}};
            DWORD error = BusControl(bus, IOCTL_BUS_UNPLUG_PORT, &unplug, sizeof(unplug), nullptr, 0);
            REQUIRE(error == ERROR_SUCCESS, "round %d: unplugging port %u: %s", round, number,
                    DescribeError(error).c_str());
        }
        unsigned left = WaitForPortCount(bus, before);
        REQUIRE(left == before, "round %d: %u ports left after the unplugs, %u before", round, left, before);
    }
    CloseHandle(bus);
}

// Port numbers past 2^31 are ports like any other, each with an instance identifier of its own.
TEST_CASE(installed, ports_0x80000000_and_0x80000001_both_plug_in_and_unplug)
{
    HANDLE bus = OpenBus(GENERIC_READ);
    unsigned before = PortCount(bus);
    for (unsigned number : {0x80000000u, 0x80000001u}) {
        DWORD error = PlugIn(bus, number);
        REQUIRE(error == ERROR_SUCCESS, "plugging in port 0x%x: %s", number, DescribeError(error).c_str());
    }
    REQUIRE(PortCount(bus) == before + 2, "%u ports, %u before", PortCount(bus), before);
    REQUIRE(WaitForStartedPorts({0x80000000u, 0x80000001u}), "ports 0x80000000 and 0x80000001 did not both "
            "start; installed: %s; %s", Narrow(Join(StartedPorts())).c_str(),
            DescribePorts(bus, {0x80000000u, 0x80000001u}).c_str());
    for (unsigned number : {0x80000000u, 0x80000001u}) {
        PortRemoveRequest unplug = {sizeof(PortRemoveRequest), number, {0, 0}};
        DWORD error = BusControl(bus, IOCTL_BUS_UNPLUG_PORT, &unplug, sizeof(unplug), nullptr, 0);
        REQUIRE(error == ERROR_SUCCESS, "unplugging port 0x%x: %s", number, DescribeError(error).c_str());
    }
    unsigned left = WaitForPortCount(bus, before);
    REQUIRE(left == before, "%u ports left after the unplugs, %u before", left, before);
    CloseHandle(bus);
}

TEST_CASE(installed, vcomctl_pairs_and_unplugs_every_port)
{
    HANDLE bus = OpenBus(GENERIC_READ);
    REQUIRE(RunVcomctl(L"pair 11") == 0, "pair 11 failed");
    REQUIRE(PortCount(bus) == 3, "%u ports, expected 9, 11 and 12", PortCount(bus));
    REQUIRE(RunVcomctl(L"plug 11") == 1, "plugging port 11 twice succeeded");
    REQUIRE(RunVcomctl(L"list") == 0, "list failed");
    REQUIRE(RunVcomctl(L"version") == 0, "version failed");
    REQUIRE(RunVcomctl(L"unplug all") == 0, "unplug all failed");
    unsigned left = WaitForPortCount(bus, 0);
    REQUIRE(left == 0, "%u ports left after unplug all", left);
    REQUIRE(RunVcomctl(L"unplug 9") == 1, "unplugging with no ports succeeded");
    CloseHandle(bus);
}

TEST_CASE(before_install, no_bus_device_and_no_bus_interface_before_the_install)
{
    REQUIRE(BusDeviceInstances().empty(), "a bus device exists before the install");
    REQUIRE(BusInterfacePaths().empty(), "the bus interface is offered before the install");
}

TEST_CASE(before_install, vcomctl_rejects_bad_command_lines_with_exit_code_2)
{
    REQUIRE(RunVcomctl(L"--help") == 0, "--help did not succeed");
    REQUIRE(RunVcomctl(L"") == 2, "no command");
    REQUIRE(RunVcomctl(L"frobnicate") == 2, "unknown command");
    REQUIRE(RunVcomctl(L"install --bogus") == 2, "unknown install option");
}

TEST_CASE(before_install, failed_install_fails_and_leaves_no_bus_device)
{
    REQUIRE(RunVcomctl(L"install --inf C:\\no-such-directory\\vcombus.inf") == 1,
            "install from a missing setup information file did not fail");
    REQUIRE(RunVcomctl(L"status") == 1, "status without a bus did not fail");
    REQUIRE(BusDeviceInstances().empty(), "the failed install left a bus device");
}

namespace {

// Every setup information file the system holds: the driver store names staged copies oemN.inf
// on Windows, after the original on Wine.
std::vector<std::wstring> StagedSetupFiles()
{
    wchar_t pattern[MAX_PATH];
    UINT length = GetWindowsDirectoryW(pattern, MAX_PATH);
    REQUIRE(length > 0 && length < MAX_PATH - 16, "GetWindowsDirectory: %s",
            DescribeError(GetLastError()).c_str());
    wcscat(pattern, L"\\inf\\*.inf");
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// The package's setup information with the bus's hardware identifier changed in its models, in
// a directory of its own with the catalog it names: a driver package that installs nothing on
// the device vcomctl creates.
std::wstring WriteMismatchedSetupInformation()
{
    std::wstring packageInf = GetOptions().Vcomctl;
    packageInf.resize(packageInf.find_last_of(L'\\') + 1);
    packageInf += L"vcombus.inf";
    HANDLE file = CreateFileW(packageInf.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE, "opening %s: %s", Narrow(packageInf).c_str(),
            DescribeError(GetLastError()).c_str());
    std::string text(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    BOOL ok = ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    REQUIRE(ok && read == text.size(), "reading %s", Narrow(packageInf).c_str());
    const std::string busId = "Root\\vcombus";
    size_t at = text.find(busId + "\r\n");
    if (at == std::string::npos)
        at = text.find(busId + "\n");
    REQUIRE(at != std::string::npos, "no models line for %s", busId.c_str());
    text.insert(at + busId.size(), "-elsewhere");

    wchar_t directory[MAX_PATH];
    REQUIRE(GetTempPathW(MAX_PATH, directory) > 0, "GetTempPath");
    wcscat(directory, L"vcombus-mismatch");
    CreateDirectoryW(directory, nullptr);
    std::wstring inf = std::wstring(directory) + L"\\vcombus.inf";
    std::wstring catalog = std::wstring(directory) + L"\\vcombus.cat";
    std::wstring portInf = packageInf.substr(0, packageInf.find_last_of(L'\\') + 1) + L"vcomport.inf";
    REQUIRE(CopyFileW(portInf.c_str(), (std::wstring(directory) + L"\\vcomport.inf").c_str(), FALSE),
            "copying %s: %s", Narrow(portInf).c_str(), DescribeError(GetLastError()).c_str());
    for (const std::wstring* path : {&inf, &catalog}) {
        file = CreateFileW(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        REQUIRE(file != INVALID_HANDLE_VALUE, "creating %s: %s", Narrow(*path).c_str(),
                DescribeError(GetLastError()).c_str());
        DWORD written = 0;
        if (path == &inf)
            WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
    return inf;
}

} // namespace

TEST_CASE(before_install, install_that_finds_no_driver_fails_and_leaves_nothing_behind)
{
    std::wstring inf = WriteMismatchedSetupInformation();
    std::vector<std::wstring> stagedBefore = StagedSetupFiles();

    REQUIRE(RunVcomctl(L"install --inf \"" + inf + L"\"") == 1,
            "install with a driver for another device did not fail");
    REQUIRE(BusDeviceInstances().empty(), "the failed install left a bus device");
    REQUIRE(StagedSetupFiles() == stagedBefore, "the failed install left its setup information "
            "in the driver store (%u files before, %u after)",
            static_cast<unsigned>(stagedBefore.size()),
            static_cast<unsigned>(StagedSetupFiles().size()));
}

TEST_CASE(installed, one_bus_device_offers_the_bus_interface_after_the_install)
{
    RunningBusPath();
    REQUIRE(BusInterfacePaths().size() == 1, "%u bus interfaces",
            static_cast<unsigned>(BusInterfacePaths().size()));
    std::vector<std::wstring> devices = BusDeviceInstances();
    REQUIRE(devices.size() == 1, "%u bus devices", static_cast<unsigned>(devices.size()));
}

TEST_CASE(installed, bus_opens_and_closes_with_read_access_again_and_again)
{
    for (int round = 0; round < 3; ++round) {
        HANDLE handle = OpenBus(GENERIC_READ);
        REQUIRE(CloseHandle(handle), "closing the bus: %s", DescribeError(GetLastError()).c_str());
    }
}

TEST_CASE(installed, bus_refuses_read_and_write_as_an_invalid_function)
{
    HANDLE handle = OpenBus(GENERIC_READ | GENERIC_WRITE);
    char buffer[16] = "abc";
    DWORD transferred = 99;
    BOOL read = ReadFile(handle, buffer, sizeof(buffer), &transferred, nullptr);
    DWORD readError = GetLastError();
    DWORD readCount = transferred;
    transferred = 99;
    BOOL written = WriteFile(handle, buffer, 3, &transferred, nullptr);
    DWORD writeError = GetLastError();
    DWORD writeCount = transferred;
    CloseHandle(handle);

    REQUIRE(!read && readError == ERROR_INVALID_FUNCTION,
            "read: %s, expected refusal with %s", read ? "succeeded" : DescribeError(readError).c_str(),
            DescribeError(ERROR_INVALID_FUNCTION).c_str());
    REQUIRE(readCount == 0, "read reported %lu bytes", readCount);
    REQUIRE(!written && writeError == ERROR_INVALID_FUNCTION,
            "write: %s, expected refusal with %s",
            written ? "succeeded" : DescribeError(writeError).c_str(),
            DescribeError(ERROR_INVALID_FUNCTION).c_str());
    REQUIRE(writeCount == 0, "write reported %lu bytes", writeCount);
}

TEST_CASE(installed, second_install_keeps_the_one_running_bus)
{
    std::wstring pathBefore = RunningBusPath();
    std::vector<std::wstring> devicesBefore = BusDeviceInstances();

    REQUIRE(RunVcomctl(L"install") == 0, "the second install failed");

    std::vector<std::wstring> devicesAfter = BusDeviceInstances();
    REQUIRE(devicesAfter == devicesBefore, "bus devices changed from %u to %u (first now %s)",
            static_cast<unsigned>(devicesBefore.size()), static_cast<unsigned>(devicesAfter.size()),
            devicesAfter.empty() ? "none" : Narrow(devicesAfter.front()).c_str());
    std::vector<std::wstring> paths = BusInterfacePaths();
    REQUIRE(paths.size() == 1 && paths.front() == pathBefore, "bus interface changed");
    CloseHandle(OpenBus(GENERIC_READ));
}

TEST_CASE(installed, status_finds_the_running_bus)
{
    REQUIRE(RunVcomctl(L"status") == 0, "status failed");
}

TEST_CASE(uninstall, uninstall_removes_the_bus_device_and_its_interface)
{
    RunningBusPath();
    REQUIRE(RunVcomctl(L"uninstall") == 0, "uninstall failed");
    REQUIRE(WaitForNoBusInterface(kStartDeadlineMs), "the bus interface is still offered");
    REQUIRE(BusDeviceInstances().empty(), "a bus device is left");
    REQUIRE(RunVcomctl(L"status") == 1, "status succeeded without a bus");
    REQUIRE(RunVcomctl(L"uninstall") == 0, "a second uninstall failed");
}

int wmain(int argc, wchar_t** argv)
{
    return RunPhase(argc, argv);
}
