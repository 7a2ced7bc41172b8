/*
 * Telnet and the COM Port Control Option, transport-free (see telnet.h). The receive side is one
 * byte-at-a-time state machine that never looks past the byte in hand; what it owes the peer goes
 * into a fixed reply buffer whose room is checked before each byte, so a peer can neither grow it
 * nor make it drop an answer.
 */
#include "telnet.h"

#include <string.h>

enum { Q_NO = 0, Q_YES = 1, Q_WANTNO = 2, Q_WANTYES = 3, Q_STATE = 3, Q_OPPOSITE = 4 };
enum { S_DATA, S_IAC, S_VERB, S_SB_OPTION, S_SB, S_SB_IAC };

static void Queue(Telnet* t, unsigned char a, unsigned char b, unsigned char c)
{
    /* The caller made sure of the room (TELNET_REPLY_RESERVE, or the check in TelnetSendComPort). */
    t->Reply[t->ReplyLength++] = a;
    t->Reply[t->ReplyLength++] = b;
    t->Reply[t->ReplyLength++] = c;
}

/* The options this side agrees to: for itself (the peer says DO) and for the peer (WILL). Only
 * the client offers the COM-PORT-OPTION and only the server takes it. */
static int AcceptUs(const Telnet* t, unsigned char option)
{
    return option == TELNET_OPT_BINARY || option == TELNET_OPT_SGA || (option == TELNET_OPT_COM_PORT && !t->IsServer);
}

static int AcceptHim(const Telnet* t, unsigned char option)
{
    return option == TELNET_OPT_BINARY || option == TELNET_OPT_SGA || (option == TELNET_OPT_COM_PORT && t->IsServer);
}

static int IsComPortSide(const Telnet* t, const unsigned char* table)
{
    return t->IsServer ? table == t->Him : table == t->Us;
}

/* RFC 1143: the peer asks for the option on (WILL for his side, DO for ours). */
static void ReceiveEnable(Telnet* t, unsigned char* table, unsigned char option, int accept, unsigned char yes,
                          unsigned char no)
{
    unsigned char state = table[option] & Q_STATE;
    unsigned char queued = table[option] & Q_OPPOSITE;
    switch (state) {
    case Q_NO:
        if (accept) {
            table[option] = Q_YES;
            Queue(t, TELNET_IAC, yes, option);
        } else {
            Queue(t, TELNET_IAC, no, option);
        }
        break;
    case Q_YES:
        break;
    case Q_WANTNO:
        /* Without a queued request the peer broke the protocol; the option stays off. */
        table[option] = queued ? Q_YES : Q_NO;
        break;
    default: /* Q_WANTYES */
        if (queued) {
            table[option] = Q_WANTNO;
            Queue(t, TELNET_IAC, no, option);
        } else {
            table[option] = Q_YES;
        }
        break;
    }
}

/* The peer says the option is off (WONT, DONT): always agreed to. */
static void ReceiveDisable(Telnet* t, unsigned char* table, unsigned char option, unsigned char yes,
                           unsigned char no)
{
    unsigned char state = table[option] & Q_STATE;
    unsigned char queued = table[option] & Q_OPPOSITE;
    switch (state) {
    case Q_NO:
        break;
    case Q_YES:
        table[option] = Q_NO;
        Queue(t, TELNET_IAC, no, option);
        break;
    case Q_WANTNO:
        if (queued) {
            table[option] = Q_WANTYES;
            Queue(t, TELNET_IAC, yes, option);
        } else {
            table[option] = Q_NO;
        }
        break;
    default: /* Q_WANTYES */
        table[option] = Q_NO;
        break;
    }
    if (option == TELNET_OPT_COM_PORT && IsComPortSide(t, table) && (table[option] & Q_STATE) == Q_NO) {
        t->ComPortRefused = 1;
    }
}

static void RequestEnable(Telnet* t, unsigned char* table, unsigned char option, unsigned char yes)
{
    switch (table[option] & Q_STATE) {
    case Q_NO:
        table[option] = Q_WANTYES;
        Queue(t, TELNET_IAC, yes, option);
        break;
    case Q_WANTNO:
        table[option] |= Q_OPPOSITE;
        break;
    case Q_WANTYES:
        table[option] &= (unsigned char)~Q_OPPOSITE;
        break;
    default:
        break;
    }
}

static void Negotiate(Telnet* t, unsigned char verb, unsigned char option)
{
    switch (verb) {
    case TELNET_WILL:
        ReceiveEnable(t, t->Him, option, AcceptHim(t, option), TELNET_DO, TELNET_DONT);
        break;
    case TELNET_WONT:
        ReceiveDisable(t, t->Him, option, TELNET_DO, TELNET_DONT);
        break;
    case TELNET_DO:
        ReceiveEnable(t, t->Us, option, AcceptUs(t, option), TELNET_WILL, TELNET_WONT);
        break;
    default: /* TELNET_DONT */
        ReceiveDisable(t, t->Us, option, TELNET_WILL, TELNET_WONT);
        break;
    }
}

static void EndSubnegotiation(Telnet* t)
{
    if (t->SbOverflow || t->SbOption != TELNET_OPT_COM_PORT || t->SbLength == 0 || !TelnetComPortActive(t)) {
        return;
    }
    if (t->OnComPort != NULL) {
        t->OnComPort(t->Context, t, t->Sb[0], t->Sb + 1, t->SbLength - 1);
    }
}

