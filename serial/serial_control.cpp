// The serial control requests of a port. A virtual port keeps only the settings that mean
// something without hardware: time-outs, special characters, handshake and flow settings, the
// wait mask and the receive queue size; it purges, reports its status and properties and sends
// an immediate character. The requests that drive a real UART (baud rate, line control, DTR and
// RTS, modem status and control, break, XON/XOFF, FIFO, statistics …) fall to the default, which
// refuses them unless the port emulates them for standard applications (line_settings.cpp).
//
// Every handler below completes its request (the wait may park it instead). Refusals leave
// Information 0. Timeouts, Chars and HandFlow are guarded by QueueLock, the ring's size, counts
// and events by its own Lock; the two are never held together. The handlers are resident since
// they hold spin locks; only the entry is pageable.
#include "driver/handlers.h"
#include "routing/write_routing.h"
#include "serial/events.h"
#include "vcombus/ioctl.h"

namespace {

// The request's buffer and lengths, as the I/O manager hands over a METHOD_BUFFERED control
// request: one system buffer holding the input and receiving the output.
struct ControlBuffer {
    PVOID Data;
    ULONG InputLength;
    ULONG OutputLength;
};

constexpr ULONG kReadTimeoutsForever = MAXULONG;

// The largest receive queue an application may ask for. The queue is non-paged pool, which any
// user who can open a port could otherwise pin in any amount (16 MiB per request, per port);
// 1 MiB is more than eleven seconds of input at 921600 baud, far above what serial programs ask
// of SetupComm, and bytes here arrive at memory speed anyway, so a larger queue buys nothing.
constexpr ULONG kMaxReceiveQueue = 1024 * 1024;

// Capabilities reported to GetCommProperties: what a serial application expects a port to offer.
constexpr ULONG kProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |
                                    SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                    SERIAL_PCF_INTTIMEOUTS;
constexpr ULONG kSettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                                  SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
constexpr USHORT kSettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
constexpr USHORT kSettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                                       SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                       SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
static_assert(kProvCapabilities == 0xFF && kSettableParams == 0x7F && kSettableStopParity == 0x1F07,
              "the properties record applications see");
constexpr ULONG kPurgeAll = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

// Settings under QueueLock: copied whole in either direction.
void CopyUnderQueueLock(PortDeviceData* port, void* destination, const void* source, SIZE_T length)
{
    KIRQL irql;
    KeAcquireSpinLock(&port->QueueLock, &irql);
    RtlCopyMemory(destination, source, length);
    KeReleaseSpinLock(&port->QueueLock, irql);
}

// The ring is never shrunk here: an application asking for less keeps what it has, and the bytes
// held stay. A larger ring starts empty. A queue above the limit is refused as the platform's
// serial driver refuses one it cannot allocate; below it, the storage is charged to the caller's
// process (this runs in the caller's thread), and a failed allocation, for want of quota or of
// pool, leaves the ring as it was.
NTSTATUS SetQueueSize(PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    if (buffer.InputLength < sizeof(SERIAL_QUEUE_SIZE)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    ULONG inSize = ((const SERIAL_QUEUE_SIZE*)buffer.Data)->InSize;
    if (inSize <= RingGetSize(&port->Ring)) {
        return CompleteRequest(irp, STATUS_SUCCESS);
    }
    if (inSize > kMaxReceiveQueue) {
        return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    BOOLEAN resized = RingResize(&port->Ring, inSize, RingChargeCaller);
    // The held bytes went with the old storage: a change of count the held read's interval
    // clock starts on.
    if (resized) {
        WakeReadServiceThread(port);
    }
    return CompleteRequest(irp, resized ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
}

// The characters are written at once, like an untimed write of the port, ahead of any writes held
// for a timed line: an immediate character jumps the transmit queue. Like a write, they leave the
// transmitter empty, unless held writes still keep it busy.
NTSTATUS SendImmediateChar(PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    RouteWrittenBytes((const UCHAR*)buffer.Data, buffer.InputLength, port);
    LineSettingsNoteTransmitted(port, buffer.InputLength);
    // Writes held for a timed line still keep the transmitter busy.
    if (LineTimingOutQueue(port) == 0) {
        RingNoteEvent(&port->Ring, SERIAL_EV_TXEMPTY);
        WakeWaitServiceThread(port);
    }
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS SetTimeouts(PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    if (buffer.InputLength < sizeof(SERIAL_TIMEOUTS)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    auto timeouts = (const SERIAL_TIMEOUTS*)buffer.Data;
    // Return at once with whatever is there, yet wait forever: no read could honour both.
    if (timeouts->ReadIntervalTimeout == kReadTimeoutsForever &&
        timeouts->ReadTotalTimeoutMultiplier == kReadTimeoutsForever &&
        timeouts->ReadTotalTimeoutConstant == kReadTimeoutsForever) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    CopyUnderQueueLock(port, &port->Ring.Timeouts, timeouts, sizeof(SERIAL_TIMEOUTS));
    // The held read is judged by the new time-outs from its next try on: now.
    WakeReadServiceThread(port);
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS GetTimeouts(PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    if (buffer.OutputLength < sizeof(SERIAL_TIMEOUTS)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    CopyUnderQueueLock(port, buffer.Data, &port->Ring.Timeouts, sizeof(SERIAL_TIMEOUTS));
    return CompleteRequest(irp, STATUS_SUCCESS, sizeof(SERIAL_TIMEOUTS));
}

NTSTATUS SetChars(PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    if (buffer.InputLength < sizeof(SERIAL_CHARS)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    CopyUnderQueueLock(port, &port->Ring.Chars, buffer.Data, sizeof(SERIAL_CHARS));
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS GetChars(PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    if (buffer.OutputLength < sizeof(SERIAL_CHARS)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    CopyUnderQueueLock(port, buffer.Data, &port->Ring.Chars, sizeof(SERIAL_CHARS));
    return CompleteRequest(irp, STATUS_SUCCESS, sizeof(SERIAL_CHARS));
}

// Only null stripping acts on the data; the rest is kept for applications that read it back. The
// limits must fit the ring as it is now.
bool HandFlowAcceptable(const SERIAL_HANDFLOW& handFlow, ULONG ringSize)
{
    if ((handFlow.ControlHandShake & SERIAL_CONTROL_INVALID) != 0 || (handFlow.FlowReplace & SERIAL_FLOW_INVALID) != 0) {
        return false;
    }
    if ((handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) {
        return false;
    }
    if (handFlow.XonLimit < 0 || (ULONG)handFlow.XonLimit > ringSize) {
        return false;
    }
    return handFlow.XoffLimit >= 0 && (ULONG)handFlow.XoffLimit <= ringSize;
}

// Pageable: an emulating port's lines follow the new modes, which may tell its partner.
VCB_PAGED NTSTATUS SetHandFlow(PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    PAGED_CODE();
    if (buffer.InputLength < sizeof(SERIAL_HANDFLOW)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    SERIAL_HANDFLOW handFlow;
    RtlCopyMemory(&handFlow, buffer.Data, sizeof(handFlow));
    if (!HandFlowAcceptable(handFlow, RingGetSize(&port->Ring))) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    CopyUnderQueueLock(port, &port->Ring.HandFlow, &handFlow, sizeof(handFlow));
    LineSettingsApplyHandFlow(port, handFlow);
    PartnerWatchNotify(port);
    return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS GetHandFlow(PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    if (buffer.OutputLength < sizeof(SERIAL_HANDFLOW)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    CopyUnderQueueLock(port, buffer.Data, &port->Ring.HandFlow, sizeof(SERIAL_HANDFLOW));
    return CompleteRequest(irp, STATUS_SUCCESS, sizeof(SERIAL_HANDFLOW));
}

// An overrun is reported once: the flag is taken under the ring's lock by the call that reports it.
NTSTATUS GetCommStatus(PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    if (buffer.OutputLength < sizeof(SERIAL_STATUS)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    ULONG waiting = RingAvailableCount(&port->Ring);
    RingAcquireLock(&port->Ring);
    BOOLEAN overrun = port->Ring.Overrun;
    port->Ring.Overrun = FALSE;
    RingReleaseLock(&port->Ring);

    auto status = (SERIAL_STATUS*)buffer.Data;
    RtlZeroMemory(status, sizeof(*status));
    status->Errors = overrun ? SERIAL_ERROR_QUEUEOVERRUN : 0;
    status->AmountInInQueue = waiting;
    status->AmountInOutQueue = LineTimingOutQueue(port);
    return CompleteRequest(irp, STATUS_SUCCESS, sizeof(SERIAL_STATUS));
}

NTSTATUS GetProperties(PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    if (buffer.OutputLength < sizeof(SERIAL_COMMPROP)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    auto properties = (SERIAL_COMMPROP*)buffer.Data;
    RtlZeroMemory(properties, sizeof(*properties));
    properties->PacketLength = sizeof(SERIAL_COMMPROP);
    properties->PacketVersion = 2;
    properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    properties->MaxRxQueue = kMaxReceiveQueue;
    properties->MaxBaud = SERIAL_BAUD_USER;
    properties->ProvSubType = SERIAL_SP_RS232;
    properties->ProvCapabilities = kProvCapabilities;
    properties->SettableParams = kSettableParams;
    properties->SettableBaud = SERIAL_BAUD_USER;
    properties->SettableData = kSettableData;
    properties->SettableStopParity = kSettableStopParity;
    properties->CurrentRxQueue = RingGetSize(&port->Ring);
    return CompleteRequest(irp, STATUS_SUCCESS, sizeof(SERIAL_COMMPROP));
}

// An abort of the receive side ends every pending read, the one the read thread holds included,
// as a close does: a pending read is almost always the held one. Writes wait only on a timed line
// (line_timing.h); there either transmit flag ends them. Information is 4, as serial applications have seen it,
// but only into an output buffer that holds it: the I/O manager copies Information bytes back to
// the caller's buffer, and a shorter one would be overrun.
VCB_PAGED NTSTATUS Purge(PDEVICE_OBJECT deviceObject, PortDeviceData* port, PIRP irp, const ControlBuffer& buffer)
{
    PAGED_CODE();
    if (buffer.InputLength < sizeof(ULONG)) {
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    ULONG flags = *(const ULONG*)buffer.Data;
    if (flags == 0 || (flags & ~kPurgeAll) != 0) {
        return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    }
    if (flags & SERIAL_PURGE_RXABORT) {
        FlushReadQueue(deviceObject);
    }
    // A held write owns its bytes until they have left: clearing the output ends the writes
    // whose bytes it drops, as an abort of the transmit side does.
    if (flags & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)) {
        LineTimingFlush(port);
    }
    if (flags & SERIAL_PURGE_RXCLEAR) {
        RingPurge(&port->Ring);
        WakeReadServiceThread(port);  // a change of count, as above
    }
    LineSettingsNotePurge(port, flags);
    return CompleteRequest(irp, STATUS_SUCCESS, buffer.OutputLength >= sizeof(ULONG) ? sizeof(ULONG) : 0);
}

NTSTATUS EventRequest(PortDeviceData* port, PIRP irp, ULONG code, const ControlBuffer& buffer)
{
    switch (code) {
    case IOCTL_SERIAL_SET_WAIT_MASK:
        if (buffer.InputLength < sizeof(ULONG)) {
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        }
        if ((*(const ULONG*)buffer.Data & kWaitMaskInvalidBits) != 0) {
            return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
        }
        return SetWaitMask(port, irp);
    case IOCTL_SERIAL_GET_WAIT_MASK:
        if (buffer.OutputLength < sizeof(ULONG)) {
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        }
        return GetWaitMask(port, irp);
    default:  // IOCTL_SERIAL_WAIT_ON_MASK
        if (buffer.OutputLength < sizeof(ULONG)) {
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        }
        return WaitOnMask(port, irp);
    }
}

}  // namespace

VCB_PAGED NTSTATUS PortSerialControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    auto port = (PortDeviceData*)deviceObject->DeviceExtension;
    irp->IoStatus.Information = 0;
    if (ReadPnpState(&port->Header) == PnpDeleted) {
        return CompleteNoSuchDevice(irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ControlBuffer buffer{irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                         stack->Parameters.DeviceIoControl.OutputBufferLength};
    switch (code) {
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        return SetQueueSize(port, irp, buffer);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        return SendImmediateChar(port, irp, buffer);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return SetTimeouts(port, irp, buffer);
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return GetTimeouts(port, irp, buffer);
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return EventRequest(port, irp, code, buffer);
    case IOCTL_SERIAL_PURGE:
        return Purge(deviceObject, port, irp, buffer);
    case IOCTL_SERIAL_GET_CHARS:
        return GetChars(port, irp, buffer);
    case IOCTL_SERIAL_SET_CHARS:
        return SetChars(port, irp, buffer);
    case IOCTL_SERIAL_GET_HANDFLOW:
        return GetHandFlow(port, irp, buffer);
    case IOCTL_SERIAL_SET_HANDFLOW:
        return SetHandFlow(port, irp, buffer);
    case IOCTL_SERIAL_GET_COMMSTATUS:
        return GetCommStatus(port, irp, buffer);
    case IOCTL_SERIAL_GET_PROPERTIES:
        return GetProperties(port, irp, buffer);
    case IOCTL_VCOMBUS_WATCH_PARTNER:
        return ServePartnerWatch(port, irp, buffer.Data, buffer.InputLength, buffer.OutputLength);
    default:
        // The UART requests among them: refused unless the port emulates them.
        return LineSettingsRequest(port, irp, code, buffer.Data, buffer.InputLength, buffer.OutputLength);
    }
}
