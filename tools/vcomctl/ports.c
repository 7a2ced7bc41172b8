/* Port commands: plug, pair, unplug, eject, list and version, sent to the bus as its control
 * requests. The driver's refusals are put into words for the one case each can mean here. */
#include "vcomctl.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "vcombus/ioctl.h"

#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

/* The hardware identifier ports get when the command line names none. */
#define VCOMCTL_DEFAULT_PORT_ID L"VCOMBUS\\Port"
static const WCHAR* const DefaultIds[] = {VCOMCTL_DEFAULT_PORT_ID};

int OpenBus(HANDLE* handle)
{
    BusInterface bus;
    DWORD result = FindBus(&bus);
    if (result == ERROR_NOT_FOUND)
        return ReportFailure("the bus is not running (is vcombus installed? try 'vcomctl install')");
    if (result != ERROR_SUCCESS)
        return ReportError(result, "looking up the bus interface");
    /* Read access is what the bus's control requests require. */
    *handle = CreateFileW(bus.Path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                          OPEN_EXISTING, 0, NULL);
    DWORD error = GetLastError();
    FreeBus(&bus);
    if (*handle == INVALID_HANDLE_VALUE)
        return ReportError(error, "opening the bus");
    return VcomctlOk;
}

static DWORD Control(HANDLE bus, DWORD code, void* input, DWORD inputLength, void* output,
                     DWORD outputLength, DWORD* returned)
{
    DWORD ignored;
    return DeviceIoControl(bus, code, input, inputLength, output, outputLength,
                           returned ? returned : &ignored, NULL)
               ? ERROR_SUCCESS
               : GetLastError();
}

/* Plugs one port; the hardware identifiers are a list of NUL-terminated strings. */
static int PlugOne(HANDLE bus, unsigned long number, const WCHAR* const* ids, int idCount, int* existed)
{
    *existed = 0;
    size_t units = 1;
    for (int i = 0; i < idCount; ++i)
        units += wcslen(ids[i]) + 1;
    if (units < 2)
        units = 2; /* an empty list is still two NULs */
    DWORD length = (DWORD)(sizeof(PortPlugInRequest) + units * sizeof(WCHAR));
    PortPlugInRequest* request = calloc(1, length);
    if (request == NULL)
        return ReportError(ERROR_NOT_ENOUGH_MEMORY, "plugging in port %lu", number);
    request->Size = sizeof(PortPlugInRequest);
    request->PortNumber = (unsigned int)number;
    WCHAR* at = (WCHAR*)(request + 1);
    for (int i = 0; i < idCount; ++i) {
        size_t n = wcslen(ids[i]) + 1;
        memcpy(at, ids[i], n * sizeof(WCHAR));
        at += n;
    }
    DWORD error = Control(bus, IOCTL_BUS_PLUGIN_PORT, request, length, NULL, 0, NULL);
    free(request);
    if (error == ERROR_INVALID_PARAMETER) {
        *existed = 1;
        return ReportFailure("port %lu already exists", number);
    }
    if (error != ERROR_SUCCESS)
        return ReportError(error, "plugging in port %lu", number);
    printf("port %lu plugged in\n", number);
    return VcomctlOk;
}

static int RemoveRequest(HANDLE bus, DWORD code, unsigned long number, int* absent)
{
    *absent = 0;
    PortRemoveRequest request = {sizeof(PortRemoveRequest), (unsigned int)number, {0, 0}};
    const char* verb = code == IOCTL_BUS_UNPLUG_PORT ? "unplug" : "eject";
    DWORD error = Control(bus, code, &request, sizeof(request), NULL, 0, NULL);
    /* The driver answers "no ports at all" with STATUS_NO_SUCH_DEVICE, "none of that number"
     * with STATUS_INVALID_PARAMETER; Wine turns the first into ERROR_NO_SUCH_DEVICE. */
    *absent = error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_SUCH_DEVICE || error == ERROR_INVALID_PARAMETER;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_SUCH_DEVICE)
        return ReportFailure("no ports are plugged in");
    if (error == ERROR_INVALID_PARAMETER)
        return ReportFailure("no such port: %lu", number);
    if (error != ERROR_SUCCESS)
        return number ? ReportError(error, "%s port %lu", verb, number) : ReportError(error, "%s all ports", verb);
    if (number)
        printf("port %lu %s\n", number, code == IOCTL_BUS_UNPLUG_PORT ? "unplugged" : "ejected");
    else
        printf("all ports %s\n", code == IOCTL_BUS_UNPLUG_PORT ? "unplugged" : "ejected");
    return VcomctlOk;
}

