// The recorded configuration and the restore service on the installed package: what vcomctl
// records (and leaves out), export and import, the prefix restarted with everything back, a COM
// name taken meanwhile, and the service killed in the middle of a restore.
//
// The runner restarts the prefix between the phases "record" and "restored", and reads the
// service's event log entries (Wine writes them to the log) after "name_taken". In the phase
// "bridges" the service runs recorded RFC 2217 bridges: the runner's ser2net (its TCP port in the
// file ser2net-port of --sync) and pyserial clients (started when this program signals).
#include "wine_ports.h"
#include "wine_test.h"

#include <algorithm>
#include <cstring>

#include "vcombus/ioctl.h"

using namespace wine_test;


namespace {

constexpr wchar_t kService[] = L"vcomsvc";
constexpr wchar_t kOtherDevice[] = L"\\Device\\OtherSerial20";
constexpr wchar_t kRecordKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vcombus\\Parameters\\Configuration";

std::string Export()
{
    std::string output;
    DWORD code = RunVcomctl(L"export", &output);
    REQUIRE(code == 0, "export: exit code %lu", (unsigned long)code);
    // The console's line ends.
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    return output;
}

bool Has(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

unsigned long PortCount()
{
    HANDLE bus = OpenBus();
    DWORD count = 0, returned = 0;
    BOOL ok = DeviceIoControl(bus, IOCTL_BUS_GET_PORT_COUNT, nullptr, 0, &count, sizeof(count), &returned, nullptr);
    CloseHandle(bus);
    REQUIRE(ok, "port count: %s", DescribeError(GetLastError()).c_str());
    return count;
}

// Polls `vcomctl status` until it says the live setup matches the record; its last output.
std::string WaitForRecordedSetup(DWORD timeoutMs)
{
    std::string output;
    for (DWORD start = GetTickCount();;) {
        output.clear();
        RunVcomctl(L"status", &output);
        if (Has(output, "the live setup matches it") || GetTickCount() - start >= timeoutMs)
            return output;
        Sleep(250);
    }
}

SC_HANDLE OpenRestoreService()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    REQUIRE(manager != nullptr, "OpenSCManager: %s", DescribeError(GetLastError()).c_str());
    SC_HANDLE service = OpenServiceW(manager, kService, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    DWORD error = GetLastError();
    CloseServiceHandle(manager);
    REQUIRE(service != nullptr, "OpenService(vcomsvc): %s", DescribeError(error).c_str());
    return service;
}

SERVICE_STATUS_PROCESS ServiceState(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD bytes = 0;
    REQUIRE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof(status), &bytes),
            "QueryServiceStatusEx: %s", DescribeError(GetLastError()).c_str());
    return status;
}

void WaitForState(SC_HANDLE service, DWORD state, int line)
{
    for (DWORD start = GetTickCount(); ServiceState(service).dwCurrentState != state; Sleep(50))
        REQUIRE(GetTickCount() - start < kDeadlineMs, "(line %d) the service is in state %lu (process %lu), not %lu",
                line, (unsigned long)ServiceState(service).dwCurrentState,
                (unsigned long)ServiceState(service).dwProcessId, (unsigned long)state);
}

void StopService(SC_HANDLE service)
{
    SERVICE_STATUS status;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
        REQUIRE(GetLastError() == ERROR_SERVICE_NOT_ACTIVE, "stopping the service: %s",
                DescribeError(GetLastError()).c_str());
    WaitForState(service, SERVICE_STOPPED, __LINE__);
}

void StartService(SC_HANDLE service)
{
    // The service manager may have started it again on its own after a kill.
    if (!StartServiceW(service, 0, nullptr))
        REQUIRE(GetLastError() == ERROR_SERVICE_ALREADY_RUNNING, "starting the service: %s",
                DescribeError(GetLastError()).c_str());
    WaitForState(service, SERVICE_RUNNING, __LINE__);
}

