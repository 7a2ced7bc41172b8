/* vcomsvc: the restore service. It puts the configuration that vcomctl recorded back when it
 * starts (at boot) and whenever the bus's device interface arrives (the bus started again after
 * a disable/enable or a driver update). What it can't put back goes to the Application event
 * log, one entry per item, and the rest goes on. Between restores it holds nothing of the bus
 * open, only the registration for the interface's arrival, which vetoes no removal. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The one translation unit that defines the GUIDs of the public header. */
#include <initguid.h>

#include "vcomctl.h"

#include <dbt.h>

#define SERVICE_NAME VCOMCTL_RESTORE_SERVICE
/* The one message of the event source's message table: "%1". */
#define EVENT_MESSAGE 1
/* How often the service also looks whether the bus has started: an arrival can be missed where
 * the registration for it is taken before the platform's Plug and Play service runs (Wine 8 then
 * keeps the registration but never delivers). Looking holds no handle on the bus. */
#define POLL_MS 2000

static SERVICE_STATUS_HANDLE StatusHandle;
static SERVICE_STATUS Status;
static HANDLE StopEvent;
static HANDLE ArrivalEvent;
static HANDLE EventSource;
/* Set by vcomctl's control code when the recorded bridges changed, and by a bridge whose state did. */
static HANDLE ReconfigureEvent;
static HANDLE BridgeChanged;

/* The bridges running, one per recorded bridge line, each started once. */
typedef struct RunningBridge {
    BridgeDefinition Definition;
    Bridge* Bridge;
} RunningBridge;
static RunningBridge* Running;
static size_t RunningCount;

static void SetState(DWORD state, DWORD waitHint)
{
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwCurrentState = state;
    Status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    Status.dwWaitHint = waitHint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        Status.dwCheckPoint = 0;
    else
        ++Status.dwCheckPoint;
    SetServiceStatus(StatusHandle, &Status);
}

static void LogEvent(WORD type, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void LogEvent(WORD type, const char* format, ...)
{
    char narrow[2048];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(narrow, sizeof(narrow), format, arguments);
    va_end(arguments);
    WCHAR text[2048];
    if (MultiByteToWideChar(CP_UTF8, 0, narrow, -1, text, ARRAYSIZE(text)) <= 0)
        swprintf(text, ARRAYSIZE(text), L"%hs", narrow);
    const WCHAR* strings[] = {text};
    if (EventSource != NULL)
        ReportEventW(EventSource, type, 0, EVENT_MESSAGE, NULL, 1, 0, strings, NULL);
}

static void Unrestored(const char* item, const char* why, void* context)
{
    (void)context;
    LogEvent(EVENTLOG_WARNING_TYPE, "vcomsvc: could not restore %s: %s", item, why);
}

static int StopRequested(void* context)
{
    (void)context;
    return WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0;
}

/* Loads the record; what went wrong goes to the event log after `consequence`. */
static int LoadRecord(Configuration* config, const char* consequence)
{
    char problem[2048];
    CaptureReports(problem, sizeof(problem));
    int loaded = LoadConfiguration(config);
    CaptureReports(NULL, 0);
    if (loaded != VcomctlOk)
        LogEvent(EVENTLOG_ERROR_TYPE, "vcomsvc: %s: %s", consequence, problem);
    return loaded == VcomctlOk;
}

/* One restore of the whole recorded configuration, when the bus runs; whether it runs. */
static int Restore(const char* why)
{
    BusInterface bus;
    if (FindBus(&bus) != ERROR_SUCCESS)
        return 0; /* not started yet: its arrival brings the restore */
    FreeBus(&bus);
    Configuration config;
    if (!LoadRecord(&config, "nothing restored"))
        return 1;
    unsigned items = (unsigned)config.PortCount + (config.LineSettings >= 0) + (config.HasRouting != 0) +
                     (config.Tap[0] != 0);
    if (items > 0) {
        unsigned failed = ApplyConfiguration(&config, Unrestored, NULL, StopRequested);
        LogEvent(failed ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE,
                 "vcomsvc: restored the recorded configuration (%s): %u item%s, %u not restored", why, items,
                 items == 1 ? "" : "s", failed);
    }
    FreeConfiguration(&config);
    return 1;
}

/* The bridges' states under the service's key, where vcomctl list reads them. */
static void PublishStates(void)
{
    const WCHAR* keys[64];
    const char* states[64];
    static WCHAR keyText[64][64];
    static char stateText[64][600];
    size_t count = 0;
    for (size_t i = 0; i < RunningCount && count < 64; i++, count++) {
        BridgeKey(&Running[i].Definition, keyText[count], ARRAYSIZE(keyText[count]));
        BridgeDescribe(Running[i].Bridge, stateText[count], sizeof(stateText[count]));
        keys[count] = keyText[count];
        states[count] = stateText[count];
    }
    PublishBridgeStates(keys, states, count);
}

/* Starts the recorded bridges that don't run and stops those no longer recorded (or recorded
 * differently): a second look changes nothing. */
static void SyncBridges(void)
{
    Configuration config;
    if (!LoadRecord(&config, "the bridges are left as they are"))
        return;
    for (size_t i = 0; i < RunningCount;) {
        int recorded = 0;
        for (size_t j = 0; j < config.BridgeCount && !recorded; j++)
            recorded = SameBridge(&Running[i].Definition, &config.Bridges[j]);
        if (recorded) {
            i++;
            continue;
        }
        BridgeStop(Running[i].Bridge);
        Running[i] = Running[--RunningCount];
    }
    /* Gone from the published states before a new bridge of the same port opens it. */
    PublishStates();
    for (size_t j = 0; j < config.BridgeCount; j++) {
        int running = 0;
        for (size_t i = 0; i < RunningCount && !running; i++)
            running = SameBridge(&Running[i].Definition, &config.Bridges[j]);
        if (running)
            continue;
        void* grown = realloc(Running, (RunningCount + 1) * sizeof(*Running));
        WCHAR line[400];
        FormatBridge(&config.Bridges[j], line, ARRAYSIZE(line));
        Bridge* bridge = grown != NULL ? BridgeStart(&config.Bridges[j], BridgeChanged, NULL, NULL) : NULL;
        if (grown != NULL)
            Running = grown;
        if (bridge == NULL) {
            LogEvent(EVENTLOG_WARNING_TYPE, "vcomsvc: could not start the bridge '%ls'", line);
            continue;
        }
        Running[RunningCount].Definition = config.Bridges[j];
        Running[RunningCount].Bridge = bridge;
        RunningCount++;
    }
    FreeConfiguration(&config);
    PublishStates();
}

static void StopBridges(void)
{
    for (size_t i = 0; i < RunningCount; i++)
        BridgeStop(Running[i].Bridge);
    RunningCount = 0;
    free(Running);
    Running = NULL;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, VCOMCTL_BRIDGE_STATE_KEY);
}

