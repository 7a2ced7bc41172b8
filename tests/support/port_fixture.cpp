#include "port_fixture.h"

#include <hostkernel/threads.h>

namespace {

PendingTryRoutine* g_tryRead;
PendingTryRoutine* g_tryWait;

NTSTATUS ParkRead(PDEVICE_OBJECT device, PIRP irp)
{
    auto port = (PortDeviceData*)device->DeviceExtension;
    return QueuePendingRequest(port, irp, g_tryRead, &port->ReadQueue.Csq, &port->ReadQueue.WorkSemaphore,
                               &port->ReadQueue.PendingList);
}

NTSTATUS ParkWait(PDEVICE_OBJECT device, PIRP irp)
{
    auto port = (PortDeviceData*)device->DeviceExtension;
    return QueuePendingRequest(port, irp, g_tryWait, &port->WaitQueue.Csq, &port->WaitQueue.WorkSemaphore,
                               &port->WaitQueue.PendingList);
}

}  // namespace

void PortQueueTest::SetUp()
{
    BusTest::SetUp();
    if (HasFatalFailure()) return;
    NoPacing = TRUE;
    device_ = Plug(9);
    ASSERT_NE(device_, nullptr);
    ASSERT_EQ(hk::QueryDeviceNode(device_).State, hk::DeviceNodeState::Started);
    port_ = Record(device_);
}

void PortQueueTest::TearDown()
{
    if (busPdo_) {
        EXPECT_EQ(hk::RemoveDevice(busPdo_), STATUS_SUCCESS);
        EXPECT_EQ(hk::RunningSystemThreadCount(), 0u);
    }
    NoPacing = FALSE;
    BusTest::TearDown();
}

void PortQueueTest::SetTryRoutines(PendingTryRoutine* read, PendingTryRoutine* wait)
{
    g_tryRead = read;
    g_tryWait = wait;
}

std::unique_ptr<hk::File> PortQueueTest::Open()
{
    NTSTATUS status;
    auto file = hk::File::Open(device_, GENERIC_READ | GENERIC_WRITE, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (file == nullptr) return nullptr;
    file->Route(IRP_MJ_READ, ParkRead);
    file->Route(IRP_MJ_DEVICE_CONTROL, ParkWait);
    return file;
}
