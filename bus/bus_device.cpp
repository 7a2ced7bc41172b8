// The bus device: the function device on top of the virtual bus's physical device, its Plug and
// Play handling, and the child list it reports as bus relations.
#include "bus/child_list.h"
#include "driver/gate.h"
#include "driver/handlers.h"
#include "port/port_device.h"
#include "routing/tap.h"
#include "vcombus/ioctl.h"

_Use_decl_annotations_ VCB_PAGED NTSTATUS AddBusDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject)
{
    PAGED_CODE();
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(BusDeviceData), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    auto bus = (BusDeviceData*)device->DeviceExtension;
    RtlZeroMemory(bus, sizeof(*bus));
    bus->Header.Self = device;
    bus->Header.IsFdo = TRUE;
    bus->Header.IsFilter = FALSE;
    bus->Header.PnpState = PnpNotStarted;
    bus->Header.PreviousPnpState = PnpNotStarted;
    bus->Header.SystemPowerState = PowerSystemWorking;
    bus->Header.DevicePowerState = PowerDeviceUnspecified;
    bus->DriverObject = driverObject;
    bus->UnderlyingPdo = physicalDeviceObject;
    InitializeListHead(&bus->ChildList);
    bus->ChildCount = 0;
    ExInitializeFastMutex(&bus->ChildListLock);
    KeInitializeSpinLock(&bus->ChildWalkLock);
    KeInitializeEvent(&bus->PlugInLock, SynchronizationEvent, TRUE);
    IoGateInitialize(&bus->Gate);

    device->Flags |= DO_POWER_PAGABLE;

    // Registered now, enabled by the start: the control application must not find a bus that
    // cannot serve it yet.
    NTSTATUS registration =
        IoRegisterDeviceInterface(physicalDeviceObject, &GUID_VIRTUAL_BUS_INTERFACE, nullptr, &bus->InterfaceName);
    if (!NT_SUCCESS(registration)) {
        IoDeleteDevice(device);
        return registration;
    }

    bus->NextLowerDevice = IoAttachDeviceToDeviceStack(device, physicalDeviceObject);
    if (bus->NextLowerDevice == nullptr) {
        // The interface name belongs to the record that is about to go.
        RtlFreeUnicodeString(&bus->InterfaceName);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return registration;
}

// Disables the bus interface and forgets its name; harmless when already done.
static VCB_PAGED void DisableBusInterface(BusDeviceData* bus)
{
    PAGED_CODE();
    if (bus->InterfaceName.Buffer == nullptr) {
        return;
    }
    IoSetDeviceInterfaceState(&bus->InterfaceName, FALSE);
    RtlFreeUnicodeString(&bus->InterfaceName);
    bus->InterfaceName.Length = bus->InterfaceName.MaximumLength = 0;
}

// Brings the request back to the start handler once the lower driver is done with it. The event
// is needed only when the lower driver returned STATUS_PENDING: otherwise the sender does not wait.
_Function_class_(IO_COMPLETION_ROUTINE) static NTSTATUS ForwardAndWaitCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) {
        KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request to the lower device and waits until it is done; the request stays with the
// caller, which completes it.
static VCB_PAGED NTSTATUS ForwardAndWait(BusDeviceData* bus, PIRP irp)
{
    PAGED_CODE();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForwardAndWaitCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(bus->NextLowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

static VCB_PAGED NTSTATUS PassDown(BusDeviceData* bus, PIRP irp)
{
    PAGED_CODE();
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->NextLowerDevice, irp);
}

// Appends the present children to whatever a driver above already reported; children that are
// no longer present are left out and marked, so that their removal deletes them.
static VCB_PAGED NTSTATUS QueryBusRelations(BusDeviceData* bus, PIRP irp)
{
    PAGED_CODE();
    ExAcquireFastMutex(&bus->ChildListLock);
    auto old = (PDEVICE_RELATIONS)irp->IoStatus.Information;
    if (old != nullptr && bus->ChildCount == 0) {
        ExReleaseFastMutex(&bus->ChildListLock);
        return PassDown(bus, irp);
    }

    ULONG present = 0;
    for (PLIST_ENTRY entry = bus->ChildList.Flink; entry != &bus->ChildList; entry = entry->Flink) {
        auto port = CONTAINING_RECORD(entry, PortDeviceData, ChildLink);
        if (port->Present) {
            present++;
        }
    }

    ULONG oldCount = old != nullptr ? old->Count : 0;
    ULONG count = oldCount + present;
    SIZE_T size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + (SIZE_T)count * sizeof(PDEVICE_OBJECT);
    if (size < sizeof(DEVICE_RELATIONS)) {
        size = sizeof(DEVICE_RELATIONS);
    }
    auto relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, size, kPoolTag);
    if (relations == nullptr) {
        ExReleaseFastMutex(&bus->ChildListLock);
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG next = 0;
    for (; next < oldCount; next++) {
        relations->Objects[next] = old->Objects[next];
    }
    for (PLIST_ENTRY entry = bus->ChildList.Flink; entry != &bus->ChildList; entry = entry->Flink) {
        auto port = CONTAINING_RECORD(entry, PortDeviceData, ChildLink);
        if (port->Present) {
            // The Plug and Play manager drops this reference.
            ObReferenceObject(port->Header.Self);
            relations->Objects[next++] = port->Header.Self;
            port->Reported = TRUE;
        } else {
            port->ReportedMissing = TRUE;
        }
    }
    relations->Count = count;
    if (old != nullptr) {
        ExFreePool(old);
    }
    irp->IoStatus.Information = (ULONG_PTR)relations;
    ExReleaseFastMutex(&bus->ChildListLock);

    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(bus, irp);
}

// Takes the first child out of the list and off the bus. Its cable goes with the bus: the
// partner (if still linked) and the port see each other's lines fall, as when it is pulled out.
static VCB_PAGED PortDeviceData* DetachHeadChild(BusDeviceData* bus)
{
    PAGED_CODE();
    auto port = CONTAINING_RECORD(bus->ChildList.Flink, PortDeviceData, ChildLink);
    if (port->Present) {
        LineSettingsLeaveCable(bus, port);
    }
    RemoveHeadChild(bus);
    // Requests still running in the port read it without the lock (RouteWrittenBytes).
    WritePointerNoFence((PVOID volatile*)&port->ParentBus, nullptr);
    return port;
}

// The bus is going away for good. Children that are surprise-removed only lose their parent:
// their own removal deletes them later. Every other child dies with the bus.
static VCB_PAGED NTSTATUS RemoveBus(PDEVICE_OBJECT device, BusDeviceData* bus, PIRP irp)
{
    PAGED_CODE();
    // A surprise removal already disabled the interface.
    if (bus->Header.PnpState != PnpSurpriseRemovePending) {
        DisableBusInterface(bus);
    }
    SetPnpState(&bus->Header, PnpDeleted);
    IoGateWaitForRemove(&bus->Gate);
    // The tap captures into this bus's ports and names this bus: it ends before they go.
    EndTapsOfBus(bus, true);

    // The doomed ports are destroyed once the lock is released: a destruction waits for the
    // requests running inside its port, which may need the lock themselves.
    LIST_ENTRY doomed;
    InitializeListHead(&doomed);
    ExAcquireFastMutex(&bus->ChildListLock);
    while (!IsListEmpty(&bus->ChildList)) {
        PortDeviceData* port = DetachHeadChild(bus);
        if (ReadPnpState(&port->Header) == PnpSurpriseRemovePending) {
            InitializeListHead(&port->ChildLink);
            port->ReportedMissing = TRUE;
        } else {
            bus->ChildCount--;
            InsertTailList(&doomed, &port->ChildLink);
        }
    }
    ExReleaseFastMutex(&bus->ChildListLock);
    while (!IsListEmpty(&doomed)) {
        auto port = CONTAINING_RECORD(RemoveHeadList(&doomed), PortDeviceData, ChildLink);
        DestroyPortDevice(port->Header.Self, port);
    }

    irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = bus->NextLowerDevice;
    NTSTATUS status = PassDown(bus, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

// Every child loses its parent. Those the Plug and Play manager knows get their own removal, which
// deletes them; those it never saw would get none, so they die with the bus.
static VCB_PAGED void SurpriseRemoveBus(BusDeviceData* bus)
{
    PAGED_CODE();
    SetPnpState(&bus->Header, PnpSurpriseRemovePending);
    DisableBusInterface(bus);
    EndTapsOfBus(bus, false);

    LIST_ENTRY unreported;
    InitializeListHead(&unreported);
    ExAcquireFastMutex(&bus->ChildListLock);
    while (!IsListEmpty(&bus->ChildList)) {
        PortDeviceData* port = DetachHeadChild(bus);
        port->ReportedMissing = TRUE;
        if (port->Reported) {
            InitializeListHead(&port->ChildLink);
        } else {
            InsertTailList(&unreported, &port->ChildLink);
        }
    }
    bus->ChildCount = 0;
    ExReleaseFastMutex(&bus->ChildListLock);

    while (!IsListEmpty(&unreported)) {
        auto port = CONTAINING_RECORD(RemoveHeadList(&unreported), PortDeviceData, ChildLink);
        DestroyPortDevice(port->Header.Self, port);
    }
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack,
                                                 BusDeviceData* bus)
{
    PAGED_CODE();
    IoGateAcquire(&bus->Gate);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(bus, irp);
        if (NT_SUCCESS(status)) {
            status = IoSetDeviceInterfaceState(&bus->InterfaceName, TRUE);
            bus->Header.DevicePowerState = PowerDeviceD0;
            SetPnpState(&bus->Header, PnpStarted);
        }
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
        SetPnpState(&bus->Header, PnpRemovePending);
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(bus, irp);
        break;

    case IRP_MN_REMOVE_DEVICE:
        // The remove handshake gives back this request's count itself.
        return RemoveBus(device, bus, irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (bus->Header.PnpState == PnpRemovePending) {
            RestorePnpState(&bus->Header);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(bus, irp);
        break;

    case IRP_MN_STOP_DEVICE:
        IoGateWaitForStop(&bus->Gate);
        SetPnpState(&bus->Header, PnpStopped);
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(bus, irp);
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
        SetPnpState(&bus->Header, PnpStopPending);
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(bus, irp);
        break;

    case IRP_MN_CANCEL_STOP_DEVICE:
        if (bus->Header.PnpState == PnpStopPending) {
            RestorePnpState(&bus->Header);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(bus, irp);
        break;

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            status = QueryBusRelations(bus, irp);
        } else {
            status = PassDown(bus, irp);
        }
        break;

    case IRP_MN_SURPRISE_REMOVAL:
        SurpriseRemoveBus(bus);
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassDown(bus, irp);
        break;

    default:
        status = PassDown(bus, irp);
        break;
    }
    IoGateRelease(&bus->Gate);
    return status;
}
