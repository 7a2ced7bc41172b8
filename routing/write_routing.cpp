// Write routing. A virtual port has no transmitter: what an application writes is delivered at
// once, in the writer's thread, to the port its number routes to (the null-modem partner, or on
// the hub the master port), or handed to the real serial port through the tap. A write never
// pends and always reports all its bytes written, whatever became of them; only a pair port whose
// line is timed holds its writes for the line instead (serial/line_timing.h).
//
// The target is looked up under the bus's ChildListLock but filled outside it: a paced block
// sleeps between its halves, and no writer may hold up the whole bus for that. The target's
// DeliveryCount, taken under the lock, keeps its ring alive until the delivery is done.
#include "routing/write_routing.h"

#include "driver/handlers.h"
#include "routing/injection.h"

namespace {

constexpr ULONG kLastHubPort = 8;
constexpr ULONG kLastPortNumber = 0xFFFFFFFF;

// The first present port with `number` in the bus's child list, with a delivery reference held,
// or null. A writer that has been unplugged (it stays linked while its handles are open) has no
// line to anyone any more, and an unplugged port receives nothing.
VCB_PAGED PortDeviceData* FindDeliveryTarget(BusDeviceData* bus, PortDeviceData* writer, ULONG number)
{
    PAGED_CODE();
    PortDeviceData* target = nullptr;
    ExAcquireFastMutex(&bus->ChildListLock);
    if (writer->Present) {
        for (PLIST_ENTRY entry = bus->ChildList.Flink; entry != &bus->ChildList; entry = entry->Flink) {
            auto port = CONTAINING_RECORD(entry, PortDeviceData, ChildLink);
            if (port->PortNumber == number && port->Present) {
                InterlockedIncrement(&port->DeliveryCount);
                target = port;
                break;
            }
        }
    }
    ExReleaseFastMutex(&bus->ChildListLock);
    return target;
}

void ReleaseDeliveryTarget(PortDeviceData* target)
{
    if (InterlockedDecrement(&target->DeliveryCount) == 0) {
        KeSetEvent(&target->DeliveriesDone, IO_NO_INCREMENT, FALSE);
    }
}

VCB_PAGED ULONG Deliver(BusDeviceData* bus, PortDeviceData* writer, ULONG number, const UCHAR* bytes, ULONG length)
{
    PAGED_CODE();
    PortDeviceData* target = FindDeliveryTarget(bus, writer, number);
    if (target == nullptr) {
        return 0;
    }
    ULONG stored = RingWrite(&target->Ring, bytes, length);
    // The bytes, and the receive events they raised, may let the target's parked read and wait
    // complete. Woken while the delivery reference still keeps the target alive.
    WakeReadServiceThread(target);
    WakeWaitServiceThread(target);
    ReleaseDeliveryTarget(target);
    return stored;
}

// Whether the writer is still on the bus at all; the hub's path to the real port asks this too.
VCB_PAGED bool WriterPresent(BusDeviceData* bus, PortDeviceData* writer)
{
    PAGED_CODE();
    ExAcquireFastMutex(&bus->ChildListLock);
    bool present = writer->Present != FALSE;
    ExReleaseFastMutex(&bus->ChildListLock);
    return present;
}

}  // namespace

_Use_decl_annotations_ VCB_PAGED ULONG RouteWrittenBytes(const UCHAR* bytes, ULONG length, PortDeviceData* writer,
                                                          PIRP request)
{
    PAGED_CODE();
    // Cleared when the bus lets a surprise-removed port go; the port then belongs to no bus.
    auto parent = (PDEVICE_OBJECT)ReadPointerNoFence((PVOID volatile*)&writer->ParentBus);
    if (parent == nullptr) {
        return 0;
    }
    auto bus = (BusDeviceData*)parent->DeviceExtension;
    ULONG number = writer->PortNumber;

    if (number > kLastHubPort) {
        // Null-modem pairs: odd n with n + 1. The last odd number has no partner.
        if ((number & 1) == 0) {
            return Deliver(bus, writer, number - 1, bytes, length);
        }
        if (number == kLastPortNumber) {
            return 0;
        }
        return Deliver(bus, writer, number + 1, bytes, length);
    }
    // Port 0 belongs to no group; the hub routes only while a tap is attached.
    if (number == 0 || ReadNoFence(&TapCount) == 0) {
        return 0;
    }

    // The routing fields are plain stores by the routing configuration; a change applies from the
    // next write, and a write racing with it may see either value.
    UCHAR flag = ReadUCharNoFence(&bus->PortFlags[number - 1]);
    if (ReadUCharNoFence(&bus->RealPortMode) != 0) {
        // In this mode a hub port's bytes go to the real port or nowhere, never to another port;
        // only the flag value 1 selects the real port.
        if (flag == 1 && WriterPresent(bus, writer)) {
            auto tap = (PDEVICE_OBJECT)ReadPointerNoFence((PVOID volatile*)&bus->TapDevice);
            if (tap != nullptr) {
                InjectWrite(tap, bytes, length, request);
            }
        }
        return 0;
    }
    ULONG master = ReadULongNoFence(&bus->MasterPortNumber);
    if (master == 0 || master == number || flag == 0) {
        return 0;
    }
    return Deliver(bus, writer, master, bytes, length);
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS PortWrite(PortDeviceData* port, PIRP irp)
{
    PAGED_CODE();
    if (LineTimingHoldsWrites(port)) {
        return LineTimingQueueWrite(port, irp);
    }
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    RouteWrittenBytes((const UCHAR*)irp->AssociatedIrp.SystemBuffer, length, port, irp);
    LineSettingsNoteTransmitted(port, length);

    // The bytes have left: a wait for the transmit-empty event ends after every write, whether
    // the bytes reached anyone or not.
    RingNoteEvent(&port->Ring, SERIAL_EV_TXEMPTY);
    WakeWaitServiceThread(port);
    return CompleteRequest(irp, STATUS_SUCCESS, length);
}

_Use_decl_annotations_ void InitializeDeliveryTarget(PortDeviceData* port)
{
    port->DeliveryCount = 1;
    KeInitializeEvent(&port->DeliveriesDone, NotificationEvent, FALSE);
}

_Use_decl_annotations_ void RetireDeliveryTarget(PortDeviceData* port)
{
    // Unlinked: no writer can find the port any more, so the count only falls from here.
    if (InterlockedDecrement(&port->DeliveryCount) != 0) {
        KeWaitForSingleObject(&port->DeliveriesDone, Executive, KernelMode, FALSE, nullptr);
    }
}
