// A null-modem pair of the installed image carries bytes: WriteFile on one port, ReadFile on the
// other, both ways, with the default time-outs (a read returns once all its bytes are there), a
// read left waiting that a later write from another thread satisfies, and, with the package's
// settings, every block delivered whole.
#include "wine_ports.h"
#include "wine_test.h"

#include <winternl.h>

#include <algorithm>
#include <cstring>

#include "vcombus/ioctl.h"

using namespace wine_test;

namespace {

std::string Pattern(size_t length, char seed)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<char>(seed + i * 7);
    return bytes;
}

// An overlapped read of the whole buffer on a port that holds nothing: it must wait.
OVERLAPPED StartWaitingRead(HANDLE reader, std::string& buffer)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = ReadFile(reader, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &overlapped);
    REQUIRE(!ok && GetLastError() == ERROR_IO_PENDING, "the read did not wait: ok %d, %s", ok,
            DescribeError(GetLastError()).c_str());
    return overlapped;
}

void WriteAll(HANDLE port, const std::string& bytes, const char* what)
{
    DWORD written = 0;
    BOOL ok = WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    REQUIRE(ok, "writing %s: %s", what, DescribeError(GetLastError()).c_str());
    REQUIRE(written == bytes.size(), "%s: %lu of %u bytes written", what, written, (unsigned)bytes.size());
}

std::string ReadExactly(HANDLE port, size_t length, const char* what)
{
    std::string bytes(length, '\0');
    DWORD read = 0;
    BOOL ok = ReadFile(port, bytes.data(), static_cast<DWORD>(length), &read, nullptr);
    REQUIRE(ok, "reading %s: %s", what, DescribeError(GetLastError()).c_str());
    REQUIRE(read == length, "%s: %lu of %u bytes read", what, read, (unsigned)length);
    return bytes;
}

struct DelayedWrite {
    HANDLE Port;
    std::string Bytes;
};

DWORD WINAPI WriteLater(void* context)
{
    auto job = static_cast<DelayedWrite*>(context);
    Sleep(200);
    DWORD written = 0;
    return WriteFile(job->Port, job->Bytes.data(), static_cast<DWORD>(job->Bytes.size()), &written, nullptr) &&
                   written == job->Bytes.size()
               ? 0
               : 1;
}

} // namespace

TEST_CASE(installed, bytes_written_on_one_port_of_a_pair_are_read_on_the_other)
{
    HANDLE bus = OpenBus();
    HANDLE nine = PlugInAndOpen(bus, 21, 0);
    HANDLE ten = PlugInAndOpen(bus, 22, 0);
    for (size_t length : {1u, 15u, 16u, 1000u}) {
        std::string there = Pattern(length, 'a');
        WriteAll(nine, there, "21 to 22");
        std::string got = ReadExactly(ten, length, "22 from 21");
        REQUIRE(got == there, "%u bytes from 21 arrived changed on 22", (unsigned)length);

        std::string back = Pattern(length, 'K');
        WriteAll(ten, back, "22 to 21");
        got = ReadExactly(nine, length, "21 from 22");
        REQUIRE(got == back, "%u bytes from 22 arrived changed on 21", (unsigned)length);
    }
    CloseHandle(nine);
    CloseHandle(ten);
    Unplug(bus, 21);
    Unplug(bus, 22);
    CloseHandle(bus);
}

