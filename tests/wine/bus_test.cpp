// The bus of the installed image, end to end: found through its interface only once installed,
// opened and closed by an application, refusing data transfer, and kept as it is by a second
// install; removed by uninstall. A failed install leaves nothing behind.
#include "wine_test.h"

#include <cwchar>

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

} // namespace

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
