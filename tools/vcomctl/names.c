/* COM names for plugged ports: a DOS device link \??\Global\COMn to the port's device, a value in
 * the SERIALCOMM device map (the port list applications read), and the number's bit in the COM
 * name arbiter's database where the platform keeps one. The driver names nothing itself.
 *
 * Which device a port is: Windows says so through the port's device node (its physical device
 * object name); Wine leaves that property empty, so vcomctl also keeps its own record of the
 * device each port it plugs in got (a volatile key: ports don't outlive a restart either). */
#include "vcomctl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <cfgmgr32.h>
#include <winternl.h>

#include "vcombus/ioctl.h"

#ifndef STATUS_PRIVILEGE_NOT_HELD
#define STATUS_PRIVILEGE_NOT_HELD ((NTSTATUS)0xC0000061L)
#endif
#ifndef STATUS_OBJECT_NAME_COLLISION
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#endif
#ifndef STATUS_OBJECT_NAME_NOT_FOUND
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#endif
#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#endif
#ifndef STATUS_NO_MORE_ENTRIES
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#endif
#define VCOMCTL_DIRECTORY_QUERY 0x0001
#define VCOMCTL_SYMBOLIC_LINK_QUERY 0x0001
#define VCOMCTL_SYMBOLIC_LINK_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | 0x0001)

NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, PULONG, PULONG);
NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);
NTSTATUS NTAPI NtOpenSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
NTSTATUS NTAPI NtQuerySymbolicLinkObject(HANDLE, PUNICODE_STRING, PULONG);
NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE);
ULONG NTAPI RtlNtStatusToDosError(NTSTATUS);

/* Where the names live. */
static const WCHAR SerialCommKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
static const WCHAR ArbiterKey[] = L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
static const WCHAR RecordParentKey[] = L"SOFTWARE\\vcombus";
static const WCHAR RecordKey[] = L"SOFTWARE\\vcombus\\Ports";

/* ---- COM names ------------------------------------------------------------------------------ */

int ParseComName(const WCHAR* text, unsigned long* number)
{
    if (_wcsnicmp(text, L"COM", 3) != 0 || text[3] < L'1' || text[3] > L'9')
        return 0;
    unsigned long value = 0;
    for (const WCHAR* at = text + 3; *at; ++at) {
        if (*at < L'0' || *at > L'9')
            return 0;
        value = value * 10 + (unsigned long)(*at - L'0');
        if (value > VCOMCTL_COM_MAX)
            return 0;
    }
    *number = value;
    return 1;
}

void FormatComName(unsigned long number, WCHAR* name, size_t size)
{
    swprintf(name, size, L"COM%lu", number);
}

/* ---- The object namespace ------------------------------------------------------------------- */

static void InitAttributes(OBJECT_ATTRIBUTES* attributes, UNICODE_STRING* name, const WCHAR* text,
                           ULONG flags)
{
    RtlInitUnicodeString(name, text);
    InitializeObjectAttributes(attributes, name, flags, NULL, NULL);
}

DWORD ListDevices(DeviceList* list)
{
    list->Count = 0;
    list->Names = NULL;
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    InitAttributes(&attributes, &path, L"\\Device", OBJ_CASE_INSENSITIVE);
    HANDLE directory;
    NTSTATUS status = NtOpenDirectoryObject(&directory, VCOMCTL_DIRECTORY_QUERY, &attributes);
    if (!NT_SUCCESS(status))
        return RtlNtStatusToDosError(status);
    size_t capacity = 0;
    ULONG context = 0;
    DWORD result = ERROR_SUCCESS;
    for (;;) {
        /* One entry at a time: its name and type name, then the strings themselves. */
        __attribute__((aligned(8))) BYTE buffer[2048];
        ULONG returned = 0;
        status = NtQueryDirectoryObject(directory, buffer, sizeof(buffer), TRUE, FALSE, &context,
                                        &returned);
        if (status != 0) /* STATUS_NO_MORE_ENTRIES at the end */
            break;
        const UNICODE_STRING* entry = (const UNICODE_STRING*)buffer;
        if (entry->Length / sizeof(WCHAR) + 9 >= VCOMCTL_DEVICE_NAME_CHARS)
            continue; /* no port has a name that long */
        if (list->Count == capacity) {
            capacity = capacity ? capacity * 2 : 64;
            void* grown = realloc(list->Names, capacity * sizeof(*list->Names));
            if (grown == NULL) {
                result = ERROR_NOT_ENOUGH_MEMORY;
                break;
            }
            list->Names = grown;
        }
        swprintf(list->Names[list->Count++], VCOMCTL_DEVICE_NAME_CHARS, L"\\Device\\%.*ls",
                 (int)(entry->Length / sizeof(WCHAR)), entry->Buffer);
    }
    CloseHandle(directory);
    if (result != ERROR_SUCCESS)
        FreeDevices(list);
    return result;
}

