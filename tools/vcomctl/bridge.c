/*
 * The network bridge: RFC 2217 over Winsock, the Telnet layer in tools/bridge/telnet.c.
 *
 * connect: the application's COM port is one end of a null-modem pair; the bridge holds the
 * other end. Bytes flow both ways as they come (one read always posted on each side, writes sent
 * whole); what the application sets reaches the bridge through the partner watch and goes to the
 * server as COM-PORT-OPTION commands; the server's modem state comes back as the bridge's own DTR
 * and RTS, which the pair crosses over to the application's DSR, DCD and CTS. A lost connection
 * drops those lines and is retried with backoff; the application's port stays.
 *
 * serve: a local COM port is shared with one RFC 2217 client at a time; its commands are applied
 * to the port and acknowledged with what the port took, its modem lines are reported.
 *
 * Nothing waits for the peer's answer to a command: a server that declines the option or never
 * acknowledges (a pseudo-terminal behind ser2net has no DTR) leaves the data flowing.
 */
#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "../bridge/telnet.h"
#include "vcomctl.h"
#include "vcombus/ioctl.h"

#define BRIDGE_BUFFER 65536
#define BRIDGE_RETRY_FIRST_MS 250
#define BRIDGE_RETRY_MAX_MS 8000
#define BRIDGE_READ_SLICE_MS 50
/* How long one connection attempt may take before it counts as failed. */
#define BRIDGE_DIAL_MS 10000
/* A shared port's clients at most; one more is refused as an unshared port's second is. */
#define BRIDGE_CLIENTS_MAX 8

typedef struct Bridge Bridge;

/* One connection: to the server (connect), or of one client (serve). */
typedef struct Session {
    Bridge* Bridge;
    SOCKET Socket;
    Telnet Telnet;
    CRITICAL_SECTION Lock;     /* the Telnet record */
    CRITICAL_SECTION SendLock; /* sends on Socket, taken before Lock; the receiving side only
                                * tries it, so that it keeps reading while a send is blocked on a
                                * peer that is itself waiting for us to read */
    volatile LONG Connected;
    int InUse;    /* serve: the slot holds a client (under the bridge's SessionsLock) */
    HANDLE Thread; /* serve: the client's thread, joined before the slot is used again */
    /* connect: what was last sent of the partner's settings, to send only what changed. */
    PartnerLineState Sent;
    int SentValid;
    /* serve: the modem status last reported, and the client's mask. */
    DWORD ModemReported;
    unsigned char ModemMask;
    /* connect: the server has reported a modem line up since the connection began. */
    int ServerHasLines;
    unsigned char Input[BRIDGE_BUFFER], Data[BRIDGE_BUFFER];
} Session;

enum { StateStarting, StateNoPort, StateConnecting, StateConnected, StateRetrying, StateServing, StateFailed };

struct Bridge {
    BridgeDefinition Definition;
    HANDLE Port;
    HANDLE StopEvent;
    volatile LONG Stop;
    HANDLE Main, Watch, Reader;
    /* serve: which sessions hold clients; held while port data goes out to them. */
    CRITICAL_SECTION SessionsLock;
    Session Sessions[BRIDGE_CLIENTS_MAX];
    /* connect: the application's settings as last reported (under Sessions[0].Lock). */
    PartnerLineState Latest;
    int LatestValid;
    /* What BridgeDescribe says, and the listening socket (so that a stop can close it). */
    CRITICAL_SECTION StateLock;
    int State;
    DWORD Error;
    DWORD RetryMs;
    unsigned Clients;
    SOCKET Listener;
    HANDLE Changed;
    BridgeLog* Log;
    void* LogContext;
    unsigned char PortData[BRIDGE_BUFFER], Wire[2 * BRIDGE_BUFFER];
};

static void Say(Bridge* b, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void Say(Bridge* b, const char* format, ...)
{
    if (b->Log == NULL)
        return;
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    b->Log(b->LogContext, text);
}

static void SetBridgeState(Bridge* b, int state, DWORD error, DWORD retryMs)
{
    EnterCriticalSection(&b->StateLock);
    b->State = state;
    b->Error = error;
    b->RetryMs = retryMs;
    LeaveCriticalSection(&b->StateLock);
    if (b->Changed != NULL)
        SetEvent(b->Changed);
}

/* Waits ms or until the bridge stops; whether it stopped. */
static int StopWait(Bridge* b, DWORD ms) { return WaitForSingleObject(b->StopEvent, ms) == WAIT_OBJECT_0; }

static DWORD NextBackoff(DWORD backoff)
{
    return backoff * 2 > BRIDGE_RETRY_MAX_MS ? BRIDGE_RETRY_MAX_MS : backoff * 2;
}

static int SendAll(SOCKET s, const unsigned char* data, size_t length)
{
    while (length > 0) {
        int n = send(s, (const char*)data, length > 0x40000000 ? 0x40000000 : (int)length, 0);
        if (n <= 0)
            return 0;
        data += n;
        length -= (size_t)n;
    }
    return 1;
}

/* With SendLock held: the replies and commands owed, ahead of any data that follows them. */
static int FlushReplies(Session* s)
{
    unsigned char replies[TELNET_REPLY_SIZE];
    EnterCriticalSection(&s->Lock);
    size_t length;
    const unsigned char* reply = TelnetReply(&s->Telnet, &length);
    memcpy(replies, reply, length);
    TelnetReplySent(&s->Telnet, length);
    LeaveCriticalSection(&s->Lock);
    return length == 0 || SendAll(s->Socket, replies, length);
}

static void SendComPort(Session* s, unsigned char command, const unsigned char* value, size_t length)
{
    EnterCriticalSection(&s->SendLock);
    EnterCriticalSection(&s->Lock);
    int queued = TelnetSendComPort(&s->Telnet, command, value, length);
    LeaveCriticalSection(&s->Lock);
    if (queued)
        FlushReplies(s);
    LeaveCriticalSection(&s->SendLock);
}

static void SendByte(Session* s, unsigned char command, unsigned char value) { SendComPort(s, command, &value, 1); }

/* Synchronous I/O on the overlapped port handle; the bytes moved, or -1. */
static long PortIo(HANDLE port, int write, void* data, DWORD length)
{
    OVERLAPPED o;
    memset(&o, 0, sizeof(o));
    o.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (o.hEvent == NULL)
        return -1;
    DWORD done = 0;
    BOOL ok = write ? WriteFile(port, data, length, NULL, &o) : ReadFile(port, data, length, NULL, &o);
    if (!ok && GetLastError() != ERROR_IO_PENDING) {
        CloseHandle(o.hEvent);
        return -1;
    }
    WaitForSingleObject(o.hEvent, INFINITE);
    ok = GetOverlappedResult(port, &o, &done, TRUE);
    CloseHandle(o.hEvent);
    return ok ? (long)done : -1;
}

static BOOL PortControl(HANDLE port, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength, DWORD* got)
{
    OVERLAPPED o;
    memset(&o, 0, sizeof(o));
    o.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (o.hEvent == NULL)
        return FALSE;
    DWORD done = 0;
    BOOL ok = DeviceIoControl(port, code, in, inLength, out, outLength, NULL, &o);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        WaitForSingleObject(o.hEvent, INFINITE);
        ok = GetOverlappedResult(port, &o, &done, TRUE);
    }
    CloseHandle(o.hEvent);
    if (got != NULL)
        *got = done;
    return ok;
}

