/* Tap and routing commands: attach the tap to a real serial port, detach it, set the hub's routing
 * and the tap's capture, and report the tap's condition. The driver's refusals are put into words
 * for the one case each can mean here. */
#include "vcomctl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "vcombus/ioctl.h"

#ifndef ERROR_DEVICE_ALREADY_ATTACHED
#define ERROR_DEVICE_ALREADY_ATTACHED 548L
#endif
#ifndef ERROR_DEV_NOT_EXIST
#define ERROR_DEV_NOT_EXIST 55L
#endif

static DWORD Send(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength)
{
    HANDLE bus;
    if (OpenBus(&bus) != VcomctlOk)
        return (DWORD)-1;
    DWORD returned = 0;
    DWORD result = DeviceIoControl(bus, code, (void*)input, inputLength, output, outputLength, &returned, NULL)
                       ? ERROR_SUCCESS
                       : GetLastError();
    CloseHandle(bus);
    if (result == ERROR_SUCCESS && outputLength != 0 && returned != outputLength)
        result = ERROR_INVALID_DATA;
    return result;
}

/* A COM name or other DOS device name stands for the device it leads to; a name starting with a
 * backslash is taken as the device's own name. */
static int ResolveDeviceName(const WCHAR* name, WCHAR* device, size_t size)
{
    if (name[0] == L'\\') {
        if (wcslen(name) >= size)
            return ReportFailure("device name too long: %ls", name);
        wcscpy(device, name);
        return VcomctlOk;
    }
    if (QueryDosDeviceW(name, device, (DWORD)size) == 0)
        return ReportFailure("no device is named %ls (give a COM name or a device name such as "
                             "\\Device\\Serial0)", name);
    return VcomctlOk;
}

int AttachTap(const WCHAR* name)
{
    WCHAR device[VCOMCTL_DEVICE_NAME_CHARS];
    if (ResolveDeviceName(name, device, ARRAYSIZE(device)) != VcomctlOk)
        return VcomctlFailed;
    char ansi[VCOMCTL_DEVICE_NAME_CHARS * 2];
    int length = WideCharToMultiByte(CP_ACP, 0, device, -1, ansi, sizeof(ansi), NULL, NULL);
    if (length <= 0)
        return ReportError(GetLastError(), "converting the device name %ls", device);

    DWORD result = Send(IOCTL_TAP_ATTACH, ansi, (DWORD)length, NULL, 0);
    switch (result) {
    case ERROR_SUCCESS:
        printf("tap attached to %ls\n", device);
        return VcomctlOk;
    case (DWORD)-1:
        return VcomctlFailed;
    case ERROR_DEVICE_ALREADY_ATTACHED:
        return ReportFailure("a tap is already attached (one at most; 'vcomctl tap detach' first)");
    case ERROR_ACCESS_DENIED:
        return ReportFailure("cannot attach to %ls: the port refused the tap (it must be a serial port "
                             "using buffered I/O, opened by an administrator)", device);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return ReportFailure("cannot attach to %ls: no such device, or the system gave no way to reach it",
                             device);
    default:
        return ReportError(result, "attaching the tap to %ls", device);
    }
}

static int NoTap(DWORD result, const char* what)
{
    if (result == (DWORD)-1)
        return VcomctlFailed;
    if (result == ERROR_DEV_NOT_EXIST)
        return ReportFailure("%s: no tap is attached", what);
    return ReportError(result, "%s", what);
}

/* Parses "1,2,5" into hub port flags (value 1 each). */
static int ParseHubPorts(const WCHAR* text, unsigned char flags[8])
{
    const WCHAR* at = text;
    while (*at) {
        WCHAR* end;
        unsigned long number = wcstoul(at, &end, 10);
        if (end == at || number < 1 || number > 8 || (*end != L',' && *end != L'\0'))
            return 0;
        flags[number - 1] = 1;
        at = *end ? end + 1 : end;
    }
    return at != text;
}

int ParseRouting(int argc, WCHAR** argv, int tapToo, RoutingConfig* config, const char* command)
{
    memset(config, 0, sizeof(*config));
    int master = 0;
    for (int i = 0; i < argc; ++i) {
        const WCHAR* option = argv[i];
        const WCHAR* value = i + 1 < argc ? argv[i + 1] : NULL;
        unsigned long number;
        if (wcscmp(option, L"--no-pacing") == 0) {
            config->CaptureDirection |= VCOMBUS_NO_PACING;
        } else if (wcscmp(option, L"--real-port") == 0) {
            config->RealPortMode = 1;
        } else if (wcscmp(option, L"--master") == 0 && value && ParsePortNumber(value, &number)) {
            config->MasterPortNumber = (unsigned int)number;
            master = 1;
            ++i;
        } else if (wcscmp(option, L"--hub") == 0 && value && ParseHubPorts(value, config->PortFlags)) {
            ++i;
        } else if (tapToo && wcscmp(option, L"--exclude") == 0 && value && ParsePortNumber(value, &number)) {
            config->ExcludedPort = (unsigned int)number;
            ++i;
        } else if (tapToo && wcscmp(option, L"--capture") == 0 && value) {
            unsigned char direction = config->CaptureDirection & VCOMBUS_NO_PACING;
            if (wcscmp(value, L"received") == 0)
                config->CaptureDirection = direction | VCOMBUS_CAPTURE_RECEIVED;
            else if (wcscmp(value, L"sent") == 0)
                config->CaptureDirection = direction | VCOMBUS_CAPTURE_SENT;
            else if (wcscmp(value, L"none") == 0)
                config->CaptureDirection = direction | VCOMBUS_CAPTURE_NONE;
            else {
                fprintf(stderr, "vcomctl: %s: --capture takes received, sent or none, not '%ls'\n", command, value);
                return VcomctlUsage;
            }
            ++i;
        } else {
            fprintf(stderr, "vcomctl: %s: unexpected argument '%ls' (try 'vcomctl --help')\n", command, option);
            return VcomctlUsage;
        }
    }
    if (master && config->RealPortMode) {
        fprintf(stderr, "vcomctl: %s: --master and --real-port exclude each other\n", command);
        return VcomctlUsage;
    }
    return VcomctlOk;
}

