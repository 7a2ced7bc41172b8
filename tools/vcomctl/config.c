/* Driver settings kept in the service's Parameters key. The driver reads line-settings and
 * baud-timing when a port is opened, so a change applies to every open from then on, not to handles
 * already open; it reads pacing when it loads, so a change applies from the driver's next load. */
#include <stdio.h>

#include "vcomctl.h"

#define PARAMETERS_KEY L"SYSTEM\\CurrentControlSet\\Services\\" VCOMCTL_SERVICE_NAME L"\\Parameters"
#define SERVICE_KEY L"SYSTEM\\CurrentControlSet\\Services\\" VCOMCTL_SERVICE_NAME
#define LINE_SETTINGS_VALUE L"EmulateLineSettings"
#define NO_PACING_VALUE L"NoPacing"
#define BAUD_TIMING_VALUE L"BaudTiming"

/* Whether the DWORD is 1; absent (or anything else) counts as 0, as the driver reads it. */
static int ReadSwitch(const wchar_t* name, int* set)
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, name, RRF_RT_REG_DWORD, NULL,
                                  &value, &size);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return ReportError((DWORD)status, "reading %ls\\%ls", PARAMETERS_KEY, name);
    *set = status == ERROR_SUCCESS && value == 1;
    return VcomctlOk;
}

static int WriteSwitch(const wchar_t* name, int set)
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
    DWORD value = set ? 1 : 0;
    status = RegSetValueExW(parameters, name, 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
    RegCloseKey(parameters);
    if (status != ERROR_SUCCESS)
        return ReportError((DWORD)status, "setting %ls\\%ls", PARAMETERS_KEY, name);
    return VcomctlOk;
}

int ConfiguredNoPacing(void)
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY, NO_PACING_VALUE, RRF_RT_REG_DWORD, NULL, &value,
                        &size) == ERROR_SUCCESS &&
           value == 1;
}

/* Whether ports answer the baud rate, line control and modem line requests; absent means off. */
int CommandConfigLineSettings(int change, int on)
{
    int set = 0;
    int result = change ? WriteSwitch(LINE_SETTINGS_VALUE, on) : ReadSwitch(LINE_SETTINGS_VALUE, &set);
    if (result != VcomctlOk)
        return result;
    if (change)
        printf("line-settings %s (from the next open of each port)\n", on ? "on" : "off");
    else
        printf("line-settings %s\n", set ? "on" : "off");
    return VcomctlOk;
}

/* Pacing is on unless NoPacing is 1; absent means on, the driver's own default. The driver reads
 * the value only when it loads: the routing requests that change pacing at run time also replace
 * the tap's routing, which this tool cannot read back, so it does not send them. */
int CommandConfigPacing(int change, int on)
{
    int noPacing = 0;
    int result = change ? WriteSwitch(NO_PACING_VALUE, !on) : ReadSwitch(NO_PACING_VALUE, &noPacing);
    if (result != VcomctlOk)
        return result;
    if (change)
        printf("pacing %s (from the driver's next load: restart the bus device or Windows)\n",
               on ? "on" : "off");
    else
        printf("pacing %s\n", noPacing ? "off" : "on");
    return VcomctlOk;
}

/* Whether a pair's writes take as long as a real line at the writer's baud rate; absent means off.
 * Without line-settings a port has no baud rate, so the one needs the other. */
int CommandConfigBaudTiming(int change, int on)
{
    int set = 0;
    int result = change ? WriteSwitch(BAUD_TIMING_VALUE, on) : ReadSwitch(BAUD_TIMING_VALUE, &set);
    if (result != VcomctlOk)
        return result;
    int lines = 0;
    result = ReadSwitch(LINE_SETTINGS_VALUE, &lines);
    if (result != VcomctlOk)
        return result;
    const char* note = lines ? "" : "; it acts only with line-settings on";
    if (change)
        printf("baud-timing %s (from the next open of each port%s)\n", on ? "on" : "off", on ? note : "");
    else
        printf("baud-timing %s%s\n", set ? "on" : "off", set ? note : "");
    return VcomctlOk;
}