void FreeDevices(DeviceList* list)
{
    free(list->Names);
    list->Names = NULL;
    list->Count = 0;
}

static int DeviceListed(const DeviceList* list, const WCHAR* name)
{
    for (size_t i = 0; i < list->Count; ++i)
        if (_wcsicmp(list->Names[i], name) == 0)
            return 1;
    return 0;
}

static int DeviceExists(const WCHAR* name)
{
    DeviceList list;
    if (ListDevices(&list) != ERROR_SUCCESS)
        return 0;
    int found = DeviceListed(&list, name);
    FreeDevices(&list);
    return found;
}

int NewDevice(const DeviceList* before, const DeviceList* after, WCHAR* name)
{
    int found = 0;
    for (size_t i = 0; i < after->Count; ++i) {
        if (DeviceListed(before, after->Names[i]))
            continue;
        if (found++)
            return 0; /* something else appeared at the same time: no guessing */
        wcscpy(name, after->Names[i]);
    }
    return found == 1;
}

/* The link's name: "Global" in the caller's DOS device directory leads to the one every logon
 * session sees (\GLOBAL?? on Windows; Wine has a single directory, and its Global leads back to
 * it). */
static void LinkPath(const WCHAR* com, WCHAR* path, size_t size)
{
    swprintf(path, size, L"\\??\\Global\\%ls", com);
}

/* The target of the link named com: ERROR_SUCCESS, or ERROR_FILE_NOT_FOUND when there is none. */
DWORD ComLinkTarget(const WCHAR* com, WCHAR* target, size_t size)
{
    WCHAR path[64];
    LinkPath(com, path, ARRAYSIZE(path));
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    InitAttributes(&attributes, &name, path, OBJ_CASE_INSENSITIVE);
    HANDLE link;
    NTSTATUS status = NtOpenSymbolicLinkObject(&link, VCOMCTL_SYMBOLIC_LINK_QUERY, &attributes);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return ERROR_FILE_NOT_FOUND;
    if (!NT_SUCCESS(status))
        return RtlNtStatusToDosError(status);
    UNICODE_STRING text = {0, (USHORT)((size - 1) * sizeof(WCHAR)), target};
    ULONG length = 0;
    status = NtQuerySymbolicLinkObject(link, &text, &length);
    CloseHandle(link);
    if (!NT_SUCCESS(status))
        return RtlNtStatusToDosError(status);
    target[text.Length / sizeof(WCHAR)] = L'\0';
    return ERROR_SUCCESS;
}

static void EnablePrivilege(const WCHAR* privilege)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return;
    TOKEN_PRIVILEGES change = {.PrivilegeCount = 1};
    change.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(NULL, privilege, &change.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &change, 0, NULL, NULL);
    CloseHandle(token);
}

/* Makes the link com -> device so that it outlives this process: a permanent object. Creating
 * one takes the privilege to create permanent objects, which a local system process holds (and
 * Wine doesn't ask for). An administrator on Windows lacks it (or write access to the global
 * directory): the link is then made by the session manager, which holds both, through
 * DefineDosDevice. Wine's DefineDosDevice can't be the
 * one way: it builds the link's name in a buffer too short for names longer than two characters. */
