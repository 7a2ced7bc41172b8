// The UART requests of a port, for standard serial applications. Terminal programs and serial
// libraries read and set the baud rate, line control, handshake and modem lines right after they
// open a port, and give up when the port refuses. A port whose service's Parameters key holds
// EmulateLineSettings = 1 at its open answers them as a null-modem cable would: settings are
// validated as a serial port validates them and read back as set, but pace nothing (bytes move at
// memory speed); DTR and RTS cross over to the partner, whose DSR and DCD follow this side's DTR
// and whose CTS follows its RTS. A hub port's peer is the hub, always ready.
#include "serial/line_settings.h"
#include "serial/pending_queue.h"

#include "driver/handlers.h"
#include "security/registry_utils.h"

namespace {

constexpr ULONG kLastHubPort = 8;
constexpr ULONG kLastPortNumber = 0xFFFFFFFF;
constexpr ULONG kDefaultBaudRate = 9600;
constexpr LONG kModemControlBits =
    SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS | SERIAL_IOC_MCR_OUT1 | SERIAL_IOC_MCR_OUT2 | SERIAL_IOC_MCR_LOOP;
constexpr LONG kLineBits = SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS;
// The modem status register's bits of a peer with both its lines up.
constexpr ULONG kPeerReady = SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE;
static_assert(SERIAL_IOC_MCR_DTR == SERIAL_DTR_STATE && SERIAL_IOC_MCR_RTS == SERIAL_RTS_STATE,
              "the dtr/rts report reads the modem control bits as they are");

// The service's Parameters\EmulateLineSettings; anything but a DWORD 1 leaves the port refusing.
VCB_PAGED BOOLEAN ReadEmulateLineSettings()
{
    PAGED_CODE();
    return RegServiceParameterOn(&DriverRegistryPath, L"EmulateLineSettings");
}

// The port the other end of this port's cable belongs to; 0 for none (port 0, the last odd
// number) and for the hub, whose ports have no partner of their own.
ULONG PartnerNumber(ULONG number)
{
    if (number <= kLastHubPort) {
        return 0;
    }
    if ((number & 1) == 0) {
        return number - 1;
    }
    return number == kLastPortNumber ? 0 : number + 1;
}

// With the bus's child list held, the present partner of a present port, or null. A port that
// was unplugged (while its handles stay open) is on no cable any more.
VCB_PAGED PortDeviceData* FindPartnerLocked(BusDeviceData* bus, PortDeviceData* port, ULONG number)
{
    PAGED_CODE();
    if (number == 0 || !port->Present) {
        return nullptr;
    }
    for (PLIST_ENTRY entry = bus->ChildList.Flink; entry != &bus->ChildList; entry = entry->Flink) {
        auto other = CONTAINING_RECORD(entry, PortDeviceData, ChildLink);
        if (other->PortNumber == number && other->Present) {
            return other;
        }
    }
    return nullptr;
}

BusDeviceData* BusOf(PortDeviceData* port)
{
    // Cleared when the bus lets a surprise-removed port go; the port then belongs to no bus.
    auto parent = (PDEVICE_OBJECT)ReadPointerNoFence((PVOID volatile*)&port->ParentBus);
    return parent == nullptr ? nullptr : (BusDeviceData*)parent->DeviceExtension;
}

// The events a change of `lines` (this side's DTR and RTS) means for the other end of the cable:
// DTR is the other's DSR and DCD, RTS its CTS.
ULONG PartnerEventsOf(LONG lines)
{
    ULONG events = 0;
    if (lines & SERIAL_IOC_MCR_DTR) {
        events |= SERIAL_EV_DSR | SERIAL_EV_RLSD;
    }
    if (lines & SERIAL_IOC_MCR_RTS) {
        events |= SERIAL_EV_CTS;
    }
    return events;
}

// Every bit of one change goes into the partner's ring under one hold of its lock: a wait tried
// in between would otherwise end with only part of what the change meant.
void TellPartnerLocked(PortDeviceData* partner, LONG changed)
{
    RingNoteEvent(&partner->Ring, PartnerEventsOf(changed));
    WakeWaitServiceThread(partner);
}

// Replaces the `mask` bits of the modem control with those of `value`. On a bus the change is
// made under the child list's lock, so that it and its report to the partner are one step
// against the partner's modem status and an unplug (LineSettingsLeaveCable); the partner's ring
// stays alive while the lock is held, since a port is unlinked under it before it is destroyed.
// A watch on the partner hears of every change, and of an open or close (`notifyAlways`) even
// when the lines stay as they were.
VCB_PAGED void ChangeModemControl(PortDeviceData* port, LONG mask, LONG value, bool notifyAlways = false)
{
    PAGED_CODE();
    BusDeviceData* bus = BusOf(port);
    if (bus != nullptr) {
        ExAcquireFastMutex(&bus->ChildListLock);
    }
    LONG old;
    LONG updated;
    do {
        old = ReadNoFence(&port->Lines.ModemControl);
        updated = (old & ~mask) | (value & mask);
    } while (InterlockedCompareExchange(&port->Lines.ModemControl, updated, old) != old);
    LONG changed = (old ^ updated) & kLineBits;
    if (bus != nullptr) {
        PortDeviceData* partner = FindPartnerLocked(bus, port, PartnerNumber(port->PortNumber));
        if (changed != 0 && partner != nullptr) {
            TellPartnerLocked(partner, changed);
        }
        if (old != updated || notifyAlways) {
            PartnerWatchNotifyLocked(port, partner);
        }
        ExReleaseFastMutex(&bus->ChildListLock);
    }
}

// The lines the handshake modes drive: DTR is up under DTR control and under DTR handshake (the
// receive ring never asks the sender to hold off); RTS likewise, except when it toggles with
// transmission, which never waits here and so leaves it down.
LONG LinesOfHandFlow(const SERIAL_HANDFLOW& handFlow)
{
    LONG lines = 0;
    ULONG dtrMode = handFlow.ControlHandShake & SERIAL_DTR_MASK;
    if (dtrMode == SERIAL_DTR_CONTROL || dtrMode == SERIAL_DTR_HANDSHAKE) {
        lines |= SERIAL_IOC_MCR_DTR;
    }
    ULONG rtsMode = handFlow.FlowReplace & SERIAL_RTS_MASK;
    if (rtsMode == SERIAL_RTS_CONTROL || rtsMode == SERIAL_RTS_HANDSHAKE) {
        lines |= SERIAL_IOC_MCR_RTS;
    }
    return lines;
}

VCB_PAGED ULONG ModemStatus(PortDeviceData* port)
{
    PAGED_CODE();
    ULONG number = port->PortNumber;
    if (number >= 1 && number <= kLastHubPort) {
        return kPeerReady;
    }
    BusDeviceData* bus = BusOf(port);
    if (bus == nullptr) {
        return 0;
    }
    ULONG status = 0;
    ExAcquireFastMutex(&bus->ChildListLock);
    PortDeviceData* partner = FindPartnerLocked(bus, port, PartnerNumber(number));
    if (partner != nullptr) {
        LONG lines = ReadNoFence(&partner->Lines.ModemControl);
        if (lines & SERIAL_IOC_MCR_DTR) {
            status |= SERIAL_DSR_STATE | SERIAL_DCD_STATE;
        }
        if (lines & SERIAL_IOC_MCR_RTS) {
            status |= SERIAL_CTS_STATE;
        }
    }
    ExReleaseFastMutex(&bus->ChildListLock);
    return status;
}

// A serial port refuses the combinations its UART can't frame: 1.5 stop bits exist only with 5
// data bits, 2 stop bits only with 6 to 8.
bool LineControlAcceptable(const SERIAL_LINE_CONTROL& line)
{
    if (line.WordLength < 5 || line.WordLength > 8 || line.Parity > SPACE_PARITY) {
        return false;
    }
    switch (line.StopBits) {
    case STOP_BIT_1:
        return true;
    case STOP_BITS_1_5:
        return line.WordLength == 5;
    case STOP_BITS_2:
        return line.WordLength != 5;
    default:
        return false;
    }
}

void CopyUnderQueueLock(PortDeviceData* port, void* destination, const void* source, SIZE_T length)
{
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    RtlCopyMemory(destination, source, length);
    KeReleaseSpinLock(&port->QueueLock, irql);
}

ULONG DtrMode(PortDeviceData* port)
{
    return ReadULongNoFence(&port->Ring.HandFlow.ControlHandShake) & SERIAL_DTR_MASK;
}

ULONG RtsMode(PortDeviceData* port)
{
    return ReadULongNoFence(&port->Ring.HandFlow.FlowReplace) & SERIAL_RTS_MASK;
}

// DTR and RTS are the application's to set only while no handshake drives them.
VCB_PAGED NTSTATUS SetLine(PortDeviceData* port, PIRP irp, LONG line, bool raise)
{
    PAGED_CODE();
    bool driven = line == SERIAL_IOC_MCR_DTR
                      ? DtrMode(port) == SERIAL_DTR_HANDSHAKE
                      : RtsMode(port) == SERIAL_RTS_HANDSHAKE || RtsMode(port) == SERIAL_TRANSMIT_TOGGLE;
    if (driven) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    ChangeModemControl(port, line, raise ? line : 0);
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS ReturnULong(PIRP irp, PVOID data, ULONG outputLength, ULONG value)
{
    if (outputLength < sizeof(ULONG)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    *(PULONG)data = value;
    return CompleteRequest(irp, STATUS_SUCCESS, sizeof(ULONG));
}

VCB_PAGED NTSTATUS SetBaudRate(PortDeviceData* port, PIRP irp, PVOID data, ULONG inputLength)
{
    PAGED_CODE();
    if (inputLength < sizeof(SERIAL_BAUD_RATE)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    ULONG baudRate = ((const SERIAL_BAUD_RATE*)data)->BaudRate;
    if (baudRate == 0) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    CopyUnderQueueLock(port, &port->Lines.BaudRate, &baudRate, sizeof(baudRate));
    PartnerWatchNotify(port);
    return CompleteRequest(irp, STATUS_SUCCESS);
}

VCB_PAGED NTSTATUS SetLineControl(PortDeviceData* port, PIRP irp, PVOID data, ULONG inputLength)
{
    PAGED_CODE();
    if (inputLength < sizeof(SERIAL_LINE_CONTROL)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    SERIAL_LINE_CONTROL line;
    RtlCopyMemory(&line, data, sizeof(line));
    if (!LineControlAcceptable(line)) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    CopyUnderQueueLock(port, &port->Lines.LineControl, &line, sizeof(line));
    PartnerWatchNotify(port);
    return CompleteRequest(irp, STATUS_SUCCESS);
}

// A break started while one is on is the same break: only the start is counted.
VCB_PAGED void SetBreak(PortDeviceData* port, bool on)
{
    PAGED_CODE();
    BOOLEAN was = ReadBooleanNoFence(&port->Lines.BreakOn);
    WriteBooleanNoFence(&port->Lines.BreakOn, on);
    if (on && !was) {
        InterlockedIncrement(&port->Lines.BreakCount);
    }
    if ((bool)was != on) {
        PartnerWatchNotify(port);
    }
}

NTSTATUS GetStats(PortDeviceData* port, PIRP irp, PVOID data, ULONG outputLength)
{
    if (outputLength < sizeof(SERIALPERF_STATS)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    auto stats = (SERIALPERF_STATS*)data;
    RtlZeroMemory(stats, sizeof(*stats));
    RingAcquireLock(&port->Ring);
    stats->ReceivedCount = port->Ring.ReceivedCount;
    RingReleaseLock(&port->Ring);
    stats->TransmittedCount = (ULONG)ReadNoFence(&port->Lines.TransmittedCount);
    return CompleteRequest(irp, STATUS_SUCCESS, sizeof(SERIALPERF_STATS));
}

void ClearStats(PortDeviceData* port)
{
    RingAcquireLock(&port->Ring);
    port->Ring.ReceivedCount = 0;
    RingReleaseLock(&port->Ring);
    InterlockedExchange(&port->Lines.TransmittedCount, 0);
}

// The UART requests with their buffer checks; codes that are not UART requests are refused.
VCB_PAGED NTSTATUS EmulatedRequest(PortDeviceData* port, PIRP irp, ULONG code, PVOID data, ULONG inputLength,
                                   ULONG outputLength)
{
    PAGED_CODE();
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return SetBaudRate(port, irp, data, inputLength);
    case IOCTL_SERIAL_GET_BAUD_RATE: {
        if (outputLength < sizeof(SERIAL_BAUD_RATE)) {
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        }
        CopyUnderQueueLock(port, data, &port->Lines.BaudRate, sizeof(SERIAL_BAUD_RATE));
        return CompleteRequest(irp, STATUS_SUCCESS, sizeof(SERIAL_BAUD_RATE));
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return SetLineControl(port, irp, data, inputLength);
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        if (outputLength < sizeof(SERIAL_LINE_CONTROL)) {
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        }
        CopyUnderQueueLock(port, data, &port->Lines.LineControl, sizeof(SERIAL_LINE_CONTROL));
        return CompleteRequest(irp, STATUS_SUCCESS, sizeof(SERIAL_LINE_CONTROL));
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
        SetBreak(port, code == IOCTL_SERIAL_SET_BREAK_ON);
        return CompleteRequest(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        return SetLine(port, irp, SERIAL_IOC_MCR_DTR, code == IOCTL_SERIAL_SET_DTR);
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        return SetLine(port, irp, SERIAL_IOC_MCR_RTS, code == IOCTL_SERIAL_SET_RTS);
    case IOCTL_SERIAL_GET_DTRRTS:
        return ReturnULong(irp, data, outputLength, (ULONG)(ReadNoFence(&port->Lines.ModemControl) & kLineBits));
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        return ReturnULong(irp, data, outputLength, (ULONG)ReadNoFence(&port->Lines.ModemControl));
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
        if (inputLength < sizeof(ULONG)) {
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        }
        ChangeModemControl(port, kModemControlBits, (LONG)*(const ULONG*)data);
        return CompleteRequest(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        if (outputLength < sizeof(ULONG)) {
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        }
        return ReturnULong(irp, data, outputLength, ModemStatus(port));
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        // No FIFO to enable or reset: the value is checked for presence and dropped.
        if (inputLength < sizeof(ULONG)) {
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        }
        return CompleteRequest(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_CONFIG_SIZE:
        // No provider-specific configuration follows the standard one.
        return ReturnULong(irp, data, outputLength, 0);
    case IOCTL_SERIAL_GET_STATS:
        return GetStats(port, irp, data, outputLength);
    case IOCTL_SERIAL_CLEAR_STATS:
        ClearStats(port);
        return CompleteRequest(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_RESET_DEVICE:
        // Writes never wait, so there is no transmission to hold or resume, and nothing to reset.
        return CompleteRequest(irp, STATUS_SUCCESS);
    default:
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
}

}  // namespace

_Use_decl_annotations_ void LineSettingsInitialize(PortDeviceData* port)
{
    port->Lines.Emulated = FALSE;
    port->Lines.BreakOn = FALSE;
    port->Lines.ModemControl = 0;
    port->Lines.BaudRate = kDefaultBaudRate;
    port->Lines.LineControl.WordLength = 8;
    port->Lines.LineControl.Parity = NO_PARITY;
    port->Lines.LineControl.StopBits = STOP_BIT_1;
    port->Lines.TransmittedCount = 0;
    port->Lines.BreakCount = 0;
    port->Lines.TxPurgeCount = 0;
    port->Lines.RxPurgeCount = 0;
    PartnerWatchInitialize(port);
}

_Use_decl_annotations_ VCB_PAGED void LineSettingsOpen(PortDeviceData* port)
{
    PAGED_CODE();
    BOOLEAN emulate = ReadEmulateLineSettings();
    WriteBooleanNoFence(&port->Lines.Emulated, emulate);
    ClearStats(port);
    WriteBooleanNoFence(&port->Lines.BreakOn, FALSE);
    LONG lines = 0;
    if (emulate) {
        SERIAL_HANDFLOW handFlow;
        CopyUnderQueueLock(port, &handFlow, &port->Ring.HandFlow, sizeof(handFlow));
        lines = LinesOfHandFlow(handFlow);
    }
    ChangeModemControl(port, kLineBits, lines, true);
}

_Use_decl_annotations_ VCB_PAGED void LineSettingsClose(PortDeviceData* port)
{
    PAGED_CODE();
    WriteBooleanNoFence(&port->Lines.BreakOn, FALSE);
    PartnerWatchFlush(port);
    ChangeModemControl(port, kLineBits, 0, true);
}

_Use_decl_annotations_ VCB_PAGED void LineSettingsApplyHandFlow(PortDeviceData* port, const SERIAL_HANDFLOW& handFlow)
{
    PAGED_CODE();
    if (ReadBooleanNoFence(&port->Lines.Emulated)) {
        ChangeModemControl(port, kLineBits, LinesOfHandFlow(handFlow));
    }
}

_Use_decl_annotations_ VCB_PAGED void LineSettingsLeaveCable(BusDeviceData* bus, PortDeviceData* port)
{
    PAGED_CODE();
    PortDeviceData* partner = FindPartnerLocked(bus, port, PartnerNumber(port->PortNumber));
    if (partner == nullptr) {
        return;
    }
    PartnerWatchLeaveCable(port, partner);
    LONG ours = ReadNoFence(&port->Lines.ModemControl) & kLineBits;
    LONG theirs = ReadNoFence(&partner->Lines.ModemControl) & kLineBits;
    if (ours != 0) {
        TellPartnerLocked(partner, ours);
    }
    if (theirs != 0) {
        TellPartnerLocked(port, theirs);
    }
}

_Use_decl_annotations_ VCB_PAGED void LineSettingsNotePurge(PortDeviceData* port, ULONG flags)
{
    PAGED_CODE();
    if ((flags & (SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)) == 0) {
        return;
    }
    if (flags & SERIAL_PURGE_TXCLEAR) {
        InterlockedIncrement(&port->Lines.TxPurgeCount);
    }
    if (flags & SERIAL_PURGE_RXCLEAR) {
        InterlockedIncrement(&port->Lines.RxPurgeCount);
    }
    PartnerWatchNotify(port);
}

BusDeviceData* LineSettingsBusOf(PortDeviceData* port) { return BusOf(port); }

_Use_decl_annotations_ VCB_PAGED PortDeviceData* LineSettingsFindPartnerLocked(BusDeviceData* bus, PortDeviceData* port)
{
    PAGED_CODE();
    return FindPartnerLocked(bus, port, PartnerNumber(port->PortNumber));
}

_Use_decl_annotations_ void LineSettingsNoteTransmitted(PortDeviceData* port, ULONG length)
{
    InterlockedExchangeAdd(&port->Lines.TransmittedCount, (LONG)length);
}

_Use_decl_annotations_ VCB_PAGED NTSTATUS LineSettingsRequest(PortDeviceData* port, PIRP irp, ULONG code, PVOID data,
                                                              ULONG inputLength, ULONG outputLength)
{
    PAGED_CODE();
    if (!ReadBooleanNoFence(&port->Lines.Emulated)) {
        // A port without hardware has no line to set or query.
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    return EmulatedRequest(port, irp, code, data, inputLength, outputLength);
}