static void SetLine(Bridge* b, DWORD function) { EscapeCommFunction(b->Port, function); }

/* ---- connect: the application's settings to the server -------------------------------------- */

static unsigned char ParityToWire(unsigned char parity) { return parity <= 4 ? (unsigned char)(parity + 1) : 1; }
static unsigned char StopToWire(unsigned char stop)
{
    return stop == 1 ? COMPORT_STOP_1_5 : stop == 2 ? COMPORT_STOP_2 : COMPORT_STOP_1;
}
static unsigned char FlowToWire(const PartnerLineState* s)
{
    if (s->ControlHandShake & 0x08 /* SERIAL_CTS_HANDSHAKE */)
        return COMPORT_CONTROL_FLOW_HARDWARE;
    if (s->FlowReplace & 0x01 /* SERIAL_AUTO_TRANSMIT */)
        return COMPORT_CONTROL_FLOW_XONXOFF;
    return COMPORT_CONTROL_FLOW_NONE;
}

/* Sends what changed since the last state sent (everything after a new agreement). */
static void SendSettings(Session* session, const PartnerLineState* s)
{
    if (!session->Connected || !TelnetComPortActive(&session->Telnet) || !(s->Flags & VCOMBUS_PARTNER_PRESENT))
        return;
    const PartnerLineState* last = session->SentValid ? &session->Sent : NULL;
    if (last == NULL || last->BaudRate != s->BaudRate) {
        unsigned char baud[4] = {(unsigned char)(s->BaudRate >> 24), (unsigned char)(s->BaudRate >> 16),
                                 (unsigned char)(s->BaudRate >> 8), (unsigned char)s->BaudRate};
        SendComPort(session, COMPORT_SET_BAUDRATE, baud, 4);
    }
    if (last == NULL || last->WordLength != s->WordLength)
        SendByte(session, COMPORT_SET_DATASIZE, s->WordLength);
    if (last == NULL || last->Parity != s->Parity)
        SendByte(session, COMPORT_SET_PARITY, ParityToWire(s->Parity));
    if (last == NULL || last->StopBits != s->StopBits)
        SendByte(session, COMPORT_SET_STOPSIZE, StopToWire(s->StopBits));
    if (last == NULL || FlowToWire(last) != FlowToWire(s))
        SendByte(session, COMPORT_SET_CONTROL, FlowToWire(s));
    if (last == NULL || ((last->ModemControl ^ s->ModemControl) & 1))
        SendByte(session, COMPORT_SET_CONTROL, (s->ModemControl & 1) ? COMPORT_CONTROL_DTR_ON : COMPORT_CONTROL_DTR_OFF);
    if (last == NULL || ((last->ModemControl ^ s->ModemControl) & 2))
        SendByte(session, COMPORT_SET_CONTROL, (s->ModemControl & 2) ? COMPORT_CONTROL_RTS_ON : COMPORT_CONTROL_RTS_OFF);
    /* A break that started and ended between two answers is still sent, on then off. */
    int breakOn = (s->Flags & VCOMBUS_PARTNER_BREAK) != 0;
    if (last != NULL && last->BreakCount != s->BreakCount) {
        SendByte(session, COMPORT_SET_CONTROL, COMPORT_CONTROL_BREAK_ON);
        if (!breakOn)
            SendByte(session, COMPORT_SET_CONTROL, COMPORT_CONTROL_BREAK_OFF);
    } else if (last == NULL || ((last->Flags ^ s->Flags) & VCOMBUS_PARTNER_BREAK)) {
        SendByte(session, COMPORT_SET_CONTROL, breakOn ? COMPORT_CONTROL_BREAK_ON : COMPORT_CONTROL_BREAK_OFF);
    }
    if (last != NULL) {
        int tx = last->TxPurgeCount != s->TxPurgeCount, rx = last->RxPurgeCount != s->RxPurgeCount;
        if (tx || rx)
            SendByte(session, COMPORT_PURGE_DATA,
                     tx && rx ? COMPORT_PURGE_BOTH : tx ? COMPORT_PURGE_TX : COMPORT_PURGE_RX);
    }
    session->Sent = *s;
    session->SentValid = 1;
}

static DWORD WINAPI WatchThread(void* context)
{
    Bridge* b = context;
    Session* s = &b->Sessions[0];
    PartnerWatchRequest request = {sizeof(PartnerWatchRequest), 0};
    while (!b->Stop) {
        PartnerLineState state;
        DWORD got = 0;
        if (!PortControl(b->Port, IOCTL_VCOMBUS_WATCH_PARTNER, &request, sizeof(request), &state, sizeof(state),
                         &got) ||
            got != sizeof(state)) {
            if (!b->Stop)
                Say(b, "watching the application's settings failed: error %lu", (unsigned long)GetLastError());
            StopWait(b, 1000);
            continue;
        }
        request.Generation = state.Generation;
        EnterCriticalSection(&s->Lock);
        b->Latest = state;
        b->LatestValid = 1;
        LeaveCriticalSection(&s->Lock);
        SendSettings(s, &state);
    }
    return 0;
}

/* ---- commands from the peer ------------------------------------------------------------------ */

static void ApplyModemState(Session* s, unsigned char state)
{
    Bridge* b = s->Bridge;
    /* A server that never reported a line up has none (ser2net on a pseudo-terminal reports 0):
     * then the connection alone is the far end's presence, and the lines stay up while it lasts. */
    if ((state & 0xF0) != 0)
        s->ServerHasLines = 1;
    if (!s->ServerHasLines)
        return;
    /* The far end's DSR and carrier are this end's DTR for the application; its CTS our RTS. */
    SetLine(b, (state & (COMPORT_MODEM_DSR | COMPORT_MODEM_CD)) ? SETDTR : CLRDTR);
    SetLine(b, (state & COMPORT_MODEM_CTS) ? SETRTS : CLRRTS);
}

static DWORD WireModemState(HANDLE port)
{
    DWORD status = 0;
    GetCommModemStatus(port, &status);
    unsigned char state = 0;
    if (status & MS_CTS_ON)
        state |= COMPORT_MODEM_CTS;
    if (status & MS_DSR_ON)
        state |= COMPORT_MODEM_DSR;
    if (status & MS_RING_ON)
        state |= COMPORT_MODEM_RI;
    if (status & MS_RLSD_ON)
        state |= COMPORT_MODEM_CD;
    return state;
}