static DWORD CreateComLink(const WCHAR* com, const WCHAR* device)
{
    WCHAR path[64];
    LinkPath(com, path, ARRAYSIZE(path));
    UNICODE_STRING name, target;
    OBJECT_ATTRIBUTES attributes;
    InitAttributes(&attributes, &name, path, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT);
    RtlInitUnicodeString(&target, device);
    EnablePrivilege(L"SeCreatePermanentPrivilege");
    HANDLE link;
    NTSTATUS status = NtCreateSymbolicLinkObject(&link, VCOMCTL_SYMBOLIC_LINK_ALL_ACCESS, &attributes,
                                                 &target);
    if (NT_SUCCESS(status)) {
        CloseHandle(link);
    } else if (status == STATUS_PRIVILEGE_NOT_HELD || status == STATUS_ACCESS_DENIED) {
        WCHAR global[32];
        swprintf(global, ARRAYSIZE(global), L"Global\\%ls", com);
        /* The caller has made sure the name is free: DefineDosDevice would otherwise stack the
         * new target on an existing link instead of refusing. */
        if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_NO_BROADCAST_SYSTEM, global, device))
            return GetLastError();
    } else if (status == STATUS_OBJECT_NAME_COLLISION) {
        return ERROR_ALREADY_EXISTS;
    } else {
        return RtlNtStatusToDosError(status);
    }

    /* Read it back: a link that leads anywhere else is worse than none. */
    WCHAR made[VCOMCTL_DEVICE_NAME_CHARS];
    DWORD result = ComLinkTarget(com, made, ARRAYSIZE(made));
    if (result == ERROR_SUCCESS && _wcsicmp(made, device) == 0)
        return ERROR_SUCCESS;
    RemoveComLink(com, device);
    return result == ERROR_SUCCESS ? ERROR_INVALID_DATA : result;
}

DWORD RemoveComLink(const WCHAR* com, const WCHAR* device)
{
    WCHAR path[64];
    LinkPath(com, path, ARRAYSIZE(path));
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    InitAttributes(&attributes, &name, path, OBJ_CASE_INSENSITIVE);
    HANDLE link;
    NTSTATUS status = NtOpenSymbolicLinkObject(&link, DELETE | VCOMCTL_SYMBOLIC_LINK_QUERY, &attributes);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return ERROR_SUCCESS;
    if (status == STATUS_ACCESS_DENIED) {
        /* A link the session manager made and keeps: it takes it away again, and only if it
         * still leads to this device. */
        WCHAR global[32];
        swprintf(global, ARRAYSIZE(global), L"Global\\%ls", com);
        if (!DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE |
                                  DDD_NO_BROADCAST_SYSTEM,
                              global, device))
            return GetLastError();
        return ERROR_SUCCESS;
    }
    if (!NT_SUCCESS(status))
        return RtlNtStatusToDosError(status);

    WCHAR buffer[VCOMCTL_DEVICE_NAME_CHARS];
    UNICODE_STRING target = {0, (USHORT)((ARRAYSIZE(buffer) - 1) * sizeof(WCHAR)), buffer};
    ULONG length = 0;
    status = NtQuerySymbolicLinkObject(link, &target, &length);
    if (NT_SUCCESS(status)) {
        buffer[target.Length / sizeof(WCHAR)] = L'\0';
        /* Someone else's link by now: not ours to remove. */
        if (_wcsicmp(buffer, device) == 0)
            status = NtMakeTemporaryObject(link); /* gone with the last handle, ours */
    }
    CloseHandle(link);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : RtlNtStatusToDosError(status);
}

/* ---- The SERIALCOMM device map -------------------------------------------------------------- */

DWORD SerialCommName(const WCHAR* device, WCHAR* com, size_t size)
{
    DWORD bytes = (DWORD)(size * sizeof(WCHAR));
    LSTATUS result = RegGetValueW(HKEY_LOCAL_MACHINE, SerialCommKey, device, RRF_RT_REG_SZ, NULL, com, &bytes);
    return result == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : (DWORD)result;
}

