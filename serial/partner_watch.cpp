// The partner watch. What a bridge needs to carry a line elsewhere is what the application at
// the other end of the cable set: its baud rate, line control, DTR and RTS, break, handshake and
// purges. Every change of those on a port answers the watch parked on its partner; a watch whose
// caller has not seen the latest generation is answered at once, so nothing falls between two
// watches. Changes and parking both happen under the bus's ChildListLock, which is what keeps a
// change from slipping in between a watch's test and its parking.
#include "serial/partner_watch.h"

#include "device.h"
#include "driver/handlers.h"
#include "vcombus/ioctl.h"

namespace {

// Driver-wide, so that a partner plugged in anew never repeats a generation its watcher saw.
volatile LONG WatchGenerationCounter;

ULONG NextGeneration()
{
    ULONG generation;
    do {
        generation = (ULONG)InterlockedIncrement(&WatchGenerationCounter);
    } while (generation == 0);
    return generation;
}

PortDeviceData* PortOfWatch(PIO_CSQ csq) { return CONTAINING_RECORD(csq, PortDeviceData, Lines.Watch.Csq); }

VOID NTAPI WatchInsertIrp(PIO_CSQ csq, PIRP irp)
{
    InsertTailList(&PortOfWatch(csq)->Lines.Watch.List, &irp->Tail.Overlay.ListEntry);
}

VOID NTAPI WatchRemoveIrp(PIO_CSQ csq, PIRP irp)
{
    UNREFERENCED_PARAMETER(csq);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
}

PIRP NTAPI WatchPeekNextIrp(PIO_CSQ csq, PIRP irp, PVOID peekContext)
{
    UNREFERENCED_PARAMETER(peekContext);
    PLIST_ENTRY head = &PortOfWatch(csq)->Lines.Watch.List;
    PLIST_ENTRY next = irp == nullptr ? head->Flink : irp->Tail.Overlay.ListEntry.Flink;
    return next == head ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
}

VOID NTAPI WatchAcquireLock(PIO_CSQ csq, PKIRQL irql) { KeAcquireSpinLock(&PortOfWatch(csq)->Lines.Watch.Lock, irql); }

VOID NTAPI WatchReleaseLock(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&PortOfWatch(csq)->Lines.Watch.Lock, irql); }

VOID NTAPI WatchCompleteCanceledIrp(PIO_CSQ csq, PIRP irp)
{
    UNREFERENCED_PARAMETER(csq);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Resident: it holds the queue's spin lock.
BOOLEAN WatchParked(PartnerWatch& watch)
{
    KIRQL irql;
    KeAcquireSpinLock(&watch.Lock, &irql);
    BOOLEAN parked = !IsListEmpty(&watch.List);
    KeReleaseSpinLock(&watch.Lock, irql);
    return parked;
}

// What `watcher` is told of `partner` (null: none on the cable), with ChildListLock held.
void FillState(PortDeviceData* watcher, PortDeviceData* partner, PartnerLineState* state)
{
    RtlZeroMemory(state, sizeof(*state));
    state->Size = sizeof(PartnerLineState);
    state->Generation = watcher->Lines.Watch.PartnerGeneration;
    if (partner == nullptr) {
        return;
    }
    LineSettings& lines = partner->Lines;
    KIRQL irql;
    KeAcquireSpinLock(&partner->QueueLock, &irql);
    state->BaudRate = lines.BaudRate;
    state->WordLength = lines.LineControl.WordLength;
    state->Parity = lines.LineControl.Parity;
    state->StopBits = lines.LineControl.StopBits;
    state->ControlHandShake = partner->Ring.HandFlow.ControlHandShake;
    state->FlowReplace = partner->Ring.HandFlow.FlowReplace;
    KeReleaseSpinLock(&partner->QueueLock, irql);
    state->Flags = VCOMBUS_PARTNER_PRESENT;
    if (ReadBooleanNoFence(&partner->Ring.Enabled)) {
        state->Flags |= VCOMBUS_PARTNER_OPEN;
    }
    if (ReadBooleanNoFence(&lines.BreakOn)) {
        state->Flags |= VCOMBUS_PARTNER_BREAK;
    }
    state->ModemControl = (ULONG)ReadNoFence(&lines.ModemControl);
    state->BreakCount = (ULONG)ReadNoFence(&lines.BreakCount);
    state->TxPurgeCount = (ULONG)ReadNoFence(&lines.TxPurgeCount);
    state->RxPurgeCount = (ULONG)ReadNoFence(&lines.RxPurgeCount);
}

// A new generation for `watcher`, and its parked watch answered with it. ChildListLock held;
// completing under a fast mutex is allowed (no spin lock is held).
void AnswerWatchLocked(PortDeviceData* watcher, PortDeviceData* partner)
{
    watcher->Lines.Watch.PartnerGeneration = NextGeneration();
    PIRP irp = IoCsqRemoveNextIrp(&watcher->Lines.Watch.Csq, nullptr);
    if (irp == nullptr) {
        return;
    }
    FillState(watcher, partner, (PartnerLineState*)irp->AssociatedIrp.SystemBuffer);
    CompleteRequest(irp, STATUS_SUCCESS, sizeof(PartnerLineState));
}

}  // namespace

