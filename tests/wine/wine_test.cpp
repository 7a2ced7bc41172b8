// The runner side of the Win32 test programs: case registry, reporting and shared helpers.
#include "wine_test.h"

#include <setupapi.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

// Every test program links this file: it defines the public header's GUIDs for all of them.
#include <initguid.h>

#include "vcombus/ioctl.h"

namespace wine_test {

namespace {

struct Case {
    std::string Phase;
    std::string Name;
    CaseFunction Function;
};

std::vector<Case>& Registry()
{
    static std::vector<Case> cases;
    return cases;
}

Options& MutableOptions()
{
    static Options options;
    return options;
}

// The hardware identifier that the control application gives the bus device and the setup
// information matches.
constexpr wchar_t kBusHardwareId[] = L"Root\\vcombus";

} // namespace

CaseRegistration::CaseRegistration(const char* phase, const char* name, CaseFunction function)
{
    Registry().push_back({phase, name, function});
}

const Options& GetOptions()
{
    return MutableOptions();
}

std::string Format(const char* format, ...)
{
    char buffer[2048];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(buffer, sizeof(buffer), format, arguments);
    va_end(arguments);
    return buffer;
}

void Fail(const char* file, int line, const std::string& message)
{
    const char* slash = strrchr(file, '/');
    printf("  failure at %s:%d: %s\n", slash ? slash + 1 : file, line, message.c_str());
    fflush(stdout);
    throw CaseFailed{};
}

std::string Narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

std::string DescribeError(DWORD error)
{
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == '.' || text[length - 1] == ' '))
        text[--length] = '\0';
    return length > 0 ? Format("error %lu (%s)", error, text) : Format("error %lu", error);
}

std::vector<std::wstring> BusInterfacePaths()
{
    std::vector<std::wstring> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_VIRTUAL_BUS_INTERFACE, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    REQUIRE(set != INVALID_HANDLE_VALUE, "SetupDiGetClassDevs: %s",
            DescribeError(GetLastError()).c_str());
    SP_DEVICE_INTERFACE_DATA item = {};
    item.cbSize = sizeof(item);
    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_VIRTUAL_BUS_INTERFACE, index, &item);
         ++index) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &item, nullptr, 0, &size, nullptr);
        std::vector<BYTE> storage(size + sizeof(wchar_t));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(*detail);
        if (SetupDiGetDeviceInterfaceDetailW(set, &item, detail, size, nullptr, nullptr))
            paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

std::vector<std::wstring> BusDeviceInstances()
{
    std::vector<std::wstring> instances;
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    REQUIRE(set != INVALID_HANDLE_VALUE, "SetupDiGetClassDevs: %s",
            DescribeError(GetLastError()).c_str());
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        wchar_t ids[1024] = {};
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE*>(ids),
                                               sizeof(ids) - 2 * sizeof(wchar_t), nullptr))
            continue;
        for (const wchar_t* id = ids; *id != L'\0'; id += wcslen(id) + 1) {
            if (_wcsicmp(id, kBusHardwareId) == 0) {
                wchar_t instance[512] = L"";
                SetupDiGetDeviceInstanceIdW(set, &device, instance, ARRAYSIZE(instance), nullptr);
                instances.push_back(instance);
                break;
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return instances;
}

std::vector<std::wstring> WaitForBusInterface(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<std::wstring> paths = BusInterfacePaths();
        if (!paths.empty() || GetTickCount() - start >= timeoutMs)
            return paths;
        Sleep(100);
    }
}

bool WaitForNoBusInterface(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (BusInterfacePaths().empty())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(100);
    }
}

HANDLE OpenComOverlapped(const std::wstring& com, DWORD deadlineMs)
{
    std::wstring path = L"\\\\.\\" + com;
    DWORD error = 0;
    for (DWORD waited = 0; waited <= deadlineMs; waited += 100) {
        HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        if (port != INVALID_HANDLE_VALUE)
            return port;
        error = GetLastError();
        Sleep(100);
    }
    REQUIRE(false, "opening %s: %s", Narrow(path).c_str(), DescribeError(error).c_str());
    return INVALID_HANDLE_VALUE;
}

