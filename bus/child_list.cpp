// Linking ports into the bus's child list and out of it, under ChildListLock.
#include "bus/child_list.h"

namespace {

// Resident: it runs at DISPATCH_LEVEL while it holds the walk lock.
void InsertChild(BusDeviceData* bus, PortDeviceData* port)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->ChildWalkLock, &irql);
    InsertTailList(&bus->ChildList, &port->ChildLink);
    KeReleaseSpinLock(&bus->ChildWalkLock, irql);
}

}  // namespace

_Use_decl_annotations_ VCB_PAGED void LinkPort(BusDeviceData* bus, PortDeviceData* port)
{
    PAGED_CODE();
    ExAcquireFastMutex(&bus->ChildListLock);
    port->ParentBus = bus->Header.Self;
    InsertChild(bus, port);
    bus->ChildCount++;
    ExReleaseFastMutex(&bus->ChildListLock);
}

_Use_decl_annotations_ VCB_PAGED void UnlinkPort(PortDeviceData* port)
{
    PAGED_CODE();
    // A bus that went first has already unlinked its children and cleared their parent.
    PDEVICE_OBJECT parent = port->ParentBus;
    if (parent == nullptr) {
        return;
    }
    auto bus = (BusDeviceData*)parent->DeviceExtension;
    ExAcquireFastMutex(&bus->ChildListLock);
    RemoveChild(bus, port);
    bus->ChildCount--;
    ExReleaseFastMutex(&bus->ChildListLock);
}

_Use_decl_annotations_ VCB_PAGED void MarkPortAbsent(PortDeviceData* port)
{
    PAGED_CODE();
    // The bus clears the parent in its own Plug and Play requests, which never run beside this one.
    PDEVICE_OBJECT parent = port->ParentBus;
    if (parent == nullptr) {
        port->Present = FALSE;
        return;
    }
    auto bus = (BusDeviceData*)parent->DeviceExtension;
    ExAcquireFastMutex(&bus->ChildListLock);
    if (port->Present) {
        LineSettingsLeaveCable(bus, port);
        port->Present = FALSE;
    }
    ExReleaseFastMutex(&bus->ChildListLock);
}

_Use_decl_annotations_ void RemoveChild(BusDeviceData* bus, PortDeviceData* port)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->ChildWalkLock, &irql);
    RemoveEntryList(&port->ChildLink);
    KeReleaseSpinLock(&bus->ChildWalkLock, irql);
}

_Use_decl_annotations_ PLIST_ENTRY RemoveHeadChild(BusDeviceData* bus)
{
    KIRQL irql;
    KeAcquireSpinLock(&bus->ChildWalkLock, &irql);
    PLIST_ENTRY entry = RemoveHeadList(&bus->ChildList);
    KeReleaseSpinLock(&bus->ChildWalkLock, irql);
    return entry;
}
