// The bus of the installed image, end to end: found through its interface only once installed,
// opened and closed by an application, refusing data transfer, and kept as it is by a second
// install; removed by uninstall.
#include "wine_test.h"

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
