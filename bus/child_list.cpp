// Linking ports into the bus's child list and out of it, under ChildListLock.
#include "bus/child_list.h"

_Use_decl_annotations_ VCB_PAGED void LinkPort(BusDeviceData* bus, PortDeviceData* port)
{
    PAGED_CODE();
    ExAcquireFastMutex(&bus->ChildListLock);
    port->ParentBus = bus->Header.Self;
    InsertTailList(&bus->ChildList, &port->ChildLink);
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
    RemoveEntryList(&port->ChildLink);
    bus->ChildCount--;
    ExReleaseFastMutex(&bus->ChildListLock);
}
