/* vcomctl: the control application of the vcombus driver. Declarations shared by its commands. */
#ifndef VCOMCTL_H
#define VCOMCTL_H

#include <stddef.h>
#include <windows.h>

#include "vcombus/ioctl.h"

/* The hardware identifier of the root-enumerated bus device; the setup information matches it. */
#define VCOMCTL_BUS_HARDWARE_ID L"Root\\vcombus"
/* The driver's service name, as the setup information installs it. */
#define VCOMCTL_SERVICE_NAME L"vcombus"
/* How long install waits for the new bus to start and offer its interface. */
#define VCOMCTL_START_TIMEOUT_MS 15000

/* Exit codes: 0 success, 1 a failure reported on stderr, 2 a usage error. */
enum { VcomctlOk = 0, VcomctlFailed = 1, VcomctlUsage = 2 };

/* Prints "vcomctl: <what>: error <n> (<system text>)" on stderr, <what> formatted printf-style;
 * returns VcomctlFailed. */
int ReportError(DWORD error, const char* format, ...);
/* Prints "vcomctl: <message>" on stderr; returns VcomctlFailed. */
int ReportFailure(const char* format, ...);
/* While buffer is set (NULL ends it), the first report goes there instead of stderr, without
 * the "vcomctl: " prefix; ClearCapturedReport empties it for the next item. */
void CaptureReports(char* buffer, size_t size);
void ClearCapturedReport(void);

/* The bus found through its device interface. Path is heap memory owned by the caller. */
typedef struct BusInterface {
    WCHAR* Path;
    WCHAR InstanceId[512];
} BusInterface;

/* Finds the first started bus. Returns ERROR_SUCCESS, ERROR_NOT_FOUND when no device offers the
 * bus interface, or the error of the lookup. */
DWORD FindBus(BusInterface* bus);
void FreeBus(BusInterface* bus);

int CommandInstall(const WCHAR* infPath);
/* trust/untrust [--cert PATH] (trust.c): the package's test certificate (by default the one
 * beside vcomctl.exe) into, or out of, the machine's Root and TrustedPublisher stores. */
int CommandTrust(const WCHAR* certPath);
int CommandUntrust(const WCHAR* certPath);
/* Whether the machine trusts the signer of the package's catalog and would load its driver;
 * reports each lack on a line of its own, with what to do. */
int CheckPackageSignature(const WCHAR* inf);
/* path add|remove DIR (path.c): DIR on the system PATH, or off it. */
int CommandPath(int add, const WCHAR* dir);
/* Replaces the file name at the end of path (everything after its last backslash) with name. */
DWORD ReplaceFileName(WCHAR* path, DWORD capacity, const WCHAR* name);
/* config line-settings [on|off] (config.c): change is 0 to print the setting. */
int CommandConfigLineSettings(int change, int on);
/* config pacing [on|off] (config.c): the same for the pacing of delivery, read at driver load. */
int CommandConfigPacing(int change, int on);
int CommandConfigBaudTiming(int change, int on);
/* Whether the installed setting turns pacing off (NoPacing = 1); 0 when absent or unreadable. */
int ConfiguredNoPacing(void);
int CommandUninstall(void);
int CommandStatus(void);

/* Port commands (ports.c). A port number on the command line is a decimal number from 1 up. */
int ParsePortNumber(const WCHAR* text, unsigned long* number);
/* com: the COM name to give the port(s), or NULL; for a pair, two names. */
/* temporary: the port(s) stay out of the recorded configuration. */
int CommandPlug(unsigned long number, const WCHAR* const* ids, int idCount, const WCHAR* com, int temporary);
int CommandPair(unsigned long first, const WCHAR* const* com, int temporary);
/* Puts recorded port number back: plugs it in unless it is there, and gives it the COM name com
 * (NULL for none) unless it has it. Reports its own failures. */
int RestorePort(HANDLE bus, unsigned long number, const WCHAR* const* ids, int idCount, const WCHAR* com);
int CommandRemove(int eject, unsigned long number); /* number 0: every port */
int CommandName(unsigned long number, const WCHAR* com);
int CommandUnname(unsigned long number);
int CommandList(void);
int CommandVersion(void);
/* Opens the bus for its control requests, reporting a failure itself. */
int OpenBus(HANDLE* handle);

/* Tap and routing commands (tap.c): the arguments after the command's name. */
int CommandTap(int argc, WCHAR** argv);
int CommandRoute(int argc, WCHAR** argv);
/* The routing options (tapToo: and the capture options) into config; a usage error is printed
 * as "vcomctl: <where>: ..." and returns VcomctlUsage. */
