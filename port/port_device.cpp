// Creation and destruction of a port's insides: the record's header and presence, both pending
// queues with their service threads, and the receive ring. The bus only links and unlinks the
// port (bus/child_list.h).
#include "port/port_device.h"

#include "bus/child_list.h"
#include "driver/gate.h"
#include "routing/write_routing.h"

namespace {

// Resident: a producer at DISPATCH_LEVEL (the tap's capture) stores paced blocks too.
void WakeOnHalfStored(ReceiveRing* ring)
{
    PortDeviceData* port = CONTAINING_RECORD(ring, PortDeviceData, Ring);
    WakeReadServiceThread(port);
    WakeWaitServiceThread(port);
}

}  // namespace

_Use_decl_annotations_ VCB_PAGED NTSTATUS InitializePortDevice(PDEVICE_OBJECT portDevice, BusDeviceData* bus)
{
    PAGED_CODE();
    auto port = (PortDeviceData*)portDevice->DeviceExtension;
    port->Header.Self = portDevice;
    port->Header.IsFdo = FALSE;
    port->Header.IsFilter = FALSE;
    port->Present = TRUE;
    port->Reported = FALSE;
    port->ReportedMissing = FALSE;
    PortGateInitialize(&port->Gate);
    InitializeDeliveryTarget(port);

    port->CurrentReadIrp = nullptr;
    port->CurrentWaitIrp = nullptr;
    port->AbortCurrentRead = FALSE;
    port->AbortCurrentWait = FALSE;
    KeInitializeSpinLock(&port->QueueLock);
    // A port without its service threads would take reads and waits it never completes: the
    // caller fails the plug-in instead, and nothing of this setup is left running.
    NTSTATUS status = StartWaitQueue(portDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = StartReadQueue(portDevice);
    if (!NT_SUCCESS(status)) {
        StopWaitQueue(portDevice);
        return status;
    }
    // A ring without storage is tolerable: every open sizes it again.
    RingInitialize(&port->Ring);  // always the default 4096 bytes
    port->Ring.HalfStored = WakeOnHalfStored;
    LineSettingsInitialize(port);
    LineTimingInitialize(port);

    port->Header.PnpState = PnpNotStarted;
    port->Header.PreviousPnpState = PnpNotStarted;
    port->Header.DevicePowerState = PowerDeviceD3;
    port->Header.SystemPowerState = PowerSystemWorking;

    // Reads, writes and the serial control requests take their data from the system buffer.
    portDevice->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    // Finished before the port is linked: from then on a relations answer running on another
    // thread may hand it to the Plug and Play manager, which must find it initialised and must
    // not race this update of Flags.
    portDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    LinkPort(bus, port);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS DestroyPortDevice(PDEVICE_OBJECT portDevice, PortDeviceData* port)
{
    PAGED_CODE();
    // Handles may outlive the port (after a surprise removal): their requests must find it
    // deleted before its ring and queues go, and those already inside must have left.
    SetPnpState(&port->Header, PnpDeleted);
    // HardwareIds doubles as the sign that the port's resources are still held.
    if (port->HardwareIds != nullptr) {
        PortGateWaitForDestroy(&port->Gate);
        // No request is inside any more, so none can park a watch after this.
        PartnerWatchFlush(port);
        ExFreePoolWithTag(port->HardwareIds, kPoolTag);
        port->HardwareIds = nullptr;
        // Unlinked by the caller; a writer that found the port before finishes its delivery.
        RetireDeliveryTarget(port);
        LineTimingStop(port);
        StopWaitQueue(portDevice);
        StopReadQueue(portDevice);
        RingFree(&port->Ring);
    }
    IoDeleteDevice(portDevice);
    return STATUS_SUCCESS;
}