static int QueryULong(DWORD code, const char* what, unsigned long* value)
{
    HANDLE bus;
    int result = OpenBus(&bus);
    if (result != VcomctlOk)
        return result;
    DWORD answer = 0, returned = 0;
    DWORD error = Control(bus, code, NULL, 0, &answer, sizeof(answer), &returned);
    CloseHandle(bus);
    if (error != ERROR_SUCCESS)
        return ReportError(error, "asking the bus for %s", what);
    if (returned != sizeof(answer))
        return ReportFailure("the bus answered %lu bytes for %s instead of 4", (unsigned long)returned, what);
    *value = answer;
    return VcomctlOk;
}

int ParsePortNumber(const WCHAR* text, unsigned long* number)
{
    WCHAR* end = NULL;
    if (text[0] < L'0' || text[0] > L'9')
        return 0;
    errno = 0;
    unsigned long value = wcstoul(text, &end, 10);
    if (*end != L'\0' || value == 0 || errno == ERANGE)
        return 0;
    *number = value;
    return 1;
}

#define PLUG_DEVICE_WAIT_MS 5000

static int MoreThanOneNewDevice(const DeviceList* before, const DeviceList* after)
{
    WCHAR ignored[VCOMCTL_DEVICE_NAME_CHARS];
    /* NewDevice refuses both none and several: several means a second name appears once the
     * first is counted. */
    size_t fresh = 0;
    for (size_t i = 0; i < after->Count; ++i) {
        DeviceList one = {after->Names + i, 1};
        if (NewDevice(before, &one, ignored))
            ++fresh;
    }
    return fresh > 1;
}

/* Plugs in port number and learns its device: the one name that appeared in \Device meanwhile,
 * recorded for platforms that don't report a port's device. Another device appearing at the same
 * moment leaves the record out rather than guessing. */
static int PlugAndRecord(HANDLE bus, unsigned long number, const WCHAR* const* ids, int idCount, int* existed)
{
    DeviceList before, after;
    int listed = ListDevices(&before) == ERROR_SUCCESS;
    int dummy;
    int result = PlugOne(bus, number, ids, idCount, existed ? existed : &dummy);
    /* The device may come a moment after the request, while Plug and Play is still busy with
     * an earlier change (a port of the same number just unplugged): bounded. */
    for (DWORD waited = 0; result == VcomctlOk && listed && ListDevices(&after) == ERROR_SUCCESS; waited += 50) {
        WCHAR device[VCOMCTL_DEVICE_NAME_CHARS];
        int found = NewDevice(&before, &after, device);
        int none = !found && !MoreThanOneNewDevice(&before, &after);
        FreeDevices(&after);
        if (found) {
            RecordPortDevice(number, device);
            break;
        }
        if (!none || waited >= PLUG_DEVICE_WAIT_MS) {
            ForgetPortDevice(number);
            break;
        }
        Sleep(50);
    }
    if (listed)
        FreeDevices(&before);
    return result;
}

/* Waits for the platform to tell which device a port just plugged in is, when vcomctl's own
 * look could not (another device appeared at the same moment): Windows reports it once it has
 * enumerated the port. Whether it did within the time. */
static int WaitForPortDevice(unsigned long number)
{
    WCHAR device[VCOMCTL_DEVICE_NAME_CHARS];
    for (DWORD waited = 0; waited < VCOMCTL_START_TIMEOUT_MS; waited += 100) {
        if (PortDeviceName(number, device, ARRAYSIZE(device)) == ERROR_SUCCESS)
            return 1;
        Sleep(100);
    }
    return 0;
}

/* Takes a port back out after a later step failed, quietly: the failure is already reported. */
static void UndoPlug(HANDLE bus, unsigned long number)
{
    PortRemoveRequest undo = {sizeof(PortRemoveRequest), (unsigned int)number, {0, 0}};
    Control(bus, IOCTL_BUS_UNPLUG_PORT, &undo, sizeof(undo), NULL, 0, NULL);
    ForgetPortDevice(number);
}

/* Opens the bus for a command that changes ports or names, holding the naming lock and clearing
 * the names of ports that went away behind vcomctl's back. */
static int BeginNaming(HANDLE* bus)
{
    int result = LockNames();
    if (result != VcomctlOk)
        return result;
    ForgetVanishedPorts();
    return bus ? OpenBus(bus) : VcomctlOk;
}

int CommandPlug(unsigned long number, const WCHAR* const* ids, int idCount, const WCHAR* com, int temporary)
{
    HANDLE bus;
    int result = BeginNaming(&bus);
    if (result != VcomctlOk)
        return result;
    /* A name in use is refused before anything is plugged in: a port plugged in and taken out
     * again at once is a needless round through Plug and Play. */
    if (com != NULL && (result = CheckComNameFree(com)) != VcomctlOk) {
        CloseHandle(bus);
        return result;
    }
    result = idCount ? PlugAndRecord(bus, number, ids, idCount, NULL) : PlugAndRecord(bus, number, DefaultIds, 1, NULL);
    if (result == VcomctlOk && com != NULL) {
        WaitForPortDevice(number);
        result = NamePort(number, com);
        if (result != VcomctlOk) {
            UndoPlug(bus, number);
            printf("port %lu unplugged again\n", number);
        }
    }
    CloseHandle(bus);
    if (result == VcomctlOk && !temporary)
        result = RecordPlug(number, ids, idCount, com);
    return result;
}