// Starts the service again once its process was killed. Windows' service manager sees the process
// end (and may start the service again itself); Wine 8's reports the dead process running until
// a control request to it fails.
void StartAgainAfterKill(SC_HANDLE service, DWORD killed)
{
    for (DWORD start = GetTickCount();; Sleep(100)) {
        REQUIRE(GetTickCount() - start < kDeadlineMs, "the killed service did not start again (state %lu)",
                (unsigned long)ServiceState(service).dwCurrentState);
        SERVICE_STATUS_PROCESS state = ServiceState(service);
        if (state.dwCurrentState == SERVICE_RUNNING && state.dwProcessId != killed)
            return;
        if (state.dwCurrentState == SERVICE_RUNNING && state.dwProcessId == killed) {
            SERVICE_STATUS ignored;
            ControlService(service, SERVICE_CONTROL_STOP, &ignored);
        }
        if (StartServiceW(service, 0, nullptr)) {
            WaitForState(service, SERVICE_RUNNING, __LINE__);
            return;
        }
    }
}

// Every port gone behind vcomctl's back, as a restart or a bus restart takes them: the record
// stays as it is.
void UnplugAllBehindTheRecord()
{
    HANDLE bus = OpenBus();
    PortRemoveRequest request = {sizeof(PortRemoveRequest), 0, {0, 0}};
    DWORD returned = 0;
    DeviceIoControl(bus, IOCTL_BUS_UNPLUG_PORT, &request, sizeof(request), nullptr, 0, &returned, nullptr);
    CloseHandle(bus);
    for (DWORD start = GetTickCount(); PortCount() != 0; Sleep(50))
        REQUIRE(GetTickCount() - start < kDeadlineMs, "%lu ports left", PortCount());
}

std::wstring TempFile(const wchar_t* name)
{
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    return std::wstring(directory) + name;
}

void WriteText(const std::wstring& path, const char* text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE, "creating %s: %s", Narrow(path).c_str(), DescribeError(GetLastError()).c_str());
    DWORD written = 0;
    WriteFile(file, text, (DWORD)strlen(text), &written, nullptr);
    CloseHandle(file);
}

HANDLE OpenCom(const wchar_t* com)
{
    std::wstring path = std::wstring(L"\\\\.\\") + com;
    HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(port != INVALID_HANDLE_VALUE, "opening %s: %s", Narrow(path).c_str(), DescribeError(GetLastError()).c_str());
    return port;
}