DWORD RunVcomctl(const std::wstring& arguments, std::string* output)
{
    REQUIRE(!GetOptions().Vcomctl.empty(), "no --vcomctl PATH given");
    std::wstring commandLine = L"\"" + GetOptions().Vcomctl + L"\" " + arguments;
    printf("  running vcomctl %s\n", Narrow(arguments).c_str());
    fflush(stdout);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (output != nullptr) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        REQUIRE(CreatePipe(&readEnd, &writeEnd, &inherit, 0), "CreatePipe: %s",
                DescribeError(GetLastError()).c_str());
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, output != nullptr, 0,
                                  nullptr, nullptr, &startup, &process);
    DWORD startError = GetLastError();
    if (writeEnd != nullptr)
        CloseHandle(writeEnd);
    if (!started && readEnd != nullptr)
        CloseHandle(readEnd);
    REQUIRE(started, "starting %s: %s", Narrow(GetOptions().Vcomctl).c_str(),
            DescribeError(startError).c_str());
    CloseHandle(process.hThread);
    if (output != nullptr) {
        // Read to the end before waiting, so that a full pipe can't stall the program.
        char buffer[1024];
        DWORD read = 0;
        while (ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            output->append(buffer, read);
        CloseHandle(readEnd);
        fputs(output->c_str(), stdout);
    }
    // Generous: an install that waits for the bus to start takes up to its own limit.
    DWORD waited = WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    REQUIRE(waited == WAIT_OBJECT_0, "vcomctl %s did not finish within 60 s",
            Narrow(arguments).c_str());
    return exitCode;
}

int RunPhase(int argc, wchar_t** argv)
{
    Options& options = MutableOptions();
    // Cases named with --only (comma-separated), each round in registration order; --repeat runs
    // the selection that many rounds and stops after the first round with a failure, so that an
    // intermittent fault can be chased without the cases around it.
    std::vector<std::string> only;
    long rounds = 1;
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--vcomctl") == 0 && i + 1 < argc)
            options.Vcomctl = argv[++i];
        else if (wcscmp(argv[i], L"--com") == 0 && i + 1 < argc)
            options.Com = argv[++i];
        else if (wcscmp(argv[i], L"--sync") == 0 && i + 1 < argc)
            options.Sync = argv[++i];
        else if (wcscmp(argv[i], L"--only") == 0 && i + 1 < argc) {
            std::string list = Narrow(argv[++i]);
            for (size_t start = 0; start <= list.size();) {
                size_t end = list.find(',', start);
                if (end == std::string::npos)
                    end = list.size();
                if (end > start)
                    only.push_back(list.substr(start, end - start));
                start = end + 1;
            }
        } else if (wcscmp(argv[i], L"--repeat") == 0 && i + 1 < argc) {
            rounds = wcstol(argv[++i], nullptr, 10);
            if (rounds < 1) {
                printf("--repeat needs a count of at least 1\n");
                return 2;
            }
        } else if (options.Phase.empty() && argv[i][0] != L'-')
            options.Phase = argv[i];
        else {
            printf("unexpected argument '%s'\n", Narrow(argv[i]).c_str());
            return 2;
        }
    }
    const std::string phase = Narrow(options.Phase);

    auto selected = [&](const Case& testCase) {
        if (testCase.Phase != phase)
            return false;
        for (const std::string& name : only)
            if (name == testCase.Name)
                return true;
        return only.empty();
    };
    for (const std::string& name : only) {
        bool known = false;
        for (const Case& testCase : Registry())
            known = known || (testCase.Phase == phase && testCase.Name == name);
        if (!known) {
            printf("no test case '%s' in phase '%s'\n", name.c_str(), phase.c_str());
            return 2;
        }
    }

    int passed = 0;
    int failed = 0;
    for (long round = 1; round <= rounds && failed == 0; ++round) {
        if (rounds > 1)
            printf("--- round %ld of %ld\n", round, rounds);
        for (const Case& testCase : Registry()) {
            if (!selected(testCase))
                continue;
            printf("[ RUN    ] %s.%s\n", phase.c_str(), testCase.Name.c_str());
            fflush(stdout);
            bool ok = true;
            try {
                testCase.Function();
            } catch (const CaseFailed&) {
                ok = false;
            }
            printf("[ %s ] %s.%s\n", ok ? "    OK" : "FAILED", phase.c_str(), testCase.Name.c_str());
            fflush(stdout);
            ok ? ++passed : ++failed;
        }
    }
    if (passed + failed == 0) {
        printf("no test cases in phase '%s'\n", phase.c_str());
        return 2;
    }
    printf("%s: %d passed, %d failed\n", phase.c_str(), passed, failed);
    fflush(stdout);
    return failed == 0 ? 0 : 1;
}

} // namespace wine_test
