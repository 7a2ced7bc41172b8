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
#define BRIDGE_RETRY_MAX_MS 8000
#define BRIDGE_READ_SLICE_MS 50

typedef struct Bridge {
    HANDLE Port;
    SOCKET Socket;
    Telnet Telnet;
    CRITICAL_SECTION Lock;     /* the Telnet record */
    CRITICAL_SECTION SendLock; /* sends on Socket, taken before Lock; the receiving side only
                                * tries it, so that it keeps reading while a send is blocked on a
                                * peer that is itself waiting for us to read */
    volatile LONG Connected;
    volatile LONG Stop;
    int IsServer;
    /* connect: what was last sent of the partner's settings, to send only what changed. */
    PartnerLineState Sent;
    int SentValid;
    /* serve: the modem status last reported. */
    DWORD ModemReported;
    unsigned char ModemMask;
    /* connect: the server has reported a modem line up since the connection began. */
    int ServerHasLines;
} Bridge;

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
static int FlushReplies(Bridge* b)
{
    unsigned char replies[TELNET_REPLY_SIZE];
    EnterCriticalSection(&b->Lock);
    size_t length;
    const unsigned char* reply = TelnetReply(&b->Telnet, &length);
    memcpy(replies, reply, length);
    TelnetReplySent(&b->Telnet, length);
    LeaveCriticalSection(&b->Lock);
    return length == 0 || SendAll(b->Socket, replies, length);
}

static void SendComPort(Bridge* b, unsigned char command, const unsigned char* value, size_t length)
{
    EnterCriticalSection(&b->SendLock);
    EnterCriticalSection(&b->Lock);
    int queued = TelnetSendComPort(&b->Telnet, command, value, length);
    LeaveCriticalSection(&b->Lock);
    if (queued)
        FlushReplies(b);
    LeaveCriticalSection(&b->SendLock);
}

static void SendByte(Bridge* b, unsigned char command, unsigned char value) { SendComPort(b, command, &value, 1); }

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
static void SendSettings(Bridge* b, const PartnerLineState* s)
{
    if (!b->Connected || !TelnetComPortActive(&b->Telnet) || !(s->Flags & VCOMBUS_PARTNER_PRESENT))
        return;
    const PartnerLineState* last = b->SentValid ? &b->Sent : NULL;
    if (last == NULL || last->BaudRate != s->BaudRate) {
        unsigned char baud[4] = {(unsigned char)(s->BaudRate >> 24), (unsigned char)(s->BaudRate >> 16),
                                 (unsigned char)(s->BaudRate >> 8), (unsigned char)s->BaudRate};
        SendComPort(b, COMPORT_SET_BAUDRATE, baud, 4);
    }
    if (last == NULL || last->WordLength != s->WordLength)
        SendByte(b, COMPORT_SET_DATASIZE, s->WordLength);
    if (last == NULL || last->Parity != s->Parity)
        SendByte(b, COMPORT_SET_PARITY, ParityToWire(s->Parity));
    if (last == NULL || last->StopBits != s->StopBits)
        SendByte(b, COMPORT_SET_STOPSIZE, StopToWire(s->StopBits));
    if (last == NULL || FlowToWire(last) != FlowToWire(s))
        SendByte(b, COMPORT_SET_CONTROL, FlowToWire(s));
    if (last == NULL || ((last->ModemControl ^ s->ModemControl) & 1))
        SendByte(b, COMPORT_SET_CONTROL, (s->ModemControl & 1) ? COMPORT_CONTROL_DTR_ON : COMPORT_CONTROL_DTR_OFF);
    if (last == NULL || ((last->ModemControl ^ s->ModemControl) & 2))
        SendByte(b, COMPORT_SET_CONTROL, (s->ModemControl & 2) ? COMPORT_CONTROL_RTS_ON : COMPORT_CONTROL_RTS_OFF);
    /* A break that started and ended between two answers is still sent, on then off. */
    int breakOn = (s->Flags & VCOMBUS_PARTNER_BREAK) != 0;
    if (last != NULL && last->BreakCount != s->BreakCount) {
        SendByte(b, COMPORT_SET_CONTROL, COMPORT_CONTROL_BREAK_ON);
        if (!breakOn)
            SendByte(b, COMPORT_SET_CONTROL, COMPORT_CONTROL_BREAK_OFF);
    } else if (last == NULL || ((last->Flags ^ s->Flags) & VCOMBUS_PARTNER_BREAK)) {
        SendByte(b, COMPORT_SET_CONTROL, breakOn ? COMPORT_CONTROL_BREAK_ON : COMPORT_CONTROL_BREAK_OFF);
    }
    if (last != NULL) {
        int tx = last->TxPurgeCount != s->TxPurgeCount, rx = last->RxPurgeCount != s->RxPurgeCount;
        if (tx || rx)
            SendByte(b, COMPORT_PURGE_DATA,
                     tx && rx ? COMPORT_PURGE_BOTH : tx ? COMPORT_PURGE_TX : COMPORT_PURGE_RX);
    }
    b->Sent = *s;
    b->SentValid = 1;
}