/* A server applies a client's command to its port and answers with what the port took. */
static void ServeCommand(Session* s, Telnet* t, unsigned char command, const unsigned char* value, size_t length)
{
    Bridge* b = s->Bridge;
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    GetCommState(b->Port, &dcb);
    unsigned char reply[4] = {0};
    size_t replyLength = 1;
    unsigned char v = length >= 1 ? value[0] : 0;
    switch (command) {
    case COMPORT_SIGNATURE:
        TelnetSendComPort(t, COMPORT_SIGNATURE + COMPORT_SERVER_OFFSET, (const unsigned char*)"vcombus", 7);
        return;
    case COMPORT_SET_BAUDRATE:
        if (length < 4)
            return;
        {
            DWORD baud = ((DWORD)value[0] << 24) | ((DWORD)value[1] << 16) | ((DWORD)value[2] << 8) | value[3];
            if (baud != 0) {
                dcb.BaudRate = baud;
                SetCommState(b->Port, &dcb);
                GetCommState(b->Port, &dcb);
            }
            reply[0] = (unsigned char)(dcb.BaudRate >> 24);
            reply[1] = (unsigned char)(dcb.BaudRate >> 16);
            reply[2] = (unsigned char)(dcb.BaudRate >> 8);
            reply[3] = (unsigned char)dcb.BaudRate;
            replyLength = 4;
        }
        break;
    case COMPORT_SET_DATASIZE:
        if (v >= 5 && v <= 8) {
            dcb.ByteSize = v;
            SetCommState(b->Port, &dcb);
            GetCommState(b->Port, &dcb);
        }
        reply[0] = dcb.ByteSize;
        break;
    case COMPORT_SET_PARITY:
        if (v >= 1 && v <= 5) {
            dcb.Parity = (BYTE)(v - 1);
            dcb.fParity = v != 1;
            SetCommState(b->Port, &dcb);
            GetCommState(b->Port, &dcb);
        }
        reply[0] = ParityToWire(dcb.Parity);
        break;
    case COMPORT_SET_STOPSIZE:
        if (v >= 1 && v <= 3) {
            dcb.StopBits = v == COMPORT_STOP_1 ? ONESTOPBIT : v == COMPORT_STOP_2 ? TWOSTOPBITS : ONE5STOPBITS;
            SetCommState(b->Port, &dcb);
            GetCommState(b->Port, &dcb);
        }
        reply[0] = StopToWire((unsigned char)dcb.StopBits);
        break;
    case COMPORT_SET_CONTROL:
        switch (v) {
        case COMPORT_CONTROL_FLOW_NONE:
        case COMPORT_CONTROL_FLOW_XONXOFF:
        case COMPORT_CONTROL_FLOW_HARDWARE:
            dcb.fOutxCtsFlow = v == COMPORT_CONTROL_FLOW_HARDWARE;
            dcb.fRtsControl = v == COMPORT_CONTROL_FLOW_HARDWARE ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
            dcb.fOutX = dcb.fInX = v == COMPORT_CONTROL_FLOW_XONXOFF;
            SetCommState(b->Port, &dcb);
            break;
        case COMPORT_CONTROL_BREAK_ON:
            SetCommBreak(b->Port);
            break;
        case COMPORT_CONTROL_BREAK_OFF:
            ClearCommBreak(b->Port);
            break;
        case COMPORT_CONTROL_DTR_ON:
        case COMPORT_CONTROL_DTR_OFF:
            SetLine(b, v == COMPORT_CONTROL_DTR_ON ? SETDTR : CLRDTR);
            break;
        case COMPORT_CONTROL_RTS_ON:
        case COMPORT_CONTROL_RTS_OFF:
            SetLine(b, v == COMPORT_CONTROL_RTS_ON ? SETRTS : CLRRTS);
            break;
        default: /* the requests, and what the port has no equivalent for, are answered as asked */
            break;
        }
        reply[0] = v;
        break;
    case COMPORT_NOTIFY_MODEMSTATE:
        reply[0] = (unsigned char)WireModemState(b->Port);
        break;
    case COMPORT_SET_MODEMSTATE_MASK:
        s->ModemMask = v;
        reply[0] = v;
        break;
    case COMPORT_PURGE_DATA:
        /* The server's receive buffer is what its port received; its transmit buffer what waits to go out. */
        PurgeComm(b->Port, (v & COMPORT_PURGE_RX ? PURGE_RXCLEAR : 0) | (v & COMPORT_PURGE_TX ? PURGE_TXCLEAR : 0));
        reply[0] = v;
        break;
    case COMPORT_SET_LINESTATE_MASK:
        reply[0] = v;
        break;
    default:
        return; /* flow-control suspend and resume: writes here never wait */
    }
    TelnetSendComPort(t, (unsigned char)(command + COMPORT_SERVER_OFFSET), reply, replyLength);
}

/* What the server says its port took: the one way to see that a setting arrived where the
 * far port can't show it (a Linux pseudo-terminal keeps no parity and always 8 data bits). */
static void ReportServerSetting(Bridge* b, unsigned char command, const unsigned char* value, size_t length)
{
    static const char* const parities[] = {"?", "none", "odd", "even", "mark", "space"};
    static const char* const stops[] = {"?", "1", "2", "1.5"};
    if (command == COMPORT_SET_BAUDRATE && length >= 4)
        Say(b, "the server took baud rate %lu",
            ((unsigned long)value[0] << 24) | ((unsigned long)value[1] << 16) | ((unsigned long)value[2] << 8) | value[3]);
    else if (command == COMPORT_SET_DATASIZE && length >= 1)
        Say(b, "the server took data bits %u", value[0]);
    else if (command == COMPORT_SET_PARITY && length >= 1)
        Say(b, "the server took parity %s", parities[value[0] <= 5 ? value[0] : 0]);
    else if (command == COMPORT_SET_STOPSIZE && length >= 1)
        Say(b, "the server took stop bits %s", stops[value[0] <= 3 ? value[0] : 0]);
}

static void OnComPort(void* context, Telnet* t, unsigned char command, const unsigned char* value, size_t length)
{
    Session* s = context;
    if (s->Bridge->Definition.IsServer) {
        if (command < COMPORT_SERVER_OFFSET)
            ServeCommand(s, t, command, value, length);
        return;
    }
    if (command == COMPORT_NOTIFY_MODEMSTATE + COMPORT_SERVER_OFFSET && length >= 1)
        ApplyModemState(s, value[0]);
    else if (command > COMPORT_SERVER_OFFSET && command <= COMPORT_SERVER_OFFSET + COMPORT_SET_STOPSIZE)
        ReportServerSetting(s->Bridge, (unsigned char)(command - COMPORT_SERVER_OFFSET), value, length);
}

/* ---- the two directions ---------------------------------------------------------------------- */

/* Sends the port's bytes (and, for a server, a modem change) to one session; a failed send ends it. */
static void SendToSession(Session* s, const unsigned char* data, size_t n)
{
    Bridge* b = s->Bridge;
    if (b->Definition.IsServer) {
        unsigned char state = (unsigned char)WireModemState(b->Port);
        if (state != s->ModemReported) {
            s->ModemReported = state;
            SendByte(s, COMPORT_NOTIFY_MODEMSTATE + COMPORT_SERVER_OFFSET, (unsigned char)(state & s->ModemMask));
        }
    }
    EnterCriticalSection(&s->SendLock);
    EnterCriticalSection(&s->Lock);
    size_t length = n > 0 ? TelnetEscape(&s->Telnet, data, n, b->Wire) : 0;
    LeaveCriticalSection(&s->Lock);
    /* Replies the receiving side could not send are sent here, a read slice late at most (so
     * also after a read that found nothing). */
    if (!FlushReplies(s) || (length > 0 && !SendAll(s->Socket, b->Wire, length)))
        shutdown(s->Socket, SD_BOTH);
    LeaveCriticalSection(&s->SendLock);
}

/* Port to network until the bridge stops: to the server, or to every client. */
static DWORD WINAPI PortToNetThread(void* context)
{
    Bridge* b = context;
    while (!b->Stop) {
        long n = PortIo(b->Port, 0, b->PortData, sizeof(b->PortData));
        if (n < 0) {
            StopWait(b, BRIDGE_READ_SLICE_MS);
            continue;
        }
        /* With no connection the bytes have nowhere to go, as on an unplugged line. */
        EnterCriticalSection(&b->SessionsLock);
        for (int i = 0; i < BRIDGE_CLIENTS_MAX; i++)
            if (b->Sessions[i].InUse && b->Sessions[i].Connected)
                SendToSession(&b->Sessions[i], b->PortData, (size_t)n);
        LeaveCriticalSection(&b->SessionsLock);
    }
    return 0;
}

