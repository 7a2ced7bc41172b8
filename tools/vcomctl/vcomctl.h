/* vcomctl: the control application of the vcombus driver. Declarations shared by its commands. */
#ifndef VCOMCTL_H
#define VCOMCTL_H

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
int CommandUninstall(void);
int CommandStatus(void);

#endif
