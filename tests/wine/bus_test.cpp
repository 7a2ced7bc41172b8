// The bus of the installed image, end to end: found through its interface only once installed,
// opened and closed by an application, refusing data transfer, and kept as it is by a second
// install; removed by uninstall. A failed install leaves nothing behind.
#include "wine_ports.h"
#include "wine_test.h"

#include <cfgmgr32.h>
#include <setupapi.h>
#include <wincrypt.h>
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
    // The package's catalog and test certificate beside it: signed as the package is, so that
    // what fails is the driver search, not the signature check before it.
    std::wstring packageDir = packageInf.substr(0, packageInf.find_last_of(L'\\') + 1);
    for (const wchar_t* name : {L"vcomport.inf", L"vcombus.cat", L"vcombus-test.cer"}) {
        std::wstring from = packageDir + name;
        REQUIRE(CopyFileW(from.c_str(), (std::wstring(directory) + L"\\" + name).c_str(), FALSE),
                "copying %s: %s", Narrow(from).c_str(), DescribeError(GetLastError()).c_str());
    }
    file = CreateFileW(inf.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE, "creating %s: %s", Narrow(inf).c_str(),
            DescribeError(GetLastError()).c_str());
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return inf;
}

} // namespace

TEST_CASE(before_install, install_that_finds_no_driver_fails_and_leaves_nothing_behind)
{
    std::wstring inf = WriteMismatchedSetupInformation();
    std::vector<std::wstring> stagedBefore = StagedSetupFiles();

    REQUIRE(RunVcomctl(L"trust") == 0, "trust failed");
    std::string output;
    DWORD code = RunVcomctl(L"install --inf \"" + inf + L"\"", &output);
    REQUIRE(RunVcomctl(L"untrust") == 0, "untrust failed");
    REQUIRE(code == 1, "install with a driver for another device did not fail");
    REQUIRE(output.find("installing the bus driver") != std::string::npos,
            "install failed for another reason than the driver search: %s", output.c_str());
    REQUIRE(BusDeviceInstances().empty(), "the failed install left a bus device");
    REQUIRE(StagedSetupFiles() == stagedBefore, "the failed install left its setup information "
            "in the driver store (%u files before, %u after)",
            static_cast<unsigned>(stagedBefore.size()),
            static_cast<unsigned>(StagedSetupFiles().size()));
}

namespace {

// The package's file `name`, beside the control application the runner named.
std::wstring BesideVcomctl(const wchar_t* name)
{
    std::wstring path = GetOptions().Vcomctl;
    path.resize(path.find_last_of(L'\\') + 1);
    return path + name;
}

std::vector<BYTE> ReadWholeFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE, "opening %s: %s", Narrow(path).c_str(), DescribeError(GetLastError()).c_str());
    std::vector<BYTE> data(GetFileSize(file, nullptr));
    DWORD read = 0;
    BOOL ok = ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr);
    CloseHandle(file);
    REQUIRE(ok && read == data.size(), "reading %s", Narrow(path).c_str());
    return data;
}

// The machine's stores of the two a driver package's publisher must be in that hold the
// certificate (DER), found by their own search: "Root, TrustedPublisher", or less.
std::string StoresHolding(const std::vector<BYTE>& der)
{
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    REQUIRE(cert != nullptr, "the test certificate does not parse: %s", DescribeError(GetLastError()).c_str());
    std::string holding;
    for (const wchar_t* name : {L"Root", L"TrustedPublisher"}) {
        HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                         CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, name);
        REQUIRE(store != nullptr, "opening the machine's %s store: %s", Narrow(name).c_str(),
                DescribeError(GetLastError()).c_str());
        bool found = false;
        for (PCCERT_CONTEXT item = nullptr; !found && (item = CertEnumCertificatesInStore(store, item)) != nullptr;) {
            found = item->cbCertEncoded == der.size() && memcmp(item->pbCertEncoded, der.data(), der.size()) == 0;
            if (found)
                CertFreeCertificateContext(item);
        }
        CertCloseStore(store, 0);
        if (found)
            holding += (holding.empty() ? "" : ", ") + Narrow(name);
    }
    CertFreeCertificateContext(cert);
    return holding.empty() ? "none" : holding;
}

} // namespace