/* Network to port for one connection; returns when it ends. */
static void NetToPort(Session* s)
{
    Bridge* b = s->Bridge;
    for (;;) {
        int n = recv(s->Socket, (char*)s->Input, sizeof(s->Input), 0);
        if (n <= 0 || b->Stop)
            return;
        size_t offset = 0;
        while (offset < (size_t)n) {
            size_t produced = 0;
            EnterCriticalSection(&s->Lock);
            int wasActive = TelnetComPortActive(&s->Telnet);
            size_t taken = TelnetReceive(&s->Telnet, s->Input + offset, (size_t)n - offset, s->Data, &produced);
            offset += taken;
            int nowActive = TelnetComPortActive(&s->Telnet);
            PartnerLineState state = b->Latest;
            int valid = b->LatestValid;
            LeaveCriticalSection(&s->Lock);
            /* Only when the replies fill their buffer does the receiving side wait to send them. */
            if (taken == 0) {
                EnterCriticalSection(&s->SendLock);
            } else if (!TryEnterCriticalSection(&s->SendLock)) {
                goto deliver;
            }
            if (!FlushReplies(s)) {
                LeaveCriticalSection(&s->SendLock);
                return;
            }
            LeaveCriticalSection(&s->SendLock);
        deliver:
            if (!wasActive && nowActive && !b->Definition.IsServer && valid) {
                s->SentValid = 0;
                SendSettings(s, &state);
            }
            if (produced > 0 && PortIo(b->Port, 1, s->Data, (DWORD)produced) != (long)produced && !b->Stop)
                Say(b, "writing to the port failed: error %lu", (unsigned long)GetLastError());
        }
    }
}

/* Takes socket into session s unless the bridge is stopping (then closes it); whether it did. */
static int StartSession(Session* s, SOCKET socket)
{
    Bridge* b = s->Bridge;
    EnterCriticalSection(&b->SessionsLock);
    if (b->Stop) {
        LeaveCriticalSection(&b->SessionsLock);
        closesocket(socket);
        return 0;
    }
    EnterCriticalSection(&s->SendLock);
    EnterCriticalSection(&s->Lock);
    s->Socket = socket;
    TelnetInit(&s->Telnet, b->Definition.IsServer, OnComPort, s);
    s->SentValid = 0;
    s->ModemReported = 0xFFFF;
    s->ModemMask = 0xFF;
    s->ServerHasLines = 0;
    InterlockedExchange(&s->Connected, 1);
    LeaveCriticalSection(&s->Lock);
    FlushReplies(s);
    LeaveCriticalSection(&s->SendLock);
    LeaveCriticalSection(&b->SessionsLock);
    return 1;
}

static void EndSession(Session* s)
{
    InterlockedExchange(&s->Connected, 0);
    shutdown(s->Socket, SD_BOTH); /* a send blocked on the dead peer ends */
    EnterCriticalSection(&s->Bridge->SessionsLock);
    EnterCriticalSection(&s->SendLock);
    closesocket(s->Socket);
    s->Socket = INVALID_SOCKET;
    LeaveCriticalSection(&s->SendLock);
    LeaveCriticalSection(&s->Bridge->SessionsLock);
}

static DWORD OpenPortDevice(const WCHAR* path, HANDLE* port)
{
    *port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (*port == INVALID_HANDLE_VALUE)
        return GetLastError();
    /* A read returns all that is there as soon as there is anything, or after a short slice.
     * (With a MAXDWORD multiplier too a read would return a single byte each time.) */
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, BRIDGE_READ_SLICE_MS, 0, 0};
    SetCommTimeouts(*port, &timeouts);
    /* The network delivers in bursts, and a port's writer never waits for room: the largest
     * receive queue keeps a burst from overrunning it. */
    SetupComm(*port, 1 << 20, 1 << 20);
    return ERROR_SUCCESS;
}

static int StartWinsock(void)
{
    WSADATA wsa;
    int error = WSAStartup(MAKEWORD(2, 2), &wsa);
    return error == 0 ? VcomctlOk : ReportError((DWORD)error, "starting Winsock");
}

static int SplitHostPort(const WCHAR* text, char* host, size_t hostSize, char* port, size_t portSize)
{
    const WCHAR* colon = wcsrchr(text, L':');
    if (colon == NULL || colon == text || colon[1] == 0 || (size_t)(colon - text) >= hostSize ||
        wcslen(colon + 1) >= portSize)
        return 0;
    snprintf(host, hostSize, "%.*ls", (int)(colon - text), text);
    snprintf(port, portSize, "%ls", colon + 1);
    return 1;
}

/* One connection attempt, bounded, ended early by a stop; INVALID_SOCKET with *error set. */
static SOCKET Dial(Bridge* b, const char* host, const char* port, DWORD* error)
{
    struct addrinfo hints, *found = NULL;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    int lookup = getaddrinfo(host, port, &hints, &found);
    if (lookup != 0) {
        *error = (DWORD)lookup;
        return INVALID_SOCKET;
    }
    SOCKET s = INVALID_SOCKET;
    *error = WSAECONNREFUSED;
    for (struct addrinfo* a = found; a != NULL && s == INVALID_SOCKET && !b->Stop; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            *error = (DWORD)WSAGetLastError();
            continue;
        }
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        int done = connect(s, a->ai_addr, (int)a->ai_addrlen) == 0;
        if (!done && WSAGetLastError() != WSAEWOULDBLOCK) {
            *error = (DWORD)WSAGetLastError();
        } else {
            /* Waited for in slices, so that a stop ends an attempt to an address that never answers. */
            for (DWORD waited = 0; !done && !b->Stop && waited < BRIDGE_DIAL_MS; waited += 200) {
                fd_set writable, failed;
                FD_ZERO(&writable);
                FD_ZERO(&failed);
                FD_SET(s, &writable);
                FD_SET(s, &failed);
                struct timeval slice = {0, 200000};
                int ready = select(0, NULL, &writable, &failed, &slice);
                if (ready < 0 || (ready > 0 && FD_ISSET(s, &failed))) {
                    int soError = 0, size = sizeof(soError);
                    getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&soError, &size);
                    *error = soError ? (DWORD)soError : (DWORD)WSAGetLastError();
                    break;
                }
                if (ready > 0) {
                    int soError = 0, size = sizeof(soError);
                    getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&soError, &size);
                    done = soError == 0;
                    if (!done)
                        *error = (DWORD)soError;
                    break;
                }
                *error = WSAETIMEDOUT;
            }
        }
        if (!done) {
            closesocket(s);
            s = INVALID_SOCKET;
        }
    }
    freeaddrinfo(found);
    if (s != INVALID_SOCKET) {
        u_long blocking = 0;
        ioctlsocket(s, FIONBIO, &blocking);
        BOOL on = TRUE; /* commands and small writes go out at once */
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof(on));
    }
    return s;
}

/* The pair end an application's COM name (or number) stands for; 0 if no plugged port has it. */
static unsigned long ApplicationEnd(const BridgeDefinition* definition)
{
    if (definition->Com[0] == 0)
        return definition->Number;
    PortInfo* ports = NULL;
    size_t count = KnownPorts(&ports);
    unsigned long number = 0;
    for (size_t i = 0; i < count; i++)
        if (_wcsicmp(ports[i].Com, definition->Com) == 0)
            number = ports[i].Number;
    free(ports);
    return number;
}

