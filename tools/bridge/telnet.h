/*
 * Telnet with the COM Port Control Option (RFC 854, 855, 1143, 2217), without a transport: bytes
 * from the network go in, the data they carry and the replies owed to the peer come out. Plain
 * C (also compiles as C++), no allocation, no platform calls, so that the host build can fuzz it.
 *
 * Option negotiation follows RFC 1143's Q method: no reply loops, whatever the peer sends. Only
 * what a serial bridge needs is accepted (BINARY, SUPPRESS-GO-AHEAD, COM-PORT-OPTION); every
 * other option is refused. Nothing here ever waits for an answer: a peer that declines the
 * COM-PORT-OPTION, or never acknowledges a command, leaves the data flowing.
 */
#ifndef VCOMBUS_TELNET_H
#define VCOMBUS_TELNET_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    TELNET_SE = 240, TELNET_NOP = 241, TELNET_SB = 250, TELNET_WILL = 251, TELNET_WONT = 252,
    TELNET_DO = 253, TELNET_DONT = 254, TELNET_IAC = 255,
};
enum { TELNET_OPT_BINARY = 0, TELNET_OPT_ECHO = 1, TELNET_OPT_SGA = 3, TELNET_OPT_COM_PORT = 44 };

/* COM-PORT-OPTION commands as a client sends them; a server answers each with 100 more. */
enum {
    COMPORT_SIGNATURE = 0, COMPORT_SET_BAUDRATE = 1, COMPORT_SET_DATASIZE = 2, COMPORT_SET_PARITY = 3,
    COMPORT_SET_STOPSIZE = 4, COMPORT_SET_CONTROL = 5, COMPORT_NOTIFY_LINESTATE = 6,
    COMPORT_NOTIFY_MODEMSTATE = 7, COMPORT_FLOWCONTROL_SUSPEND = 8, COMPORT_FLOWCONTROL_RESUME = 9,
    COMPORT_SET_LINESTATE_MASK = 10, COMPORT_SET_MODEMSTATE_MASK = 11, COMPORT_PURGE_DATA = 12,
    COMPORT_SERVER_OFFSET = 100,
};
/* SET-PARITY values; SET-STOPSIZE values; SET-CONTROL values; PURGE-DATA values. */
enum { COMPORT_PARITY_NONE = 1, COMPORT_PARITY_ODD = 2, COMPORT_PARITY_EVEN = 3, COMPORT_PARITY_MARK = 4,
       COMPORT_PARITY_SPACE = 5 };
enum { COMPORT_STOP_1 = 1, COMPORT_STOP_2 = 2, COMPORT_STOP_1_5 = 3 };
enum {
    COMPORT_CONTROL_FLOW_REQUEST = 0, COMPORT_CONTROL_FLOW_NONE = 1, COMPORT_CONTROL_FLOW_XONXOFF = 2,
    COMPORT_CONTROL_FLOW_HARDWARE = 3, COMPORT_CONTROL_BREAK_REQUEST = 4, COMPORT_CONTROL_BREAK_ON = 5,
    COMPORT_CONTROL_BREAK_OFF = 6, COMPORT_CONTROL_DTR_REQUEST = 7, COMPORT_CONTROL_DTR_ON = 8,
    COMPORT_CONTROL_DTR_OFF = 9, COMPORT_CONTROL_RTS_REQUEST = 10, COMPORT_CONTROL_RTS_ON = 11,
    COMPORT_CONTROL_RTS_OFF = 12,
};
enum { COMPORT_PURGE_RX = 1, COMPORT_PURGE_TX = 2, COMPORT_PURGE_BOTH = 3 };
/* NOTIFY-MODEMSTATE bits. */
enum { COMPORT_MODEM_CD = 0x80, COMPORT_MODEM_RI = 0x40, COMPORT_MODEM_DSR = 0x20, COMPORT_MODEM_CTS = 0x10 };

/* The longest subnegotiation value kept; a longer one is dropped whole. */
#define TELNET_SB_MAX 64
/* Room the reply buffer keeps for what one input byte can make owed: a negotiation answer or an
 * escaped subnegotiation of the longest value. */
#define TELNET_REPLY_RESERVE (6 + 2 * TELNET_SB_MAX)
#define TELNET_REPLY_SIZE 1024

typedef struct Telnet Telnet;
/* A COM-PORT-OPTION subnegotiation arrived: its command byte and value (IAC unescaped). */
typedef void TelnetComPortHandler(void* context, Telnet* telnet, unsigned char command,
                                  const unsigned char* value, size_t length);

struct Telnet {
    int IsServer;
    /* Per option, ours and the peer's: RFC 1143 state (low 2 bits) and queue bit (bit 2). */
    unsigned char Us[256];
    unsigned char Him[256];
    int State;
    unsigned char Verb;
    unsigned char LastWasCr;
    unsigned char SbOption;
    unsigned char SbOverflow;
    unsigned char ComPortRefused;
    size_t SbLength;
    unsigned char Sb[TELNET_SB_MAX];
    size_t ReplyLength;
    unsigned char Reply[TELNET_REPLY_SIZE];
    TelnetComPortHandler* OnComPort;
    void* Context;
};

/* Starts a session; `isServer` decides which options are asked for and which commands are
 * expected. The opening requests are queued as replies. */
void TelnetInit(Telnet* telnet, int isServer, TelnetComPortHandler* onComPort, void* context);

/* Takes up to `length` bytes from the peer. The data they carry go to `data` (room for `length`
 * bytes always suffices); returns how many input bytes were taken, fewer than `length` only when
 * the replies owed must be sent first (TelnetTakeReply) to make room. */
size_t TelnetReceive(Telnet* telnet, const unsigned char* input, size_t length, unsigned char* data,
                     size_t* dataLength);

/* The replies owed to the peer, and their removal once sent. */
const unsigned char* TelnetReply(const Telnet* telnet, size_t* length);
void TelnetReplySent(Telnet* telnet, size_t length);

/* Escapes data for the peer: IAC doubled, and outside BINARY a CR followed by NUL. `output` needs
 * room for 2 * length bytes; returns the bytes written. */
size_t TelnetEscape(const Telnet* telnet, const unsigned char* input, size_t length, unsigned char* output);

/* Queues a COM-PORT-OPTION command (a client's, or a server's with COMPORT_SERVER_OFFSET added).
 * Returns 0 when it cannot be sent: the option is not on, or no room (value over TELNET_SB_MAX,
 * or replies unsent). */
int TelnetSendComPort(Telnet* telnet, unsigned char command, const unsigned char* value, size_t length);

/* Whether the COM-PORT-OPTION is agreed (for a client: the server said DO; for a server: the
 * client said WILL), and whether it was refused. */
int TelnetComPortActive(const Telnet* telnet);
int TelnetComPortRefused(const Telnet* telnet);

#ifdef __cplusplus
}
#endif

#endif /* VCOMBUS_TELNET_H */