// Until the package's test certificate is trusted, install refuses with the line that says what
// to do, and makes nothing; trust and untrust put it into and out of both machine stores, and
// each may be run again. Wine loads drivers without checking signatures: no test signing asked.
TEST_CASE(before_install, install_refuses_until_trust_puts_the_test_certificate_in_both_machine_stores)
{
    std::vector<BYTE> cert = ReadWholeFile(BesideVcomctl(L"vcombus-test.cer"));
    REQUIRE(StoresHolding(cert) == "none", "the test certificate is trusted before trust: %s",
            StoresHolding(cert).c_str());
    std::vector<std::wstring> stagedBefore = StagedSetupFiles();
    std::string output;
    REQUIRE(RunVcomctl(L"install", &output) == 1, "install with an untrusted test certificate did not fail");
    REQUIRE(output.find("the package's test certificate is not trusted: run `vcomctl trust`") != std::string::npos,
            "install did not say what to do: %s", output.c_str());
    REQUIRE(output.find("test signing") == std::string::npos, "install asked for test signing: %s", output.c_str());
    REQUIRE(BusDeviceInstances().empty(), "the refused install left a bus device");
    REQUIRE(StagedSetupFiles() == stagedBefore, "the refused install staged setup information");

    for (int round = 0; round < 2; ++round) {
        REQUIRE(RunVcomctl(L"trust") == 0, "trust failed (round %d)", round);
        REQUIRE(StoresHolding(cert) == "Root, TrustedPublisher", "after trust (round %d): in %s", round,
                StoresHolding(cert).c_str());
    }
    for (int round = 0; round < 2; ++round) {
        REQUIRE(RunVcomctl(L"untrust") == 0, "untrust failed (round %d)", round);
        REQUIRE(StoresHolding(cert) == "none", "after untrust (round %d): in %s", round, StoresHolding(cert).c_str());
    }
    REQUIRE(RunVcomctl(L"trust --cert C:\\no-such-directory\\vcombus-test.cer") == 1, "trust of a missing file");
    REQUIRE(RunVcomctl(L"trust --cert \"" + BesideVcomctl(L"vcombus.inf") + L"\"") == 1, "trust of a non-certificate");
    REQUIRE(RunVcomctl(L"trust --bogus") == 2, "trust with an unknown option");
    REQUIRE(StoresHolding(cert) == "none", "a failed trust left it in %s", StoresHolding(cert).c_str());
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

namespace {

const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\vcombus";
const wchar_t kEnvironmentKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// A value of a key of the machine's registry (this program's view is the 64-bit one): its string (REG_SZ, REG_EXPAND_SZ
// unexpanded) or DWORD as text; empty when missing.
std::wstring MachineValue(const wchar_t* key, const wchar_t* name)
{
    wchar_t data[4096] = L"";
    DWORD size = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_RT_REG_DWORD |
                     RRF_NOEXPAND, &type, data, &size) != ERROR_SUCCESS)
        return L"";
    if (type == REG_DWORD) {
        DWORD number = 0;
        memcpy(&number, data, sizeof(number));
        return std::to_wstring(number);
    }
    return data;
}

bool MachineKeyExists(const wchar_t* key)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

// How many entries of the system PATH name dir (ignoring case and a trailing backslash).
unsigned PathEntries(const std::wstring& dir)
{
    std::wstring path = MachineValue(kEnvironmentKey, L"Path") + L";";
    unsigned count = 0;
    for (size_t start = 0, end; (end = path.find(L';', start)) != std::wstring::npos; start = end + 1) {
        std::wstring entry = path.substr(start, end - start);
        while (!entry.empty() && entry.back() == L'\\')
            entry.pop_back();
        count += _wcsicmp(entry.c_str(), dir.c_str()) == 0;
    }
    return count;
}