/* The bridge's own end, the partner of the application's port: its path, or an error. */
static DWORD BridgeEndPath(const BridgeDefinition* definition, WCHAR* path, size_t size, unsigned long* bridgeNumber)
{
    unsigned long number = ApplicationEnd(definition);
    if (number < 9)
        return ERROR_FILE_NOT_FOUND;
    *bridgeNumber = number % 2 ? number + 1 : number - 1;
    WCHAR device[VCOMCTL_DEVICE_NAME_CHARS];
    DWORD error = PortDeviceName(*bridgeNumber, device, ARRAYSIZE(device));
    if (error != ERROR_SUCCESS)
        return ERROR_FILE_NOT_FOUND;
    swprintf(path, size, L"\\\\?\\GLOBALROOT%ls", device);
    return ERROR_SUCCESS;
}

/* Opens the bridge's port, waiting with backoff while it isn't there; whether it did. */
static int OpenBridgePort(Bridge* b)
{
    DWORD backoff = BRIDGE_RETRY_FIRST_MS;
    for (;;) {
        WCHAR path[VCOMCTL_DEVICE_NAME_CHARS + 32];
        unsigned long number = 0;
        DWORD error;
        if (b->Definition.IsServer) {
            swprintf(path, ARRAYSIZE(path), L"\\\\.\\%ls", b->Definition.Com);
            error = ERROR_SUCCESS;
        } else {
            error = BridgeEndPath(&b->Definition, path, ARRAYSIZE(path), &number);
        }
        if (error == ERROR_SUCCESS)
            error = OpenPortDevice(path, &b->Port);
        if (error == ERROR_SUCCESS)
            return 1;
        SetBridgeState(b, StateNoPort, error, backoff);
        if (StopWait(b, backoff))
            return 0;
        backoff = NextBackoff(backoff);
    }
}

static DWORD WINAPI ConnectMain(void* context)
{
    Bridge* b = context;
    Session* s = &b->Sessions[0];
    char host[256], port[16];
    SplitHostPort(b->Definition.Address, host, sizeof(host), port, sizeof(port));
    if (!OpenBridgePort(b))
        return 0;
    SetLine(b, CLRDTR);
    SetLine(b, CLRRTS);
    b->Watch = CreateThread(NULL, 0, WatchThread, b, 0, NULL);
    b->Reader = CreateThread(NULL, 0, PortToNetThread, b, 0, NULL);
    if (b->Watch == NULL || b->Reader == NULL) {
        SetBridgeState(b, StateFailed, GetLastError(), 0);
        return 0;
    }
    DWORD backoff = BRIDGE_RETRY_FIRST_MS;
    while (!b->Stop) {
        SetBridgeState(b, StateConnecting, b->Error, 0);
        DWORD error = 0;
        SOCKET socket = Dial(b, host, port, &error);
        if (socket == INVALID_SOCKET) {
            SetBridgeState(b, StateRetrying, error, backoff);
            if (StopWait(b, backoff))
                break;
            backoff = NextBackoff(backoff);
            continue;
        }
        backoff = BRIDGE_RETRY_FIRST_MS;
        if (!StartSession(s, socket))
            break;
        SetBridgeState(b, StateConnected, 0, 0);
        Say(b, "connected to %s:%s", host, port);
        /* Up until the server reports otherwise: a server without modem lines still carries data. */
        SetLine(b, SETDTR);
        SetLine(b, SETRTS);
        NetToPort(s);
        EndSession(s);
        SetLine(b, CLRDTR);
        SetLine(b, CLRRTS);
        if (!b->Stop) {
            SetBridgeState(b, StateRetrying, WSAECONNRESET, 0);
            Say(b, "connection to %s:%s lost; retrying", host, port);
        }
    }
    return 0;
}

/* A served client's session free again for the next one. */
static void ReleaseClientSlot(Session* s)
{
    Bridge* b = s->Bridge;
    EnterCriticalSection(&b->SessionsLock);
    s->InUse = 0;
    EnterCriticalSection(&b->StateLock);
    b->Clients--;
    LeaveCriticalSection(&b->StateLock);
    LeaveCriticalSection(&b->SessionsLock);
}

static DWORD WINAPI ClientThread(void* context)
{
    Session* s = context;
    NetToPort(s);
    EndSession(s);
    ReleaseClientSlot(s);
    if (s->Bridge->Changed != NULL)
        SetEvent(s->Bridge->Changed);
    return 0;
}

/* A client of a served port: a session and a thread of its own, or closed at once when the port
 * has all the clients it takes (one unless shared). */
/* Whether the client of session s has closed its end already (its thread just hasn't seen it). */
static int ClientGone(Session* s)
{
    if (!s->Connected || s->Socket == INVALID_SOCKET)
        return 1;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s->Socket, &readable);
    struct timeval now = {0, 0};
    char byte;
    return select(0, &readable, NULL, NULL, &now) == 1 && recv(s->Socket, &byte, 1, MSG_PEEK) <= 0;
}

static void TakeClient(Bridge* b, SOCKET socket)
{
    /* A client that closed just before this one came (a port probe) is not one to refuse it for:
     * its thread is given a moment to let its slot go. */
    for (int tries = 0; !b->Definition.Share && tries < 20; tries++) {
        int gone = 1;
        EnterCriticalSection(&b->SessionsLock);
        for (int i = 0; i < BRIDGE_CLIENTS_MAX; i++)
            if (b->Sessions[i].InUse && !ClientGone(&b->Sessions[i]))
                gone = 0;
        int busy = b->Clients > 0;
        LeaveCriticalSection(&b->SessionsLock);
        if (!busy || !gone)
            break;
        Sleep(50);
    }
    Session* s = NULL;
    EnterCriticalSection(&b->SessionsLock);
    unsigned limit = b->Definition.Share ? BRIDGE_CLIENTS_MAX : 1;
    if (b->Clients < limit)
        for (int i = 0; i < BRIDGE_CLIENTS_MAX && s == NULL; i++)
            if (!b->Sessions[i].InUse)
                s = &b->Sessions[i];
    if (s != NULL) {
        s->InUse = 1;
        EnterCriticalSection(&b->StateLock);
        b->Clients++;
        LeaveCriticalSection(&b->StateLock);
    }
    LeaveCriticalSection(&b->SessionsLock);
    if (s == NULL) {
        closesocket(socket); /* refused, not queued: a client waiting unanswered looks like a hang */
        return;
    }
    if (s->Thread != NULL) { /* the slot's last client's thread, which has ended or is ending */
        WaitForSingleObject(s->Thread, INFINITE);
        CloseHandle(s->Thread);
        s->Thread = NULL;
    }
    BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof(on));
    if (StartSession(s, socket))
        s->Thread = CreateThread(NULL, 0, ClientThread, s, 0, NULL);
    if (s->Thread == NULL) {
        if (s->Connected)
            EndSession(s);
        ReleaseClientSlot(s);
    }
    if (b->Changed != NULL)
        SetEvent(b->Changed);
}

