// The network bridge under Wine, against programs on the Linux side that the runner starts
// (tests/wine/bridge-steps.sh): an application on a COM port made by `vcomctl connect` to ser2net,
// and a Win32 program on the partner of a port that `vcomctl serve` shares with pyserial.
//
// The Linux side echoes what it reads; the runner and this program meet through files in the
// directory given with --sync (the runner stops and restarts ser2net when asked).
#include "wine_test.h"

#include <cstring>
#include <string>
#include <vector>

#include "vcombus/ioctl.h"

using namespace wine_test;

namespace {

constexpr DWORD kDeadlineMs = 30000;
constexpr size_t kTotal = 1 << 20;
constexpr size_t kWindow = 32768;

std::wstring Argument(const wchar_t* name)
{
    return wcscmp(name, L"--com") == 0 ? GetOptions().Com : GetOptions().Sync;
}

// Synchronous handles serialise a thread's write behind another's pending read: overlapped I/O,
// waited for at once.
BOOL Io(HANDLE port, bool write, void* data, DWORD length, DWORD* done)
{
    OVERLAPPED o = {};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = write ? WriteFile(port, data, length, nullptr, &o) : ReadFile(port, data, length, nullptr, &o);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        WaitForSingleObject(o.hEvent, INFINITE);
        ok = GetOverlappedResult(port, &o, done, TRUE);
    }
    CloseHandle(o.hEvent);
    return ok;
}


DWORD ModemStatus(HANDLE port)
{
    DWORD status = 0;
    REQUIRE(GetCommModemStatus(port, &status), "GetCommModemStatus: %s", DescribeError(GetLastError()).c_str());
    return status;
}

void WaitForLines(HANDLE port, bool up)
{
    DWORD want = MS_DSR_ON | MS_RLSD_ON;
    for (DWORD waited = 0; waited <= kDeadlineMs; waited += 50) {
        if (((ModemStatus(port) & want) == want) == up)
            return;
        Sleep(50);
    }
    REQUIRE(false, "the modem lines did not go %s (status 0x%lx)", up ? "up" : "down", ModemStatus(port));
}

// Writes `total` bytes of a counting pattern and reads the echo of every one back, in blocks; the
// reader runs beside the writer so that neither side's buffers have to hold the whole.
struct Echo {
    HANDLE Port;
    size_t Total;
    volatile LONG Received = 0; // read by the writer for its window
    size_t Mismatch = (size_t)-1;
};

DWORD WINAPI EchoReader(void* context)
{
    auto echo = static_cast<Echo*>(context);
    std::vector<unsigned char> block(16384);
    DWORD idleSince = GetTickCount();
    while ((size_t)echo->Received < echo->Total && GetTickCount() - idleSince < kDeadlineMs) {
        DWORD got = 0;
        if (!Io(echo->Port, false, block.data(), (DWORD)block.size(), &got))
            return 1;
        if (got != 0)
            idleSince = GetTickCount();
        for (DWORD i = 0; i < got; i++) {
            size_t at = (size_t)echo->Received + i;
            if (block[i] != (unsigned char)(at * 7 + at / 251) && echo->Mismatch == (size_t)-1)
                echo->Mismatch = at;
        }
        InterlockedExchangeAdd(&echo->Received, (LONG)got);
    }
    return 0;
}

void ExchangeEcho(HANDLE port, size_t total)
{
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 200, 0, 0};
    REQUIRE(SetCommTimeouts(port, &timeouts), "SetCommTimeouts");
    REQUIRE(SetupComm(port, 1 << 20, 1 << 20), "SetupComm");
    Echo echo{port, total};
    HANDLE reader = CreateThread(nullptr, 0, EchoReader, &echo, 0, nullptr);
    std::vector<unsigned char> block(4096);
    DWORD start = GetTickCount();
    for (size_t sent = 0; sent < total;) {
        size_t length = total - sent < block.size() ? total - sent : block.size();
        for (size_t i = 0; i < length; i++)
            block[i] = (unsigned char)((sent + i) * 7 + (sent + i) / 251);
        // A virtual port's writes never wait, as a line's baud rate would make them: at most a
        // window of bytes is in flight, so that no queue on the way overruns.
        // A reader that gave up (its echo went quiet) ends the exchange at once.
        DWORD since = GetTickCount();
        while (sent - (size_t)echo.Received > kWindow && WaitForSingleObject(reader, 1) == WAIT_TIMEOUT)
            REQUIRE(GetTickCount() - since < kDeadlineMs, "no echo for %lu ms", (unsigned long)kDeadlineMs);
        REQUIRE(sent - (size_t)echo.Received <= kWindow, "%lu of %lu bytes came back before the echo went quiet",
                (unsigned long)echo.Received, (unsigned long)sent);
        DWORD written = 0;
        REQUIRE(Io(port, true, block.data(), (DWORD)length, &written) && written == length, "write: %s",
                DescribeError(GetLastError()).c_str());
        sent += length;
    }
    REQUIRE(WaitForSingleObject(reader, kDeadlineMs * 4) == WAIT_OBJECT_0, "the echo reader did not finish");
    CloseHandle(reader);
    DWORD elapsed = GetTickCount() - start;
    REQUIRE((size_t)echo.Received == total, "%lu of %lu bytes came back", (unsigned long)echo.Received, (unsigned long)total);
    REQUIRE(echo.Mismatch == (size_t)-1, "byte %lu came back wrong", (unsigned long)echo.Mismatch);
    printf("bridge: %lu bytes out and back in %lu ms (%.2f MB/s each way)\n", (unsigned long)total, elapsed,
           elapsed ? total / 1000.0 / elapsed : 0.0);
}