static DWORD WINAPI Handler(DWORD control, DWORD type, void* data, void* context)
{
    (void)context;
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        SetState(SERVICE_STOP_PENDING, 30000);
        SetEvent(StopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_DEVICEEVENT:
        if (type == DBT_DEVICEARRIVAL) {
            const DEV_BROADCAST_DEVICEINTERFACE_W* broadcast = data;
            if (broadcast == NULL || broadcast->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
                IsEqualGUID(&broadcast->dbcc_classguid, &GUID_VIRTUAL_BUS_INTERFACE))
                SetEvent(ArrivalEvent);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    case VCOMCTL_RESTORE_RECONFIGURE:
        SetEvent(ReconfigureEvent);
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

static void WINAPI ServiceMain(DWORD argc, WCHAR** argv)
{
    (void)argc;
    (void)argv;
    StatusHandle = RegisterServiceCtrlHandlerExW(SERVICE_NAME, Handler, NULL);
    if (StatusHandle == NULL)
        return;
    StopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    ArrivalEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    ReconfigureEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    BridgeChanged = CreateEventW(NULL, FALSE, FALSE, NULL);
    EventSource = RegisterEventSourceW(NULL, SERVICE_NAME);
    if (StopEvent == NULL || ArrivalEvent == NULL || ReconfigureEvent == NULL || BridgeChanged == NULL) {
        Status.dwWin32ExitCode = GetLastError();
        SetState(SERVICE_STOPPED, 0);
        return;
    }
    /* Running at once: the restore happens after, so the boot never waits for it. */
    SetState(SERVICE_RUNNING, 0);

    /* Registered before the first look for the bus, so that a bus starting in between is not
     * missed. */
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {0};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = GUID_VIRTUAL_BUS_INTERFACE;
    HDEVNOTIFY notification = RegisterDeviceNotificationW(StatusHandle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
    if (notification == NULL)
        LogEvent(EVENTLOG_WARNING_TYPE,
                 "vcomsvc: the system does not report the bus's arrival (error %lu); looking for it every %u s only",
                 (unsigned long)GetLastError(), POLL_MS / 1000);

    BusInterface bus;
    int present = Restore("the service started");
    /* After the ports they use are back; a bridge whose port is missing waits for it. */
    SyncBridges();
    for (;;) {
        HANDLE events[] = {StopEvent, ArrivalEvent, ReconfigureEvent, BridgeChanged};
        DWORD which = WaitForMultipleObjects(4, events, FALSE, POLL_MS);
        if (which == WAIT_OBJECT_0)
            break;
        if (which == WAIT_OBJECT_0 + 1) {
            present = Restore("the bus started");
            /* The ports the bridges held went with the bus: each starts again on the new ones. */
            StopBridges();
            SyncBridges();
        } else if (which == WAIT_OBJECT_0 + 2) {
            SyncBridges();
        } else if (which == WAIT_OBJECT_0 + 3) {
            PublishStates();
        } else if (which == WAIT_TIMEOUT) {
            int now = FindBus(&bus) == ERROR_SUCCESS;
            if (now)
                FreeBus(&bus);
            if (now && !present) {
                Restore("the bus started");
                StopBridges();
                SyncBridges();
            }
            present = now;
            PublishStates(); /* the retry countdowns */
        } else {
            Status.dwWin32ExitCode = GetLastError();
            break;
        }
    }
    StopBridges();
    if (notification != NULL)
        UnregisterDeviceNotification(notification);
    if (EventSource != NULL)
        DeregisterEventSource(EventSource);
    SetState(SERVICE_STOPPED, 0);
}

int wmain(void)
{
    static SERVICE_TABLE_ENTRYW table[] = {{(WCHAR*)SERVICE_NAME, ServiceMain}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherW(table)) {
        if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            fprintf(stderr, "vcomsvc: this is the vcombus restore service; 'vcomctl install' installs it, and the "
                            "service manager starts it\n");
            return 2;
        }
        fprintf(stderr, "vcomsvc: StartServiceCtrlDispatcher failed: error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    return 0;
}
