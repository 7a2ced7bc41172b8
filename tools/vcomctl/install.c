/*
 * install and uninstall: the root-enumerated bus device and its driver, created and removed the
 * way a device installer does it through SetupAPI.
 */
#include "vcomctl.h"

#include <stdio.h>
#include <stdlib.h>

#include <setupapi.h>
#include <cfgmgr32.h>
#include <newdev.h>

#include "vcombus/ioctl.h"

/* The platform's limit on setup class names; mingw-w64's setupapi.h lacks the name. */
#ifndef MAX_CLASS_NAME_LEN
#define MAX_CLASS_NAME_LEN 32
#endif

/* Whether the device's hardware identifiers include the bus's (compared as the platform does,
 * ignoring case). */
static BOOL IsBusDevice(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    WCHAR ids[1024];
    DWORD size = 0;
    /* Two NULs of headroom: the stored list may lack its final terminator. */
    ZeroMemory(ids, sizeof(ids));
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, NULL, (BYTE*)ids,
                                           sizeof(ids) - 2 * sizeof(WCHAR), &size))
        return FALSE;
    for (const WCHAR* id = ids; *id != L'\0'; id += wcslen(id) + 1) {
        if (_wcsicmp(id, VCOMCTL_BUS_HARDWARE_ID) == 0)
            return TRUE;
    }
    return FALSE;
}

/* Whether the device has the bus driver's service as its function driver. */
static BOOL HasBusService(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    WCHAR service[256] = L"";
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_SERVICE, NULL, (BYTE*)service,
                                           sizeof(service) - sizeof(WCHAR), NULL))
        return FALSE;
    return _wcsicmp(service, VCOMCTL_SERVICE_NAME) == 0;
}

/* Finds the first bus device, present or not, in a list of every device of every class. The
 * list stays open in *set for the caller, who destroys it. */
static DWORD FindBusDevice(HDEVINFO* set, SP_DEVINFO_DATA* device, BOOL* found)
{
    *found = FALSE;
    *set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    if (*set == INVALID_HANDLE_VALUE)
        return GetLastError();
    device->cbSize = sizeof(*device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(*set, index, device); ++index) {
        if (IsBusDevice(*set, device)) {
            *found = TRUE;
            return ERROR_SUCCESS;
        }
    }
    return GetLastError() == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : GetLastError();
}

/* The package's two setup information files: the bus's, and the ports' (another setup class,
 * so another file). */
static const WCHAR BusInfName[] = L"vcombus.inf";
static const WCHAR PortInfName[] = L"vcomport.inf";

DWORD ReplaceFileName(WCHAR* path, DWORD capacity, const WCHAR* name)
{
    WCHAR* slash = wcsrchr(path, L'\\');
    WCHAR* at = slash != NULL ? slash + 1 : path;
    size_t length = wcslen(name) + 1;
    if ((size_t)(at - path) + length > capacity)
        return ERROR_FILENAME_EXCED_RANGE;
    memcpy(at, name, length * sizeof(WCHAR));
    return ERROR_SUCCESS;
}

/* The bus's setup information next to this program, where the package puts it. */
static DWORD DefaultInfPath(WCHAR* path, DWORD capacity)
{
    DWORD length = GetModuleFileNameW(NULL, path, capacity);
    if (length == 0 || length >= capacity)
        return length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    return ReplaceFileName(path, capacity, BusInfName);
}

/* Adds setup information to the driver store. A copy staged before (by an earlier install) is
 * found and kept: *stagedNow tells whether this call staged it, and stagedName (capacity
 * MAX_PATH) names the staged copy either way, or is empty. */
