/* Finding the bus through its device interface, and the status command. */
#include "vcomctl.h"

#include <stdio.h>
#include <stdlib.h>

#include <setupapi.h>

#include "vcombus/ioctl.h"

DWORD FindBus(BusInterface* bus)
{
    bus->Path = NULL;
    bus->InstanceId[0] = L'\0';

    /* Only enabled interfaces are present: the driver enables it when the bus has started. */
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_VIRTUAL_BUS_INTERFACE, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return GetLastError();

    DWORD result = ERROR_NOT_FOUND;
    SP_DEVICE_INTERFACE_DATA item = {.cbSize = sizeof(item)};
    if (SetupDiEnumDeviceInterfaces(set, NULL, &GUID_VIRTUAL_BUS_INTERFACE, 0, &item)) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &item, NULL, 0, &size, NULL);
        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = size ? malloc(size) : NULL;
        SP_DEVINFO_DATA device = {.cbSize = sizeof(device)};
        if (detail == NULL) {
            result = size ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
        } else {
            detail->cbSize = sizeof(*detail);
            if (!SetupDiGetDeviceInterfaceDetailW(set, &item, detail, size, NULL, &device)) {
                result = GetLastError();
            } else {
                size_t length = wcslen(detail->DevicePath) + 1;
                bus->Path = malloc(length * sizeof(WCHAR));
                if (bus->Path == NULL) {
                    result = ERROR_NOT_ENOUGH_MEMORY;
                } else {
                    memcpy(bus->Path, detail->DevicePath, length * sizeof(WCHAR));
                    if (!SetupDiGetDeviceInstanceIdW(set, &device, bus->InstanceId,
                                                     ARRAYSIZE(bus->InstanceId), NULL))
                        bus->InstanceId[0] = L'\0';
                    result = ERROR_SUCCESS;
                }
            }
            free(detail);
        }
    } else if (GetLastError() != ERROR_NO_MORE_ITEMS) {
        result = GetLastError();
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

void FreeBus(BusInterface* bus)
{
    free(bus->Path);
    bus->Path = NULL;
}

int CommandStatus(void)
{
    BusInterface bus;
    DWORD result = FindBus(&bus);
    if (result == ERROR_NOT_FOUND) {
        PrintRestoreServiceState();
        return ReportFailure("the bus is not running: no device offers the bus interface "
                             "(is vcombus installed? try 'vcomctl install')");
    }
    if (result != ERROR_SUCCESS)
        return ReportError(result, "looking up the bus interface");

    printf("bus device: %ls\n", bus.InstanceId[0] ? bus.InstanceId : L"(unknown)");
    printf("bus interface: %ls\n", bus.Path);

    /* Read access is what the bus's control requests require. */
    HANDLE handle = CreateFileW(bus.Path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        FreeBus(&bus);
        return ReportError(error, "opening the bus");
    }
    FreeBus(&bus);

    DWORD version = 0;
    DWORD returned = 0;
    BOOL answered = DeviceIoControl(handle, IOCTL_BUS_GET_VERSION, NULL, 0, &version,
                                    sizeof(version), &returned, NULL);
    if (answered && returned == sizeof(version)) {
        printf("driver version: %lu.%lu.%lu.%lu (0x%lX)\n", (version >> 12) & 0xF,
               (version >> 8) & 0xF, (version >> 4) & 0xF, version & 0xF, (unsigned long)version);
    } else {
        /* A driver that doesn't know the request yet is still a running bus. */
        DWORD error = answered ? ERROR_INVALID_DATA : GetLastError();
        printf("driver version: not reported (the driver answered the version request with "
               "error %lu)\n", (unsigned long)error);
    }
    CloseHandle(handle);
    PrintRestoreServiceState();
    return PrintRecordStatus();
}