// A program's view: both names open, SetCommState is accepted, bytes written on one arrive on
// the other.
void RequireDataAcross(const wchar_t* from, const wchar_t* to)
{
    HANDLE writer = OpenCom(from), reader = OpenCom(to);
    for (HANDLE port : {writer, reader}) {
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        REQUIRE(GetCommState(port, &dcb), "GetCommState: %s", DescribeError(GetLastError()).c_str());
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        REQUIRE(SetCommState(port, &dcb), "SetCommState: %s", DescribeError(GetLastError()).c_str());
        COMMTIMEOUTS timeouts = {0, 0, kDeadlineMs, 0, kDeadlineMs};
        REQUIRE(SetCommTimeouts(port, &timeouts), "SetCommTimeouts: %s", DescribeError(GetLastError()).c_str());
    }
    const char text[] = "back after the restart";
    DWORD written = 0, read = 0;
    REQUIRE(WriteFile(writer, text, sizeof(text), &written, nullptr) && written == sizeof(text), "writing: %s",
            DescribeError(GetLastError()).c_str());
    char buffer[sizeof(text)] = {};
    REQUIRE(ReadFile(reader, buffer, sizeof(buffer), &read, nullptr), "reading: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(read == sizeof(text) && memcmp(buffer, text, sizeof(text)) == 0, "read %lu bytes", (unsigned long)read);
    CloseHandle(writer);
    CloseHandle(reader);
}

const char kRecorded[] = "line-settings on\nport 1\nport 9 --com COM20\nport 10 --com COM21\nroute --hub 1,2 --master 3\n";

// The route was given without a pacing option: the record says the package's setting, unpaced.
void RequireRecordedSetup(const std::string& exported)
{
    for (const char* line : {"line-settings on\n", "port 1\n", "port 9 --com COM20\n", "port 10 --com COM21\n",
                             "route --hub 1,2 --master 3 --no-pacing\n"})
        REQUIRE(Has(exported, line), "the record lacks '%s': %s", line, exported.c_str());
    REQUIRE(!Has(exported, "port 11"), "the temporary port is recorded: %s", exported.c_str());
}

std::wstring SyncFile(const wchar_t* name) { return GetOptions().Sync + L"\\" + name; }

std::wstring ReadSync(const wchar_t* name)
{
    HANDLE file = CreateFileW(SyncFile(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE, "the runner's %s: %s", Narrow(name).c_str(), DescribeError(GetLastError()).c_str());
    char text[64] = {};
    DWORD read = 0;
    ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(file);
    std::wstring value;
    for (char* c = text; *c >= '0' && *c <= '9'; ++c)
        value += (wchar_t)*c;
    return value;
}

void Signal(const wchar_t* name) { WriteText(SyncFile(name), ""); }

std::string List()
{
    std::string output;
    REQUIRE(RunVcomctl(L"list", &output) == 0, "list failed: %s", output.c_str());
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    return output;
}

// Polls `vcomctl list` until it has what; its last output.
std::string WaitForList(const std::string& what)
{
    std::string output;
    for (DWORD start = GetTickCount(); !Has(output = List(), what.c_str()); Sleep(200))
        REQUIRE(GetTickCount() - start < kDeadlineMs, "list never said '%s': %s", what.c_str(), output.c_str());
    return output;
}

// Bytes of every value (IAC and CR among them) out through com and back from the far end's echo.
void RequireEcho(const wchar_t* com)
{
    HANDLE port = OpenCom(com);
    COMMTIMEOUTS timeouts = {0, 0, kDeadlineMs, 0, kDeadlineMs};
    REQUIRE(SetCommTimeouts(port, &timeouts), "SetCommTimeouts: %s", DescribeError(GetLastError()).c_str());
    // The echo comes back while the write still goes out: a queue that holds it all, as on a line
    // without flow control.
    REQUIRE(SetupComm(port, 1 << 16, 1 << 16), "SetupComm: %s", DescribeError(GetLastError()).c_str());
    // The bridge raises the application's DSR once it is connected; before, bytes have nowhere to go.
    DWORD lines = 0;
    for (DWORD start = GetTickCount(); GetCommModemStatus(port, &lines) && !(lines & MS_DSR_ON); Sleep(50))
        REQUIRE(GetTickCount() - start < kDeadlineMs, "%s: DSR never came up (modem status 0x%lx)",
                Narrow(com).c_str(), (unsigned long)lines);
    std::string sent(16384, '\0'), got(sent.size(), '\0');
    for (size_t i = 0; i < sent.size(); i++)
        sent[i] = (char)(i * 7 + (i >> 8));
    DWORD written = 0, read = 0, total = 0;
    REQUIRE(WriteFile(port, sent.data(), (DWORD)sent.size(), &written, nullptr) && written == sent.size(),
            "writing to %s: %s", Narrow(com).c_str(), DescribeError(GetLastError()).c_str());
    while (total < got.size() && ReadFile(port, &got[total], (DWORD)(got.size() - total), &read, nullptr) && read)
        total += read;
    CloseHandle(port);
    REQUIRE(total == sent.size() && got == sent, "%s: %lu of %lu bytes came back%s", Narrow(com).c_str(),
            (unsigned long)total, (unsigned long)sent.size(), total == sent.size() ? ", changed" : "");
}

// The partner's side of a served port: echoes until the runner's clients are done (file done).
void EchoUntil(const wchar_t* com, const wchar_t* done)
{
    HANDLE port = OpenCom(com);
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 100, 0, kDeadlineMs};
    REQUIRE(SetCommTimeouts(port, &timeouts), "SetCommTimeouts: %s", DescribeError(GetLastError()).c_str());
    char data[4096];
    for (DWORD start = GetTickCount(); GetFileAttributesW(SyncFile(done).c_str()) == INVALID_FILE_ATTRIBUTES;) {
        REQUIRE(GetTickCount() - start < 120000, "the runner's clients never finished (%s)", Narrow(done).c_str());
        DWORD read = 0, written = 0;
        if (ReadFile(port, data, sizeof(data), &read, nullptr) && read)
            REQUIRE(WriteFile(port, data, read, &written, nullptr) && written == read, "echoing: %s",
                    DescribeError(GetLastError()).c_str());
    }
    CloseHandle(port);
}

} // namespace