int CommandPair(unsigned long first, const WCHAR* const* com, int temporary)
{
    const WCHAR* const* ids = DefaultIds;
    if (first < 9 || first % 2 == 0)
        return ReportFailure("a pair starts at an odd port number of 9 or more, not %lu", first);
    HANDLE bus;
    int result = BeginNaming(&bus);
    if (result != VcomctlOk)
        return result;
    if (com != NULL && ((result = CheckComNameFree(com[0])) != VcomctlOk ||
                        (result = CheckComNameFree(com[1])) != VcomctlOk)) {
        CloseHandle(bus);
        return result;
    }
    int plugged = 0, named = 0;
    result = PlugAndRecord(bus, first, ids, 1, NULL);
    if (result == VcomctlOk) {
        plugged = 1;
        result = PlugAndRecord(bus, first + 1, ids, 1, NULL);
    }
    if (result == VcomctlOk) {
        plugged = 2;
        if (com != NULL) {
            WaitForPortDevice(first);
            result = NamePort(first, com[0]);
            if (result == VcomctlOk) {
                named = 1;
                WaitForPortDevice(first + 1);
                result = NamePort(first + 1, com[1]);
            }
        }
    }
    if (result != VcomctlOk) {
        /* Half a pair is no null-modem cable, and a name without its port leads nowhere. */
        WCHAR device[VCOMCTL_DEVICE_NAME_CHARS];
        if (named && PortDeviceName(first, device, ARRAYSIZE(device)) == ERROR_SUCCESS)
            RemoveNames(device, com[0]);
        for (int i = plugged; i > 0; --i)
            UndoPlug(bus, first + (unsigned long)i - 1);
        if (plugged == 2)
            printf("ports %lu and %lu unplugged again\n", first, first + 1);
        else if (plugged == 1)
            printf("port %lu unplugged again\n", first);
    }
    CloseHandle(bus);
    if (result == VcomctlOk && !temporary)
        result = RecordPlug(first, NULL, 0, com ? com[0] : NULL);
    if (result == VcomctlOk && !temporary)
        result = RecordPlug(first + 1, NULL, 0, com ? com[1] : NULL);
    return result;
}

/* Unplugs the port and waits (bounded) for a device to go: until Plug and Play has removed the
 * old one, a port of the same number plugged in again may get no device of its own. */
static void UnplugAndWait(HANDLE bus, unsigned long number)
{
    DeviceList before, now;
    int listed = ListDevices(&before) == ERROR_SUCCESS;
    UndoPlug(bus, number);
    for (DWORD waited = 0; listed && waited < PLUG_DEVICE_WAIT_MS; waited += 50) {
        if (ListDevices(&now) != ERROR_SUCCESS)
            break;
        int gone = 0;
        for (size_t i = 0; i < before.Count && !gone; ++i) {
            DeviceList one = {before.Names + i, 1};
            WCHAR ignored[VCOMCTL_DEVICE_NAME_CHARS];
            gone = NewDevice(&now, &one, ignored);
        }
        FreeDevices(&now);
        if (gone)
            break;
        Sleep(50);
    }
    if (listed)
        FreeDevices(&before);
}

int RestorePort(HANDLE bus, unsigned long number, const WCHAR* const* ids, int idCount, const WCHAR* com)
{
    if (idCount == 0) {
        ids = DefaultIds;
        idCount = 1;
    }
    WCHAR device[VCOMCTL_DEVICE_NAME_CHARS];
    if (PortDeviceName(number, device, ARRAYSIZE(device)) != ERROR_SUCCESS) {
        int existed;
        int result = PlugAndRecord(bus, number, ids, idCount, &existed);
        if (result != VcomctlOk && existed && !WaitForPortDevice(number)) {
            /* There, but nobody says which device it is: plugged in by a restore cut short before
             * it noted the device. Plugged in again, it can be named. */
            UnplugAndWait(bus, number);
            for (DWORD waited = 0;; waited += 100) {
                ClearCapturedReport();
                result = PlugAndRecord(bus, number, ids, idCount, &existed);
                if (result == VcomctlOk || !existed || waited >= VCOMCTL_START_TIMEOUT_MS)
                    break;
                Sleep(100);
            }
        } else if (result != VcomctlOk && existed) {
            result = VcomctlOk;
        }
        if (result == VcomctlOk)
            ClearCapturedReport();
        if (result != VcomctlOk || com == NULL)
            return result;
        if (!WaitForPortDevice(number) || PortDeviceName(number, device, ARRAYSIZE(device)) != ERROR_SUCCESS)
            return ReportFailure("port %lu is plugged in, but the platform never said which device it is",
                                 number);
    }
    if (com == NULL)
        return VcomctlOk;
    WCHAR current[64], target[VCOMCTL_DEVICE_NAME_CHARS];
    int linked = ComLinkTarget(com, target, ARRAYSIZE(target)) == ERROR_SUCCESS && _wcsicmp(target, device) == 0;
    if (SerialCommName(device, current, ARRAYSIZE(current)) == ERROR_SUCCESS) {
        if (_wcsicmp(current, com) != 0)
            return ReportFailure("port %lu has the name %ls, not %ls", number, current, com);
        if (linked)
            return VcomctlOk;
        /* Listed but not linked: named again whole. */
        RemoveNames(device, current);
    } else if (linked) {
        /* Linked but not listed, by a naming cut short: named again whole. */
        RemoveComLink(com, device);
    }
    return NamePort(number, com);
}