static DWORD WINAPI ServeMain(void* context)
{
    Bridge* b = context;
    char host[256], port[16];
    snprintf(host, sizeof(host), "%ls", b->Definition.Address[0] ? b->Definition.Address : L"127.0.0.1");
    snprintf(port, sizeof(port), "%ls", b->Definition.TcpPort);
    if (!OpenBridgePort(b))
        return 0;
    DWORD backoff = BRIDGE_RETRY_FIRST_MS;
    SOCKET listener = INVALID_SOCKET;
    /* A listening address taken (by the previous copy still closing, or another program) is
     * retried as a lost connection is. */
    while (listener == INVALID_SOCKET) {
        struct addrinfo hints, *found = NULL;
        memset(&hints, 0, sizeof(hints));
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE;
        DWORD error = (DWORD)getaddrinfo(host, port, &hints, &found);
        if (error == 0 && found != NULL) {
            listener = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
            if (listener == INVALID_SOCKET || bind(listener, found->ai_addr, (int)found->ai_addrlen) != 0 ||
                listen(listener, 4) != 0) {
                error = (DWORD)WSAGetLastError();
                if (listener != INVALID_SOCKET)
                    closesocket(listener);
                listener = INVALID_SOCKET;
            }
        }
        if (found != NULL)
            freeaddrinfo(found);
        if (listener != INVALID_SOCKET)
            break;
        SetBridgeState(b, StateRetrying, error, backoff);
        if (StopWait(b, backoff))
            return 0;
        backoff = NextBackoff(backoff);
    }
    EnterCriticalSection(&b->StateLock);
    int stopping = b->Stop;
    if (!stopping)
        b->Listener = listener;
    LeaveCriticalSection(&b->StateLock);
    if (stopping) {
        closesocket(listener);
        return 0;
    }
    b->Reader = CreateThread(NULL, 0, PortToNetThread, b, 0, NULL);
    if (b->Reader == NULL) {
        SetBridgeState(b, StateFailed, GetLastError(), 0);
        return 0;
    }
    SetBridgeState(b, StateServing, 0, 0);
    Say(b, "serving %ls on %s port %s", b->Definition.Com, host, port);
    while (!b->Stop) {
        SOCKET s = accept(listener, NULL, NULL);
        if (s == INVALID_SOCKET) {
            StopWait(b, BRIDGE_READ_SLICE_MS); /* closed by a stop, or out of resources for a moment */
            continue;
        }
        TakeClient(b, s);
    }
    return 0;
}

/* ---- the bridge object ----------------------------------------------------------------------- */

Bridge* BridgeStart(const BridgeDefinition* definition, HANDLE changed, BridgeLog* log, void* logContext)
{
    if (StartWinsock() != VcomctlOk)
        return NULL;
    Bridge* b = calloc(1, sizeof(*b));
    if (b == NULL) {
        ReportError(ERROR_NOT_ENOUGH_MEMORY, "starting the bridge");
        return NULL;
    }
    b->Definition = *definition;
    b->Port = INVALID_HANDLE_VALUE;
    b->Listener = INVALID_SOCKET;
    b->Changed = changed;
    b->Log = log;
    b->LogContext = logContext;
    InitializeCriticalSection(&b->SessionsLock);
    InitializeCriticalSection(&b->StateLock);
    for (int i = 0; i < BRIDGE_CLIENTS_MAX; i++) {
        Session* s = &b->Sessions[i];
        s->Bridge = b;
        s->Socket = INVALID_SOCKET;
        InitializeCriticalSection(&s->Lock);
        InitializeCriticalSection(&s->SendLock);
    }
    /* The client's one session is always there, connected or not. */
    b->Sessions[0].InUse = !definition->IsServer;
    b->StopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (b->StopEvent != NULL)
        b->Main = CreateThread(NULL, 0, definition->IsServer ? ServeMain : ConnectMain, b, 0, NULL);
    if (b->Main == NULL) {
        ReportError(GetLastError(), "starting the bridge");
        BridgeStop(b);
        return NULL;
    }
    return b;
}

/* Ends one of the bridge's threads: its socket is shut and its port I/O cancelled until it returns
 * (an I/O it issued just after a cancel is cancelled by the next); whether it did within 10 s. */
static int JoinThread(Bridge* b, HANDLE* thread)
{
    if (*thread == NULL)
        return 1;
    for (int tries = 0; WaitForSingleObject(*thread, 100) == WAIT_TIMEOUT; tries++) {
        if (tries == 100)
            return 0;
        if (b->Port != INVALID_HANDLE_VALUE)
            CancelIoEx(b->Port, NULL);
        EnterCriticalSection(&b->SessionsLock);
        for (int i = 0; i < BRIDGE_CLIENTS_MAX; i++)
            if (b->Sessions[i].Socket != INVALID_SOCKET)
                shutdown(b->Sessions[i].Socket, SD_BOTH);
        LeaveCriticalSection(&b->SessionsLock);
    }
    CloseHandle(*thread);
    *thread = NULL;
    return 1;
}

void BridgeStop(Bridge* b)
{
    if (b == NULL)
        return;
    EnterCriticalSection(&b->StateLock);
    InterlockedExchange(&b->Stop, 1);
    if (b->Listener != INVALID_SOCKET)
        closesocket(b->Listener); /* the accept waiting on it returns */
    b->Listener = INVALID_SOCKET;
    LeaveCriticalSection(&b->StateLock);
    if (b->StopEvent != NULL)
        SetEvent(b->StopEvent);
    int ended = JoinThread(b, &b->Main);
    for (int i = 0; i < BRIDGE_CLIENTS_MAX; i++)
        ended &= JoinThread(b, &b->Sessions[i].Thread);
    ended &= JoinThread(b, &b->Watch);
    ended &= JoinThread(b, &b->Reader);
    if (!ended) {
        /* A thread stuck in I/O that neither a cancel nor a shutdown ends: the port is closed
         * under it (which ends what the platform can end) and the memory it may still use is
         * left, rather than the caller kept waiting. */
        if (b->Port != INVALID_HANDLE_VALUE)
            CloseHandle(b->Port);
        return;
    }
    if (b->Port != INVALID_HANDLE_VALUE) {
        /* The application sees the far end go, as when the connection is lost. */
        if (!b->Definition.IsServer) {
            SetLine(b, CLRDTR);
            SetLine(b, CLRRTS);
        }
        CloseHandle(b->Port);
    }
    for (int i = 0; i < BRIDGE_CLIENTS_MAX; i++) {
        DeleteCriticalSection(&b->Sessions[i].Lock);
        DeleteCriticalSection(&b->Sessions[i].SendLock);
    }
    DeleteCriticalSection(&b->SessionsLock);
    DeleteCriticalSection(&b->StateLock);
    if (b->StopEvent != NULL)
        CloseHandle(b->StopEvent);
    free(b);
    WSACleanup();
}

static void ErrorText(DWORD error, char* text, size_t size)
{
    char system[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, system,
                   sizeof(system), NULL);
    size_t length = strlen(system);
    while (length > 0 && (system[length - 1] == '\n' || system[length - 1] == '\r' || system[length - 1] == '.'))
        system[--length] = 0;
    if (length)
        snprintf(text, size, "error %lu, %s", (unsigned long)error, system);
    else
        snprintf(text, size, "error %lu", (unsigned long)error);
}