TEST_CASE(bridges, a_recorded_connect_runs_in_the_service_carries_data_and_a_second_look_starts_no_copy)
{
    REQUIRE(RunVcomctl(L"pair 51 --com COM50,COM51") == 0, "pair 51");
    std::wstring address = L"127.0.0.1:" + ReadSync(L"ser2net-port");
    std::string output;
    DWORD code = RunVcomctl(L"connect COM50 " + address, &output);
    REQUIRE(code == 0 && Has(output, "the restore service runs it"), "connect: exit code %lu: %s",
            (unsigned long)code, output.c_str());
    std::string line = "connect COM50 " + Narrow(address);
    REQUIRE(Has(Export(), (line + "\n").c_str()), "not recorded: %s", Export().c_str());
    WaitForList(line + ": connected to");
    RequireEcho(L"COM50");
    // The same record applied again leaves the running bridge alone (a copy could not open the
    // port and would say so in the list).
    std::wstring file = TempFile(L"vcombus-bridges.txt");
    WriteText(file, Export().c_str());
    REQUIRE(RunVcomctl(L"import \"" + file + L"\"") == 0, "importing the record");
    DeleteFileW(file.c_str());
    Sleep(500);
    REQUIRE(Has(WaitForList(line + ": connected to"), line.c_str()), "list");
    RequireEcho(L"COM50");
}

TEST_CASE(bridges, disconnect_takes_it_out_and_frees_the_port_for_a_foreground_bridge)
{
    std::string output;
    REQUIRE(RunVcomctl(L"disconnect COM50", &output) == 0, "disconnect: %s", output.c_str());
    REQUIRE(!Has(Export(), "connect COM50"), "still recorded: %s", Export().c_str());
    REQUIRE(!Has(List(), "connect COM50"), "still listed: %s", List().c_str());
    REQUIRE(RunVcomctl(L"disconnect COM50") == 1, "a second disconnect succeeded");
    // The bridge's end is free: a foreground bridge opens it and carries the data.
    std::wstring command = L"\"" + GetOptions().Vcomctl + L"\" connect COM50 127.0.0.1:" + ReadSync(L"ser2net-port") +
                           L" --temporary";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    REQUIRE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process),
            "starting the foreground bridge: %s", DescribeError(GetLastError()).c_str());
    DWORD exitCode = 0;
    auto end = [&] {
        GetExitCodeProcess(process.hProcess, &exitCode);
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, kDeadlineMs);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    };
    try {
        RequireEcho(L"COM50");
    } catch (const CaseFailed&) {
        end();
        throw;
    }
    end();
    REQUIRE(exitCode == STILL_ACTIVE, "the foreground bridge ended (exit code %lu)", (unsigned long)exitCode);
    REQUIRE(RunVcomctl(L"unplug 51") == 0 && RunVcomctl(L"unplug 52") == 0, "unplugging the pair");
}

TEST_CASE(bridges, a_shared_port_serves_two_clients_and_an_unshared_one_refuses_the_second)
{
    REQUIRE(RunVcomctl(L"pair 53 --com COM52,COM53") == 0, "pair 53");
    std::wstring port = ReadSync(L"serve-port");
    REQUIRE(RunVcomctl(L"serve COM52 " + port + L" --share") == 0, "serve --share");
    WaitForList("serve COM52 " + Narrow(port) + " --share: serving on 127.0.0.1 port " + Narrow(port));
    Signal(L"share-ready");
    EchoUntil(L"COM53", L"share-done");
    // Served again without --share: the record's line is replaced and the service restarts it.
    REQUIRE(RunVcomctl(L"serve COM52 " + port) == 0, "serve");
    std::string exported = Export();
    REQUIRE(Has(exported, ("serve COM52 " + Narrow(port) + "\n").c_str()) && !Has(exported, "--share"),
            "the record: %s", exported.c_str());
    WaitForList("serve COM52 " + Narrow(port) + ": serving");
    Signal(L"single-ready");
    EchoUntil(L"COM53", L"single-done");
    REQUIRE(RunVcomctl(L"unserve COM52") == 0, "unserve");
    REQUIRE(!Has(List(), "serve COM52"), "still listed: %s", List().c_str());
    REQUIRE(RunVcomctl(L"unplug 53") == 0 && RunVcomctl(L"unplug 54") == 0, "unplugging the pair");
}