int ConfigureRouting(DWORD code, RoutingConfig* config, const char* what)
{
    /* The driver takes a record made within a minute of its own clock. */
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    config->Timestamp = (long long)(((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime);
    DWORD result = Send(code, config, sizeof(*config), NULL, 0);
    if (result == ERROR_SUCCESS)
        return VcomctlOk;
    if (result == ERROR_DEV_NOT_EXIST)
        return ReportFailure("%s: no tap is attached (the routing is set; capture needs 'vcomctl tap attach' first)",
                             what);
    if (result == ERROR_INVALID_PARAMETER)
        return ReportFailure("%s: the driver refused the record (the system clock moved by more than a minute "
                             "while it was sent?)", what);
    return NoTap(result, what);
}

static int Status(void)
{
    unsigned long count = 0;
    unsigned long word = 0;
    DWORD result = Send(IOCTL_TAP_GET_COUNT, NULL, 0, &count, sizeof(count));
    if (result == ERROR_SUCCESS)
        result = Send(IOCTL_TAP_GET_STATUS, NULL, 0, &word, sizeof(word));
    if (result != ERROR_SUCCESS)
        return NoTap(result, "reading the tap's status");
    printf("taps attached: %lu\n", count);
    if (word == VCOMBUS_TAP_STATUS_NOT_ATTACHED) {
        printf("tap: no tap\n");
    } else if (word == VCOMBUS_TAP_STATUS_NO_LOWER) {
        printf("tap: attached, but the port beneath it is gone\n");
    } else {
        printf("tap: attached, %s%s\n",
               (word & VCOMBUS_TAP_STATUS_BUSY) ? "capturing or carrying requests" : "idle, capture off",
               (word & VCOMBUS_TAP_STATUS_COVERED) ? ", another driver attached above it" : "");
    }
    return VcomctlOk;
}

int CommandTap(int argc, WCHAR** argv)
{
    if (argc < 1) {
        fprintf(stderr, "vcomctl: tap: needs attach, detach, configure, disable or status (try 'vcomctl --help')\n");
        return VcomctlUsage;
    }
    const WCHAR* verb = argv[0];
    if (wcscmp(verb, L"attach") == 0) {
        if (argc != 2) {
            fprintf(stderr, "vcomctl: tap attach: needs one port name (COMx or \\Device\\...)\n");
            return VcomctlUsage;
        }
        int result = AttachTap(argv[1]);
        return result == VcomctlOk ? RecordTap(argv[1]) : result;
    }
    if (wcscmp(verb, L"configure") == 0) {
        RoutingConfig config;
        int parsed = ParseRouting(argc - 1, argv + 1, 1, &config, "tap configure");
        if (parsed != VcomctlOk)
            return parsed;
        int result = ConfigureRouting(IOCTL_TAP_CONFIGURE, &config, "configuring the tap");
        return result == VcomctlOk ? RecordCapture(&config, 1) : result;
    }
    if (argc != 1) {
        fprintf(stderr, "vcomctl: tap %ls: unexpected argument '%ls'\n", verb, argv[1]);
        return VcomctlUsage;
    }
    if (wcscmp(verb, L"detach") == 0 || wcscmp(verb, L"disable") == 0) {
        int detach = verb[1] == L'e';
        DWORD result = Send(detach ? IOCTL_TAP_DETACH : IOCTL_TAP_DISABLE, NULL, 0, NULL, 0);
        if (result != ERROR_SUCCESS)
            return NoTap(result, detach ? "detaching the tap" : "switching capture off");
        printf(detach ? "tap detached\n" : "capture off\n");
        return detach ? RecordTap(NULL) : RecordCapture(NULL, 0);
    }
    if (wcscmp(verb, L"status") == 0)
        return Status();
    fprintf(stderr, "vcomctl: tap: unknown command '%ls' (try 'vcomctl --help')\n", verb);
    return VcomctlUsage;
}

int CommandRoute(int argc, WCHAR** argv)
{
    RoutingConfig config;
    int parsed = ParseRouting(argc, argv, 0, &config, "route");
    if (parsed != VcomctlOk)
        return parsed;
    int result = ConfigureRouting(IOCTL_ROUTING_CONFIGURE, &config, "setting the routing");
    return result == VcomctlOk ? RecordRouting(&config) : result;
}

int TapAttached(void)
{
    DWORD word = 0;
    DWORD result = Send(IOCTL_TAP_GET_STATUS, NULL, 0, &word, sizeof(word));
    if (result == ERROR_SUCCESS)
        return word != VCOMBUS_TAP_STATUS_NOT_ATTACHED;
    if (result != (DWORD)-1)
        ReportError(result, "reading the tap's status");
    return -1;
}

int DisableCapture(void)
{
    DWORD result = Send(IOCTL_TAP_DISABLE, NULL, 0, NULL, 0);
    return result == ERROR_SUCCESS ? VcomctlOk : NoTap(result, "switching capture off");
}
