// Ports for the Win32 test programs: the bus opened through its interface, ports plugged in and
// unplugged with the bus's control requests, and a plugged port opened by the one \Device name
// that appeared with it (ports get names the platform makes up).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace wine_test {

constexpr DWORD kDeadlineMs = 20000;

// Names in the object directory \Device, sorted.
std::vector<std::wstring> DeviceNames();
// The first enabled bus interface, opened for reading.
HANDLE OpenBus();
// A control request without output on the bus; ERROR_SUCCESS or the Win32 error.
DWORD Control(HANDLE bus, DWORD code, const void* input, DWORD inputLength);
// Plugs in the port and opens it by the one device name that appeared with it; polls the open
// until the port has started.
HANDLE PlugInAndOpen(HANDLE bus, unsigned number, DWORD flags);
void Unplug(HANDLE bus, unsigned number);
// The device that HARDWARE\DEVICEMAP\SERIALCOMM lists under a COM name, or "" if none.
std::wstring SerialCommDevice(const std::wstring& com);

} // namespace wine_test