TEST_CASE(record, setup_commands_record_the_setup_and_temporary_ports_stay_out)
{
    // What earlier programs left (names_test's port 9 among them; the uninstall now has this
    // program's ports to take away): every port out, no routing.
    RunVcomctl(L"unplug all");
    REQUIRE(RunVcomctl(L"route") == 0, "clearing the routing");
    REQUIRE(RunVcomctl(L"pair 9 --com COM20,COM21") == 0, "pair 9");
    REQUIRE(RunVcomctl(L"plug 1") == 0, "plug 1");
    REQUIRE(RunVcomctl(L"config line-settings on") == 0, "line-settings on");
    // No tap can attach under Wine; the driver takes the hub's routing without one.
    REQUIRE(RunVcomctl(L"route --hub 1,2 --master 3") == 0, "route");
    REQUIRE(RunVcomctl(L"plug 11 --temporary --com COM22") == 0, "plug 11 --temporary");
    RequireRecordedSetup(Export());
    // A name given and taken away again is recorded too; a temporary port's name is not.
    REQUIRE(RunVcomctl(L"name 1 COM23") == 0 && Has(Export(), "port 1 --com COM23\n"), "name 1 COM23");
    REQUIRE(RunVcomctl(L"unname 1") == 0 && Has(Export(), "port 1\n"), "unname 1");
    REQUIRE(RunVcomctl(L"unname 11") == 0 && RunVcomctl(L"name 11 COM22") == 0, "renaming port 11");
    RequireRecordedSetup(Export());

    std::string status = WaitForRecordedSetup(0);
    REQUIRE(Has(status, "restore service: running") && Has(status, "the live setup matches it"), "status: %s",
            status.c_str());
}

TEST_CASE(record, the_record_is_readable_by_system_and_administrators_only)
{
    HKEY key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, READ_CONTROL, &key);
    REQUIRE(status == ERROR_SUCCESS, "opening the record's key: %s", DescribeError((DWORD)status).c_str());
    BYTE descriptor[1024];
    DWORD size = sizeof(descriptor);
    status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor, &size);
    RegCloseKey(key);
    REQUIRE(status == ERROR_SUCCESS, "reading its security: %s", DescribeError((DWORD)status).c_str());
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    REQUIRE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl != nullptr,
            "the key has no DACL");
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID system = nullptr, administrators = nullptr;
    AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system);
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &administrators);
    REQUIRE(dacl->AceCount == 2, "%u entries", dacl->AceCount);
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        REQUIRE(GetAce(dacl, i, (void**)&ace) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE, "entry %u", i);
        PSID sid = &ace->SidStart;
        REQUIRE(EqualSid(sid, system) || EqualSid(sid, administrators), "entry %u is for someone else", i);
    }
    FreeSid(system);
    FreeSid(administrators);
}

TEST_CASE(record, an_import_with_one_bad_line_changes_nothing_and_names_the_line)
{
    std::string before = Export();
    unsigned long ports = PortCount();
    std::wstring file = TempFile(L"vcombus-bad.txt");
    for (const char* bad : {"port 15 --com COM5x\n", "port 13\n", "port 15 --com COM24\n", "pair 15\n",
                            "route --hub 9\n", "tap configure --capture sent\n", "line-settings maybe\n",
                            "connect COM24\n", "connect COM24 host:4000 --share\n", "serve COM24 70000\n"}) {
        WriteText(file, (std::string("# good lines, then a bad one\nport 13\nport 14 --com COM24\n") + bad +
                         "line-settings off\n").c_str());
        std::string output;
        DWORD code = RunVcomctl(L"import \"" + file + L"\"", &output);
        REQUIRE(code != 0, "importing '%s': exit code 0", bad);
        REQUIRE(Has(output, (Narrow(file) + ":4: ").c_str()), "importing '%s' named no line 4: %s", bad, output.c_str());
        REQUIRE(Export() == before && PortCount() == ports, "importing '%s' changed something", bad);
    }
    // A good file is recorded whole and applied: here the same setup again, and nothing moves.
    WriteText(file, kRecorded);
    REQUIRE(RunVcomctl(L"import \"" + file + L"\"") == 0, "importing the recorded setup");
    RequireRecordedSetup(Export());
    REQUIRE(PortCount() == ports, "%lu ports, not %lu", PortCount(), ports);
    DeleteFileW(file.c_str());
}