/* The device whose map entry names com, if any. */
static int SerialCommUser(const WCHAR* com, WCHAR* device, size_t size)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialCommKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    int found = 0;
    for (DWORD index = 0; !found; ++index) {
        WCHAR name[VCOMCTL_DEVICE_NAME_CHARS], data[64];
        DWORD nameChars = ARRAYSIZE(name), dataBytes = sizeof(data) - sizeof(WCHAR), type;
        LSTATUS result = RegEnumValueW(key, index, name, &nameChars, NULL, &type, (BYTE*)data, &dataBytes);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[dataBytes / sizeof(WCHAR)] = L'\0';
        if (_wcsicmp(data, com) == 0) {
            swprintf(device, size, L"%ls", name);
            found = 1;
        }
    }
    RegCloseKey(key);
    return found;
}

static DWORD SerialCommAdd(const WCHAR* device, const WCHAR* com)
{
    HKEY key;
    /* The map lives in the hardware hive, which holds volatile keys only. */
    LSTATUS result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, SerialCommKey, 0, NULL, REG_OPTION_VOLATILE,
                                     KEY_SET_VALUE, NULL, &key, NULL);
    if (result != ERROR_SUCCESS)
        return (DWORD)result;
    result = RegSetValueExW(key, device, 0, REG_SZ, (const BYTE*)com, (DWORD)((wcslen(com) + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return (DWORD)result;
}

static DWORD SerialCommRemove(const WCHAR* device)
{
    LSTATUS result = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, SerialCommKey, device);
    return result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : (DWORD)result;
}

/* ---- The COM name arbiter's database -------------------------------------------------------- */

/* Sets or clears the number's bit (bit n-1, lowest bit first) in the ComDB bitmap. The platform's
 * own routines (msports.dll) are only stubs that abort under Wine 8, so the bitmap is edited
 * directly, under the lock every vcomctl naming command holds. *changed says whether the bit had
 * the other value before. A platform without the arbiter's key keeps no database: nothing to do. */
static DWORD ComDbSet(unsigned long number, int claim, int* changed)
{
    *changed = 0;
    HKEY key;
    LSTATUS result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ArbiterKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (result == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (result != ERROR_SUCCESS)
        return (DWORD)result;
    /* The database grows in blocks of 256 ports, up to 4096. */
    BYTE bits[VCOMCTL_COM_MAX / 8] = {0};
    DWORD bytes = sizeof(bits), type = REG_BINARY;
    result = RegQueryValueExW(key, L"ComDB", NULL, &type, bits, &bytes);
    if (result == ERROR_FILE_NOT_FOUND) {
        bytes = 0;
        result = ERROR_SUCCESS;
    }
    if (result == ERROR_SUCCESS && type != REG_BINARY)
        result = ERROR_INVALID_DATA;
    if (result == ERROR_SUCCESS) {
        DWORD index = (DWORD)(number - 1) / 8;
        BYTE mask = (BYTE)(1u << ((number - 1) % 8));
        int set = index < bytes && (bits[index] & mask);
        if (set != claim) {
            if (index >= bytes)
                bytes = (index / 32 + 1) * 32;
            bits[index] = (BYTE)(claim ? bits[index] | mask : bits[index] & ~mask);
            result = RegSetValueExW(key, L"ComDB", 0, REG_BINARY, bits, bytes);
            *changed = result == ERROR_SUCCESS;
        }
    }
    RegCloseKey(key);
    return (DWORD)result;
}

/* ---- Which device a port is ----------------------------------------------------------------- */

static void RecordName(unsigned long number, WCHAR* name, size_t size)
{
    swprintf(name, size, L"%lu", number);
}

DWORD RecordPortDevice(unsigned long number, const WCHAR* device)
{
    HKEY parent, key;
    LSTATUS result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, RecordParentKey, 0, NULL, 0, KEY_CREATE_SUB_KEY,
                                     NULL, &parent, NULL);
    if (result != ERROR_SUCCESS)
        return (DWORD)result;
    result = RegCreateKeyExW(parent, L"Ports", 0, NULL, REG_OPTION_VOLATILE, KEY_SET_VALUE, NULL, &key, NULL);
    RegCloseKey(parent);
    if (result != ERROR_SUCCESS)
        return (DWORD)result;
    WCHAR name[16];
    RecordName(number, name, ARRAYSIZE(name));
    result = RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)device, (DWORD)((wcslen(device) + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return (DWORD)result;
}

void ForgetPortDevice(unsigned long number)
{
    WCHAR name[16];
    RecordName(number, name, ARRAYSIZE(name));
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, RecordKey, name);
}

/* The port numbers vcomctl has records for, with the devices recorded; the caller frees both. */
static size_t RecordedPorts(unsigned long** numbers, DeviceList* devices)
{
    *numbers = NULL;
    devices->Names = NULL;
    devices->Count = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RecordKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    DWORD values = 0;
    RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    *numbers = calloc(values ? values : 1, sizeof(**numbers));
    devices->Names = calloc(values ? values : 1, sizeof(*devices->Names));
    if (*numbers == NULL || devices->Names == NULL) {
        RegCloseKey(key);
        return 0;
    }
    for (DWORD index = 0; index < values; ++index) {
        WCHAR name[16];
        DWORD nameChars = ARRAYSIZE(name), bytes = sizeof(devices->Names[0]) - sizeof(WCHAR), type;
        WCHAR* device = devices->Names[devices->Count];
        if (RegEnumValueW(key, index, name, &nameChars, NULL, &type, (BYTE*)device, &bytes) != ERROR_SUCCESS ||
            type != REG_SZ)
            continue;
        device[bytes / sizeof(WCHAR)] = L'\0';
        unsigned long number;
        if (!ParsePortNumber(name, &number))
            continue;
        (*numbers)[devices->Count++] = number;
    }
    RegCloseKey(key);
    return devices->Count;
}

/* The last part of a device instance identifier as a port number ("VCOMBUS\PORT\09" is 9). */
static int InstancePortNumber(const WCHAR* instance, unsigned long* number)
{
    const WCHAR* last = wcsrchr(instance, L'\\');
    return last != NULL && ParsePortNumber(last + 1, number);
}

/* Calls visit for each present child of the bus device with its port number. Windows keeps the
 * tree; Wine 8 answers no parent for ports, and then there is nothing to visit. */
static void VisitBusChildren(int (*visit)(DEVINST child, unsigned long number, void* context), void* context)
{
    BusInterface bus;
    if (FindBus(&bus) != ERROR_SUCCESS)
        return;
    DEVINST node, child;
    if (bus.InstanceId[0] != L'\0' &&
        CM_Locate_DevNodeW(&node, bus.InstanceId, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS &&
        CM_Get_Child(&child, node, 0) == CR_SUCCESS) {
        do {
            WCHAR instance[MAX_DEVICE_ID_LEN];
            unsigned long number;
            if (CM_Get_Device_IDW(child, instance, ARRAYSIZE(instance), 0) == CR_SUCCESS &&
                InstancePortNumber(instance, &number) && !visit(child, number, context))
                break;
        } while (CM_Get_Sibling(&child, child, 0) == CR_SUCCESS);
    }
    FreeBus(&bus);
}

typedef struct DeviceQuery {
    unsigned long Number;
    WCHAR* Device;
    size_t Size;
    int Found;
} DeviceQuery;

static int ReadPhysicalName(DEVINST child, unsigned long number, void* context)
{
    DeviceQuery* query = context;
    if (number != query->Number)
        return 1;
    ULONG bytes = (ULONG)((query->Size - 1) * sizeof(WCHAR));
    if (CM_Get_DevNode_Registry_PropertyW(child, CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME, NULL, query->Device,
                                          &bytes, 0) == CR_SUCCESS &&
        query->Device[0] == L'\\')
        query->Found = 1;
    return 0;
}

DWORD PortDeviceName(unsigned long number, WCHAR* device, size_t size)
{
    DeviceQuery query = {number, device, size, 0};
    VisitBusChildren(ReadPhysicalName, &query);
    if (query.Found)
        return ERROR_SUCCESS;

    /* vcomctl's record, trusted only while that device still exists: device names aren't reused
     * while the driver runs, and a port that went away took its device with it. */
    WCHAR name[16];
    RecordName(number, name, ARRAYSIZE(name));
    DWORD bytes = (DWORD)(size * sizeof(WCHAR));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, RecordKey, name, RRF_RT_REG_SZ, NULL, device, &bytes) == ERROR_SUCCESS &&
        DeviceExists(device))
        return ERROR_SUCCESS;
    return ERROR_NOT_FOUND;
}

