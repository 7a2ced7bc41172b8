#include "port_fixture.h"

#include <hostkernel/threads.h>

namespace {

PendingTryRoutine* g_tryRead;
PendingTryRoutine* g_tryWait;

NTSTATUS Finish(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PortDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto port = (PortDeviceData*)device->DeviceExtension;
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
        WriteBooleanNoFence(&port->AbortCurrentRead, FALSE);
        WriteBooleanNoFence(&port->AbortCurrentWait, FALSE);
        RingResize(&port->Ring, kRingDefaultSize);
        RingEnable(&port->Ring, TRUE);
        return Finish(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        FlushReadQueue(device);
        FlushWaitQueue(device);
        RingEnable(&port->Ring, FALSE);
        return Finish(irp, STATUS_SUCCESS);
    case IRP_MJ_CLEANUP:
        FlushReadQueue(device);
        FlushWaitQueue(device);
        return Finish(irp, STATUS_SUCCESS);
    case IRP_MJ_READ:
        return QueuePendingRequest(port, irp, g_tryRead, &port->ReadQueue.Csq, &port->ReadQueue.WorkSemaphore,
                                   &port->ReadQueue.PendingList);
    case IRP_MJ_DEVICE_CONTROL:
        return QueuePendingRequest(port, irp, g_tryWait, &port->WaitQueue.Csq, &port->WaitQueue.WorkSemaphore,
                                   &port->WaitQueue.PendingList);
    default:
        return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace

void PortQueueTest::SetUp()
{
    DriverTest::SetUp();
    NoPacing = TRUE;
    device_ = CreatePortRecord(9);
    device_->Flags |= DO_BUFFERED_IO;
    port_ = (PortDeviceData*)device_->DeviceExtension;
    ASSERT_EQ(StartWaitQueue(device_), STATUS_SUCCESS);
    ASSERT_EQ(StartReadQueue(device_), STATUS_SUCCESS);
    RingInitialize(&port_->Ring);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL}) {
        driver_->MajorFunction[major] = PortDispatch;
    }
}

void PortQueueTest::TearDown()
{
    StopWaitQueue(device_);
    StopReadQueue(device_);
    RingFree(&port_->Ring);
    DeleteRecord(device_);
    EXPECT_EQ(hk::RunningSystemThreadCount(), 0u);
    NoPacing = FALSE;
    DriverTest::TearDown();
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
    return file;
}
