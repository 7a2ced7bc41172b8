/* Putting the recorded configuration back, item by item, and comparing it with the live setup.
 * Shared by vcomctl (import, status) and the restore service. */
#include "vcomctl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "vcombus/ioctl.h"

/* The recorded port's hardware identifiers as an argument list, pointing into copy. */
static int SplitIds(const RecordedPort* port, WCHAR* copy, size_t size, const WCHAR** ids, int capacity)
{
    int count = 0;
    swprintf(copy, size, L"%ls", port->Ids);
    WCHAR* state = copy;
    for (WCHAR* id = NextWord(&state, L" "); id != NULL && count < capacity; id = NextWord(&state, L" "))
        ids[count++] = id;
    return count;
}

static void DescribePort(const RecordedPort* port, char* item, size_t size)
{
    if (port->Com[0])
        snprintf(item, size, "port %lu (%ls)", port->Number, port->Com);
    else
        snprintf(item, size, "port %lu", port->Number);
}

unsigned ApplyConfiguration(const Configuration* config, UnrestoredItem failed, void* context,
                            int (*stopNow)(void* context))
{
    unsigned failures = 0;
    char why[2048], item[600];
    CaptureReports(why, sizeof(why));
#define ITEM_FAILED()                                                                              \
    do {                                                                                           \
        failed(item, why[0] ? why : "failed", context);                                           \
        ++failures;                                                                                \
    } while (0)

    if (config->LineSettings >= 0) {
        snprintf(item, sizeof(item), "line-settings %s", config->LineSettings ? "on" : "off");
        ClearCapturedReport();
        if (SetLineSettings(config->LineSettings) != VcomctlOk)
            ITEM_FAILED();
    }

    HANDLE bus = INVALID_HANDLE_VALUE;
    if (config->PortCount > 0 || config->HasRouting || config->Tap[0]) {
        ClearCapturedReport();
        int result = LockNames();
        if (result == VcomctlOk) {
            ForgetVanishedPorts();
            result = OpenBus(&bus);
        }
        if (result != VcomctlOk) {
            /* Nothing of the bus's can be put back: one entry says so. */
            snprintf(item, sizeof(item), "the ports, routing and tap");
            ITEM_FAILED();
        }
    }

    for (size_t i = 0; bus != INVALID_HANDLE_VALUE && i < config->PortCount; ++i) {
        if (stopNow != NULL && stopNow(context))
            break;
        const RecordedPort* port = &config->Ports[i];
        WCHAR copy[ARRAYSIZE(port->Ids)];
        const WCHAR* ids[64];
        int idCount = SplitIds(port, copy, ARRAYSIZE(copy), ids, (int)ARRAYSIZE(ids));
        DescribePort(port, item, sizeof(item));
        ClearCapturedReport();
        if (RestorePort(bus, port->Number, ids, idCount, port->Com[0] ? port->Com : NULL) != VcomctlOk)
            ITEM_FAILED();
    }

    if (bus != INVALID_HANDLE_VALUE && config->HasRouting && !(stopNow != NULL && stopNow(context))) {
        snprintf(item, sizeof(item), "the routing");
        ClearCapturedReport();
        RoutingConfig routing = config->Routing;
        if (ConfigureRouting(IOCTL_ROUTING_CONFIGURE, &routing, "setting the routing") != VcomctlOk)
            ITEM_FAILED();
    }

    if (bus != INVALID_HANDLE_VALUE && config->Tap[0] && !(stopNow != NULL && stopNow(context))) {
        snprintf(item, sizeof(item), "the tap on %ls", config->Tap);
        ClearCapturedReport();
        /* A tap attached already is left as it is: one tap at most. */
        int attached = TapAttached();
        if (attached < 0 || (!attached && AttachTap(config->Tap) != VcomctlOk)) {
            if (config->HasCapture) {
                size_t length = strlen(why);
                snprintf(why + length, sizeof(why) - length, " (its capture settings wait for it)");
            }
            ITEM_FAILED();
        } else if (config->HasCapture) {
            RoutingConfig capture = config->Capture;
            if (ConfigureRouting(IOCTL_TAP_CONFIGURE, &capture, "configuring the tap") != VcomctlOk ||
                (!config->CaptureOn && DisableCapture() != VcomctlOk))
                ITEM_FAILED();
        }
    }
#undef ITEM_FAILED

    if (bus != INVALID_HANDLE_VALUE)
        CloseHandle(bus);
    UnlockNames();
    CaptureReports(NULL, 0);
    return failures;
}

