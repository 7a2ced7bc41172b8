// A scriptable driver for tests: devices whose dispatch records every request and completes it
// at once with a chosen status, or holds it until the test releases it.
#pragma once

#include <hostkernel/harness.h>

#include <mutex>
#include <vector>

struct FakeRequest {
    UCHAR Major;
    UCHAR Minor;
    PIRP Irp;
    UCHAR Control;  // the stack location's Control byte as the fake driver saw it
};

struct FakeDeviceData {
    NTSTATUS CompleteWith;
    ULONG_PTR Information;
    bool Hold;  // mark pending and keep the request instead of completing it
};

class FakeDriver {
public:
    FakeDriver();
    ~FakeDriver();
    PDEVICE_OBJECT CreateDevice(NTSTATUS completeWith = STATUS_SUCCESS, ULONG flags = 0);
    void DeleteDevices();
    std::vector<FakeRequest> Seen();
    // Completes every held request with `status`.
    void ReleaseHeld(NTSTATUS status);
    PDRIVER_OBJECT Object() const { return driver_; }

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
};