typedef struct NumberSet {
    unsigned long* Numbers;
    size_t Count;
    size_t Capacity;
} NumberSet;

static int AddNumber(DEVINST child, unsigned long number, void* context)
{
    (void)child;
    NumberSet* set = context;
    for (size_t i = 0; i < set->Count; ++i)
        if (set->Numbers[i] == number)
            return 1;
    if (set->Count == set->Capacity) {
        size_t capacity = set->Capacity ? set->Capacity * 2 : 16;
        void* grown = realloc(set->Numbers, capacity * sizeof(*set->Numbers));
        if (grown == NULL)
            return 0;
        set->Numbers = grown;
        set->Capacity = capacity;
    }
    set->Numbers[set->Count++] = number;
    return 1;
}

static int CompareNumbers(const void* a, const void* b)
{
    unsigned long x = *(const unsigned long*)a, y = *(const unsigned long*)b;
    return x < y ? -1 : x > y;
}

size_t KnownPorts(PortInfo** ports)
{
    NumberSet set = {0};
    VisitBusChildren(AddNumber, &set);
    unsigned long* recorded;
    DeviceList devices;
    size_t count = RecordedPorts(&recorded, &devices);
    for (size_t i = 0; i < count; ++i)
        AddNumber(0, recorded[i], &set);
    free(recorded);
    FreeDevices(&devices);
    if (set.Count)
        qsort(set.Numbers, set.Count, sizeof(*set.Numbers), CompareNumbers);

    *ports = calloc(set.Count ? set.Count : 1, sizeof(**ports));
    size_t known = 0;
    for (size_t i = 0; *ports != NULL && i < set.Count; ++i) {
        PortInfo* port = &(*ports)[known];
        port->Number = set.Numbers[i];
        if (PortDeviceName(port->Number, port->Device, ARRAYSIZE(port->Device)) != ERROR_SUCCESS)
            continue;
        if (SerialCommName(port->Device, port->Com, ARRAYSIZE(port->Com)) != ERROR_SUCCESS)
            port->Com[0] = L'\0';
        known++;
    }
    free(set.Numbers);
    return known;
}