int ParseRouting(int argc, WCHAR** argv, int tapToo, RoutingConfig* config, const char* where);
/* Sends config (stamped with the time) with code, IOCTL_ROUTING_CONFIGURE or IOCTL_TAP_CONFIGURE. */
int ConfigureRouting(DWORD code, RoutingConfig* config, const char* what);
int AttachTap(const WCHAR* name);
int DisableCapture(void);
/* 1 if a tap is attached, 0 if not, -1 if the bus could not say (reported). */
int TapAttached(void);

/* Line settings (config.c). */
int SetLineSettings(int on);
int ReadLineSettings(int* on);

/* Network bridges (bridge.c): RFC 2217 client and server, each an object run on threads of its
 * own until stopped. */
typedef struct BridgeDefinition {
    int IsServer;
    WCHAR Com[16];         /* connect: the application's COM name (empty: Number); serve: the port */
    unsigned long Number;  /* connect --port N: the application's end of a pair */
    WCHAR Address[256];    /* connect: HOST:PORT; serve: the address listened on (empty: 127.0.0.1) */
    WCHAR TcpPort[8];      /* serve */
    int Share;             /* serve: more than one client at a time */
} BridgeDefinition;
typedef struct Bridge Bridge;
typedef void BridgeLog(void* context, const char* line);
/* Starts the bridge; changed (may be NULL) is set whenever its state changes, log (may be NULL)
 * gets its connections and losses as lines. NULL on failure (reported). */
Bridge* BridgeStart(const BridgeDefinition* definition, HANDLE changed, BridgeLog* log, void* logContext);
/* Ends its threads and connections, closes its port and frees it. */
void BridgeStop(Bridge* bridge);
/* Its state in words: connected, retrying with backoff and why, serving with N clients... */
void BridgeDescribe(Bridge* bridge, char* text, size_t size);
/* The arguments of connect or serve after the command's name (temporary NULL: --temporary is not
 * taken); 0 with error set when they are no bridge. */
int ParseBridge(int isServer, int argc, WCHAR** argv, BridgeDefinition* definition, int* temporary, char* error, size_t size);
/* The record's line for it ("connect COM40 host:4000"), and its name, the local end ("connect
 * COM40", "serve COM42"): one bridge a name. */
void FormatBridge(const BridgeDefinition* definition, WCHAR* line, size_t size);
void BridgeKey(const BridgeDefinition* definition, WCHAR* key, size_t size);
int SameBridge(const BridgeDefinition* a, const BridgeDefinition* b);
/* The commands: temporary runs the bridge here until Ctrl+C; otherwise it is recorded and the
 * restore service runs it. Disconnect (connect or unserve) takes it out again. */
int CommandConnect(const BridgeDefinition* definition, int temporary);
int CommandServe(const BridgeDefinition* definition, int temporary);
int CommandDisconnect(const BridgeDefinition* definition);
/* The service's control code that makes it read the record again and start and stop bridges
 * to match, and where it publishes their states (a volatile key: gone at a restart). */
#define VCOMCTL_RESTORE_RECONFIGURE 128
#define VCOMCTL_BRIDGE_STATE_KEY L"SYSTEM\\CurrentControlSet\\Services\\vcomsvc\\Parameters\\Bridges"
int NotifyRestoreService(void); /* whether the service was told */
int PublishBridgeStates(const WCHAR* const* keys, const char* const* states, size_t count);
int ReadBridgeState(const WCHAR* key, char* state, size_t size); /* whether one is published */

/* COM names (names.c). A COM name is COM1 to COM4096, the range the COM name database covers. */
#define VCOMCTL_COM_MAX 4096
#define VCOMCTL_DEVICE_NAME_CHARS 256
/* Whether text is a COM name; its number if so. */
int ParseComName(const WCHAR* text, unsigned long* number);
void FormatComName(unsigned long number, WCHAR* name, size_t size);

/* The names in the object directory \Device, each as "\Device\<name>". */
typedef struct DeviceList {
    WCHAR (*Names)[VCOMCTL_DEVICE_NAME_CHARS];
    size_t Count;
} DeviceList;
DWORD ListDevices(DeviceList* list);
void FreeDevices(DeviceList* list);
/* The one name in after that isn't in before; 0 if none or more than one appeared. */
int NewDevice(const DeviceList* before, const DeviceList* after, WCHAR* name);

/* The device name (\Device\...) of plugged port number: ERROR_SUCCESS or ERROR_NOT_FOUND. */
DWORD PortDeviceName(unsigned long number, WCHAR* device, size_t size);
/* vcomctl's record of the device a port it plugged in got, for platforms that don't say. */
DWORD RecordPortDevice(unsigned long number, const WCHAR* device);
void ForgetPortDevice(unsigned long number);
/* Removes the names of recorded ports whose devices have gone, and their records. */
void ForgetVanishedPorts(void);
/* Removes vcomctl's record keys once they hold no records (after an uninstall). */
void ForgetRecords(void);