static PartnerLineState LatestState;
static volatile LONG LatestValid;

static DWORD WINAPI WatchThread(void* context)
{
    Bridge* b = context;
    PartnerWatchRequest request = {sizeof(PartnerWatchRequest), 0};
    while (!b->Stop) {
        PartnerLineState state;
        DWORD got = 0;
        if (!PortControl(b->Port, IOCTL_VCOMBUS_WATCH_PARTNER, &request, sizeof(request), &state, sizeof(state),
                         &got) ||
            got != sizeof(state)) {
            if (!b->Stop)
                ReportError(GetLastError(), "watching the application's settings");
            Sleep(1000);
            continue;
        }
        request.Generation = state.Generation;
        EnterCriticalSection(&b->Lock);
        LatestState = state;
        LatestValid = 1;
        LeaveCriticalSection(&b->Lock);
        SendSettings(b, &state);
    }
    return 0;
}

/* ---- commands from the peer ------------------------------------------------------------------ */

static void ApplyModemState(Bridge* b, unsigned char state)
{
    /* A server that never reported a line up has none (ser2net on a pseudo-terminal reports 0):
     * then the connection alone is the far end's presence, and the lines stay up while it lasts. */
    if ((state & 0xF0) != 0)
        b->ServerHasLines = 1;
    if (!b->ServerHasLines)
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
static void ServeCommand(Bridge* b, Telnet* t, unsigned char command, const unsigned char* value, size_t length)
{
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
        b->ModemMask = v;
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
static void ReportServerSetting(unsigned char command, const unsigned char* value, size_t length)
{
    static const char* const parities[] = {"?", "none", "odd", "even", "mark", "space"};
    static const char* const stops[] = {"?", "1", "2", "1.5"};
    if (command == COMPORT_SET_BAUDRATE && length >= 4)
        printf("the server took baud rate %lu\n",
               ((unsigned long)value[0] << 24) | ((unsigned long)value[1] << 16) | ((unsigned long)value[2] << 8) | value[3]);
    else if (command == COMPORT_SET_DATASIZE && length >= 1)
        printf("the server took data bits %u\n", value[0]);
    else if (command == COMPORT_SET_PARITY && length >= 1)
        printf("the server took parity %s\n", parities[value[0] <= 5 ? value[0] : 0]);
    else if (command == COMPORT_SET_STOPSIZE && length >= 1)
        printf("the server took stop bits %s\n", stops[value[0] <= 3 ? value[0] : 0]);
    else
        return;
    fflush(stdout);
}

static void OnComPort(void* context, Telnet* t, unsigned char command, const unsigned char* value, size_t length)
{
    Bridge* b = context;
    if (b->IsServer) {
        if (command < COMPORT_SERVER_OFFSET)
            ServeCommand(b, t, command, value, length);
        return;
    }
    if (command == COMPORT_NOTIFY_MODEMSTATE + COMPORT_SERVER_OFFSET && length >= 1)
        ApplyModemState(b, value[0]);
    else if (command > COMPORT_SERVER_OFFSET && command <= COMPORT_SERVER_OFFSET + COMPORT_SET_STOPSIZE)
        ReportServerSetting((unsigned char)(command - COMPORT_SERVER_OFFSET), value, length);
}

/* ---- the two directions ---------------------------------------------------------------------- */

/* Port to network until the connection fails or the bridge stops. */
static DWORD WINAPI PortToNetThread(void* context)
{
    Bridge* b = context;
    static unsigned char data[BRIDGE_BUFFER], wire[2 * BRIDGE_BUFFER];
    while (!b->Stop) {
        long n = PortIo(b->Port, 0, data, sizeof(data));
        if (n < 0) {
            Sleep(BRIDGE_READ_SLICE_MS);
            continue;
        }
        if (b->IsServer && b->Connected) {
            unsigned char state = (unsigned char)WireModemState(b->Port);
            if (state != b->ModemReported) {
                b->ModemReported = state;
                SendByte(b, COMPORT_NOTIFY_MODEMSTATE + COMPORT_SERVER_OFFSET, (unsigned char)(state & b->ModemMask));
            }
        }
        if (!b->Connected)
            continue; /* with no connection the bytes have nowhere to go, as on an unplugged line */
        EnterCriticalSection(&b->SendLock);
        EnterCriticalSection(&b->Lock);
        size_t length = TelnetEscape(&b->Telnet, data, (size_t)n, wire);
        LeaveCriticalSection(&b->Lock);
        /* Replies the receiving side could not send are sent here, a read slice late at most. */
        if (!FlushReplies(b) || !SendAll(b->Socket, wire, length))
            shutdown(b->Socket, SD_BOTH);
        LeaveCriticalSection(&b->SendLock);
    }
    return 0;
}

/* Network to port for one connection; returns when it ends. */
static void NetToPort(Bridge* b)
{
    static unsigned char input[BRIDGE_BUFFER], data[BRIDGE_BUFFER];
    for (;;) {
        int n = recv(b->Socket, (char*)input, sizeof(input), 0);
        if (n <= 0 || b->Stop)
            return;
        size_t offset = 0;
        while (offset < (size_t)n) {
            size_t produced = 0;
            EnterCriticalSection(&b->Lock);
            int wasActive = TelnetComPortActive(&b->Telnet);
            size_t taken = TelnetReceive(&b->Telnet, input + offset, (size_t)n - offset, data, &produced);
            offset += taken;
            int nowActive = TelnetComPortActive(&b->Telnet);
            PartnerLineState state = LatestState;
            int valid = LatestValid;
            LeaveCriticalSection(&b->Lock);
            /* Only when the replies fill their buffer does the receiving side wait to send them. */
            if (taken == 0) {
                EnterCriticalSection(&b->SendLock);
            } else if (!TryEnterCriticalSection(&b->SendLock)) {
                goto deliver;
            }
            if (!FlushReplies(b)) {
                LeaveCriticalSection(&b->SendLock);
                return;
            }
            LeaveCriticalSection(&b->SendLock);
        deliver:
            if (!wasActive && nowActive && !b->IsServer && valid) {
                b->SentValid = 0;
                SendSettings(b, &state);
            }
            if (produced > 0 && PortIo(b->Port, 1, data, (DWORD)produced) != (long)produced)
                ReportError(GetLastError(), "writing to the port");
        }
    }
}

static void StartSession(Bridge* b)
{
    EnterCriticalSection(&b->SendLock);
    EnterCriticalSection(&b->Lock);
    TelnetInit(&b->Telnet, b->IsServer, OnComPort, b);
    b->SentValid = 0;
    b->ModemReported = 0xFFFF;
    b->ModemMask = 0xFF;
    b->ServerHasLines = 0;
    InterlockedExchange(&b->Connected, 1);
    LeaveCriticalSection(&b->Lock);
    FlushReplies(b);
    LeaveCriticalSection(&b->SendLock);
}

static void EndSession(Bridge* b)
{
    InterlockedExchange(&b->Connected, 0);
    shutdown(b->Socket, SD_BOTH); /* a send blocked on the dead peer ends */
    EnterCriticalSection(&b->SendLock);
    closesocket(b->Socket);
    b->Socket = INVALID_SOCKET;
    LeaveCriticalSection(&b->SendLock);
}

static int OpenPortDevice(const WCHAR* path, HANDLE* port)
{
    *port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (*port == INVALID_HANDLE_VALUE)
        return ReportError(GetLastError(), "opening %ls", path);
    /* A read returns all that is there as soon as there is anything, or after a short slice.
     * (With a MAXDWORD multiplier too a read would return a single byte each time.) */
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, BRIDGE_READ_SLICE_MS, 0, 0};
    SetCommTimeouts(*port, &timeouts);
    /* The network delivers in bursts, and a port's writer never waits for room: the largest
     * receive queue keeps a burst from overrunning it. */
    SetupComm(*port, 1 << 20, 1 << 20);
    return VcomctlOk;
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

static SOCKET Dial(const char* host, const char* port)
{
    struct addrinfo hints, *found = NULL;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    if (getaddrinfo(host, port, &hints, &found) != 0)
        return INVALID_SOCKET;
    SOCKET s = INVALID_SOCKET;
    for (struct addrinfo* a = found; a != NULL && s == INVALID_SOCKET; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s != INVALID_SOCKET && connect(s, a->ai_addr, (int)a->ai_addrlen) != 0) {
            closesocket(s);
            s = INVALID_SOCKET;
        }
    }
    freeaddrinfo(found);
    if (s != INVALID_SOCKET) {
        BOOL on = TRUE; /* commands and small writes go out at once */
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof(on));
    }
    return s;
}

