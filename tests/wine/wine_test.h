// A small test framework for the Win32 programs that drive the installed image under Wine: named
// cases grouped in phases (the runner calls a program once per phase, between install steps), and
// helpers to find the bus and run the control application.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace wine_test {

// Thrown by REQUIRE; ends the current case, which is reported failed.
struct CaseFailed {};

void Fail(const char* file, int line, const std::string& message);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "error 5 (Access denied)".
std::string DescribeError(DWORD error);
std::string Narrow(const std::wstring& text);

#define REQUIRE(condition, ...)                                                                \
    do {                                                                                       \
        if (!(condition))                                                                      \
            ::wine_test::Fail(__FILE__, __LINE__,                                              \
                              "(" #condition ") " + ::wine_test::Format(__VA_ARGS__));         \
    } while (0)

using CaseFunction = void (*)();
struct CaseRegistration {
    CaseRegistration(const char* phase, const char* name, CaseFunction function);
};

// TEST_CASE(phase, name_that_states_the_behaviour) { ... }
#define TEST_CASE(phase, name)                                                                 \
    static void phase##_##name();                                                              \
    static ::wine_test::CaseRegistration phase##_##name##_registration(#phase, #name,          \
                                                                       phase##_##name);        \
    static void phase##_##name()

// Options every program takes: the phase to run and where the control application is.
struct Options {
    std::wstring Phase;
    std::wstring Vcomctl;
    // For the programs that take them: a COM name, and a directory shared with the runner.
    std::wstring Com;
    std::wstring Sync;
};
const Options& GetOptions();

// Runs every case of the phase named on the command line, or those named with --only CASE[,CASE...],
// --repeat N rounds (stopping after a round with a failure); the exit code of the program.
int RunPhase(int argc, wchar_t** argv);

// Device paths of the enabled bus interfaces, in enumeration order.
std::vector<std::wstring> BusInterfacePaths();
// Device instance identifiers of every device, present or not, installed with the bus's hardware
// identifier.
std::vector<std::wstring> BusDeviceInstances();
// Polls BusInterfacePaths until it is non-empty or timeoutMs has passed.
std::vector<std::wstring> WaitForBusInterface(DWORD timeoutMs);
// Polls BusInterfacePaths until it is empty or timeoutMs has passed; whether it became empty.
bool WaitForNoBusInterface(DWORD timeoutMs);

// Runs the control application with the arguments; its exit code. Its output goes to this
// program's output, and is also kept (with what it wrote on stderr) in *output when one is given.
DWORD RunVcomctl(const std::wstring& arguments, std::string* output = nullptr);

// Opens \\.\<com> for overlapped I/O, retrying while the port starts; fails the case after
// deadlineMs.
HANDLE OpenComOverlapped(const std::wstring& com, DWORD deadlineMs);

} // namespace wine_test
