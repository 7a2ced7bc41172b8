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
    KIRQL CompleteAtIrql;  // completions at once run at this IRQL (DISPATCH_LEVEL: as from a DPC)
};

class FakeDriver {
public:
    FakeDriver();
    ~FakeDriver();
    PDEVICE_OBJECT CreateDevice(NTSTATUS completeWith = STATUS_SUCCESS, ULONG flags = 0);
    void DeleteDevices();
    std::vector<FakeRequest> Seen();
    // Completes every held request with `status`, at `irql` (DISPATCH_LEVEL: as a real driver
    // does from its DPC, so completion routines above run there).
    void ReleaseHeld(NTSTATUS status, KIRQL irql = PASSIVE_LEVEL);
    PDRIVER_OBJECT Object() const { return driver_; }

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
};
