/* Driver settings kept in the service's Parameters key. The driver reads them when a port is
 * opened, so a change applies to every open from then on, not to handles already open. */
#include <stdio.h>

#include "vcomctl.h"

#define PARAMETERS_KEY L"SYSTEM\\CurrentControlSet\\Services\\" VCOMCTL_SERVICE_NAME L"\\Parameters"
#define SERVICE_KEY L"SYSTEM\\CurrentControlSet\\Services\\" VCOMCTL_SERVICE_NAME
#define LINE_SETTINGS_VALUE L"EmulateLineSettings"

static int ShowLineSettings(void)
{
    int on;
    int result = ReadLineSettings(&on);
    if (result == VcomctlOk)
        printf("line-settings %s\n", on ? "on" : "off");
    return result;
}

/* Whether ports answer the baud rate, line control and modem line requests; absent means off. */
int SetLineSettings(int on)
{
    /* Without the service there is no driver to read the value: say so rather than leave a key
     * that a later install would find. */
    HKEY service;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_CREATE_SUB_KEY, &service);
    if (status == ERROR_FILE_NOT_FOUND)
        return ReportFailure("the driver is not installed (no service %ls)", VCOMCTL_SERVICE_NAME);
    if (status != ERROR_SUCCESS)
        return ReportError((DWORD)status, "opening the service key of %ls", VCOMCTL_SERVICE_NAME);
    HKEY parameters;
    status = RegCreateKeyExW(service, L"Parameters", 0, NULL, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                             NULL, &parameters, NULL);
    RegCloseKey(service);
    if (status != ERROR_SUCCESS)
        return ReportError((DWORD)status, "opening %ls", PARAMETERS_KEY);
    DWORD value = on ? 1 : 0;
    status = RegSetValueExW(parameters, LINE_SETTINGS_VALUE, 0, REG_DWORD, (const BYTE*)&value,
                            sizeof(value));
    RegCloseKey(parameters);
    if (status != ERROR_SUCCESS)
        return ReportError((DWORD)status, "setting %ls\\%ls", PARAMETERS_KEY, LINE_SETTINGS_VALUE);
    return VcomctlOk;
}

int ReadLineSettings(int* on)
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, LINE_SETTINGS_VALUE,
                                  RRF_RT_REG_DWORD, NULL, &value, &size);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return ReportError((DWORD)status, "reading %ls\\%ls", PARAMETERS_KEY, LINE_SETTINGS_VALUE);
    *on = status == ERROR_SUCCESS && value == 1;
    return VcomctlOk;
}

int CommandConfigLineSettings(int change, int on)
{
    if (!change)
        return ShowLineSettings();
    int result = SetLineSettings(on);
    if (result != VcomctlOk)
        return result;
    printf("line-settings %s (from the next open of each port)\n", on ? "on" : "off");
    return RecordLineSettings(on);
}
