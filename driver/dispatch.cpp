// The single dispatch routine: requests are routed by the role of the target device's record
// (tap, bus or port) and by major function code.
#include "driver/gate.h"
#include "driver/handlers.h"

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteNoSuchDevice(PIRP irp)
{
    irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NO_SUCH_DEVICE;
}

// An application's request runs inside the port through its gate, so that the port's destruction
// (its bus may go while handles stay open) waits for it. A port that is gone refuses it before
// the handler looks at anything; the request is counted out before it is completed, while its
// file object still holds the device.
static VCB_PAGED NTSTATUS DispatchThroughPortGate(PDRIVER_DISPATCH handler, PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto port = (PortDeviceData*)deviceObject->DeviceExtension;
    if (!PortGateEnter(&port->Gate, &port->Header)) {
        irp->IoStatus.Information = 0;
        return CompleteNoSuchDevice(irp);
    }
    NTSTATUS status = handler(deviceObject, irp);
    PortGateLeave(&port->Gate);
    return status;
}

// Bus and port requests come from applications and the Plug and Play manager at PASSIVE_LEVEL.
// Each handler serves one role; only power is shared, its first test being the same for both.
static VCB_PAGED NTSTATUS DispatchBusOrPortRequest(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto header = (CommonDeviceData*)deviceObject->DeviceExtension;
    bool isBus = header->IsFdo;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
        return isBus ? BusOpenCloseCleanupFlush(deviceObject, irp)
                     : DispatchThroughPortGate(DispatchCreateClose, deviceObject, irp);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_FLUSH_BUFFERS:
        return isBus ? BusOpenCloseCleanupFlush(deviceObject, irp)
                     : DispatchThroughPortGate(DispatchCleanupFlush, deviceObject, irp);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        return isBus ? BusReadWrite(deviceObject, irp) : DispatchThroughPortGate(PortReadWrite, deviceObject, irp);
    case IRP_MJ_DEVICE_CONTROL:
        return isBus ? BusDeviceControl(deviceObject, irp)
                     : DispatchThroughPortGate(PortSerialControl, deviceObject, irp);
    case IRP_MJ_POWER:
        return DispatchPower(deviceObject, irp);
    case IRP_MJ_PNP:
        if (ReadPnpState(header) == PnpDeleted) {
            return CompleteNoSuchDevice(irp);
        }
        if (isBus) {
            return BusPnp(deviceObject, irp, stack, (BusDeviceData*)header);
        }
        return PortPnp(deviceObject, irp, stack, (PortDeviceData*)header);
    default:
        break;
    }

    if (DefaultCreateHandler == nullptr) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    return DefaultCreateHandler(deviceObject, irp);
}

// Resident: the tap sits on a real port's stack, whose requests from other drivers and power
// requests may come at DISPATCH_LEVEL. The tap is told apart before any pageable code runs.
NTSTATUS DispatchRequest(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    auto header = (CommonDeviceData*)deviceObject->DeviceExtension;
    if (header->IsFilter) {
        return TapDispatch(deviceObject, irp);
    }
    return DispatchBusOrPortRequest(deviceObject, irp);
}

// The driver registers no WMI provider: the bus only forwards system-control requests, and ports
// complete them with the status they already carry. The tap passes them to the real port, whose
// driver may well be a WMI provider.
VCB_PAGED NTSTATUS DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto header = (CommonDeviceData*)deviceObject->DeviceExtension;
    if (header->IsFilter) {
        return TapDispatch(deviceObject, irp);
    }
    if (!header->IsFdo) {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    auto bus = (BusDeviceData*)header;
    IoGateAcquire(&bus->Gate);
    NTSTATUS status;
    if (ReadPnpState(&bus->Header) == PnpDeleted) {
        status = CompleteNoSuchDevice(irp);
    } else {
        IoCopyCurrentIrpStackLocationToNext(irp);
        status = IoCallDriver(bus->NextLowerDevice, irp);
    }
    IoGateRelease(&bus->Gate);
    return status;
}