static DWORD Stage(const WCHAR* inf, BOOL* stagedNow, WCHAR* stagedName)
{
    WCHAR staged[MAX_PATH] = L"";
    WCHAR* name = NULL;
    stagedName[0] = L'\0';
    *stagedNow = SetupCopyOEMInfW(inf, NULL, SPOST_PATH, SP_COPY_NOOVERWRITE, staged,
                                  ARRAYSIZE(staged), NULL, &name);
    if (!*stagedNow && GetLastError() != ERROR_FILE_EXISTS)
        return GetLastError();
    if (name != NULL && wcslen(name) < MAX_PATH)
        wcscpy(stagedName, name);
    return ERROR_SUCCESS;
}

/* Creates the root-enumerated device with the bus's hardware identifier and registers it, so
 * that the driver update below has a device to install on. */
static DWORD CreateBusDevice(const GUID* classGuid, const WCHAR* className, HDEVINFO* set,
                             SP_DEVINFO_DATA* device)
{
    *set = SetupDiCreateDeviceInfoList(classGuid, NULL);
    if (*set == INVALID_HANDLE_VALUE)
        return GetLastError();
    device->cbSize = sizeof(*device);
    if (!SetupDiCreateDeviceInfoW(*set, className, classGuid, NULL, NULL, DICD_GENERATE_ID,
                                  device))
        return GetLastError();
    static const WCHAR ids[] = VCOMCTL_BUS_HARDWARE_ID L"\0";
    if (!SetupDiSetDeviceRegistryPropertyW(*set, device, SPDRP_HARDWAREID, (const BYTE*)ids,
                                           sizeof(ids)))
        return GetLastError();
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, *set, device))
        return GetLastError();
    return ERROR_SUCCESS;
}

/* What the Plug and Play problem codes a failed bus start can show mean for the user. */
static const char* DescribeProblem(ULONG problem)
{
    switch (problem) {
    case CM_PROB_FAILED_START:
        return "the driver failed to start the device";
    case CM_PROB_FAILED_INSTALL:
        return "no driver is installed for it";
    case CM_PROB_FAILED_ADD:
        return "the driver failed to add the device";
    case CM_PROB_FAILED_DRIVER_ENTRY:
        return "the driver failed to initialise";
    case CM_PROB_DRIVER_FAILED_LOAD:
        return "the driver could not be loaded";
    case CM_PROB_DRIVER_BLOCKED:
        return "the driver is blocked from loading";
    case CM_PROB_UNSIGNED_DRIVER:
        return "the driver's signature could not be verified: sign it, and turn test signing on "
               "for a test certificate";
    case CM_PROB_NEED_RESTART:
        return "restart Windows to finish the installation";
    default:
        return "see the device's status in Device Manager";
    }
}

/* Waits for the bus to offer its interface. Returns ERROR_SUCCESS, the error of the lookup, or
 * ERROR_NOT_FOUND with *problem set if Plug and Play reports a failure of the device (left 0 if
 * the interface merely never appeared). */
static DWORD WaitForStart(DEVINST devInst, BusInterface* bus, ULONG* problem)
{
    DWORD start = GetTickCount();
    *problem = 0;
    for (;;) {
        DWORD result = FindBus(bus);
        if (result != ERROR_NOT_FOUND)
            return result;
        /* A failed start shows as a problem code at once: no use waiting out the time. */
        ULONG status = 0;
        ULONG code = 0;
        if (CM_Get_DevNode_Status(&status, &code, devInst, 0) == CR_SUCCESS &&
            (status & DN_HAS_PROBLEM) != 0 && code != 0) {
            *problem = code;
            return ERROR_NOT_FOUND;
        }
        if (GetTickCount() - start >= VCOMCTL_START_TIMEOUT_MS)
            return ERROR_NOT_FOUND;
        Sleep(100);
    }
}

