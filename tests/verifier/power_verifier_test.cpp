// The power manager's rule that every driver a power request reached starts the next one.
#include <hostkernel/pnp.h>

#include "driver_fixture.h"

namespace {

bool g_startNext = true;

NTSTATUS CompletePower(PDEVICE_OBJECT, PIRP irp)
{
    if (g_startNext) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_POWER] = CompletePower;
    return STATUS_SUCCESS;
}

}  // namespace

TEST(PowerVerifier, PowerRequestEndingWithoutStartNextIsReported)
{
    PDRIVER_OBJECT driver;
    ASSERT_EQ(hk::LoadDriver(Entry, L"\\Registry\\Machine\\x", &driver, L"\\Driver\\power"), STATUS_SUCCESS);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags = (device->Flags & ~DO_DEVICE_INITIALIZING) | DO_POWER_PAGABLE;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    {
        hk::VerifierCapture capture;
        g_startNext = true;
        EXPECT_EQ(hk::SendSetPower(device, DevicePowerState, state).Status, STATUS_SUCCESS);
        EXPECT_TRUE(capture.Messages().empty());
        g_startNext = false;
        EXPECT_EQ(hk::SendSetPower(device, DevicePowerState, state).Status, STATUS_SUCCESS);
        EXPECT_TRUE(capture.Saw("without PoStartNextPowerIrp")) << capture.Messages().size();
    }
    // A stack that is not power-pageable gets its requests at DISPATCH_LEVEL.
    device->Flags &= ~DO_POWER_PAGABLE;
    g_startNext = true;
    KIRQL seen = PASSIVE_LEVEL;
    driver->MajorFunction[IRP_MJ_POWER] = [](PDEVICE_OBJECT d, PIRP irp) {
        *(KIRQL*)d->DeviceExtension = KeGetCurrentIrql();
        return CompletePower(d, irp);
    };
    PDEVICE_OBJECT second;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(KIRQL), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);
    second->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(hk::SendSetPower(second, DevicePowerState, state).Status, STATUS_SUCCESS);
    seen = *(KIRQL*)second->DeviceExtension;
    EXPECT_EQ(seen, DISPATCH_LEVEL);
    IoDeleteDevice(second);
    IoDeleteDevice(device);
    hk::UnloadDriver(driver);
}
