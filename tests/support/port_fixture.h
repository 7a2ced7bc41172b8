// A port record with its two queues started and its ring set up, as the port's creation makes
// it, behind handlers that open, close and clean up the way the port does and park reads and
// waits with the test's own try routines.
#pragma once

#include "driver_fixture.h"

#include <chrono>
#include <memory>
#include <thread>

class PortQueueTest : public DriverTest {
protected:
    void SetUp() override;
    void TearDown() override;  // stops the queues and frees the ring as the port's destruction does

    // Try routines the port's read and wait-on-mask handlers park their requests with.
    void SetTryRoutines(PendingTryRoutine* read, PendingTryRoutine* wait);
    std::unique_ptr<hk::File> Open();

    PDEVICE_OBJECT device_ = nullptr;
    PortDeviceData* port_ = nullptr;
};

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