_Use_decl_annotations_ void PartnerWatchInitialize(PortDeviceData* port)
{
    PartnerWatch& watch = port->Lines.Watch;
    KeInitializeSpinLock(&watch.Lock);
    InitializeListHead(&watch.List);
    IoCsqInitialize(&watch.Csq, WatchInsertIrp, WatchRemoveIrp, WatchPeekNextIrp, WatchAcquireLock, WatchReleaseLock,
                    WatchCompleteCanceledIrp);
    watch.PartnerGeneration = NextGeneration();
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS ServePartnerWatch(PortDeviceData* port, PIRP irp, PVOID data,
                                                              ULONG inputLength, ULONG outputLength)
{
    PAGED_CODE();
    if (inputLength < sizeof(PartnerWatchRequest) || outputLength < sizeof(PartnerLineState)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    PartnerWatchRequest request;
    RtlCopyMemory(&request, data, sizeof(request));
    if (request.Size != sizeof(PartnerWatchRequest)) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    BusDeviceData* bus = LineSettingsBusOf(port);
    if (bus == nullptr) {
        return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
    }
    ExAcquireFastMutex(&bus->ChildListLock);
    PartnerWatch& watch = port->Lines.Watch;
    if (request.Generation != watch.PartnerGeneration) {
        FillState(port, LineSettingsFindPartnerLocked(bus, port), (PartnerLineState*)data);
        ExReleaseFastMutex(&bus->ChildListLock);
        return CompleteRequest(irp, STATUS_SUCCESS, sizeof(PartnerLineState));
    }
    // Only parking adds to the list, always under ChildListLock: the test stays true until the
    // insertion.
    if (WatchParked(watch)) {
        ExReleaseFastMutex(&bus->ChildListLock);
        return CompleteRequest(irp, STATUS_DEVICE_BUSY);
    }
    IoCsqInsertIrp(&watch.Csq, irp, nullptr);
    ExReleaseFastMutex(&bus->ChildListLock);
    return STATUS_PENDING;
}

_Use_decl_annotations_ VCB_PAGED void PartnerWatchNotify(PortDeviceData* port)
{
    PAGED_CODE();
    BusDeviceData* bus = LineSettingsBusOf(port);
    if (bus == nullptr) {
        return;
    }
    ExAcquireFastMutex(&bus->ChildListLock);
    PortDeviceData* partner = LineSettingsFindPartnerLocked(bus, port);
    PartnerWatchNotifyLocked(port, partner);
    ExReleaseFastMutex(&bus->ChildListLock);
}

_Use_decl_annotations_ VCB_PAGED void PartnerWatchNotifyLocked(PortDeviceData* port, PortDeviceData* partner)
{
    PAGED_CODE();
    if (partner != nullptr) {
        AnswerWatchLocked(partner, port);
    }
}

_Use_decl_annotations_ VCB_PAGED void PartnerWatchLeaveCable(PortDeviceData* port, PortDeviceData* partner)
{
    PAGED_CODE();
    AnswerWatchLocked(port, nullptr);
    AnswerWatchLocked(partner, nullptr);
}

_Use_decl_annotations_ void PartnerWatchFlush(PortDeviceData* port)
{
    PIRP irp;
    while ((irp = IoCsqRemoveNextIrp(&port->Lines.Watch.Csq, nullptr)) != nullptr) {
        WatchCompleteCanceledIrp(&port->Lines.Watch.Csq, irp);
    }
}
