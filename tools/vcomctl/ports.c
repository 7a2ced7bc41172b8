/* Port commands: plug, pair, unplug, eject, list and version, sent to the bus as its control
 * requests. The driver's refusals are put into words for the one case each can mean here. */
#include "vcomctl.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "vcombus/ioctl.h"

/* The hardware identifier ports get when the command line names none. */
#define VCOMCTL_DEFAULT_PORT_ID L"VCOMBUS\\Port"

static int OpenBus(HANDLE* handle)
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
static int PlugOne(HANDLE bus, unsigned long number, const WCHAR* const* ids, int idCount)
{
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
    if (error == ERROR_INVALID_PARAMETER)
        return ReportFailure("port %lu already exists", number);
    if (error != ERROR_SUCCESS)
        return ReportError(error, "plugging in port %lu", number);
    printf("port %lu plugged in\n", number);
    return VcomctlOk;
}

static int RemoveRequest(HANDLE bus, DWORD code, unsigned long number)
{
    PortRemoveRequest request = {sizeof(PortRemoveRequest), (unsigned int)number, {0, 0}};
    const char* verb = code == IOCTL_BUS_UNPLUG_PORT ? "unplug" : "eject";
    DWORD error = Control(bus, code, &request, sizeof(request), NULL, 0, NULL);
    /* The driver answers "no ports at all" with STATUS_NO_SUCH_DEVICE, "none of that number"
     * with STATUS_INVALID_PARAMETER. */
    if (error == ERROR_FILE_NOT_FOUND)
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

int CommandPlug(unsigned long number, const WCHAR* const* ids, int idCount)
{
    static const WCHAR* const defaultIds[] = {VCOMCTL_DEFAULT_PORT_ID};
    HANDLE bus;
    int result = OpenBus(&bus);
    if (result != VcomctlOk)
        return result;
    result = idCount ? PlugOne(bus, number, ids, idCount) : PlugOne(bus, number, defaultIds, 1);
    CloseHandle(bus);
    return result;
}

int CommandPair(unsigned long first)
{
    static const WCHAR* const ids[] = {VCOMCTL_DEFAULT_PORT_ID};
    if (first < 9 || first % 2 == 0)
        return ReportFailure("a pair starts at an odd port number of 9 or more, not %lu", first);
    HANDLE bus;
    int result = OpenBus(&bus);
    if (result != VcomctlOk)
        return result;
    result = PlugOne(bus, first, ids, 1);
    if (result == VcomctlOk) {
        result = PlugOne(bus, first + 1, ids, 1);
        if (result != VcomctlOk) {
            /* Half a pair is no null-modem cable: take the first port back. */
            PortRemoveRequest undo = {sizeof(PortRemoveRequest), (unsigned int)first, {0, 0}};
            Control(bus, IOCTL_BUS_UNPLUG_PORT, &undo, sizeof(undo), NULL, 0, NULL);
        }
    }
    CloseHandle(bus);
    return result;
}

int CommandRemove(int eject, unsigned long number)
{
    HANDLE bus;
    int result = OpenBus(&bus);
    if (result != VcomctlOk)
        return result;
    result = RemoveRequest(bus, eject ? IOCTL_BUS_EJECT_PORT : IOCTL_BUS_UNPLUG_PORT, number);
    CloseHandle(bus);
    return result;
}

int CommandList(void)
{
    unsigned long count;
    int result = QueryULong(IOCTL_BUS_GET_PORT_COUNT, "its port count", &count);
    if (result == VcomctlOk)
        printf("%lu port%s on the bus\n", count, count == 1 ? "" : "s");
    return result;
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