int CommandRemove(int eject, unsigned long number)
{
    HANDLE bus;
    int result = BeginNaming(&bus);
    if (result != VcomctlOk)
        return result;
    /* The names go with the ports, once the bus has let them go; an eject completes later, and
     * the next naming command clears what is left. */
    PortInfo* ports = NULL;
    size_t count = KnownPorts(&ports);
    int absent;
    result = RemoveRequest(bus, eject ? IOCTL_BUS_EJECT_PORT : IOCTL_BUS_UNPLUG_PORT, number, &absent);
    for (size_t i = 0; result == VcomctlOk && !eject && ports != NULL && i < count; ++i) {
        if (number != 0 && ports[i].Number != number)
            continue;
        if (ports[i].Com[0] != L'\0') {
            DWORD error = RemoveNames(ports[i].Device, ports[i].Com);
            if (error != ERROR_SUCCESS)
                result = ReportError(error, "removing the name %ls of port %lu", ports[i].Com, ports[i].Number);
            else
                printf("port %lu is no longer %ls\n", ports[i].Number, ports[i].Com);
        }
        ForgetPortDevice(ports[i].Number);
    }
    free(ports);
    CloseHandle(bus);
    /* A recorded port that isn't there (not restored yet, or gone) leaves the record too: it is
     * not to come back. */
    if (result == VcomctlOk || absent) {
        int recorded = RecordRemove(number);
        if (result == VcomctlOk)
            result = recorded;
    }
    return result;
}

int CommandName(unsigned long number, const WCHAR* com)
{
    int result = BeginNaming(NULL);
    if (result == VcomctlOk)
        result = NamePort(number, com);
    return result == VcomctlOk ? RecordPortName(number, com) : result;
}

int CommandUnname(unsigned long number)
{
    int result = BeginNaming(NULL);
    if (result == VcomctlOk)
        result = UnnamePort(number);
    return result == VcomctlOk ? RecordPortName(number, NULL) : result;
}

int CommandList(void)
{
    unsigned long count;
    int result = QueryULong(IOCTL_BUS_GET_PORT_COUNT, "its port count", &count);
    if (result != VcomctlOk)
        return result;
    PortInfo* ports = NULL;
    size_t known = KnownPorts(&ports);
    if (known > 0) {
        printf("%-6s %-8s %-28s %s\n", "port", "partner", "device", "name");
        for (size_t i = 0; i < known; ++i) {
            unsigned long n = ports[i].Number;
            char partner[16];
            if (n <= 8)
                snprintf(partner, sizeof(partner), "hub");
            else
                snprintf(partner, sizeof(partner), "%lu", n % 2 ? n + 1 : n - 1);
            printf("%-6lu %-8s %-28ls %ls\n", n, partner, ports[i].Device, ports[i].Com[0] ? ports[i].Com : L"-");
        }
    }
    printf("%lu port%s on the bus\n", count, count == 1 ? "" : "s");
    if (count > known)
        printf("%lu more not listed: vcomctl didn't plug them in, and the platform doesn't say "
               "which devices they are\n", count - (unsigned long)known);
    free(ports);
    Configuration config;
    if (LoadConfiguration(&config) == VcomctlOk) {
        PrintBridges(&config);
        FreeConfiguration(&config);
    }
    return VcomctlOk;
}

int CommandVersion(void)
{
    unsigned long version;
    int result = QueryULong(IOCTL_BUS_GET_VERSION, "its version", &version);
    if (result == VcomctlOk)
        printf("%lu.%lu.%lu.%lu\n", (version >> 12) & 0xF, (version >> 8) & 0xF, (version >> 4) & 0xF,
               version & 0xF);
    return result;
}
