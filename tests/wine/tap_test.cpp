// The tap under Wine: it cannot attach there (the kernel's lookup by name gives no file object,
// and other drivers run in other processes), so an attach to a missing or a real device must fail
// cleanly and leave no tap; the hub's routing is still accepted.
#include "wine_test.h"
#include "wine_ports.h"

#include <algorithm>
#include <iterator>

#include "vcombus/ioctl.h"

using namespace wine_test;

namespace {

// The tap's status word, asked of the bus directly.
DWORD TapStatusWord(HANDLE bus, DWORD code)
{
    DWORD word = 0xFFFFFFFF, returned = 0;
    REQUIRE(DeviceIoControl(bus, code, nullptr, 0, &word, sizeof(word), &returned, nullptr),
            "query 0x%lx: %s", (unsigned long)code, DescribeError(GetLastError()).c_str());
    REQUIRE(returned == sizeof(word), "query 0x%lx answered %lu bytes", (unsigned long)code, (unsigned long)returned);
    return word;
}

void RequireNoTap(HANDLE bus)
{
    REQUIRE(TapStatusWord(bus, IOCTL_TAP_GET_STATUS) == VCOMBUS_TAP_STATUS_NOT_ATTACHED, "a tap is left");
    REQUIRE(TapStatusWord(bus, IOCTL_TAP_GET_COUNT) == 0, "the tap count is not 0");
    std::string output;
    DWORD code = RunVcomctl(L"tap status", &output);
    REQUIRE(code == 0, "tap status: exit code %lu", (unsigned long)code);
    REQUIRE(output.find("tap: no tap") != std::string::npos, "tap status said: %s", output.c_str());
}

} // namespace

TEST_CASE(installed, attaching_to_a_missing_name_fails_and_leaves_no_tap)
{
    HANDLE bus = OpenBus();
    DWORD code = RunVcomctl(L"tap attach \\Device\\NoSuchSerialPort");
    REQUIRE(code == 1, "exit code %lu", (unsigned long)code);
    code = RunVcomctl(L"tap attach COM250");
    REQUIRE(code == 1, "a COM name nobody has: exit code %lu", (unsigned long)code);
    RequireNoTap(bus);
    CloseHandle(bus);
}

// A device that exists, one of the bus's own ports: Wine's lookup answers it without a file
// object, which the driver must take as a failure and not dereference.
TEST_CASE(installed, attaching_to_a_real_device_fails_cleanly_under_wine)
{
    HANDLE bus = OpenBus();
    std::vector<std::wstring> before = DeviceNames();
    HANDLE port = PlugInAndOpen(bus, 1, 0);
    CloseHandle(port);
    std::vector<std::wstring> after = DeviceNames();
    std::vector<std::wstring> fresh;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(fresh));
    REQUIRE(!fresh.empty(), "no device name for port 1");

    DWORD code = RunVcomctl(L"tap attach \\Device\\" + fresh[0]);
    REQUIRE(code == 1, "exit code %lu", (unsigned long)code);
    RequireNoTap(bus);
    code = RunVcomctl(L"tap detach");
    REQUIRE(code == 1, "detach without a tap: exit code %lu", (unsigned long)code);
    Unplug(bus, 1);
    CloseHandle(bus);
}

TEST_CASE(installed, routing_is_accepted_without_a_tap_and_capture_is_not)
{
    HANDLE bus = OpenBus();
    DWORD code = RunVcomctl(L"route --hub 1,2 --master 3");
    REQUIRE(code == 0, "route: exit code %lu", (unsigned long)code);
    code = RunVcomctl(L"route --hub 1 --real-port --no-pacing");
    REQUIRE(code == 0, "route to the real port: exit code %lu", (unsigned long)code);
    code = RunVcomctl(L"route --master 3 --real-port");
    REQUIRE(code == 2, "contradictory routing is a usage error: exit code %lu", (unsigned long)code);
    code = RunVcomctl(L"tap configure --capture sent --hub 1");
    REQUIRE(code == 1, "configure without a tap: exit code %lu", (unsigned long)code);
    code = RunVcomctl(L"tap disable");
    REQUIRE(code == 1, "disable without a tap: exit code %lu", (unsigned long)code);
    code = RunVcomctl(L"route");
    REQUIRE(code == 0, "clearing the routing: exit code %lu", (unsigned long)code);
    RequireNoTap(bus);
    CloseHandle(bus);
}

int wmain(int argc, wchar_t** argv) { return RunPhase(argc, argv); }