/* The bridge's own end: the partner of the application's port. */
static int BridgeEnd(const WCHAR* com, unsigned long appNumber, WCHAR* path, size_t size)
{
    unsigned long number = appNumber;
    if (com != NULL) {
        PortInfo* ports = NULL;
        size_t count = KnownPorts(&ports);
        number = 0;
        for (size_t i = 0; i < count; i++)
            if (_wcsicmp(ports[i].Com, com) == 0)
                number = ports[i].Number;
        free(ports);
        if (number == 0) {
            /* No such port yet: a pair of its own, the application's end named. */
            for (number = 9; number < 0xFFFF; number += 2) {
                WCHAR device[VCOMCTL_DEVICE_NAME_CHARS];
                if (PortDeviceName(number, device, ARRAYSIZE(device)) != ERROR_SUCCESS &&
                    PortDeviceName(number + 1, device, ARRAYSIZE(device)) != ERROR_SUCCESS)
                    break;
            }
            int result = CommandPair(number, NULL, 0);
            if (result == VcomctlOk)
                result = CommandName(number, com);
            if (result != VcomctlOk)
                return result;
        }
    }
    if (number < 9)
        return ReportFailure("port %lu is no end of a null-modem pair (9 and up)", number);
    unsigned long bridge = number % 2 ? number + 1 : number - 1;
    WCHAR device[VCOMCTL_DEVICE_NAME_CHARS];
    DWORD error = PortDeviceName(bridge, device, ARRAYSIZE(device));
    if (error != ERROR_SUCCESS)
        return ReportFailure("port %lu, the other end of port %lu, is not plugged in", bridge, number);
    swprintf(path, size, L"\\\\?\\GLOBALROOT%ls", device);
    printf("bridge holds port %lu; the application's end is port %lu\n", bridge, number);
    return VcomctlOk;
}