static void SbAppend(Telnet* t, unsigned char byte)
{
    if (t->SbLength < TELNET_SB_MAX) {
        t->Sb[t->SbLength++] = byte;
    } else {
        t->SbOverflow = 1;
    }
}

void TelnetInit(Telnet* t, int isServer, TelnetComPortHandler* onComPort, void* context)
{
    memset(t, 0, sizeof(*t));
    t->IsServer = isServer;
    t->State = S_DATA;
    t->OnComPort = onComPort;
    t->Context = context;
    RequestEnable(t, t->Us, TELNET_OPT_BINARY, TELNET_WILL);
    RequestEnable(t, t->Him, TELNET_OPT_BINARY, TELNET_DO);
    RequestEnable(t, t->Us, TELNET_OPT_SGA, TELNET_WILL);
    RequestEnable(t, t->Him, TELNET_OPT_SGA, TELNET_DO);
    if (isServer) {
        RequestEnable(t, t->Him, TELNET_OPT_COM_PORT, TELNET_DO);
    } else {
        RequestEnable(t, t->Us, TELNET_OPT_COM_PORT, TELNET_WILL);
    }
}

size_t TelnetReceive(Telnet* t, const unsigned char* input, size_t length, unsigned char* data, size_t* dataLength)
{
    size_t out = 0;
    size_t taken = 0;
    int binaryIn = (t->Him[TELNET_OPT_BINARY] & Q_STATE) == Q_YES;
    while (taken < length && TELNET_REPLY_SIZE - t->ReplyLength >= TELNET_REPLY_RESERVE) {
        unsigned char byte = input[taken++];
        switch (t->State) {
        case S_DATA:
            if (byte == TELNET_IAC) {
                t->State = S_IAC;
            } else if (byte == 0 && t->LastWasCr && !binaryIn) {
                t->LastWasCr = 0; /* NVT's CR NUL is a bare CR */
            } else {
                data[out++] = byte;
                t->LastWasCr = byte == '\r';
            }
            break;
        case S_IAC:
            t->State = S_DATA;
            t->LastWasCr = 0;
            if (byte == TELNET_IAC) {
                data[out++] = byte;
            } else if (byte >= TELNET_WILL) {
                t->Verb = byte;
                t->State = S_VERB;
            } else if (byte == TELNET_SB) {
                t->State = S_SB_OPTION;
            }
            /* NOP, GA, DM, BRK and the rest carry nothing for a serial line. */
            break;
        case S_VERB:
            Negotiate(t, t->Verb, byte);
            binaryIn = (t->Him[TELNET_OPT_BINARY] & Q_STATE) == Q_YES;
            t->State = S_DATA;
            break;
        case S_SB_OPTION:
            t->SbOption = byte;
            t->SbLength = 0;
            t->SbOverflow = 0;
            t->State = S_SB;
            break;
        case S_SB:
            if (byte == TELNET_IAC) {
                t->State = S_SB_IAC;
            } else {
                SbAppend(t, byte);
            }
            break;
        default: /* S_SB_IAC */
            if (byte == TELNET_SE) {
                t->State = S_DATA;
                EndSubnegotiation(t);
            } else if (byte == TELNET_IAC) {
                SbAppend(t, byte);
                t->State = S_SB;
            } else {
                /* A command inside a subnegotiation ends it unfinished; the command counts. */
                t->State = S_IAC;
                taken--;
            }
            break;
        }
    }
    *dataLength = out;
    return taken;
}

const unsigned char* TelnetReply(const Telnet* t, size_t* length)
{
    *length = t->ReplyLength;
    return t->Reply;
}

void TelnetReplySent(Telnet* t, size_t length)
{
    if (length >= t->ReplyLength) {
        t->ReplyLength = 0;
        return;
    }
    memmove(t->Reply, t->Reply + length, t->ReplyLength - length);
    t->ReplyLength -= length;
}

size_t TelnetEscape(const Telnet* t, const unsigned char* input, size_t length, unsigned char* output)
{
    int binaryOut = (t->Us[TELNET_OPT_BINARY] & Q_STATE) == Q_YES;
    size_t out = 0;
    for (size_t i = 0; i < length; i++) {
        output[out++] = input[i];
        if (input[i] == TELNET_IAC) {
            output[out++] = TELNET_IAC;
        } else if (input[i] == '\r' && !binaryOut) {
            output[out++] = 0;
        }
    }
    return out;
}

int TelnetSendComPort(Telnet* t, unsigned char command, const unsigned char* value, size_t length)
{
    if (!TelnetComPortActive(t) || length > TELNET_SB_MAX ||
        TELNET_REPLY_SIZE - t->ReplyLength < TELNET_REPLY_RESERVE + 6 + 2 * length) {
        return 0;
    }
    unsigned char* out = t->Reply + t->ReplyLength;
    size_t n = 0;
    out[n++] = TELNET_IAC;
    out[n++] = TELNET_SB;
    out[n++] = TELNET_OPT_COM_PORT;
    out[n++] = command;
    for (size_t i = 0; i < length; i++) {
        out[n++] = value[i];
        if (value[i] == TELNET_IAC) {
            out[n++] = TELNET_IAC;
        }
    }
    out[n++] = TELNET_IAC;
    out[n++] = TELNET_SE;
    t->ReplyLength += n;
    return 1;
}

int TelnetComPortActive(const Telnet* t)
{
    const unsigned char* table = t->IsServer ? t->Him : t->Us;
    return (table[TELNET_OPT_COM_PORT] & Q_STATE) == Q_YES;
}

int TelnetComPortRefused(const Telnet* t) { return t->ComPortRefused; }
