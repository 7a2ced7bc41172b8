/*
 * vcombus control interface: what a control application needs to find the bus and talk to it.
 *
 * Plain C, usable from C and C++. It includes nothing: include it after <windows.h> (applications)
 * or the kernel headers (the driver), which supply GUID and DEFINE_GUID. As with every DEFINE_GUID
 * header, exactly one translation unit of a program includes <initguid.h> first so that the GUIDs
 * are defined there and only declared elsewhere.
 */
#ifndef VCOMBUS_IOCTL_H
#define VCOMBUS_IOCTL_H

#ifdef __cplusplus
#define VCOMBUS_STATIC_ASSERT(expression, message) static_assert(expression, message)
#else
#define VCOMBUS_STATIC_ASSERT(expression, message) _Static_assert(expression, message)
#endif

/* Device interface of the bus, enabled while the bus is started: the way to open it. */
/* {3A9B85F5-2569-4653-B56D-C83163386FB6} */
DEFINE_GUID(GUID_VIRTUAL_BUS_INTERFACE,
    0x3a9b85f5, 0x2569, 0x4653, 0xb5, 0x6d, 0xc8, 0x31, 0x63, 0x38, 0x6f, 0xb6);

/* Setup class of the ports (and of the bus, which the same setup information installs). Its
 * class key may carry the security settings ports are created with. */
/* {D9B20363-629F-47DC-BEA8-C149A2CCB34F} */
DEFINE_GUID(GUID_VIRTUAL_PORT_CLASS,
    0xd9b20363, 0x629f, 0x47dc, 0xbe, 0xa8, 0xc1, 0x49, 0xa2, 0xcc, 0xb3, 0x4f);

/*
 * Bus control codes: device type FILE_DEVICE_BUS_EXTENDER, METHOD_BUFFERED, FILE_READ_ACCESS, so
 * the bus handle must have been opened with read access. Spelled out rather than built with
 * CTL_CODE so that the header needs neither winioctl.h nor the kernel's definition.
 */
#define VCOMBUS_BUS_CONTROL_CODE(function) \
    ((unsigned long)((0x2AUL << 16) | (0x1UL << 14) | ((unsigned long)(function) << 2) | 0x0UL))

#define IOCTL_BUS_PLUGIN_PORT    VCOMBUS_BUS_CONTROL_CODE(0x510)
#define IOCTL_BUS_UNPLUG_PORT    VCOMBUS_BUS_CONTROL_CODE(0x511)
#define IOCTL_BUS_EJECT_PORT     VCOMBUS_BUS_CONTROL_CODE(0x512)
#define IOCTL_BUS_GET_PORT_COUNT VCOMBUS_BUS_CONTROL_CODE(0x514)
#define IOCTL_BUS_GET_VERSION    VCOMBUS_BUS_CONTROL_CODE(0x515)

/* IOCTL_BUS_GET_VERSION answers this 32-bit value: the driver's version 2.0.0.1, a digit a nibble. */
#define VCOMBUS_DRIVER_VERSION 0x2001UL

/* The codes are a binary contract with driver builds of every age: keep them fixed. */
VCOMBUS_STATIC_ASSERT(IOCTL_BUS_PLUGIN_PORT == 0x2A5440UL, "plug-in code");
VCOMBUS_STATIC_ASSERT(IOCTL_BUS_UNPLUG_PORT == 0x2A5444UL, "unplug code");
VCOMBUS_STATIC_ASSERT(IOCTL_BUS_EJECT_PORT == 0x2A5448UL, "eject code");
VCOMBUS_STATIC_ASSERT(IOCTL_BUS_GET_PORT_COUNT == 0x2A5450UL, "port count code");
VCOMBUS_STATIC_ASSERT(IOCTL_BUS_GET_VERSION == 0x2A5454UL, "version code");

/*
 * Input of IOCTL_BUS_PLUGIN_PORT: the fixed part, then the port's hardware identifiers as a UTF-16
 * multi-string (each identifier ends with a NUL, the list with one more NUL), ending exactly at
 * the end of the input. Size must be 8; any PortNumber is taken.
 */
typedef struct PortPlugInRequest {
    unsigned int Size;
    unsigned int PortNumber;
    /* unsigned short HardwareIds[]; follows */
} PortPlugInRequest;

/* Input of IOCTL_BUS_UNPLUG_PORT and IOCTL_BUS_EJECT_PORT. Size must be 16; PortNumber 0 means
 * every port. */
typedef struct PortRemoveRequest {
    unsigned int Size;
    unsigned int PortNumber;
    unsigned int Reserved[2];
} PortRemoveRequest;

VCOMBUS_STATIC_ASSERT(sizeof(PortPlugInRequest) == 8, "plug-in request fixed part");
VCOMBUS_STATIC_ASSERT(sizeof(PortRemoveRequest) == 16, "remove request");
#ifdef __cplusplus
VCOMBUS_STATIC_ASSERT(__builtin_offsetof(PortPlugInRequest, PortNumber) == 4, "plug-in request layout");
VCOMBUS_STATIC_ASSERT(__builtin_offsetof(PortRemoveRequest, PortNumber) == 4, "remove request layout");
#endif