/* ---- status ------------------------------------------------------------------------------- */

void PrintRestoreServiceState(void)
{
    const char* state = "not installed";
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, VCOMCTL_RESTORE_SERVICE, SERVICE_QUERY_STATUS) : NULL;
    SERVICE_STATUS status;
    if (service != NULL && QueryServiceStatus(service, &status)) {
        switch (status.dwCurrentState) {
        case SERVICE_RUNNING:
            state = "running";
            break;
        case SERVICE_STOPPED:
            state = "stopped (it puts the recorded configuration back only while it runs)";
            break;
        case SERVICE_START_PENDING:
            state = "starting";
            break;
        case SERVICE_STOP_PENDING:
            state = "stopping";
            break;
        default:
            state = "paused";
            break;
        }
    } else if (manager == NULL) {
        state = "unknown (the service manager could not be asked)";
    }
    if (service != NULL)
        CloseServiceHandle(service);
    if (manager != NULL)
        CloseServiceHandle(manager);
    printf("restore service: %s\n", state);
}

/* Appends "; what" to the list of differences. */
static void Differs(char* list, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
static void Differs(char* list, size_t size, const char* format, ...)
{
    size_t length = strlen(list);
    if (length + 3 >= size)
        return;
    if (length)
        length += (size_t)snprintf(list + length, size - length, "; ");
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(list + length, size - length, format, arguments);
    va_end(arguments);
}

int PrintRecordStatus(void)
{
    Configuration config;
    int result = LoadConfiguration(&config);
    if (result != VcomctlOk)
        return result;
    char differences[2048] = "";
    if (config.LineSettings >= 0) {
        int on;
        if (ReadLineSettings(&on) == VcomctlOk && on != config.LineSettings)
            Differs(differences, sizeof(differences), "line-settings is %s, recorded %s", on ? "on" : "off",
                    config.LineSettings ? "on" : "off");
    }
    PortInfo* ports = NULL;
    size_t count = KnownPorts(&ports);
    for (size_t i = 0; i < config.PortCount; ++i) {
        const RecordedPort* recorded = &config.Ports[i];
        const PortInfo* live = NULL;
        for (size_t j = 0; ports != NULL && j < count; ++j)
            if (ports[j].Number == recorded->Number)
                live = &ports[j];
        if (live == NULL)
            Differs(differences, sizeof(differences), "port %lu is not plugged in", recorded->Number);
        else if (_wcsicmp(live->Com, recorded->Com) != 0)
            Differs(differences, sizeof(differences), "port %lu is %ls, recorded %ls", recorded->Number,
                    live->Com[0] ? live->Com : L"unnamed", recorded->Com[0] ? recorded->Com : L"unnamed");
    }
    free(ports);
    if (config.Tap[0] && TapAttached() != 1)
        Differs(differences, sizeof(differences), "no tap is attached, recorded one on %ls", config.Tap);
    for (size_t i = 0; i < config.BridgeCount; ++i) {
        WCHAR key[64];
        char state[600];
        BridgeKey(&config.Bridges[i], key, ARRAYSIZE(key));
        if (!ReadBridgeState(key, state, sizeof(state)))
            Differs(differences, sizeof(differences), "the bridge '%ls' is not running", key);
    }
    unsigned items = (unsigned)config.PortCount + (config.LineSettings >= 0) + (config.HasRouting != 0) +
                     (config.Tap[0] != 0) + (unsigned)config.BridgeCount;
    if (items == 0)
        printf("recorded configuration: empty (nothing to restore)\n");
    else if (differences[0])
        printf("recorded configuration: %u item%s; the live setup differs: %s\n", items, items == 1 ? "" : "s",
               differences);
    else
        printf("recorded configuration: %u item%s; the live setup matches it\n", items, items == 1 ? "" : "s");
    FreeConfiguration(&config);
    return VcomctlOk;
}
