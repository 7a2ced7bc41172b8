/* vcomctl: the control application of the vcombus driver. Declarations shared by its commands. */
#ifndef VCOMCTL_H
#define VCOMCTL_H

#include <stddef.h>
#include <windows.h>

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
/* config line-settings [on|off] (config.c): change is 0 to print the setting. */
int CommandConfigLineSettings(int change, int on);
int CommandUninstall(void);
int CommandStatus(void);

/* Port commands (ports.c). A port number on the command line is a decimal number from 1 up. */
int ParsePortNumber(const WCHAR* text, unsigned long* number);
/* com: the COM name to give the port(s), or NULL; for a pair, two names. */
int CommandPlug(unsigned long number, const WCHAR* const* ids, int idCount, const WCHAR* com);
int CommandPair(unsigned long first, const WCHAR* const* com);
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

/* Network bridges (bridge.c): RFC 2217 client and server; both run until stopped. com NULL:
 * the pair end given by number. */
int CommandConnect(const WCHAR* com, unsigned long number, const WCHAR* address);
int CommandServe(const WCHAR* com, const WCHAR* port, const WCHAR* listenAddress);

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

/* Serialises vcomctl's naming commands; held until the process exits. */
int LockNames(void);
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

#endif
