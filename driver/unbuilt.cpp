// Handlers whose components are not built yet. Each refuses what it is given and goes away when
// its component lands.
#include "driver/handlers.h"

VCB_PAGED NTSTATUS AddBusDevice(PDRIVER_OBJECT, PDEVICE_OBJECT)
{
    PAGED_CODE();
    return STATUS_NOT_SUPPORTED;
}

VCB_PAGED NTSTATUS BusPnp(PDEVICE_OBJECT, PIRP irp, PIO_STACK_LOCATION, BusDeviceData*)
{
    PAGED_CODE();
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VCB_PAGED NTSTATUS PortPnp(PDEVICE_OBJECT, PIRP irp, PIO_STACK_LOCATION, PortDeviceData*)
{
    PAGED_CODE();
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VCB_PAGED NTSTATUS BusDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PAGED_CODE();
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
}

VCB_PAGED NTSTATUS TapDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PAGED_CODE();
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
}