// After the prefix restarted: nothing of vcomctl ran since.
TEST_CASE(restored, the_recorded_ports_names_and_settings_are_back_and_the_temporary_port_is_not)
{
    std::string status = WaitForRecordedSetup(60000);
    REQUIRE(Has(status, "the live setup matches it"), "status: %s", status.c_str());
    REQUIRE(!SerialCommDevice(L"COM20").empty() && !SerialCommDevice(L"COM21").empty(), "COM20/COM21 not listed");
    REQUIRE(SerialCommDevice(L"COM22").empty(), "the temporary port's COM22 is back");
    REQUIRE(PortCount() == 3, "%lu ports (9, 10 and 1 recorded)", PortCount());
    std::string output;
    REQUIRE(RunVcomctl(L"config line-settings", &output) == 0 && Has(output, "line-settings on"), "%s", output.c_str());
    RequireDataAcross(L"COM20", L"COM21");
    RequireDataAcross(L"COM21", L"COM20");
}

TEST_CASE(name_taken, a_com_name_taken_meanwhile_is_reported_and_the_rest_restored)
{
    SC_HANDLE service = OpenRestoreService();
    StopService(service);
    UnplugAllBehindTheRecord();
    // Another device takes COM20 while the ports are gone: the port list names it for itself.
    // Port 10 comes after port 9 in the restore.
    HKEY map;
    LSTATUS listed = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                                     REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &map, nullptr);
    REQUIRE(listed == ERROR_SUCCESS, "opening SERIALCOMM: %s", DescribeError((DWORD)listed).c_str());
    const wchar_t com20[] = L"COM20";
    listed = RegSetValueExW(map, kOtherDevice, 0, REG_SZ, (const BYTE*)com20, sizeof(com20));
    REQUIRE(listed == ERROR_SUCCESS, "listing COM20: %s", DescribeError((DWORD)listed).c_str());
    StartService(service);
    for (DWORD start = GetTickCount(); SerialCommDevice(L"COM21").empty() || PortCount() != 3; Sleep(100))
        REQUIRE(GetTickCount() - start < 60000, "COM21 not restored, %lu ports", PortCount());
    REQUIRE(SerialCommDevice(L"COM20") == kOtherDevice, "COM20 is listed for %s",
            Narrow(SerialCommDevice(L"COM20")).c_str());
    std::string status;
    RunVcomctl(L"status", &status);
    REQUIRE(Has(status, "port 9 is unnamed, recorded COM20"), "status: %s", status.c_str());

    // The other device goes; the next restore completes the setup.
    RegDeleteValueW(map, kOtherDevice);
    RegCloseKey(map);
    StopService(service);
    StartService(service);
    status = WaitForRecordedSetup(kDeadlineMs);
    REQUIRE(Has(status, "the live setup matches it"), "status: %s", status.c_str());
    CloseServiceHandle(service);
}

TEST_CASE(name_taken, a_service_killed_during_a_restore_and_started_again_ends_in_the_recorded_setup)
{
    SC_HANDLE service = OpenRestoreService();
    // Killed sooner or later after it starts, each round: wherever the restore then is.
    for (DWORD round = 0; round < 8; ++round) {
        StopService(service);
        UnplugAllBehindTheRecord();
        StartService(service);
        Sleep(round * 40);
        SERVICE_STATUS_PROCESS state = ServiceState(service);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, state.dwProcessId);
        REQUIRE(process != nullptr, "opening the service's process %lu: %s", (unsigned long)state.dwProcessId,
                DescribeError(GetLastError()).c_str());
        TerminateProcess(process, 9);
        REQUIRE(WaitForSingleObject(process, kDeadlineMs) == WAIT_OBJECT_0, "the killed service did not exit");
        CloseHandle(process);
        StartAgainAfterKill(service, state.dwProcessId);
        std::string status = WaitForRecordedSetup(60000);
        REQUIRE(Has(status, "the live setup matches it"), "round %lu: %s", (unsigned long)round, status.c_str());
        REQUIRE(PortCount() == 3, "round %lu: %lu ports", (unsigned long)round, PortCount());
    }
    RequireDataAcross(L"COM20", L"COM21");
    CloseServiceHandle(service);
}

int wmain(int argc, wchar_t** argv) { return RunPhase(argc, argv); }