/* Whether two files hold the same bytes; FALSE when either can't be read. */
static BOOL SameContents(const WCHAR* first, const WCHAR* second)
{
    HANDLE a = CreateFileW(first, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    HANDLE b = CreateFileW(second, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    LARGE_INTEGER sizeA, sizeB;
    BOOL same = a != INVALID_HANDLE_VALUE && b != INVALID_HANDLE_VALUE && GetFileSizeEx(a, &sizeA) &&
                GetFileSizeEx(b, &sizeB) && sizeA.QuadPart == sizeB.QuadPart;
    static BYTE bufferA[65536], bufferB[65536];
    while (same) {
        DWORD readA = 0, readB = 0;
        if (!ReadFile(a, bufferA, sizeof(bufferA), &readA, NULL) ||
            !ReadFile(b, bufferB, sizeof(bufferB), &readB, NULL) || readA != readB)
            same = FALSE;
        else if (readA == 0)
            break;
        else
            same = memcmp(bufferA, bufferB, readA) == 0;
    }
    if (a != INVALID_HANDLE_VALUE)
        CloseHandle(a);
    if (b != INVALID_HANDLE_VALUE)
        CloseHandle(b);
    return same;
}

/* The image in the system's drivers directory, where the setup information copies it. */
static BOOL InstalledImagePath(WCHAR* path)
{
    static const WCHAR tail[] = L"\\drivers\\vcombus.sys";
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + ARRAYSIZE(tail) > MAX_PATH)
        return FALSE;
    wcscat(path, tail);
    return TRUE;
}

/* Whether the installed image is the package's, next to its setup information. */
static BOOL InstalledImageIsThePackages(const WCHAR* inf)
{
    WCHAR package[MAX_PATH];
    WCHAR installed[MAX_PATH];
    if (!InstalledImagePath(installed) || wcslen(inf) >= MAX_PATH)
        return FALSE;
    wcscpy(package, inf);
    return ReplaceFileName(package, MAX_PATH, L"vcombus.sys") == ERROR_SUCCESS &&
           SameContents(package, installed);
}

static void StopDriver(void);
static DWORD DeleteBusService(void);
static BOOL BusServiceExists(void);

/* What an install has staged in the driver store so far. */
typedef struct Staging {
    BOOL BusNow;
    WCHAR Bus[MAX_PATH];
    BOOL PortsNow;
    WCHAR Ports[MAX_PATH];
} Staging;

/* Takes back what a failed install staged in the driver store, if it staged it: no device can
 * use a copy staged a moment ago, so it goes whatever the store thinks. */
static void Unstage(const Staging* staging)
{
    if (staging->BusNow && staging->Bus[0] != L'\0')
        SetupUninstallOEMInfW(staging->Bus, SUOI_FORCEDELETE, NULL);
    if (staging->PortsNow && staging->Ports[0] != L'\0')
        SetupUninstallOEMInfW(staging->Ports, SUOI_FORCEDELETE, NULL);
}

int CommandInstall(const WCHAR* infArgument)
{
    WCHAR given[MAX_PATH];
    WCHAR inf[MAX_PATH];
    DWORD result;
    if (infArgument != NULL) {
        if (wcslen(infArgument) >= ARRAYSIZE(given))
            return ReportError(ERROR_FILENAME_EXCED_RANGE, "setup information path");
        wcscpy(given, infArgument);
    } else if ((result = DefaultInfPath(given, ARRAYSIZE(given))) != ERROR_SUCCESS) {
        return ReportError(result, "locating vcombus.inf next to vcomctl");
    }
    DWORD length = GetFullPathNameW(given, ARRAYSIZE(inf), inf, NULL);
    if (length == 0 || length >= ARRAYSIZE(inf))
        return ReportError(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE,
                           "setup information path %ls", given);
    if (GetFileAttributesW(inf) == INVALID_FILE_ATTRIBUTES)
        return ReportError(GetLastError(), "setup information %ls", inf);

    GUID classGuid;
    WCHAR className[MAX_CLASS_NAME_LEN];
    if (!SetupDiGetINFClassW(inf, &classGuid, className, ARRAYSIZE(className), NULL))
        return ReportError(GetLastError(), "reading the setup class of %ls", inf);

    /* The ports' setup information sits next to the bus's. */
    WCHAR portInf[MAX_PATH];
    wcscpy(portInf, inf);
    if ((result = ReplaceFileName(portInf, ARRAYSIZE(portInf), PortInfName)) != ERROR_SUCCESS)
        return ReportError(result, "setup information path for the ports");
    if (GetFileAttributesW(portInf) == INVALID_FILE_ATTRIBUTES)
        return ReportError(GetLastError(), "setup information for the ports %ls", portInf);

    /* Nothing is made for a driver the machine would refuse, or ask the user about. */
    int trusted = CheckPackageSignature(inf);
    if (trusted != VcomctlOk)
        return trusted;

    /* Both staged: the ports' so that Plug and Play finds it for the ports the bus enumerates
     * later, which are installed by matching, not by this program. Copies staged before (by an
     * earlier install) are kept; those staged now are removed again if the install fails. */
    Staging staging;
    if ((result = Stage(portInf, &staging.PortsNow, staging.Ports)) != ERROR_SUCCESS)
        return ReportError(result, "adding %ls to the driver store", portInf);
    if ((result = Stage(inf, &staging.BusNow, staging.Bus)) != ERROR_SUCCESS) {
        Unstage(&staging);
        return ReportError(result, "adding %ls to the driver store", inf);
    }

    HDEVINFO set;
    SP_DEVINFO_DATA device;
    BOOL exists;
    if ((result = FindBusDevice(&set, &device, &exists)) != ERROR_SUCCESS) {
        if (set != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set);
        Unstage(&staging);
        return ReportError(result, "listing devices");
    }

    /* One bus is all there is to have: a second install leaves an installed bus alone, unless
     * its driver is not the package's (an upgrade, or a downgrade). Then the bus goes, with its
     * ports, as a driver update on the device would take them, and the driver is unloaded once
     * no device uses it; the bus is installed again from the package below. Updating the driver
     * on the running device instead may leave the old image in place until a restart (Wine
     * keeps it, in use, and reports success). */
    BOOL installed = exists && HasBusService(set, &device);
    BOOL update = installed && !InstalledImageIsThePackages(inf);
    if (update) {
        WCHAR old[512] = L"";
        SetupDiGetDeviceInstanceIdW(set, &device, old, ARRAYSIZE(old), NULL);
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
            result = GetLastError();
            SetupDiDestroyDeviceInfoList(set);
            Unstage(&staging);
            return ReportError(result, "removing the bus device %ls to update its driver", old);
        }
        printf("removed the bus device %ls, whose driver is not the package's\n", old);
        StopDriver();
        if (LockNames() == VcomctlOk)
            ForgetVanishedPorts();
        exists = FALSE;
        installed = FALSE;
    }
    BOOL created = FALSE;
    if (!exists) {
        SetupDiDestroyDeviceInfoList(set);
        if ((result = CreateBusDevice(&classGuid, className, &set, &device)) != ERROR_SUCCESS) {
            /* Registration is the last step, so nothing registered is left: discarding the
             * list discards the device. */
            if (set != INVALID_HANDLE_VALUE)
                SetupDiDestroyDeviceInfoList(set);
            Unstage(&staging);
            return ReportError(result, "creating the bus device");
        }
        created = TRUE;
    }

    BOOL reboot = FALSE;
    BOOL serviceExisted = BusServiceExists();
    if (!installed) {
        if (!UpdateDriverForPlugAndPlayDevicesW(NULL, VCOMCTL_BUS_HARDWARE_ID, inf,
                                                INSTALLFLAG_FORCE, &reboot))
            result = GetLastError();
        else if (!HasBusService(set, &device))
            /* Some SetupAPI implementations report success when nothing matched. */
            result = ERROR_NO_DRIVER_SELECTED;
        /* Setup may keep an image already there whose version is no older than the package's
         * (Wine's does so whatever the setup information says): then the driver that would run
         * is not the package's, and the install is taken back like a failed one. */
        BOOL keptImage = result == ERROR_SUCCESS && !reboot && !InstalledImageIsThePackages(inf);
        if (result != ERROR_SUCCESS || keptImage) {
            if (created)
                SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
            SetupDiDestroyDeviceInfoList(set);
            Unstage(&staging);
            /* The service this install made, running the image it kept, goes too. */
            if (keptImage && !serviceExisted)
                DeleteBusService();
            else if (keptImage)
                StopDriver();
            if (keptImage)
                return ReportFailure("the system kept the vcombus.sys already in its drivers folder "
                                     "instead of the package's (whose version is no newer): run "
                                     "`vcomctl uninstall`, then install again");
            return ReportError(result, "installing the bus driver from %ls", inf);
        }
    }

    WCHAR instance[512] = L"";
    SetupDiGetDeviceInstanceIdW(set, &device, instance, ARRAYSIZE(instance), NULL);
    DEVINST devInst = device.DevInst;
    SetupDiDestroyDeviceInfoList(set);
    if (update)
        printf("installed the bus device %ls with the package's driver\n", instance);
    else if (installed)
        printf("vcombus is already installed (bus device %ls)\n", instance);
    else
        printf("installed the bus device %ls with its driver\n", instance);

    if (reboot) {
        printf("restart Windows to finish the installation\n");
        return InstallRestoreService();
    }

    BusInterface bus;
    ULONG problem = 0;
    result = WaitForStart(devInst, &bus, &problem);
    if (result == ERROR_NOT_FOUND && problem != 0)
        return ReportFailure("the bus never started: Plug and Play reports problem %lu for the "
                             "bus device (%s)", (unsigned long)problem, DescribeProblem(problem));
    if (result == ERROR_NOT_FOUND)
        return ReportFailure("the bus never started: no device offers the bus interface %lu s "
                             "after the install",
                             (unsigned long)(VCOMCTL_START_TIMEOUT_MS / 1000));
    if (result != ERROR_SUCCESS)
        return ReportError(result, "looking up the bus interface");
    printf("the bus is running: %ls\n", bus.Path);
    FreeBus(&bus);
    return InstallRestoreService();
}

