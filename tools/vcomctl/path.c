/*
 * path add|remove DIR: the folder on the system's PATH, or off it, as the setup program puts
 * vcomctl there. The system PATH is the Path value of the session manager's environment key,
 * read by every process the system starts after the change; programs running already learn of
 * it from the WM_SETTINGCHANGE broadcast.
 */
#include "vcomctl.h"

#include <stdio.h>
#include <stdlib.h>

static const WCHAR EnvironmentKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
/* The system's bound on an environment variable's value, in characters. */
#define PATH_MAX_CHARS 32767
/* Windows that don't answer the broadcast within this are not waited for. */
#define BROADCAST_TIMEOUT_MS 5000

/* Whether the PATH entry (length characters) names dir: compared as the file system does,
 * ignoring case and a trailing backslash. */
static BOOL EntryIs(const WCHAR* entry, size_t length, const WCHAR* dir)
{
    size_t dirLength = wcslen(dir);
    while (length > 0 && entry[length - 1] == L'\\')
        --length;
    while (dirLength > 0 && dir[dirLength - 1] == L'\\')
        --dirLength;
    return length == dirLength && length > 0 && _wcsnicmp(entry, dir, length) == 0;
}

int CommandPath(int add, const WCHAR* dirArgument)
{
    WCHAR dir[MAX_PATH];
    DWORD length = GetFullPathNameW(dirArgument, ARRAYSIZE(dir), dir, NULL);
    if (length == 0 || length >= ARRAYSIZE(dir))
        return ReportError(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE,
                           "folder %ls", dirArgument);
    if (wcschr(dir, L';') != NULL)
        return ReportFailure("%ls can't go on PATH: it holds a ';'", dir);

    HKEY key;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, EnvironmentKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (error != ERROR_SUCCESS)
        return ReportError((DWORD)error, "opening HKLM\\%ls", EnvironmentKey);
    /* Read unexpanded: entries written as %SystemRoot%\... stay as they are. */
    DWORD type = REG_EXPAND_SZ;
    DWORD size = 0;
    error = RegQueryValueExW(key, L"Path", NULL, &type, NULL, &size);
    if (error == ERROR_FILE_NOT_FOUND) {
        size = 0;
        type = REG_EXPAND_SZ;
    } else if (error != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        RegCloseKey(key);
        return error != ERROR_SUCCESS ? ReportError((DWORD)error, "reading the system PATH")
                                      : ReportFailure("the system PATH is not a string (type %lu)", type);
    }
    /* Room for the old value, a separator, the folder and a terminator. */
    size_t capacity = size / sizeof(WCHAR) + wcslen(dir) + 3;
    WCHAR* old = calloc(capacity, sizeof(WCHAR));
    WCHAR* updated = calloc(capacity, sizeof(WCHAR));
    int status = VcomctlOk;
    if (old == NULL || updated == NULL) {
        status = ReportError(ERROR_NOT_ENOUGH_MEMORY, "reading the system PATH");
        goto done;
    }
    if (size > 0 && (error = RegQueryValueExW(key, L"Path", NULL, NULL, (BYTE*)old, &size)) != ERROR_SUCCESS) {
        status = ReportError((DWORD)error, "reading the system PATH");
        goto done;
    }

    /* The entries but dir's, in their order, without empty ones. */
    BOOL present = FALSE;
    size_t used = 0;
    for (const WCHAR* entry = old; *entry != L'\0';) {
        const WCHAR* end = wcschr(entry, L';');
        size_t entryLength = end != NULL ? (size_t)(end - entry) : wcslen(entry);
        if (EntryIs(entry, entryLength, dir)) {
            present = TRUE;
        } else if (entryLength > 0) {
            if (used > 0)
                updated[used++] = L';';
            memcpy(updated + used, entry, entryLength * sizeof(WCHAR));
            used += entryLength;
        }
        if (end == NULL)
            break;
        entry = end + 1;
    }
    if (present == add) {
        printf(add ? "%ls is on the system PATH already\n" : "%ls is not on the system PATH\n", dir);
        goto done;
    }
    if (add) {
        if (used > 0)
            updated[used++] = L';';
        wcscpy(updated + used, dir);
        used += wcslen(dir);
    }
    updated[used] = L'\0';
    if (used > PATH_MAX_CHARS) {
        status = ReportFailure("the system PATH would be longer than %u characters", PATH_MAX_CHARS);
        goto done;
    }
    error = RegSetValueExW(key, L"Path", 0, type, (const BYTE*)updated, (DWORD)((used + 1) * sizeof(WCHAR)));
    if (error != ERROR_SUCCESS) {
        status = ReportError((DWORD)error, "writing the system PATH");
        goto done;
    }
    printf(add ? "added %ls to the system PATH\n" : "removed %ls from the system PATH\n", dir);
    DWORD_PTR answer;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, (LPARAM)L"Environment",
                        SMTO_ABORTIFHUNG, BROADCAST_TIMEOUT_MS, &answer);

done:
    free(old);
    free(updated);
    RegCloseKey(key);
    return status;
}