int CommandConnect(const WCHAR* com, unsigned long number, const WCHAR* address)
{
    char host[256], port[16];
    if (!SplitHostPort(address, host, sizeof(host), port, sizeof(port)))
        return ReportFailure("'%ls' is no HOST:PORT", address);
    WCHAR path[VCOMCTL_DEVICE_NAME_CHARS + 32];
    int result = BridgeEnd(com, number, path, ARRAYSIZE(path));
    if (result != VcomctlOk || (result = StartWinsock()) != VcomctlOk)
        return result;
    static Bridge b;
    memset(&b, 0, sizeof(b));
    InitializeCriticalSection(&b.Lock);
    InitializeCriticalSection(&b.SendLock);
    b.Socket = INVALID_SOCKET;
    if ((result = OpenPortDevice(path, &b.Port)) != VcomctlOk)
        return result;
    SetLine(&b, CLRDTR);
    SetLine(&b, CLRRTS);
    HANDLE threads[2] = {CreateThread(NULL, 0, WatchThread, &b, 0, NULL),
                         CreateThread(NULL, 0, PortToNetThread, &b, 0, NULL)};
    if (threads[0] == NULL || threads[1] == NULL)
        return ReportError(GetLastError(), "starting the bridge");
    DWORD backoff = 250;
    for (;;) {
        SOCKET s = Dial(host, port);
        if (s == INVALID_SOCKET) {
            Sleep(backoff);
            backoff = backoff * 2 > BRIDGE_RETRY_MAX_MS ? BRIDGE_RETRY_MAX_MS : backoff * 2;
            continue;
        }
        backoff = 250;
        printf("connected to %s:%s\n", host, port);
        fflush(stdout);
        b.Socket = s;
        StartSession(&b);
        /* Up until the server reports otherwise: a server without modem lines still carries data. */
        SetLine(&b, SETDTR);
        SetLine(&b, SETRTS);
        NetToPort(&b);
        EndSession(&b);
        SetLine(&b, CLRDTR);
        SetLine(&b, CLRRTS);
        printf("connection to %s:%s lost; retrying\n", host, port);
        fflush(stdout);
    }
}