void BridgeDescribe(Bridge* b, char* text, size_t size)
{
    EnterCriticalSection(&b->StateLock);
    int state = b->State;
    DWORD error = b->Error, retry = b->RetryMs;
    unsigned clients = b->Clients;
    LeaveCriticalSection(&b->StateLock);
    char why[300];
    ErrorText(error, why, sizeof(why));
    switch (state) {
    case StateStarting:
        snprintf(text, size, "starting");
        break;
    case StateNoPort:
        snprintf(text, size, "waiting for the port (%s); next try in %lu ms", why, (unsigned long)retry);
        break;
    case StateConnecting:
        snprintf(text, size, "connecting to %ls", b->Definition.Address);
        break;
    case StateConnected:
        snprintf(text, size, "connected to %ls", b->Definition.Address);
        break;
    case StateRetrying:
        snprintf(text, size, "%s %ls (%s); retrying with backoff, next in %lu ms",
                 b->Definition.IsServer ? "cannot listen on" : "not connected to",
                 b->Definition.IsServer ? b->Definition.TcpPort : b->Definition.Address, why, (unsigned long)retry);
        break;
    case StateServing:
        snprintf(text, size, "serving on %ls port %ls, %u client%s", b->Definition.Address[0] ? b->Definition.Address : L"127.0.0.1",
                 b->Definition.TcpPort, clients, clients == 1 ? "" : "s");
        break;
    default:
        snprintf(text, size, "failed (%s)", why);
        break;
    }
}

/* ---- the bridge's description: command line and record ----------------------------------------- */

int ParseBridge(int isServer, int argc, WCHAR** argv, BridgeDefinition* definition, int* temporary, char* error, size_t size)
{
    memset(definition, 0, sizeof(*definition));
    definition->IsServer = isServer;
    WCHAR* positional[2];
    int count = 0;
    for (int i = 0; i < argc; i++) {
        if (temporary != NULL && wcscmp(argv[i], L"--temporary") == 0) {
            *temporary = 1;
        } else if (!isServer && wcscmp(argv[i], L"--port") == 0 && i + 1 < argc && !definition->Number && !definition->Com[0]) {
            if (!ParsePortNumber(argv[++i], &definition->Number) || definition->Number < 9) {
                snprintf(error, size, "'%ls' is no null-modem pair's port (9 and up)", argv[i]);
                return 0;
            }
        } else if (isServer && wcscmp(argv[i], L"--listen") == 0 && i + 1 < argc && !definition->Address[0]) {
            if (wcslen(argv[++i]) >= ARRAYSIZE(definition->Address) || wcspbrk(argv[i], L" \t#") != NULL) {
                snprintf(error, size, "'%ls' is no address to listen on", argv[i]);
                return 0;
            }
            wcscpy(definition->Address, argv[i]);
        } else if (isServer && wcscmp(argv[i], L"--share") == 0) {
            definition->Share = 1;
        } else if (argv[i][0] == L'-' || count == 2 || (!isServer && count == 1 && definition->Number)) {
            snprintf(error, size, "unexpected '%ls'", argv[i]);
            return 0;
        } else {
            positional[count++] = argv[i];
        }
    }
    int needed = isServer || !definition->Number ? 2 : 1;
    if (count != needed) {
        snprintf(error, size, isServer ? "serve takes COMx, PORT and optionally --listen ADDRESS and --share"
                                       : "connect takes COMx (or --port N) and HOST:PORT");
        return 0;
    }
    if (needed == 2) {
        unsigned long com;
        if (!ParseComName(positional[0], &com)) {
            snprintf(error, size, "'%ls' is no COM name (COM1 to COM4096)", positional[0]);
            return 0;
        }
        FormatComName(com, definition->Com, ARRAYSIZE(definition->Com));
    }
    const WCHAR* last = positional[count - 1];
    if (isServer) {
        WCHAR* end = NULL;
        unsigned long tcp = wcstoul(last, &end, 10);
        if (tcp == 0 || tcp > 65535 || *end != 0) {
            snprintf(error, size, "'%ls' is no TCP port", last);
            return 0;
        }
        swprintf(definition->TcpPort, ARRAYSIZE(definition->TcpPort), L"%lu", tcp);
    } else {
        char host[256], port[16];
        if (wcslen(last) >= ARRAYSIZE(definition->Address) || wcspbrk(last, L" \t#") != NULL ||
            !SplitHostPort(last, host, sizeof(host), port, sizeof(port))) {
            snprintf(error, size, "'%ls' is no HOST:PORT", last);
            return 0;
        }
        wcscpy(definition->Address, last);
    }
    return 1;
}

void FormatBridge(const BridgeDefinition* definition, WCHAR* line, size_t size)
{
    if (definition->IsServer)
        swprintf(line, size, L"serve %ls %ls%ls%ls%ls", definition->Com, definition->TcpPort, definition->Address[0] ? L" --listen " : L"",
                 definition->Address, definition->Share ? L" --share" : L"");
    else if (definition->Com[0])
        swprintf(line, size, L"connect %ls %ls", definition->Com, definition->Address);
    else
        swprintf(line, size, L"connect --port %lu %ls", definition->Number, definition->Address);
}

void BridgeKey(const BridgeDefinition* definition, WCHAR* key, size_t size)
{
    if (definition->Com[0])
        swprintf(key, size, L"%ls %ls", definition->IsServer ? L"serve" : L"connect", definition->Com);
    else
        swprintf(key, size, L"connect --port %lu", definition->Number);
}

int SameBridge(const BridgeDefinition* a, const BridgeDefinition* b)
{
    return a->IsServer == b->IsServer && a->Number == b->Number && a->Share == b->Share &&
           _wcsicmp(a->Com, b->Com) == 0 && wcscmp(a->Address, b->Address) == 0 && wcscmp(a->TcpPort, b->TcpPort) == 0;
}

/* ---- the commands ------------------------------------------------------------------------------ */

static HANDLE ForegroundStop;

static BOOL WINAPI OnConsoleControl(DWORD type)
{
    (void)type;
    SetEvent(ForegroundStop);
    return TRUE;
}

static void PrintLine(void* context, const char* text)
{
    (void)context;
    printf("%s\n", text);
    fflush(stdout);
}

/* Runs the bridge in this process until Ctrl+C (or the console closes); a port it cannot open
 * ends it at once, as a program opening a port would. */
static int RunInForeground(const BridgeDefinition* definition)
{
    ForegroundStop = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE changed = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (ForegroundStop == NULL || changed == NULL)
        return ReportError(GetLastError(), "starting the bridge");
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    Bridge* b = BridgeStart(definition, changed, PrintLine, NULL);
    if (b == NULL)
        return VcomctlFailed;
    int result = VcomctlOk;
    HANDLE events[2] = {ForegroundStop, changed};
    DWORD lastError = 0;
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        EnterCriticalSection(&b->StateLock);
        int state = b->State;
        DWORD error = b->Error;
        LeaveCriticalSection(&b->StateLock);
        if (state == StateNoPort || state == StateFailed) {
            char description[600];
            BridgeDescribe(b, description, sizeof(description));
            result = ReportFailure("%ls: %s", definition->Com[0] ? definition->Com : L"the bridge's port", description);
            break;
        }
        /* A listening address taken is said once; the bridge goes on trying. */
        if (state == StateRetrying && definition->IsServer && error != lastError) {
            char description[600];
            BridgeDescribe(b, description, sizeof(description));
            fprintf(stderr, "vcomctl: %ls: %s\n", definition->Com, description);
        }
        lastError = state == StateRetrying ? error : 0;
    }
    BridgeStop(b);
    CloseHandle(changed);
    return result;
}

/* Whether the recorded configuration keeps port number (a port plugged with --temporary it
 * doesn't: a bridge on it would be recorded for a port that never comes back). */
