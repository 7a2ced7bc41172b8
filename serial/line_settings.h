// Line settings a port keeps for standard serial applications when the service's Parameters key
// asks for them (EmulateLineSettings = 1, read at each open): baud rate, line control, modem lines
// and statistics, answered as a null-modem cable would. Without it the port refuses them.
#pragma once
#include "kernel.h"
#include "serial/partner_watch.h"

struct PortDeviceData;
struct BusDeviceData;

struct LineSettings {
    // Whether this port answers the UART requests; set by each open, read without a lock.
    BOOLEAN Emulated;
    // Set by break on, cleared by break off and by close; a plain aligned byte.
    BOOLEAN BreakOn;
    // SERIAL_IOC_MCR_* as the application set them (DTR, RTS, OUT1, OUT2, LOOP). Changed by
    // compare-exchange under the bus's ChildListLock, so that each change is reported to the
    // partner exactly once and no unplug falls between a change and its report; read by the
    // partner under the same lock.
    volatile LONG ModemControl;
    // Bytes move at memory speed whatever they say, unless the line is timed (line_timing.h),
    // which reads them for each write it sends. QueueLock.
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    // Bytes written by the port (writes and immediate characters); the ring counts those it
    // received.
    volatile LONG TransmittedCount;
    // Breaks started and purges of each direction, for the partner's watch; they only grow.
    volatile LONG BreakCount;
    volatile LONG TxPurgeCount;
    volatile LONG RxPurgeCount;
    PartnerWatch Watch;
};

// 9600 baud, 8 data bits, no parity, 1 stop bit, lines down; once, when the port is created.
_IRQL_requires_max_(APC_LEVEL) void LineSettingsInitialize(PortDeviceData* port);

// An open reads EmulateLineSettings, clears the statistics and, when emulating, raises DTR and RTS
// as the handshake settings say; a close drops DTR, RTS and break. The partner hears of each
// change of DTR or RTS.
_IRQL_requires_(PASSIVE_LEVEL) void LineSettingsOpen(PortDeviceData* port);
_IRQL_requires_(PASSIVE_LEVEL) void LineSettingsClose(PortDeviceData* port);

// The port leaves its cable (unplugged, ejected, or its bus going) while still present, with the
// bus's ChildListLock held: each end sees the lines the other had raised fall, with their events,
// as when the cable is pulled out.
_IRQL_requires_(APC_LEVEL) void LineSettingsLeaveCable(BusDeviceData* bus, PortDeviceData* port);

// The handshake settings were replaced: an emulating port sets DTR and RTS by their modes.
_IRQL_requires_(PASSIVE_LEVEL) void LineSettingsApplyHandFlow(PortDeviceData* port, const SERIAL_HANDFLOW& handFlow);

// Counts bytes the port sent.
_IRQL_requires_max_(DISPATCH_LEVEL) void LineSettingsNoteTransmitted(PortDeviceData* port, ULONG length);

// A purge of the port's output or input (SERIAL_PURGE_TXCLEAR, _RXCLEAR), for the partner's watch.
_IRQL_requires_(PASSIVE_LEVEL) void LineSettingsNotePurge(PortDeviceData* port, ULONG flags);

// The bus a port is on (null once the bus has let it go), and with the bus's ChildListLock held,
// the present partner of a present port, or null.
BusDeviceData* LineSettingsBusOf(PortDeviceData* port);
_IRQL_requires_(APC_LEVEL) PortDeviceData* LineSettingsFindPartnerLocked(BusDeviceData* bus, PortDeviceData* port);

// Serves a serial control code that PortSerialControl doesn't: the UART requests when the port
// emulates them, a refusal (STATUS_INVALID_PARAMETER) otherwise. Completes the request.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS LineSettingsRequest(PortDeviceData* port, PIRP irp, ULONG code, PVOID data,
                                                             ULONG inputLength, ULONG outputLength);