// 64-byte round trips through the echo: the median and the worst.
void RoundTrips(HANDLE port, int rounds)
{
    COMMTIMEOUTS timeouts = {0, 0, 5000, 0, 0};
    REQUIRE(SetCommTimeouts(port, &timeouts), "SetCommTimeouts");
    std::vector<double> times;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    unsigned char out[64], in[64];
    for (int r = 0; r < rounds; r++) {
        memset(out, 'a' + r % 26, sizeof(out));
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        DWORD n = 0;
        REQUIRE(Io(port, true, out, 64, &n) && n == 64, "round-trip write");
        size_t got = 0;
        while (got < 64) {
            REQUIRE(Io(port, false, in + got, (DWORD)(64 - got), &n) && n > 0, "round-trip read");
            got += n;
        }
        QueryPerformanceCounter(&t1);
        REQUIRE(memcmp(in, out, 64) == 0, "round trip %d came back wrong", r);
        times.push_back((double)(t1.QuadPart - t0.QuadPart) * 1e6 / (double)frequency.QuadPart);
    }
    std::vector<double> sorted = times;
    for (size_t i = 1; i < sorted.size(); i++)
        for (size_t j = i; j > 0 && sorted[j - 1] > sorted[j]; j--)
            std::swap(sorted[j - 1], sorted[j]);
    printf("bridge: 64-byte round trip p50 %.0f us, max %.0f us over %d rounds\n", sorted[sorted.size() / 2],
           sorted.back(), rounds);
}

void WaitForSignal(const std::wstring& name)
{
    std::wstring path = Argument(L"--sync") + L"\\" + name;
    for (DWORD waited = 0; GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; waited += 50) {
        REQUIRE(waited < kDeadlineMs, "no %s after %lu ms", Narrow(path).c_str(), (unsigned long)kDeadlineMs);
        Sleep(50);
    }
}

void Signal(const std::wstring& name)
{
    std::wstring path = Argument(L"--sync") + L"\\" + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    REQUIRE(file != INVALID_HANDLE_VALUE, "signalling %s: %s", Narrow(path).c_str(),
            DescribeError(GetLastError()).c_str());
    CloseHandle(file);
}

TEST_CASE(client, an_application_on_the_connected_port_moves_data_sets_its_line_and_survives_the_server)
{
    HANDLE port = OpenComOverlapped(Argument(L"--com"), kDeadlineMs);
    WaitForLines(port, true);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    REQUIRE(GetCommState(port, &dcb), "GetCommState");
    dcb.BaudRate = 57600;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.fParity = TRUE;
    dcb.StopBits = ONESTOPBIT;
    REQUIRE(SetCommState(port, &dcb), "SetCommState: %s", DescribeError(GetLastError()).c_str());
    ExchangeEcho(port, kTotal);
    RoundTrips(port, 200);
    // The runner checks the pseudo-terminal's settings, then stops the server.
    Signal(L"settings-set");
    WaitForLines(port, false);
    Signal(L"lines-down");
    WaitForLines(port, true);
    ExchangeEcho(port, 65536);
    CloseHandle(port);
}

TEST_CASE(server, a_program_on_the_served_ports_partner_exchanges_data_and_sees_the_clients_baud_rate)
{
    HANDLE port = OpenComOverlapped(Argument(L"--com"), kDeadlineMs);
    // The client sets 57600 baud on the served port first, then echoes what it reads.
    PartnerWatchRequest request = {sizeof(request), 0};
    PartnerLineState state = {};
    DWORD start = GetTickCount();
    for (;;) {
        DWORD got = 0;
        OVERLAPPED o = {};
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        BOOL ok = DeviceIoControl(port, IOCTL_VCOMBUS_WATCH_PARTNER, &request, sizeof(request), &state, sizeof(state),
                                  nullptr, &o);
        if (ok || (GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(o.hEvent, kDeadlineMs) == WAIT_OBJECT_0))
            ok = GetOverlappedResult(port, &o, &got, FALSE);
        if (!ok)
            CancelIo(port);
        CloseHandle(o.hEvent);
        REQUIRE(ok && got == sizeof(state),
                "watching the partner: %s", DescribeError(GetLastError()).c_str());
        if (state.BaudRate == 57600)
            break;
        request.Generation = state.Generation;
        REQUIRE(GetTickCount() - start < kDeadlineMs, "the partner's baud rate stayed %u", state.BaudRate);
    }
    Signal(L"baud-seen");
    // The client purges the served port's input as it finishes opening: bytes sent before then
    // would be dropped.
    WaitForSignal(L"client-ready");
    ExchangeEcho(port, kTotal);
    CloseHandle(port);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    return RunPhase(argc, argv);
}