static int PortRecorded(unsigned long number)
{
    Configuration config;
    CaptureReports(NULL, 0);
    if (LoadConfiguration(&config) != VcomctlOk)
        return 0;
    int recorded = FindRecordedPort(&config, number) != NULL;
    FreeConfiguration(&config);
    return recorded;
}

/* Records the bridge (or, remove, takes it out), tells the service, and waits a bounded while
 * for the service to say it runs it (or has stopped it). */
static int RecordAndRun(const BridgeDefinition* definition, int remove)
{
    WCHAR key[64];
    BridgeKey(definition, key, ARRAYSIZE(key));
    int found = 0;
    int result = RecordBridge(definition, remove, &found);
    UnlockNames(); /* the service may restore meanwhile */
    if (result != VcomctlOk)
        return result;
    if (remove && !found)
        return ReportFailure("no bridge '%ls' is recorded", key);
    if (!NotifyRestoreService())
        return ReportFailure("'%ls' is %s, but the restore service (%ls) is not running to %s it", key,
                             remove ? "no longer recorded" : "recorded", VCOMCTL_RESTORE_SERVICE,
                             remove ? "stop" : "run");
    char state[600];
    for (int waited = 0; waited < 100; waited++) {
        int running = ReadBridgeState(key, state, sizeof(state));
        if (remove ? !running : running && strcmp(state, "starting") != 0) {
            if (remove)
                printf("%ls: stopped and no longer recorded\n", key);
            else
                printf("%ls: recorded; the restore service runs it: %s\n", key, state);
            return VcomctlOk;
        }
        Sleep(100);
    }
    return ReportFailure("'%ls' is %s, but the restore service has not %s it within 10 s", key,
                         remove ? "no longer recorded" : "recorded", remove ? "stopped" : "started");
}

int CommandConnect(const BridgeDefinition* definition, int temporary)
{
    unsigned long number = ApplicationEnd(definition);
    if (number == 0) {
        /* No such port yet: a pair of its own, the application's end named. */
        for (number = 9; number < 0xFFFF; number += 2) {
            WCHAR device[VCOMCTL_DEVICE_NAME_CHARS];
            if (PortDeviceName(number, device, ARRAYSIZE(device)) != ERROR_SUCCESS &&
                PortDeviceName(number + 1, device, ARRAYSIZE(device)) != ERROR_SUCCESS)
                break;
        }
        int result = CommandPair(number, NULL, temporary);
        if (result == VcomctlOk)
            result = CommandName(number, definition->Com);
        if (result != VcomctlOk)
            return result;
    }
    if (number < 9)
        return ReportFailure("port %lu is no end of a null-modem pair (9 and up)", number);
    WCHAR path[VCOMCTL_DEVICE_NAME_CHARS + 32];
    unsigned long bridge = 0;
    if (BridgeEndPath(definition, path, ARRAYSIZE(path), &bridge) != ERROR_SUCCESS)
        return ReportFailure("port %lu, the other end of port %lu, is not plugged in",
                             number % 2 ? number + 1 : number - 1, number);
    printf("bridge holds port %lu; the application's end is port %lu\n", bridge, number);
    if (!temporary && !PortRecorded(number)) {
        printf("port %lu is not recorded (plugged with --temporary): the bridge runs here, until stopped\n", number);
        temporary = 1;
    }
    fflush(stdout);
    return temporary ? RunInForeground(definition) : RecordAndRun(definition, 0);
}

int CommandServe(const BridgeDefinition* definition, int temporary)
{
    if (!temporary) {
        /* A vcombus port plugged with --temporary: the bridge stays out of the record with it. */
        PortInfo* ports = NULL;
        size_t count = KnownPorts(&ports);
        for (size_t i = 0; i < count && !temporary; i++)
            if (_wcsicmp(ports[i].Com, definition->Com) == 0 && !PortRecorded(ports[i].Number)) {
                printf("%ls is not recorded (plugged with --temporary): the bridge runs here, until stopped\n",
                       definition->Com);
                fflush(stdout);
                temporary = 1;
            }
        free(ports);
    }
    return temporary ? RunInForeground(definition) : RecordAndRun(definition, 0);
}

int CommandDisconnect(const BridgeDefinition* definition) { return RecordAndRun(definition, 1); }

/* ---- the bridges' state, as the service publishes it ------------------------------------------- */

int PublishBridgeStates(const WCHAR* const* keys, const char* const* states, size_t count)
{
    HKEY key;
    /* The parent kept (a volatile key's children can only be volatile), the states not. */
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\vcomsvc\\Parameters", 0, NULL,
                        REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY, NULL, &key, NULL) == ERROR_SUCCESS)
        RegCloseKey(key);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, VCOMCTL_BRIDGE_STATE_KEY, 0, NULL, REG_OPTION_VOLATILE,
                        KEY_SET_VALUE | KEY_QUERY_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
        return 0;
    /* What no longer runs goes first, so that a reader never sees a stopped bridge as running. */
    for (DWORD index = 0;;) {
        WCHAR name[128];
        DWORD length = ARRAYSIZE(name);
        if (RegEnumValueW(key, index, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        int keep = 0;
        for (size_t i = 0; i < count && !keep; i++)
            keep = _wcsicmp(keys[i], name) == 0;
        if (keep || RegDeleteValueW(key, name) != ERROR_SUCCESS)
            index++;
    }
    for (size_t i = 0; i < count; i++) {
        WCHAR text[600];
        swprintf(text, ARRAYSIZE(text), L"%hs", states[i]);
        RegSetValueExW(key, keys[i], 0, REG_SZ, (const BYTE*)text, (DWORD)((wcslen(text) + 1) * sizeof(WCHAR)));
    }
    RegCloseKey(key);
    return 1;
}

int ReadBridgeState(const WCHAR* key, char* state, size_t size)
{
    WCHAR text[600];
    DWORD bytes = sizeof(text);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, VCOMCTL_BRIDGE_STATE_KEY, key, RRF_RT_REG_SZ, NULL, text, &bytes) !=
        ERROR_SUCCESS)
        return 0;
    snprintf(state, size, "%ls", text);
    return 1;
}

int NotifyRestoreService(void)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, VCOMCTL_RESTORE_SERVICE, SERVICE_USER_DEFINED_CONTROL) : NULL;
    SERVICE_STATUS status;
    BOOL ok = service != NULL && ControlService(service, VCOMCTL_RESTORE_RECONFIGURE, &status);
    if (service != NULL)
        CloseServiceHandle(service);
    if (manager != NULL)
        CloseServiceHandle(manager);
    return ok;
}

void PrintBridges(const Configuration* config)
{
    if (config->BridgeCount == 0)
        return;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, VCOMCTL_RESTORE_SERVICE, SERVICE_QUERY_STATUS) : NULL;
    SERVICE_STATUS status;
    int running = service != NULL && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
    if (service != NULL)
        CloseServiceHandle(service);
    if (manager != NULL)
        CloseServiceHandle(manager);
    printf("bridges (recorded; the restore service runs them):\n");
    for (size_t i = 0; i < config->BridgeCount; i++) {
        WCHAR line[400], key[64];
        FormatBridge(&config->Bridges[i], line, ARRAYSIZE(line));
        BridgeKey(&config->Bridges[i], key, ARRAYSIZE(key));
        char state[600];
        if (!running)
            snprintf(state, sizeof(state), "not running (the restore service is not running)");
        else if (!ReadBridgeState(key, state, sizeof(state)))
            snprintf(state, sizeof(state), "not started yet");
        printf("  %ls: %s\n", line, state);
    }
}