/*
 * Tap and routing control codes, also sent to the bus: device type FILE_DEVICE_BUS_EXTENDER,
 * FILE_READ_ACCESS. The commands carry their input in the input buffer (METHOD_IN_DIRECT); the two
 * queries answer 4 bytes in the output buffer (METHOD_OUT_DIRECT).
 */
#define VCOMBUS_TAP_CONTROL_CODE(function, method) \
    ((unsigned long)((0x2AUL << 16) | (0x1UL << 14) | ((unsigned long)(function) << 2) | (unsigned long)(method)))

/* Input: the real port's device name ("\Device\Serial0"), ANSI; it ends at its NUL or at the
 * end of the input, whichever comes first. */
#define IOCTL_TAP_ATTACH        VCOMBUS_TAP_CONTROL_CODE(500, 1)
#define IOCTL_TAP_DETACH        VCOMBUS_TAP_CONTROL_CODE(501, 1)
/* Input: a RoutingConfig. Sets the routing, gives the tap its capture settings, starts capture. */
#define IOCTL_TAP_CONFIGURE     VCOMBUS_TAP_CONTROL_CODE(502, 1)
/* Stops capture; the settings stay. */
#define IOCTL_TAP_DISABLE       VCOMBUS_TAP_CONTROL_CODE(503, 1)
/* Output: the number of attached taps (0 or 1), 32-bit. */
#define IOCTL_TAP_GET_COUNT     VCOMBUS_TAP_CONTROL_CODE(504, 2)
/* Output: a 32-bit tap status word (VCOMBUS_TAP_STATUS_*). */
#define IOCTL_TAP_GET_STATUS    VCOMBUS_TAP_CONTROL_CODE(505, 2)
/* Input: a RoutingConfig, of which only the routing fields and the no-pacing bit are used. */
#define IOCTL_ROUTING_CONFIGURE VCOMBUS_TAP_CONTROL_CODE(506, 1)

VCOMBUS_STATIC_ASSERT(IOCTL_TAP_ATTACH == 0x2A47D1UL, "tap attach code");
VCOMBUS_STATIC_ASSERT(IOCTL_TAP_DETACH == 0x2A47D5UL, "tap detach code");
VCOMBUS_STATIC_ASSERT(IOCTL_TAP_CONFIGURE == 0x2A47D9UL, "tap configure code");
VCOMBUS_STATIC_ASSERT(IOCTL_TAP_DISABLE == 0x2A47DDUL, "tap disable code");
VCOMBUS_STATIC_ASSERT(IOCTL_TAP_GET_COUNT == 0x2A47E2UL, "tap count code");
VCOMBUS_STATIC_ASSERT(IOCTL_TAP_GET_STATUS == 0x2A47E6UL, "tap status code");
VCOMBUS_STATIC_ASSERT(IOCTL_ROUTING_CONFIGURE == 0x2A47E9UL, "routing configure code");

/* The tap status word: 8 alone when no tap is attached, 4 alone when the tap has lost the device
 * beneath it; otherwise a combination of the two low bits. */
#define VCOMBUS_TAP_STATUS_BUSY          0x1UL /* capture is on, or requests are in progress */
#define VCOMBUS_TAP_STATUS_COVERED       0x2UL /* another device is attached above the tap */
#define VCOMBUS_TAP_STATUS_NO_LOWER      0x4UL
#define VCOMBUS_TAP_STATUS_NOT_ATTACHED  0x8UL

/* CaptureDirection values; any other value captures nothing. */
#define VCOMBUS_CAPTURE_RECEIVED 0
#define VCOMBUS_CAPTURE_SENT     1
#define VCOMBUS_CAPTURE_NONE     0x7F
/* Set in CaptureDirection: ring deliveries are not paced (each block stored in one piece). */
#define VCOMBUS_NO_PACING        0x80

/* A configuration is refused when its Timestamp is more than this far (100 ns units, 60 s) from
 * the driver's system time: fill it with the current system time just before sending it. */
#define VCOMBUS_CONFIG_MAX_AGE 600000000LL

/*
 * Input of IOCTL_TAP_CONFIGURE and IOCTL_ROUTING_CONFIGURE, 40 bytes, little-endian. Longer inputs
 * are accepted and only their first 40 bytes read.
 */
