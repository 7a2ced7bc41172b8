// Fixtures and helpers shared by the driver's tests.
#pragma once

#include <gtest/gtest.h>
#include <hostkernel/harness.h>

#include <chrono>
#include <string>
#include <thread>

#include "driver/handlers.h"

std::u16string Wide(PCWSTR text);
std::u16string Wide(PCUNICODE_STRING text);

// Loads vcombus into hostkernel for each test and unloads it afterwards, which runs every
// verifier check: a test that leaks pool, devices, IRPs or threads fails.
// While it lives, hostkernel's clock tick is days long: no kernel delay or timed wait ends during a
// test, so a parked request that completes was woken by what the test did, not by its thread's
// poll.
struct EndlessClockTick {
    EndlessClockTick() { hk::SetClockTick(10000000LL * 1000000); }
    ~EndlessClockTick() { hk::SetClockTick(0); }
    EndlessClockTick(const EndlessClockTick&) = delete;
    EndlessClockTick& operator=(const EndlessClockTick&) = delete;
};

class DriverTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A device record built by the test, the way the bus code will build it.
    PDEVICE_OBJECT CreateBusRecord(PDEVICE_OBJECT lower = nullptr);
    PDEVICE_OBJECT CreatePortRecord(ULONG portNumber);
    void DeleteRecord(PDEVICE_OBJECT device);

    PDRIVER_OBJECT driver_ = nullptr;
};

static constexpr PCWSTR kServicePath = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vcombus";

// Polls `done` until it holds; false when `limit` passes first.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}