/* A plugged port whose device is known, with its COM name (empty if none). */
typedef struct PortInfo {
    unsigned long Number;
    WCHAR Device[VCOMCTL_DEVICE_NAME_CHARS];
    WCHAR Com[16];
} PortInfo;
/* The plugged ports whose devices are known, by number; *ports is heap memory for the caller. */
size_t KnownPorts(PortInfo** ports);

/* Serialises vcomctl's naming commands; held until the process exits or UnlockNames. */
int LockNames(void);
void UnlockNames(void);
/* VcomctlOk if no link and no SERIALCOMM value uses com; otherwise reports it in use. */
int CheckComNameFree(const WCHAR* com);
/* Gives plugged port number the COM name com: link, SERIALCOMM value, database claim, all or
 * nothing. Reports its own failures; returns an exit code. */
int NamePort(unsigned long number, const WCHAR* com);
int UnnamePort(unsigned long number);
/* Removes the link com -> device (only if it still leads there), the SERIALCOMM value of device,
 * and the database's claim of com. */
DWORD RemoveNames(const WCHAR* device, const WCHAR* com);
DWORD RemoveComLink(const WCHAR* com, const WCHAR* device);
DWORD ComLinkTarget(const WCHAR* com, WCHAR* target, size_t size);
DWORD SerialCommName(const WCHAR* device, WCHAR* com, size_t size);

/* The restore service (tools/vcomsvc), as vcomctl install installs it. */
#define VCOMCTL_RESTORE_SERVICE L"vcomsvc"
#define VCOMCTL_RESTORE_IMAGE L"vcomsvc.exe"
/* Installs the restore service beside this program and starts it; removes it again. */
int InstallRestoreService(void);
int RemoveRestoreService(void);

/* The recorded configuration (record.c): what the restore service puts back. */
typedef struct RecordedPort {
    unsigned long Number;
    WCHAR Com[16];  /* empty: no COM name */
    WCHAR Ids[512]; /* hardware identifiers separated by spaces; empty: the default one */
} RecordedPort;
typedef struct Configuration {
    int LineSettings; /* -1: not recorded */
    RecordedPort* Ports; /* by number */
    size_t PortCount;
    int HasRouting;
    RoutingConfig Routing;
    WCHAR Tap[VCOMCTL_DEVICE_NAME_CHARS]; /* the name tap attach was given; empty: no tap */
    int HasCapture;
    RoutingConfig Capture;
    int CaptureOn;
    BridgeDefinition* Bridges; /* in the order recorded */
    size_t BridgeCount;
} Configuration;
void InitConfiguration(Configuration* config);
void FreeConfiguration(Configuration* config);
RecordedPort* FindRecordedPort(const Configuration* config, unsigned long number);
/* The export format; on a bad line reports "<source>:<line>: ..." and returns non-zero. */
int ParseConfiguration(const WCHAR* text, const char* source, Configuration* config);
/* The next word of *at, cut out in place and *at moved past it; NULL when none is left. */
WCHAR* NextWord(WCHAR** at, const WCHAR* separators);
WCHAR* FormatConfiguration(const Configuration* config); /* heap memory; NULL when out of it */
/* The record: an empty configuration when none is recorded. */
int LoadConfiguration(Configuration* config);
int SaveConfiguration(const Configuration* config);
void ForgetConfiguration(void);
/* What each setup command records once it has succeeded. */
int RecordPlug(unsigned long number, const WCHAR* const* ids, int idCount, const WCHAR* com);
int RecordRemove(unsigned long number); /* 0: every port */
int RecordPortName(unsigned long number, const WCHAR* com); /* NULL: unnamed */
int RecordLineSettings(int on);
int RecordRouting(const RoutingConfig* routing);
int RecordTap(const WCHAR* name); /* NULL: detached */
int RecordCapture(const RoutingConfig* capture, int on); /* capture NULL: only on/off */
/* Adds the bridge (replacing the one of the same name) or, remove, takes out the one of its name. */
int RecordBridge(const BridgeDefinition* definition, int remove, int* found);
/* vcomctl list: each recorded bridge and its live state. */
void PrintBridges(const Configuration* config);
int CommandExport(const WCHAR* path); /* NULL: standard output */
int CommandImport(const WCHAR* path);

/* Restoring (restore.c). failed is called once for each item that could not be put back. */
typedef void (*UnrestoredItem)(const char* item, const char* why, void* context);
/* Puts every recorded item back that isn't there, going on after a failure; stopNow, if given,
 * ends it between items. The number of items that failed. */
unsigned ApplyConfiguration(const Configuration* config, UnrestoredItem failed, void* context,
                            int (*stopNow)(void* context));
void PrintRestoreServiceState(void);
/* Prints whether the live setup matches the recorded configuration. */
int PrintRecordStatus(void);

#endif
