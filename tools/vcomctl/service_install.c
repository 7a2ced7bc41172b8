/* The restore service (vcomsvc.exe, beside vcomctl.exe): installed and started by install,
 * stopped and removed by uninstall, with its event source. */
#include "vcomctl.h"

#include <stdio.h>

#define EVENT_SOURCE_KEY L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" VCOMCTL_RESTORE_SERVICE
/* How long install and uninstall wait for the service to start or stop. */
#define SERVICE_WAIT_MS 15000

static const WCHAR Description[] =
    L"Puts back the virtual serial ports, COM names and settings recorded by vcomctl when the "
    L"system starts and whenever the vcombus bus starts.";

/* Waits until the service leaves the pending state; its last state. */
static DWORD WaitWhilePending(SC_HANDLE service, DWORD pending)
{
    SERVICE_STATUS status = {0};
    for (DWORD start = GetTickCount();; Sleep(100)) {
        if (!QueryServiceStatus(service, &status))
            return 0;
        if (status.dwCurrentState != pending || GetTickCount() - start >= SERVICE_WAIT_MS)
            return status.dwCurrentState;
    }
}

/* The event source, so that the event viewer shows the service's messages in full: its
 * message table holds one message, the text the service gives. */
static DWORD RegisterEventSource1(const WCHAR* image)
{
    HKEY key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, NULL, &key, NULL);
    if (status != ERROR_SUCCESS)
        return (DWORD)status;
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, (const BYTE*)image,
                            (DWORD)((wcslen(image) + 1) * sizeof(WCHAR)));
    if (status == ERROR_SUCCESS)
        status = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, (const BYTE*)&types, sizeof(types));
    RegCloseKey(key);
    return (DWORD)status;
}

int InstallRestoreService(void)
{
    WCHAR image[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, image, ARRAYSIZE(image));
    if (length == 0 || length >= ARRAYSIZE(image) ||
        ReplaceFileName(image, ARRAYSIZE(image), VCOMCTL_RESTORE_IMAGE) != ERROR_SUCCESS)
        return ReportError(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE, "locating %ls",
                           VCOMCTL_RESTORE_IMAGE);
    if (GetFileAttributesW(image) == INVALID_FILE_ATTRIBUTES)
        return ReportError(GetLastError(), "the restore service %ls (it ships beside vcomctl.exe)", image);
    WCHAR command[MAX_PATH + 2];
    swprintf(command, ARRAYSIZE(command), L"\"%ls\"", image);

    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == NULL)
        return ReportError(GetLastError(), "opening the service manager");
    SC_HANDLE service = CreateServiceW(manager, VCOMCTL_RESTORE_SERVICE, L"vcombus port restore",
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, command, NULL, NULL, NULL, NULL, NULL);
    int existed = service == NULL && GetLastError() == ERROR_SERVICE_EXISTS;
    if (existed) {
        /* An earlier install's: it runs from here now. */
        service = OpenServiceW(manager, VCOMCTL_RESTORE_SERVICE, SERVICE_ALL_ACCESS);
        if (service != NULL &&
            !ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  command, NULL, NULL, NULL, NULL, NULL, NULL)) {
            DWORD error = GetLastError();
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
            return ReportError(error, "updating the %ls service", VCOMCTL_RESTORE_SERVICE);
        }
    }
    if (service == NULL) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return ReportError(error, "creating the %ls service", VCOMCTL_RESTORE_SERVICE);
    }
    SERVICE_DESCRIPTIONW description = {(WCHAR*)Description};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
    /* Started after the boot's own services, so that it never holds the boot up; platforms
     * without the option start it with the others, which is also fine. */
    SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
    /* Started again if it ever dies: a restore it was doing is then finished. */
    SC_ACTION restart[2] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}};
    SERVICE_FAILURE_ACTIONSW failure = {86400, NULL, NULL, 2, restart};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);

    DWORD error = RegisterEventSource1(image);
    if (error != ERROR_SUCCESS) {
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return ReportError(error, "registering the event source %ls", EVENT_SOURCE_KEY);
    }

    int result = VcomctlOk;
    if (!StartServiceW(service, 0, NULL) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        result = ReportError(GetLastError(), "starting the %ls service", VCOMCTL_RESTORE_SERVICE);
    } else {
        DWORD state = WaitWhilePending(service, SERVICE_START_PENDING);
        if (state != SERVICE_RUNNING)
            result = ReportFailure("the %ls service did not start (state %lu)", VCOMCTL_RESTORE_SERVICE,
                                   (unsigned long)state);
        else
            printf("%s the restore service %ls (%ls)\n", existed ? "updated" : "installed", VCOMCTL_RESTORE_SERVICE,
                   image);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

int RemoveRestoreService(void)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return ReportError(GetLastError(), "opening the service manager");
    SC_HANDLE service = OpenServiceW(manager, VCOMCTL_RESTORE_SERVICE, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service == NULL) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? VcomctlOk
                                                     : ReportError(error, "opening the %ls service", VCOMCTL_RESTORE_SERVICE);
    }
    /* Its process holds its image open: the files can go only once it has exited. */
    SERVICE_STATUS_PROCESS process = {0};
    DWORD bytes = 0;
    HANDLE running = NULL;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE*)&process, sizeof(process), &bytes) &&
        process.dwCurrentState != SERVICE_STOPPED && process.dwProcessId != 0)
        running = OpenProcess(SYNCHRONIZE, FALSE, process.dwProcessId);
    SERVICE_STATUS status;
    int result = VcomctlOk;
    if (ControlService(service, SERVICE_CONTROL_STOP, &status) || GetLastError() == ERROR_SERVICE_NOT_ACTIVE) {
        if (WaitWhilePending(service, SERVICE_STOP_PENDING) != SERVICE_STOPPED)
            result = ReportFailure("the %ls service did not stop within %u s", VCOMCTL_RESTORE_SERVICE,
                                   SERVICE_WAIT_MS / 1000);
    }
    if (running != NULL) {
        WaitForSingleObject(running, SERVICE_WAIT_MS);
        CloseHandle(running);
    }
    if (result == VcomctlOk && !DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        result = ReportError(GetLastError(), "deleting the %ls service", VCOMCTL_RESTORE_SERVICE);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (result == VcomctlOk) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, EVENT_SOURCE_KEY);
        printf("removed the restore service %ls\n", VCOMCTL_RESTORE_SERVICE);
    }
    return result;
}
