// What a standard serial application does on open, on a pair named by the control tool: read and
// set the line state (DCB), time-outs and event mask, leave an event wait pending, move data with
// overlapped I/O, and follow the partner's DTR in the modem status with its events. The installed
// package turns the line settings on; turned off, the next open refuses them again. With line
// timing switched on, a write takes its line time as on a real port.
#include "wine_ports.h"
#include "wine_test.h"

#include <cstring>
#include <cwchar>

using namespace wine_test;

namespace {

constexpr DWORD kStartDeadlineMs = 20000;
constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD;

HANDLE OpenCom(const wchar_t* com) { return OpenComOverlapped(com, kStartDeadlineMs); }

// An overlapped request in flight, with its own event.
struct Pending {
    OVERLAPPED Overlapped = {};
    Pending() { Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Pending() { CloseHandle(Overlapped.hEvent); }
    // Wine may give an early status for an event wait: the event says when it is over.
    bool Ended(DWORD timeoutMs) { return WaitForSingleObject(Overlapped.hEvent, timeoutMs) == WAIT_OBJECT_0; }
    DWORD Result(HANDLE port)
    {
        DWORD bytes = 0;
        REQUIRE(GetOverlappedResult(port, &Overlapped, &bytes, FALSE), "the request failed: %s",
                DescribeError(GetLastError()).c_str());
        return bytes;
    }
};

void StartWait(HANDLE port, DWORD* mask, Pending& pending)
{
    *mask = 0xDEAD;
    BOOL ok = WaitCommEvent(port, mask, &pending.Overlapped);
    REQUIRE(ok || GetLastError() == ERROR_IO_PENDING, "WaitCommEvent: %s", DescribeError(GetLastError()).c_str());
}

DWORD ModemStatus(HANDLE port)
{
    DWORD status = 0xDEAD;
    REQUIRE(GetCommModemStatus(port, &status), "GetCommModemStatus: %s", DescribeError(GetLastError()).c_str());
    return status;
}

// Whatever a case leaves, the next one finds no ports and the package's setting.
struct Cleanup {
    HANDLE Ports[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    bool Plugged = true;
    ~Cleanup()
    {
        for (HANDLE port : Ports)
            if (port != INVALID_HANDLE_VALUE)
                CloseHandle(port);
        if (Plugged)
            RunVcomctl(L"unplug all");
        RunVcomctl(L"config line-settings on");
        RunVcomctl(L"config baud-timing off");
    }
};

// What a terminal program sets: 9600 8N1, DTR and RTS raised, no flow control.
void SetTerminalState(HANDLE port)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    REQUIRE(GetCommState(port, &dcb), "GetCommState: %s", DescribeError(GetLastError()).c_str());
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    REQUIRE(SetCommState(port, &dcb), "SetCommState: %s", DescribeError(GetLastError()).c_str());
    DCB back = {};
    back.DCBlength = sizeof(back);
    REQUIRE(GetCommState(port, &back), "GetCommState: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(back.BaudRate == CBR_9600 && back.ByteSize == 8 && back.Parity == NOPARITY && back.StopBits == ONESTOPBIT,
            "read back %lu %u/%u/%u", back.BaudRate, back.ByteSize, back.Parity, back.StopBits);
    REQUIRE(back.fDtrControl == DTR_CONTROL_ENABLE && back.fRtsControl == RTS_CONTROL_ENABLE, "dtr %u rts %u",
            back.fDtrControl, back.fRtsControl);
}

} // namespace

TEST_CASE(installed, a_terminal_program_opens_a_named_pair_sets_it_up_and_talks)
{
    std::string setting;
    REQUIRE(RunVcomctl(L"config line-settings", &setting) == 0, "config line-settings failed");
    REQUIRE(setting.find("on") != std::string::npos, "the package left the line settings %s", setting.c_str());
    Cleanup cleanup;
    REQUIRE(RunVcomctl(L"pair 9 --com COM20,COM21") == 0, "pair 9 --com COM20,COM21 failed");
    REQUIRE(!SerialCommDevice(L"COM20").empty() && !SerialCommDevice(L"COM21").empty(), "SERIALCOMM lacks a port");
    HANDLE a = cleanup.Ports[0] = OpenCom(L"COM20");
    HANDLE b = cleanup.Ports[1] = OpenCom(L"COM21");

    SetTerminalState(a);
    SetTerminalState(b);
    COMMTIMEOUTS timeouts = {0, 0, 5000, 0, 0};
    REQUIRE(SetCommTimeouts(a, &timeouts) && SetCommTimeouts(b, &timeouts), "SetCommTimeouts: %s",
            DescribeError(GetLastError()).c_str());
    REQUIRE(SetCommMask(b, EV_RXCHAR | kLineEvents), "SetCommMask: %s", DescribeError(GetLastError()).c_str());
    DWORD events;
    Pending wait;
    StartWait(b, &events, wait);
    REQUIRE(!wait.Ended(200), "the wait ended with %lx before anything happened", events);

    // Data across the pair, both ways of it overlapped.
    char buffer[16] = {};
    Pending read;
    BOOL ok = ReadFile(b, buffer, 5, nullptr, &read.Overlapped);
    REQUIRE(ok || GetLastError() == ERROR_IO_PENDING, "ReadFile: %s", DescribeError(GetLastError()).c_str());
    Pending write;
    ok = WriteFile(a, "hello", 5, nullptr, &write.Overlapped);
    REQUIRE(ok || GetLastError() == ERROR_IO_PENDING, "WriteFile: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(write.Ended(kDeadlineMs) && write.Result(a) == 5, "the write did not complete with 5 bytes");
    REQUIRE(read.Ended(kDeadlineMs), "the read did not complete");
    DWORD got = read.Result(b);
    REQUIRE(got == 5 && memcmp(buffer, "hello", 5) == 0, "read %lu bytes '%.*s'", got, (int)got, buffer);
    REQUIRE(wait.Ended(kDeadlineMs), "the pending wait did not end when bytes arrived");
    wait.Result(b);
    REQUIRE(events == EV_RXCHAR, "the wait ended with %lx", events);

    // DTR and RTS of one side are DSR, DCD and CTS of the other.
    REQUIRE(ModemStatus(b) == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), "modem status %lx", ModemStatus(b));
    Pending lineWait;
    StartWait(b, &events, lineWait);
    REQUIRE(EscapeCommFunction(a, CLRDTR), "EscapeCommFunction CLRDTR: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(lineWait.Ended(kDeadlineMs), "dropping DTR raised no event");
    lineWait.Result(b);
    REQUIRE(events == (EV_DSR | EV_RLSD), "the wait ended with %lx", events);
    REQUIRE(ModemStatus(b) == MS_CTS_ON, "modem status %lx with the partner's DTR down", ModemStatus(b));
    Pending raised;
    StartWait(b, &events, raised);
    REQUIRE(EscapeCommFunction(a, SETDTR), "EscapeCommFunction SETDTR: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(raised.Ended(kDeadlineMs), "raising DTR raised no event");
    raised.Result(b);
    REQUIRE(events == (EV_DSR | EV_RLSD), "the wait ended with %lx", events);
    REQUIRE(ModemStatus(b) == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), "modem status %lx", ModemStatus(b));

    // Closing a side drops its lines.
    CloseHandle(a);
    cleanup.Ports[0] = INVALID_HANDLE_VALUE;
    // The close reaches the driver on its own time under Wine: poll for its effect.
    DWORD status = ModemStatus(b);
    for (DWORD waited = 0; status != 0 && waited < kDeadlineMs; waited += 50) {
        Sleep(50);
        status = ModemStatus(b);
    }
    REQUIRE(status == 0, "modem status %lx with the partner closed", status);
    CloseHandle(b);
    cleanup.Ports[1] = INVALID_HANDLE_VALUE;

    // Turned off, the setting applies from the next open.
    REQUIRE(RunVcomctl(L"config line-settings off") == 0, "config line-settings off failed");
    a = cleanup.Ports[0] = OpenCom(L"COM20");
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    REQUIRE(!GetCommState(a, &dcb), "GetCommState succeeded with the line settings off");
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.fBinary = TRUE;
    REQUIRE(!SetCommState(a, &dcb), "SetCommState succeeded with the line settings off");
    CloseHandle(a);
    cleanup.Ports[0] = INVALID_HANDLE_VALUE;

    REQUIRE(RunVcomctl(L"unplug all") == 0, "unplug all failed");
    cleanup.Plugged = false;
    REQUIRE(SerialCommDevice(L"COM20").empty() && SerialCommDevice(L"COM21").empty(), "SERIALCOMM still lists a port");
    HANDLE gone = CreateFileW(L"\\\\.\\COM20", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(gone == INVALID_HANDLE_VALUE, "COM20 still opens after unplug all");
}

DWORD OutQueue(HANDLE port)
{
    DWORD errors = 0;
    COMSTAT status = {};
    REQUIRE(ClearCommError(port, &errors, &status), "ClearCommError: %s", DescribeError(GetLastError()).c_str());
    return status.cbOutQue;
}

void StartWrite(HANDLE port, const char* bytes, DWORD length, Pending& pending)
{
    BOOL ok = WriteFile(port, bytes, length, nullptr, &pending.Overlapped);
    REQUIRE(!ok && GetLastError() == ERROR_IO_PENDING, "WriteFile was not held: %s",
            ok ? "it completed" : DescribeError(GetLastError()).c_str());
}

TEST_CASE(installed, a_timed_line_holds_a_write_for_its_line_time_and_empties_after_its_last_byte)
{
    std::string setting;
    REQUIRE(RunVcomctl(L"config baud-timing", &setting) == 0 && setting.find("off") != std::string::npos,
            "the package left line timing %s", setting.c_str());
    Cleanup cleanup;
    REQUIRE(RunVcomctl(L"config baud-timing on") == 0, "config baud-timing on failed");
    REQUIRE(RunVcomctl(L"pair 9 --com COM20,COM21") == 0, "pair 9 --com COM20,COM21 failed");
    HANDLE a = cleanup.Ports[0] = OpenCom(L"COM20");
    HANDLE b = cleanup.Ports[1] = OpenCom(L"COM21");
    SetTerminalState(a);
    SetTerminalState(b);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    REQUIRE(GetCommState(a, &dcb), "GetCommState: %s", DescribeError(GetLastError()).c_str());
    dcb.BaudRate = 150;  // 8N1: 66.7 ms a character, 1.13 s for 17
    REQUIRE(SetCommState(a, &dcb), "SetCommState: %s", DescribeError(GetLastError()).c_str());
    COMMTIMEOUTS timeouts = {0, 0, 5000, 0, 0};
    REQUIRE(SetCommTimeouts(b, &timeouts), "SetCommTimeouts: %s", DescribeError(GetLastError()).c_str());

    REQUIRE(SetCommMask(a, EV_TXEMPTY), "SetCommMask: %s", DescribeError(GetLastError()).c_str());
    DWORD events;
    Pending empty;
    StartWait(a, &events, empty);
    const char bytes[] = "0123456789abcdefg";
    ULONGLONG start = GetTickCount64();
    Pending write;
    StartWrite(a, bytes, 17, write);
    DWORD queued = OutQueue(a);
    REQUIRE(queued >= 1 && queued <= 17, "cbOutQue %lu right after a held write of 17", queued);
    REQUIRE(!empty.Ended(300), "the transmitter was empty with a write on the line");
    REQUIRE(write.Ended(kDeadlineMs), "the held write did not complete");
    ULONGLONG took = GetTickCount64() - start;
    REQUIRE(write.Result(a) == 17, "the write did not send its 17 bytes");
    // The tick count runs in whole ticks: a tick's worth of slack below the line time.
    REQUIRE(took >= 1133 - 16, "17 bytes at 150 baud took %llu ms", took);
    REQUIRE(empty.Ended(kDeadlineMs), "no EV_TXEMPTY after the last byte");
    empty.Result(a);
    REQUIRE(events == EV_TXEMPTY, "the wait ended with %lx", events);
    REQUIRE(OutQueue(a) == 0, "cbOutQue %lu after the write", OutQueue(a));
    char buffer[32] = {};
    Pending read;
    BOOL ok = ReadFile(b, buffer, 17, nullptr, &read.Overlapped);
    REQUIRE(ok || GetLastError() == ERROR_IO_PENDING, "ReadFile: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(read.Ended(kDeadlineMs) && read.Result(b) == 17 && memcmp(buffer, bytes, 17) == 0,
            "the partner did not read the 17 bytes");

    // A purge of the transmit side ends the held write; what it had not sent never arrives.
    Pending purged;
    StartWrite(a, bytes, 17, purged);
    Sleep(100);
    REQUIRE(PurgeComm(a, PURGE_TXABORT | PURGE_TXCLEAR), "PurgeComm: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(purged.Ended(kDeadlineMs), "the purge left the write held");
    DWORD sent = 0;
    REQUIRE(!GetOverlappedResult(a, &purged.Overlapped, &sent, FALSE) && GetLastError() == ERROR_OPERATION_ABORTED,
            "the purged write did not end aborted");
    REQUIRE(OutQueue(a) == 0, "cbOutQue %lu after the purge", OutQueue(a));

    // Off again, the next open writes at once.
    CloseHandle(a);
    cleanup.Ports[0] = INVALID_HANDLE_VALUE;
    REQUIRE(RunVcomctl(L"config baud-timing off") == 0, "config baud-timing off failed");
    a = cleanup.Ports[0] = OpenCom(L"COM20");
    Pending quick;
    ok = WriteFile(a, bytes, 17, nullptr, &quick.Overlapped);
    REQUIRE(ok || GetLastError() == ERROR_IO_PENDING, "WriteFile: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(quick.Ended(kDeadlineMs) && quick.Result(a) == 17, "the untimed write did not complete");
}

TEST_CASE(installed, config_line_settings_refuses_anything_but_on_or_off)
{
    REQUIRE(RunVcomctl(L"config line-settings maybe") == 2, "config line-settings maybe is no usage error");
    REQUIRE(RunVcomctl(L"config baud 9600") == 2, "an unknown setting is no usage error");
    REQUIRE(RunVcomctl(L"config baud-timing 150") == 2, "config baud-timing 150 is no usage error");
}

int wmain(int argc, wchar_t** argv)
{
    return RunPhase(argc, argv);
}