TEST_CASE(installed, a_waiting_read_is_satisfied_by_a_later_write_from_another_thread)
{
    HANDLE bus = OpenBus();
    HANDLE reader = PlugInAndOpen(bus, 23, FILE_FLAG_OVERLAPPED);
    HANDLE writer = PlugInAndOpen(bus, 24, 0);

    std::string bytes = Pattern(64, '0');
    std::string buffer(bytes.size(), '\0');
    OVERLAPPED overlapped = StartWaitingRead(reader, buffer);
    DWORD read = 0;

    DelayedWrite job = {writer, bytes};
    HANDLE thread = CreateThread(nullptr, 0, WriteLater, &job, 0, nullptr);
    REQUIRE(thread != nullptr, "starting the writer: %s", DescribeError(GetLastError()).c_str());
    DWORD waited = WaitForSingleObject(overlapped.hEvent, kDeadlineMs);
    if (waited != WAIT_OBJECT_0) {
        // Where the bytes went, for whoever has to find out why.
        DWORD writerExit = STILL_ACTIVE;
        GetExitCodeThread(thread, &writerExit);
        DWORD errors = 0;
        COMSTAT status = {};
        BOOL known = ClearCommError(reader, &errors, &status);
        printf("  writer %s (exit %lu); the reader's port holds %s%lu bytes\n",
               writerExit == STILL_ACTIVE ? "still writing" : "done", writerExit, known ? "" : "(unknown) ",
               status.cbInQue);
    }
    REQUIRE(waited == WAIT_OBJECT_0, "the read was not satisfied within %lu s", kDeadlineMs / 1000);
    BOOL ok = GetOverlappedResult(reader, &overlapped, &read, FALSE);
    REQUIRE(ok, "the read failed: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(read == bytes.size() && buffer == bytes, "the read got %lu bytes, changed or short", read);
    REQUIRE(WaitForSingleObject(thread, kDeadlineMs) == WAIT_OBJECT_0, "the writer hung");
    DWORD writerExit = 1;
    GetExitCodeThread(thread, &writerExit);
    REQUIRE(writerExit == 0, "the writer's WriteFile failed or was short");
    CloseHandle(thread);

    // A read still waiting when its handle closes: Wine closes without a cleanup, and the close
    // ends it.
    ok = ReadFile(reader, buffer.data(), 8, &read, &overlapped);
    REQUIRE(!ok && GetLastError() == ERROR_IO_PENDING, "the second read did not wait");
    CloseHandle(reader);
    REQUIRE(WaitForSingleObject(overlapped.hEvent, kDeadlineMs) == WAIT_OBJECT_0, "the close left the read waiting");
    CloseHandle(overlapped.hEvent);
    CloseHandle(writer);
    Unplug(bus, 23);
    Unplug(bus, 24);
    CloseHandle(bus);
}

// The package starts the driver unpaced: a block arrives whole at a read already waiting for any
// bytes, and the input count reported right after a read is the true one (paced, the read would
// end on the block's first half and the count would be capped at 15 bytes).
TEST_CASE(installed, the_package_delivers_each_block_whole_and_reports_true_input_counts)
{
    std::string setting;
    REQUIRE(RunVcomctl(L"config pacing", &setting) == 0, "config pacing failed");
    REQUIRE(setting.find("pacing off") != std::string::npos, "the package left pacing %s", setting.c_str());
    REQUIRE(RunVcomctl(L"config pacing on") == 0 && RunVcomctl(L"config pacing", &setting) == 0 &&
                setting.find("pacing on") != std::string::npos,
            "config pacing on did not stick: %s", setting.c_str());
    REQUIRE(RunVcomctl(L"config pacing off") == 0, "config pacing off failed");
    REQUIRE(RunVcomctl(L"config pacing maybe") == 2, "config pacing maybe is no usage error");

    HANDLE bus = OpenBus();
    HANDLE reader = PlugInAndOpen(bus, 26, FILE_FLAG_OVERLAPPED);
    HANDLE writer = PlugInAndOpen(bus, 25, 0);
    COMMTIMEOUTS anyBytes = {MAXDWORD, 0, kDeadlineMs, 0, 0};
    REQUIRE(SetCommTimeouts(reader, &anyBytes), "SetCommTimeouts: %s", DescribeError(GetLastError()).c_str());

    std::string block = Pattern(4096, 'p');
    std::string buffer(block.size(), '\0');
    OVERLAPPED overlapped = StartWaitingRead(reader, buffer);
    DWORD read = 0;
    WriteAll(writer, block, "a 4 KiB block");
    REQUIRE(WaitForSingleObject(overlapped.hEvent, kDeadlineMs) == WAIT_OBJECT_0, "the read never ended");
    REQUIRE(GetOverlappedResult(reader, &overlapped, &read, FALSE), "the read failed: %s",
            DescribeError(GetLastError()).c_str());
    REQUIRE(read == block.size() && buffer == block, "the first read got %lu bytes of the block", read);

    WriteAll(writer, Pattern(100, 'q'), "100 bytes");
    DWORD errors = 0;
    COMSTAT status = {};
    REQUIRE(ClearCommError(reader, &errors, &status), "ClearCommError: %s", DescribeError(GetLastError()).c_str());
    REQUIRE(status.cbInQue == 100, "ClearCommError reports %lu bytes waiting, not 100", status.cbInQue);

    CloseHandle(overlapped.hEvent);
    CloseHandle(reader);
    CloseHandle(writer);
    Unplug(bus, 25);
    Unplug(bus, 26);
    CloseHandle(bus);
}

int wmain(int argc, wchar_t** argv)
{
    return RunPhase(argc, argv);
}
