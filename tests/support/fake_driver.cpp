#include "fake_driver.h"

#include <algorithm>

namespace {

std::mutex g_lock;
std::vector<FakeRequest> g_seen;
std::vector<PIRP> g_held;

NTSTATUS FakeDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto data = (FakeDeviceData*)device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    {
        std::lock_guard guard(g_lock);
        g_seen.push_back({sp->MajorFunction, sp->MinorFunction, irp, sp->Control});
    }
    if (sp->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    if (data->Hold) {
        IoMarkIrpPending(irp);
        std::lock_guard guard(g_lock);
        g_held.push_back(irp);
        return STATUS_PENDING;
    }
    NTSTATUS status = data->CompleteWith;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = data->Information;
    hk::RunAtIrql(std::max(data->CompleteAtIrql, KeGetCurrentIrql()), [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return status;
}

NTSTATUS FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& dispatch : driver->MajorFunction) dispatch = FakeDispatch;
    return STATUS_SUCCESS;
}

}  // namespace

FakeDriver::FakeDriver()
{
    {
        std::lock_guard guard(g_lock);
        g_seen.clear();
        g_held.clear();
    }
    hk::LoadDriver(FakeEntry, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\fake", &driver_,
                   L"\\Driver\\fake");
}

FakeDriver::~FakeDriver()
{
    DeleteDevices();
    // Only the driver object goes: the driver under test's unload runs the clean checks.
    ObDereferenceObject(driver_);
}

PDEVICE_OBJECT FakeDriver::CreateDevice(NTSTATUS completeWith, ULONG flags)
{
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver_, sizeof(FakeDeviceData), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    auto data = (FakeDeviceData*)device->DeviceExtension;
    data->CompleteWith = completeWith;
    data->Hold = false;
    data->CompleteAtIrql = PASSIVE_LEVEL;
    device->Flags = (device->Flags & ~DO_DEVICE_INITIALIZING) | flags;
    devices_.push_back(device);
    return device;
}

void FakeDriver::DeleteDevices()
{
    for (PDEVICE_OBJECT device : devices_) IoDeleteDevice(device);
    devices_.clear();
}

std::vector<FakeRequest> FakeDriver::Seen()
{
    std::lock_guard guard(g_lock);
    return g_seen;
}

void FakeDriver::ReleaseHeld(NTSTATUS status, KIRQL irql)
{
    std::vector<PIRP> held;
    {
        std::lock_guard guard(g_lock);
        held.swap(g_held);
    }
    for (PIRP irp : held) {
        irp->IoStatus.Status = status;
        hk::RunAtIrql(irql, [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    }
}