std::wstring ProgramFilesDir()
{
    wchar_t dir[MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(L"ProgramW6432", dir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        length = GetEnvironmentVariableW(L"ProgramFiles", dir, MAX_PATH);
    REQUIRE(length > 0 && length < MAX_PATH, "no Program Files folder in the environment");
    return std::wstring(dir) + L"\\vcombus";
}

const wchar_t* const kInstalledFiles[] = {L"vcomctl.exe", L"vcomsvc.exe", L"vcombus.sys", L"vcombus.inf",
                                          L"vcomport.inf", L"vcombus.cat", L"vcombus-test.cer", L"uninstall.exe"};

// Processes the system starts for a program rather than the program itself: the console host of
// a console program, and Wine's desktop process (explorer.exe), started by the first program that
// needs a desktop and kept for the session. Their exit codes, and whether they end, say nothing
// of the program.
bool SystemHelper(const wchar_t* image)
{
    const wchar_t* base = wcsrchr(image, L'\\');
    base = base != nullptr ? base + 1 : image;
    return _wcsicmp(base, L"conhost.exe") == 0 || _wcsicmp(base, L"explorer.exe") == 0;
}

std::wstring ImageOf(HANDLE process)
{
    wchar_t image[MAX_PATH] = L"?";
    DWORD length = MAX_PATH;
    QueryFullProcessImageNameW(process, 0, image, &length);
    return image;
}

// Runs the command line and every process it starts, in a job, until each of them but the
// system's helpers has ended (at most timeoutMs, then the job is ended and the case fails). The
// processes that exited with another code than 0, or "" when none did. A process that ended
// and was gone before its start was seen here can't be opened: its code is not known.
std::string RunToTheEnd(std::wstring commandLine, DWORD timeoutMs)
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    REQUIRE(job != nullptr && port != nullptr, "job and port: %s", DescribeError(GetLastError()).c_str());
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {job, port};
    REQUIRE(SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                                    sizeof(association)),
            "associating the port: %s", DescribeError(GetLastError()).c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    printf("  running %s\n", Narrow(commandLine).c_str());
    fflush(stdout);
    REQUIRE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                           nullptr, &startup, &process),
            "starting %s: %s", Narrow(commandLine).c_str(), DescribeError(GetLastError()).c_str());
    REQUIRE(AssignProcessToJobObject(job, process.hProcess), "into the job: %s",
            DescribeError(GetLastError()).c_str());
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    std::vector<std::pair<DWORD, HANDLE>> processes = {{process.dwProcessId, process.hProcess}};
    DWORD start = GetTickCount();
    for (;;) {
        // A process's children are announced before it ends: once every known one has ended,
        // the announcements drained after that name all there were.
        bool running = false;
        for (auto& [id, handle] : processes)
            running = running || (WaitForSingleObject(handle, 0) == WAIT_TIMEOUT && !SystemHelper(ImageOf(handle).c_str()));
        bool announced = false;
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED detail = nullptr;
        while (GetQueuedCompletionStatus(port, &message, &key, &detail, running ? 100 : 0)) {
            DWORD id = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(detail));
            if (message != JOB_OBJECT_MSG_NEW_PROCESS || id == process.dwProcessId)
                continue;
            announced = true;
            HANDLE opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id);
            if (opened != nullptr)
                processes.push_back({id, opened});
        }
        if (!running && !announced)
            break;
        if (GetTickCount() - start >= timeoutMs) {
            std::string left;
            for (auto& [id, handle] : processes) {
                if (WaitForSingleObject(handle, 0) == WAIT_TIMEOUT && !SystemHelper(ImageOf(handle).c_str()))
                    left += Format(" %s (process %lu)", Narrow(ImageOf(handle)).c_str(), id);
            }
            TerminateJobObject(job, 1);
            REQUIRE(false, "%s and what it started still ran after %lu s:%s", Narrow(commandLine).c_str(),
                    timeoutMs / 1000, left.c_str());
        }
    }
    std::string failures;
    for (auto& [id, handle] : processes) {
        std::wstring image = ImageOf(handle);
        DWORD code = 0;
        GetExitCodeProcess(handle, &code);
        if (!SystemHelper(image.c_str())) {
            printf("  %s (process %lu) exited with %lu\n", Narrow(image).c_str(), id, code);
            if (code != 0)
                failures += Format("%s%s (process %lu) exited with %lu", failures.empty() ? "" : ", ",
                                   Narrow(image).c_str(), id, code);
        }
        CloseHandle(handle);
    }
    CloseHandle(port);
    CloseHandle(job);
    return failures;
}

} // namespace