/* How long uninstall waits for the driver's service to stop once told to. */
#define VCOMCTL_STOP_TIMEOUT_MS 10000

/* Stops the driver's service if it still runs: Plug and Play stops it once its last device has
 * gone, but a host that doesn't (Wine's) keeps the driver loaded, and its image in use, until
 * told. Bounded; a service that won't stop is left for the restart that removes its image. */
static void StopBusService(SC_HANDLE service)
{
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED)
        return;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
        return;
    for (DWORD start = GetTickCount(); status.dwCurrentState != SERVICE_STOPPED &&
                                       GetTickCount() - start < VCOMCTL_STOP_TIMEOUT_MS;) {
        Sleep(100);
        if (!QueryServiceStatus(service, &status))
            return;
    }
}

static BOOL BusServiceExists(void)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return FALSE;
    SC_HANDLE service = OpenServiceW(manager, VCOMCTL_SERVICE_NAME, SERVICE_QUERY_STATUS);
    if (service != NULL)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != NULL;
}

/* Stops the driver's service, if it runs, so that its image can be replaced. */
static void StopDriver(void)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return;
    SC_HANDLE service = OpenServiceW(manager, VCOMCTL_SERVICE_NAME, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service != NULL) {
        StopBusService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

/* Removes the driver's service entry, now that no device uses it. */
static DWORD DeleteBusService(void)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return GetLastError();
    DWORD result = ERROR_SUCCESS;
    SC_HANDLE service = OpenServiceW(manager, VCOMCTL_SERVICE_NAME,
                                     DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service != NULL)
        StopBusService(service);
    if (service == NULL)
        result = GetLastError();
    else if (!DeleteService(service))
        result = GetLastError();
    if (service != NULL)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (result == ERROR_SERVICE_DOES_NOT_EXIST || result == ERROR_SERVICE_MARKED_FOR_DELETE)
        result = ERROR_SUCCESS;
    return result;
}