int CommandServe(const WCHAR* com, const WCHAR* portText, const WCHAR* listenAddress)
{
    char host[256], port[16];
    snprintf(host, sizeof(host), "%ls", listenAddress != NULL ? listenAddress : L"127.0.0.1");
    snprintf(port, sizeof(port), "%ls", portText);
    WCHAR path[32];
    swprintf(path, ARRAYSIZE(path), L"\\\\.\\%ls", com);
    int result = StartWinsock();
    if (result != VcomctlOk)
        return result;
    static Bridge b;
    memset(&b, 0, sizeof(b));
    InitializeCriticalSection(&b.Lock);
    InitializeCriticalSection(&b.SendLock);
    b.IsServer = 1;
    b.Socket = INVALID_SOCKET;
    if ((result = OpenPortDevice(path, &b.Port)) != VcomctlOk)
        return result;
    struct addrinfo hints, *found = NULL;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    if (getaddrinfo(host, port, &hints, &found) != 0 || found == NULL)
        return ReportFailure("cannot listen on %s port %s", host, port);
    SOCKET listener = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (listener == INVALID_SOCKET || bind(listener, found->ai_addr, (int)found->ai_addrlen) != 0 ||
        listen(listener, 1) != 0) {
        freeaddrinfo(found);
        return ReportError((DWORD)WSAGetLastError(), "listening on %s port %s", host, port);
    }
    freeaddrinfo(found);
    HANDLE reader = CreateThread(NULL, 0, PortToNetThread, &b, 0, NULL);
    if (reader == NULL)
        return ReportError(GetLastError(), "starting the bridge");
    printf("serving %ls on %s port %s\n", com, host, port);
    fflush(stdout);
    for (;;) {
        SOCKET s = accept(listener, NULL, NULL);
        if (s == INVALID_SOCKET)
            continue;
        BOOL on = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof(on));
        b.Socket = s;
        StartSession(&b);
        NetToPort(&b);
        EndSession(&b);
    }
}
