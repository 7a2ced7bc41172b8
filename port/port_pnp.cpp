// A port's Plug and Play handling. A port is the bottom of its stack: it answers every request
// itself (the identity answers are in port/identity.cpp) and never passes one down. Its removal
// deletes it only once the bus has stopped reporting it.
#include "bus/child_list.h"
#include "driver/handlers.h"
#include "port/identity.h"
#include "port/port_device.h"

// Three cases: the bus no longer reports the port (it dies now); it is still plugged in (only its
// stack goes: the record, ring and threads stay for the next start); or it is unplugged but not
// yet left out of a relations answer (nothing changes until that answer and the next removal).
static VCB_PAGED NTSTATUS RemovePort(PDEVICE_OBJECT device, PortDeviceData* port)
{
    PAGED_CODE();
    if (port->ReportedMissing) {
        SetPnpState(&port->Header, PnpDeleted);
        UnlinkPort(port);
        return DestroyPortDevice(device, port);
    }
    if (port->Present) {
        SetPnpState(&port->Header, PnpNotStarted);
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS PortPnp(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack,
                                                  PortDeviceData* port)
{
    PAGED_CODE();
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        port->Header.DevicePowerState = PowerDeviceD0;
        SetPnpState(&port->Header, PnpStarted);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        // A peer that holds the port interface may call into the record at any time.
        if (InterlockedCompareExchange(&port->InterfaceRefCount, 0, 0) != 0) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            SetPnpState(&port->Header, PnpRemovePending);
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_REMOVE_DEVICE:
        // The record may be gone once this returns: only the request is touched afterwards.
        status = RemovePort(device, port);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (port->Header.PnpState == PnpRemovePending) {
            RestorePnpState(&port->Header);
        }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        SetPnpState(&port->Header, PnpStopped);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        SetPnpState(&port->Header, PnpStopPending);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (port->Header.PnpState == PnpStopPending) {
            RestorePnpState(&port->Header);
        }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            status = PortQueryTargetRelation(port, irp);
        } else {
            status = irp->IoStatus.Status;
        }
        break;
    case IRP_MN_QUERY_INTERFACE:
        status = PortQueryInterface(port, irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = PortQueryCapabilities(port, irp);
        break;
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        status = STATUS_SUCCESS;  // no requirements: Information stays as it is
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        status = PortQueryDeviceText(port, irp);
        break;
    case IRP_MN_EJECT:
        MarkPortAbsent(port);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_ID:
        status = PortQueryId(port, irp);
        break;
    case IRP_MN_QUERY_BUS_INFORMATION:
        status = PortQueryBusInformation(irp);
        break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        // A port never holds a paging, hibernation or dump file.
        status = STATUS_UNSUCCESSFUL;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        SetPnpState(&port->Header, PnpSurpriseRemovePending);
        status = STATUS_SUCCESS;
        break;
    default:
        status = irp->IoStatus.Status;
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