/* ---- Naming ---------------------------------------------------------------------------------- */

static HANDLE NamesLock;

int LockNames(void)
{
    /* One naming command at a time, from every session: the checks, the database's bitmap and
     * the records are read, then written. A process that may not create global objects goes on
     * without the lock: it may not change names either, and plugging ports doesn't need it. */
    if (NamesLock != NULL)
        return VcomctlOk;
    HANDLE lock = CreateMutexW(NULL, FALSE, L"Global\\vcombus-vcomctl-names");
    if (lock == NULL)
        lock = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\vcombus-vcomctl-names");
    if (lock == NULL)
        return VcomctlOk;
    DWORD waited = WaitForSingleObject(lock, 30000);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(lock);
        return ReportFailure("another vcomctl held the naming lock for 30 s");
    }
    /* Held until the process exits, or until UnlockNames (the service lives on). */
    NamesLock = lock;
    return VcomctlOk;
}

void UnlockNames(void)
{
    if (NamesLock == NULL)
        return;
    ReleaseMutex(NamesLock);
    CloseHandle(NamesLock);
    NamesLock = NULL;
}

int CheckComNameFree(const WCHAR* com)
{
    WCHAR user[VCOMCTL_DEVICE_NAME_CHARS];
    if (ComLinkTarget(com, user, ARRAYSIZE(user)) == ERROR_SUCCESS || SerialCommUser(com, user, ARRAYSIZE(user)))
        return ReportFailure("%ls is already in use (by %ls)", com, user);
    return VcomctlOk;
}

