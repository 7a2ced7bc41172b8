// Power requests for the bus and the ports. The bus passes every one down; a port has no
// hardware, so it records what it is told, reports device-state changes to the power manager and
// agrees to every query. The driver never asks for a power change itself.
#include "driver/gate.h"
#include "driver/handlers.h"

// Resident: power requests may come at DISPATCH_LEVEL to stacks that are not power-pageable.
NTSTATUS DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    auto header = (CommonDeviceData*)deviceObject->DeviceExtension;
    // The power manager holds back the next request until this one is started, even when it fails.
    if (ReadPnpState(header) == PnpDeleted) {
        PoStartNextPowerIrp(irp);
        return CompleteNoSuchDevice(irp);
    }

    if (header->IsFdo) {
        auto bus = (BusDeviceData*)header;
        IoGateAcquire(&bus->Gate);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = PoCallDriver(bus->NextLowerDevice, irp);
        IoGateRelease(&bus->Gate);
        return status;
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState) {
            header->SystemPowerState = stack->Parameters.Power.State.SystemState;
            irp->IoStatus.Status = STATUS_SUCCESS;
        } else if (stack->Parameters.Power.Type == DevicePowerState) {
            PoSetPowerState(deviceObject, DevicePowerState, stack->Parameters.Power.State);
            header->DevicePowerState = stack->Parameters.Power.State.DeviceState;
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_QUERY_POWER:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        // Wait-wake and power sequence: a virtual port has nothing to say.
        break;
    }
    NTSTATUS status = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
