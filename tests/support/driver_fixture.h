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