int NamePort(unsigned long number, const WCHAR* com)
{
    WCHAR device[VCOMCTL_DEVICE_NAME_CHARS];
    if (PortDeviceName(number, device, ARRAYSIZE(device)) != ERROR_SUCCESS)
        return ReportFailure("no such port: %lu (or it was plugged in by another program and the "
                             "platform doesn't say which device it is)", number);
    WCHAR current[64];
    if (SerialCommName(device, current, ARRAYSIZE(current)) == ERROR_SUCCESS)
        return ReportFailure("port %lu already has the name %ls (try 'vcomctl unname %lu' first)", number,
                             current, number);

    int result = CheckComNameFree(com);
    if (result != VcomctlOk)
        return result;

    unsigned long comNumber;
    ParseComName(com, &comNumber);
    int claimed;
    DWORD error = ComDbSet(comNumber, 1, &claimed);
    if (error != ERROR_SUCCESS)
        return ReportError(error, "claiming %ls in the COM name database", com);
    error = CreateComLink(com, device);
    if (error == ERROR_ALREADY_EXISTS) {
        if (claimed)
            ComDbSet(comNumber, 0, &claimed);
        return ReportFailure("%ls is already in use", com);
    }
    if (error == ERROR_SUCCESS) {
        error = SerialCommAdd(device, com);
        if (error != ERROR_SUCCESS) {
            RemoveComLink(com, device);
            if (claimed)
                ComDbSet(comNumber, 0, &claimed);
            return ReportError(error, "listing %ls in %ls", com, SerialCommKey);
        }
    } else {
        if (claimed)
            ComDbSet(comNumber, 0, &claimed);
        return ReportError(error, "making the link %ls to %ls", com, device);
    }
    printf("port %lu is %ls (%ls)\n", number, com, device);
    return VcomctlOk;
}

DWORD RemoveNames(const WCHAR* device, const WCHAR* com)
{
    DWORD error = RemoveComLink(com, device);
    if (error != ERROR_SUCCESS)
        return error;
    error = SerialCommRemove(device);
    if (error != ERROR_SUCCESS)
        return error;
    unsigned long comNumber;
    int released;
    if (ParseComName(com, &comNumber))
        error = ComDbSet(comNumber, 0, &released);
    return error;
}

int UnnamePort(unsigned long number)
{
    WCHAR device[VCOMCTL_DEVICE_NAME_CHARS], com[64];
    if (PortDeviceName(number, device, ARRAYSIZE(device)) != ERROR_SUCCESS)
        return ReportFailure("no such port: %lu (or it was plugged in by another program and the "
                             "platform doesn't say which device it is)", number);
    if (SerialCommName(device, com, ARRAYSIZE(com)) != ERROR_SUCCESS)
        return ReportFailure("port %lu has no COM name", number);
    DWORD error = RemoveNames(device, com);
    if (error != ERROR_SUCCESS)
        return ReportError(error, "removing the name %ls of port %lu", com, number);
    printf("port %lu is no longer %ls\n", number, com);
    return VcomctlOk;
}

void ForgetVanishedPorts(void)
{
    unsigned long* numbers;
    DeviceList devices;
    size_t count = RecordedPorts(&numbers, &devices);
    if (count == 0) {
        free(numbers);
        FreeDevices(&devices);
        return;
    }
    DeviceList present;
    if (ListDevices(&present) == ERROR_SUCCESS) {
        for (size_t i = 0; i < count; ++i) {
            if (DeviceListed(&present, devices.Names[i]))
                continue;
            /* The port went away without vcomctl (ejected, or unplugged by another program):
             * its names lead nowhere now. */
            WCHAR com[64];
            if (SerialCommName(devices.Names[i], com, ARRAYSIZE(com)) == ERROR_SUCCESS)
                RemoveNames(devices.Names[i], com);
            ForgetPortDevice(numbers[i]);
        }
        FreeDevices(&present);
    }
    free(numbers);
    FreeDevices(&devices);
}

void ForgetRecords(void)
{
    /* Only once no port is recorded: a record left means its port still has its device. */
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RecordKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD values = 1;
        RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
        RegCloseKey(key);
        if (values != 0)
            return;
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, RecordKey);
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, RecordParentKey);
}