/* What an uninstall has done so far. */
typedef struct Removal {
    DWORD Removed;
    BOOL Reboot;
} Removal;

/* Removes the first device of a fresh list (every class when classGuid is null) that the filter
 * accepts (any with a null filter). A fresh list each time, because removal may take the device
 * out of the list it was found in. Returns ERROR_SUCCESS with *found FALSE when none is left. */
static DWORD RemoveNextDevice(const GUID* classGuid, BOOL (*filter)(HDEVINFO, SP_DEVINFO_DATA*),
                              const char* kind, Removal* removal, BOOL* found)
{
    *found = FALSE;
    HDEVINFO set = SetupDiGetClassDevsW(classGuid, NULL, NULL,
                                        classGuid == NULL ? DIGCF_ALLCLASSES : 0);
    if (set == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD result = ERROR_SUCCESS;
    SP_DEVINFO_DATA device = {.cbSize = sizeof(device)};
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        if (filter != NULL && !filter(set, &device))
            continue;
        *found = TRUE;
        WCHAR instance[512] = L"";
        SetupDiGetDeviceInstanceIdW(set, &device, instance, ARRAYSIZE(instance), NULL);
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
            result = GetLastError();
            ReportError(result, "removing the %s %ls", kind, instance);
            break;
        }
        SP_DEVINSTALL_PARAMS_W params = {.cbSize = sizeof(params)};
        if (SetupDiGetDeviceInstallParamsW(set, &device, &params) &&
            (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0)
            removal->Reboot = TRUE;
        printf("removed the %s %ls\n", kind, instance);
        ++removal->Removed;
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

/* Removes every device RemoveNextDevice finds; bounded, in case a removal doesn't take. */
static DWORD RemoveDevices(const GUID* classGuid, BOOL (*filter)(HDEVINFO, SP_DEVINFO_DATA*),
                           const char* kind, Removal* removal)
{
    for (int round = 0; round < 1024; ++round) {
        BOOL found = FALSE;
        DWORD result = RemoveNextDevice(classGuid, filter, kind, removal, &found);
        if (result != ERROR_SUCCESS || !found)
            return result;
    }
    ReportFailure("the %s devices keep coming back", kind);
    return ERROR_GEN_FAILURE;
}

/* Whether the setup information installs a driver on the bus's hardware identifier: one of the
 * x64 models sections its [Manufacturer] names has a line for it. */
static BOOL InstallsTheBus(const WCHAR* path)
{
    HINF inf = SetupOpenInfFileW(path, NULL, INF_STYLE_WIN4, NULL);
    if (inf == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL found = FALSE;
    INFCONTEXT maker;
    for (BOOL more = SetupFindFirstLineW(inf, L"Manufacturer", NULL, &maker); more && !found;
         more = SetupFindNextLine(&maker, &maker)) {
        WCHAR section[256];
        if (!SetupGetStringFieldW(&maker, 1, section, ARRAYSIZE(section) - 8, NULL))
            continue;
        wcscat(section, L".NTamd64");
        INFCONTEXT model;
        for (BOOL line = SetupFindFirstLineW(inf, section, NULL, &model); line && !found;
             line = SetupFindNextLine(&model, &model)) {
            WCHAR id[256];
            for (DWORD field = 2; !found && SetupGetStringFieldW(&model, field, id, ARRAYSIZE(id), NULL); ++field)
                found = _wcsicmp(id, VCOMCTL_BUS_HARDWARE_ID) == 0;
        }
    }
    SetupCloseInfFile(inf);
    return found;
}

/* Removes one staged copy, now that no device uses it. The platform may report success and keep
 * the file (Wine does, unless forced): what counts is that it is gone. */
static DWORD Unstage1(const WCHAR* name, const WCHAR* path)
{
    if (!SetupUninstallOEMInfW(name, 0, NULL))
        return GetLastError();
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES &&
        !SetupUninstallOEMInfW(name, SUOI_FORCEDELETE, NULL))
        return GetLastError();
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
        return ERROR_ACCESS_DENIED;
    /* Its precompiled form goes with it. */
    WCHAR pnf[MAX_PATH];
    size_t length = wcslen(path);
    if (length < MAX_PATH && length > 4) {
        wcscpy(pnf, path);
        wcscpy(pnf + length - 4, L".pnf");
        DeleteFileW(pnf);
    }
    return ERROR_SUCCESS;
}

/* Removes from the driver store every staged copy of the package's setup information: those of
 * the ports' setup class, which is ours alone, and those that install the bus. Found by what
 * they hold rather than by the name a device records, which need not be the staged file's. */
static DWORD UnstagePackageInfs(void)
{
    WCHAR pattern[MAX_PATH];
    UINT length = GetWindowsDirectoryW(pattern, MAX_PATH);
    static const WCHAR tail[] = L"\\inf\\*.inf";
    if (length == 0 || length + ARRAYSIZE(tail) > MAX_PATH)
        return length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    wcscat(pattern, tail);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : GetLastError();
    static const GUID systemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    DWORD result = ERROR_SUCCESS;
    do {
        WCHAR path[MAX_PATH];
        wcscpy(path, pattern);
        if (ReplaceFileName(path, ARRAYSIZE(path), found.cFileName) != ERROR_SUCCESS)
            continue;
        GUID classGuid;
        WCHAR className[MAX_CLASS_NAME_LEN];
        if (!SetupDiGetINFClassW(path, &classGuid, className, ARRAYSIZE(className), NULL))
            continue;
        if (!IsEqualGUID(&classGuid, &GUID_VIRTUAL_PORT_CLASS) &&
            !(IsEqualGUID(&classGuid, &systemClass) && InstallsTheBus(path)))
            continue;
        if ((result = Unstage1(found.cFileName, path)) != ERROR_SUCCESS) {
            ReportError(result, "removing %ls from the driver store", found.cFileName);
            break;
        }
        printf("removed %ls from the driver store\n", found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return result;
}

int CommandUninstall(void)
{
    Removal removal = {0};
    /* The restore service first, so that nothing plugs ports back in while they go; the
     * configuration it kept goes too: an uninstall leaves nothing to come back. */
    if (RemoveRestoreService() != VcomctlOk)
        return VcomctlFailed;
    ForgetConfiguration();
    /* The bus first: removing it removes the ports it enumerated, as Plug and Play does. Then
     * the records of ports seen in earlier sessions, which still name the setup information. */
    DWORD result = RemoveDevices(NULL, IsBusDevice, "bus device", &removal);
    if (result == ERROR_SUCCESS)
        result = RemoveDevices(&GUID_VIRTUAL_PORT_CLASS, NULL, "port device", &removal);
    if (result != ERROR_SUCCESS)
        return VcomctlFailed;
    if (removal.Removed == 0)
        printf("vcombus is not installed: no bus device\n");
    /* The ports went with the bus: their COM names go too. */
    if (LockNames() == VcomctlOk) {
        ForgetVanishedPorts();
        ForgetRecords();
    }

    result = DeleteBusService();
    if (result != ERROR_SUCCESS)
        return ReportError(result, "deleting the %ls service", VCOMCTL_SERVICE_NAME);
    /* The image goes with its service; one still loaded goes at the next restart. */
    WCHAR image[MAX_PATH];
    if (InstalledImagePath(image) && GetFileAttributesW(image) != INVALID_FILE_ATTRIBUTES) {
        if (DeleteFileW(image))
            printf("removed %ls\n", image);
        else if (MoveFileExW(image, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
            removal.Reboot = TRUE;
        else
            return ReportError(GetLastError(), "removing %ls", image);
    }
    /* No device uses them any more; one that still did would make this fail, and say so. */
    if (UnstagePackageInfs() != ERROR_SUCCESS)
        return VcomctlFailed;
    if (removal.Reboot)
        printf("restart Windows to finish the removal\n");
    return VcomctlOk;
}