// What the setup program left, after an install and an install over it: the package's files in
// Program Files, the folder on the system PATH once, the uninstaller among the installed
// programs, the test certificate trusted, one bus.
TEST_CASE(setup_installed, the_package_is_in_program_files_on_the_path_once_and_among_the_installed_programs)
{
    std::wstring dir = ProgramFilesDir();
    for (const wchar_t* name : kInstalledFiles)
        REQUIRE(GetFileAttributesW((dir + L"\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES, "no %s in %s",
                Narrow(name).c_str(), Narrow(dir).c_str());
    REQUIRE(PathEntries(dir) == 1, "the system PATH names %s %u times: %s", Narrow(dir).c_str(), PathEntries(dir),
            Narrow(MachineValue(kEnvironmentKey, L"Path")).c_str());
    REQUIRE(_wcsicmp(MachineValue(kUninstallKey, L"InstallLocation").c_str(), dir.c_str()) == 0,
            "InstallLocation %s", Narrow(MachineValue(kUninstallKey, L"InstallLocation")).c_str());
    std::wstring uninstaller = L"\"" + dir + L"\\uninstall.exe\"";
    REQUIRE(_wcsicmp(MachineValue(kUninstallKey, L"UninstallString").c_str(), uninstaller.c_str()) == 0,
            "UninstallString %s", Narrow(MachineValue(kUninstallKey, L"UninstallString")).c_str());
    REQUIRE(_wcsicmp(MachineValue(kUninstallKey, L"QuietUninstallString").c_str(), (uninstaller + L" /S").c_str()) == 0,
            "QuietUninstallString %s", Narrow(MachineValue(kUninstallKey, L"QuietUninstallString")).c_str());
    for (const wchar_t* name : {L"DisplayName", L"DisplayVersion", L"Publisher"})
        REQUIRE(!MachineValue(kUninstallKey, name).empty(), "no %s", Narrow(name).c_str());
    REQUIRE(MachineValue(kUninstallKey, L"NoModify") == L"1" && MachineValue(kUninstallKey, L"NoRepair") == L"1",
            "NoModify %s, NoRepair %s", Narrow(MachineValue(kUninstallKey, L"NoModify")).c_str(),
            Narrow(MachineValue(kUninstallKey, L"NoRepair")).c_str());
    REQUIRE(_wtoi(MachineValue(kUninstallKey, L"EstimatedSize").c_str()) > 0, "no EstimatedSize");
    REQUIRE(StoresHolding(ReadWholeFile(dir + L"\\vcombus-test.cer")) == "Root, TrustedPublisher",
            "the test certificate is in %s", StoresHolding(ReadWholeFile(dir + L"\\vcombus-test.cer")).c_str());
    RunningBusPath();
    REQUIRE(BusDeviceInstances().size() == 1, "%u bus devices", static_cast<unsigned>(BusDeviceInstances().size()));
}

// The uninstaller as the list of installed programs runs it (copying itself away and starting
// that copy): it and all it starts exit 0, and no bus, driver, service, file, PATH entry, entry
// among the installed programs or trust is left.
TEST_CASE(uninstall, the_uninstaller_leaves_no_bus_driver_service_files_path_entry_or_trust)
{
    RunningBusPath();
    std::wstring dir = MachineValue(kUninstallKey, L"InstallLocation");
    std::wstring quiet = MachineValue(kUninstallKey, L"QuietUninstallString");
    REQUIRE(!dir.empty() && !quiet.empty(), "no uninstaller registered");
    std::vector<BYTE> cert = ReadWholeFile(dir + L"\\vcombus-test.cer");
    std::string failures = RunToTheEnd(quiet, 120000);
    REQUIRE(failures.empty(), "the uninstaller failed: %s", failures.c_str());

    REQUIRE(WaitForNoBusInterface(kStartDeadlineMs), "the bus interface is still offered");
    REQUIRE(BusDeviceInstances().empty(), "a bus device is left");
    REQUIRE(!MachineKeyExists(L"SYSTEM\\CurrentControlSet\\Services\\vcombus"), "the vcombus service is left");
    REQUIRE(!MachineKeyExists(L"SYSTEM\\CurrentControlSet\\Services\\vcomsvc"), "the restore service is left");
    REQUIRE(!MachineKeyExists(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\vcomsvc"),
            "the restore service's event source is left");
    wchar_t system[MAX_PATH];
    REQUIRE(GetSystemDirectoryW(system, MAX_PATH) > 0, "GetSystemDirectory");
    REQUIRE(GetFileAttributesW((std::wstring(system) + L"\\drivers\\vcombus.sys").c_str()) == INVALID_FILE_ATTRIBUTES,
            "the driver's image is left in %s\\drivers", Narrow(system).c_str());
    for (const wchar_t* name : kInstalledFiles)
        REQUIRE(GetFileAttributesW((dir + L"\\" + name).c_str()) == INVALID_FILE_ATTRIBUTES, "%s is left in %s",
                Narrow(name).c_str(), Narrow(dir).c_str());
    REQUIRE(GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES, "%s is left", Narrow(dir).c_str());
    REQUIRE(PathEntries(dir) == 0, "the system PATH still names %s: %s", Narrow(dir).c_str(),
            Narrow(MachineValue(kEnvironmentKey, L"Path")).c_str());
    REQUIRE(!MachineKeyExists(kUninstallKey), "the uninstaller is still among the installed programs");
    // Wine stages setup information under its own name.
    for (const std::wstring& staged : StagedSetupFiles())
        REQUIRE(_wcsnicmp(staged.c_str(), L"vcom", 4) != 0, "%s is left in the driver store", Narrow(staged).c_str());
    REQUIRE(StoresHolding(cert) == "none", "the test certificate is still in %s", StoresHolding(cert).c_str());
    REQUIRE(RunVcomctl(L"status") == 1, "status succeeded without a bus");
    REQUIRE(RunVcomctl(L"uninstall") == 0, "a second uninstall failed");
}

// A setup whose driver install fails exits with 1, silent as it is, and takes out what it put in:
// here the system's drivers folder holds an image of the package's version that is not the
// package's (left by some earlier install), which setup keeps and vcomctl install refuses.
TEST_CASE(before_install, a_setup_whose_driver_install_fails_exits_1_and_leaves_nothing_behind)
{
    wchar_t system[MAX_PATH];
    REQUIRE(GetSystemDirectoryW(system, MAX_PATH) > 0, "GetSystemDirectory");
    std::wstring stale = std::wstring(system) + L"\\drivers\\vcombus.sys";
    std::vector<BYTE> image = ReadWholeFile(BesideVcomctl(L"vcombus.sys"));
    image.insert(image.end(), 16, 0);
    HANDLE file = CreateFileW(stale.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE, "creating %s: %s", Narrow(stale).c_str(), DescribeError(GetLastError()).c_str());
    DWORD written = 0;
    WriteFile(file, image.data(), static_cast<DWORD>(image.size()), &written, nullptr);
    CloseHandle(file);
    std::vector<BYTE> cert = ReadWholeFile(BesideVcomctl(L"vcombus-test.cer"));

    std::string failures = RunToTheEnd(L"\"" + BesideVcomctl(L"vcombus-setup.exe") + L"\" /S", 120000);
    // Nothing runs the image any more: it can go.
    BOOL deleted = DeleteFileW(stale.c_str());
    REQUIRE(deleted, "deleting %s after the failed setup: %s", Narrow(stale).c_str(), DescribeError(GetLastError()).c_str());
    REQUIRE(failures.find("vcombus-setup.exe") != std::string::npos && failures.find("exited with 1") != std::string::npos,
            "the setup did not exit with 1: %s", failures.empty() ? "every process exited with 0" : failures.c_str());
    std::wstring dir = ProgramFilesDir();
    REQUIRE(GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES, "the failed setup left %s", Narrow(dir).c_str());
    REQUIRE(!MachineKeyExists(kUninstallKey), "the failed setup registered its uninstaller");
    REQUIRE(PathEntries(dir) == 0, "the failed setup put %s on the PATH", Narrow(dir).c_str());
    REQUIRE(StoresHolding(cert) == "none", "the failed setup left the test certificate in %s", StoresHolding(cert).c_str());
    REQUIRE(BusDeviceInstances().empty(), "the failed setup left a bus device");
    REQUIRE(!MachineKeyExists(L"SYSTEM\\CurrentControlSet\\Services\\vcombus"), "the failed setup left the vcombus service");
}

int wmain(int argc, wchar_t** argv)
{
    return RunPhase(argc, argv);
}