typedef struct RoutingConfig {
    unsigned char CaptureDirection;   /* bits 0-6: VCOMBUS_CAPTURE_*; bit 7: VCOMBUS_NO_PACING */
    unsigned char Reserved1[3];
    unsigned int ExcludedPort;        /* hub port that receives no captured data */
    unsigned int Reserved2[2];
    long long Timestamp;              /* system time (100 ns since 1601, UTC) the record was made */
    unsigned int MasterPortNumber;    /* hub port the flagged ports' writes go to; 0 = none */
    unsigned char RealPortMode;       /* non-zero: flagged hub ports write into the real port */
    unsigned char PortFlags[8];       /* [0] for port 1 ... [7] for port 8 */
    unsigned char Reserved3[3];
} RoutingConfig;

VCOMBUS_STATIC_ASSERT(sizeof(RoutingConfig) == 40, "routing configuration record");
#ifdef __cplusplus
VCOMBUS_STATIC_ASSERT(__builtin_offsetof(RoutingConfig, ExcludedPort) == 4, "routing configuration layout");
VCOMBUS_STATIC_ASSERT(__builtin_offsetof(RoutingConfig, Timestamp) == 16, "routing configuration layout");
VCOMBUS_STATIC_ASSERT(__builtin_offsetof(RoutingConfig, MasterPortNumber) == 24, "routing configuration layout");
VCOMBUS_STATIC_ASSERT(__builtin_offsetof(RoutingConfig, RealPortMode) == 28, "routing configuration layout");
VCOMBUS_STATIC_ASSERT(__builtin_offsetof(RoutingConfig, PortFlags) == 29, "routing configuration layout");
#endif

/*
 * The partner watch, for a bridge that holds one end of a null-modem pair and carries the line to
 * somewhere else: sent on the bridge's own port, it answers the line settings of the port at the
 * other end of the cable (what its application set) and, when they have not changed since the
 * generation the caller last saw, waits for their next change. Device type FILE_DEVICE_SERIAL_PORT,
 * METHOD_BUFFERED, any access. A port never asked keeps behaving as before.
 *
 * The request stays pending until the partner's settings change, the partner leaves the cable,
 * the request is cancelled, or a cleanup or close of the port (or its removal) ends it
 * (STATUS_CANCELLED). One watch at a time per port: a second one is refused with
 * STATUS_DEVICE_BUSY. A port without a bus (removed while its handles stay open) refuses it with
 * STATUS_NO_SUCH_DEVICE.
 */
#define IOCTL_VCOMBUS_WATCH_PARTNER ((unsigned long)((0x1BUL << 16) | (0x900UL << 2)))
VCOMBUS_STATIC_ASSERT(IOCTL_VCOMBUS_WATCH_PARTNER == 0x1B2400UL, "partner watch code");

/* Input: Size 8; Generation is the one of the last answer, 0 for an answer at once. */
typedef struct PartnerWatchRequest {
    unsigned int Size;
    unsigned int Generation;
} PartnerWatchRequest;

/* PartnerLineState.Flags */
#define VCOMBUS_PARTNER_PRESENT 0x1UL /* a partner is on the cable; the rest is 0 otherwise */
#define VCOMBUS_PARTNER_OPEN    0x2UL /* it is open */
#define VCOMBUS_PARTNER_BREAK   0x4UL /* it holds a break */

/* Output, 48 bytes. The counters only grow (wrapping): a bridge compares them with the last
 * answer's to see every break and purge, however quickly they followed each other. */
typedef struct PartnerLineState {
    unsigned int Size;             /* 48 */
    unsigned int Generation;       /* never 0; changes with every change of what follows */
    unsigned int Flags;            /* VCOMBUS_PARTNER_* */
    unsigned int BaudRate;
    unsigned char WordLength;      /* 5-8 */
    unsigned char Parity;          /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
    unsigned char StopBits;        /* 0 one, 1 one and a half, 2 two */
    unsigned char Reserved;
    unsigned int ModemControl;     /* SERIAL_IOC_MCR_*: 1 DTR, 2 RTS, ... */
    unsigned int ControlHandShake; /* the partner's SERIAL_HANDFLOW */
    unsigned int FlowReplace;
    unsigned int BreakCount;       /* breaks the partner started */
    unsigned int TxPurgeCount;     /* purges of its unsent output (SERIAL_PURGE_TXCLEAR) */
    unsigned int RxPurgeCount;     /* purges of its input (SERIAL_PURGE_RXCLEAR) */
    unsigned int Reserved2;
} PartnerLineState;

VCOMBUS_STATIC_ASSERT(sizeof(PartnerWatchRequest) == 8, "partner watch request");
VCOMBUS_STATIC_ASSERT(sizeof(PartnerLineState) == 48, "partner line state");
#ifdef __cplusplus
VCOMBUS_STATIC_ASSERT(__builtin_offsetof(PartnerLineState, WordLength) == 16, "partner line state layout");
VCOMBUS_STATIC_ASSERT(__builtin_offsetof(PartnerLineState, ModemControl) == 20, "partner line state layout");
VCOMBUS_STATIC_ASSERT(__builtin_offsetof(PartnerLineState, BreakCount) == 32, "partner line state layout");
#endif

#endif /* VCOMBUS_IOCTL_H */
