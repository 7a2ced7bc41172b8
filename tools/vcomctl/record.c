/* The recorded configuration: the ports, COM names, line-settings choice, routing and tap that
 * the setup commands leave, kept so that the restore service can put them back after a restart,
 * a bus disable/enable or a driver update (the driver itself keeps all of it in memory only).
 *
 * It is one registry value under the driver's Parameters key, holding the export format's text:
 * one RegSetValueEx replaces it whole, so that a crash leaves the old record or the new one,
 * never half of either; the key goes with the driver's service at an uninstall; and its own
 * security allows only SYSTEM and administrators to read it. */
#include "vcomctl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <sddl.h>

#include "vcombus/ioctl.h"

#define RECORD_PARENT L"SYSTEM\\CurrentControlSet\\Services\\" VCOMCTL_SERVICE_NAME L"\\Parameters"
#define RECORD_KEY RECORD_PARENT L"\\Configuration"
#define RECORD_VALUE L"Setup"
/* SYSTEM and administrators only, not inherited from the service key (which users may read). */
#define RECORD_SECURITY L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)"
/* More than any configuration needs: a record this large is not one vcomctl wrote. */
#define RECORD_MAX_BYTES (1024 * 1024)

static const char RecordSource[] = "the recorded configuration";

/* ---- The configuration in memory ---------------------------------------------------------- */

void InitConfiguration(Configuration* config)
{
    memset(config, 0, sizeof(*config));
    config->LineSettings = -1;
}

void FreeConfiguration(Configuration* config)
{
    free(config->Ports);
    free(config->Bridges);
    InitConfiguration(config);
}

RecordedPort* FindRecordedPort(const Configuration* config, unsigned long number)
{
    for (size_t i = 0; i < config->PortCount; ++i)
        if (config->Ports[i].Number == number)
            return &config->Ports[i];
    return NULL;
}

static int CompareRecordedPorts(const void* a, const void* b)
{
    unsigned long x = ((const RecordedPort*)a)->Number, y = ((const RecordedPort*)b)->Number;
    return x < y ? -1 : x > y;
}

/* The port's entry, made (empty, in number order) if there was none; NULL when out of memory. */
static RecordedPort* AddRecordedPort(Configuration* config, unsigned long number)
{
    RecordedPort* port = FindRecordedPort(config, number);
    if (port != NULL)
        return port;
    void* grown = realloc(config->Ports, (config->PortCount + 1) * sizeof(*config->Ports));
    if (grown == NULL)
        return NULL;
    config->Ports = grown;
    port = &config->Ports[config->PortCount++];
    memset(port, 0, sizeof(*port));
    port->Number = number;
    qsort(config->Ports, config->PortCount, sizeof(*config->Ports), CompareRecordedPorts);
    return FindRecordedPort(config, number);
}

/* The recorded bridge of definition's name; NULL if none. */
static BridgeDefinition* FindRecordedBridge(const Configuration* config, const BridgeDefinition* definition)
{
    WCHAR wanted[64], key[64];
    BridgeKey(definition, wanted, ARRAYSIZE(wanted));
    for (size_t i = 0; i < config->BridgeCount; ++i) {
        BridgeKey(&config->Bridges[i], key, ARRAYSIZE(key));
        if (_wcsicmp(key, wanted) == 0)
            return &config->Bridges[i];
    }
    return NULL;
}

static int AddRecordedBridge(Configuration* config, const BridgeDefinition* definition)
{
    BridgeDefinition* bridge = FindRecordedBridge(config, definition);
    if (bridge == NULL) {
        void* grown = realloc(config->Bridges, (config->BridgeCount + 1) * sizeof(*config->Bridges));
        if (grown == NULL)
            return 0;
        config->Bridges = grown;
        bridge = &config->Bridges[config->BridgeCount++];
    }
    *bridge = *definition;
    return 1;
}

static void RemoveRecordedPort(Configuration* config, unsigned long number)
{
    for (size_t i = 0; i < config->PortCount; ++i) {
        if (config->Ports[i].Number != number)
            continue;
        memmove(&config->Ports[i], &config->Ports[i + 1], (config->PortCount - i - 1) * sizeof(*config->Ports));
        --config->PortCount;
        return;
    }
}

/* Stores the hardware identifiers as one string, separated by single spaces (an identifier has
 * none). Whether they fit and are well-formed. */
static int SetPortIds(RecordedPort* port, const WCHAR* const* ids, int idCount)
{
    port->Ids[0] = L'\0';
    size_t used = 0;
    for (int i = 0; i < idCount; ++i) {
        size_t length = wcslen(ids[i]);
        if (length == 0 || wcspbrk(ids[i], L" \t\r\n") != NULL || used + length + 2 > ARRAYSIZE(port->Ids))
            return 0;
        if (used)
            port->Ids[used++] = L' ';
        memcpy(port->Ids + used, ids[i], (length + 1) * sizeof(WCHAR));
        used += length;
    }
    return 1;
}

/* ---- The text format ---------------------------------------------------------------------- */

typedef struct Text {
    WCHAR* Chars;
    size_t Length;
    size_t Capacity;
    int Failed;
} Text;

static void Append(Text* text, const WCHAR* format, ...)
{
    if (text->Failed)
        return;
    for (;;) {
        size_t room = text->Capacity - text->Length;
        if (room > 1) {
            va_list arguments;
            va_start(arguments, format);
            int written = vswprintf(text->Chars + text->Length, room, format, arguments);
            va_end(arguments);
            if (written >= 0 && (size_t)written < room - 1) {
                text->Length += (size_t)written;
                return;
            }
        }
        size_t capacity = text->Capacity ? text->Capacity * 2 : 1024;
        void* grown = capacity <= RECORD_MAX_BYTES ? realloc(text->Chars, capacity * sizeof(WCHAR)) : NULL;
        if (grown == NULL) {
            text->Failed = 1;
            return;
        }
        text->Chars = grown;
        text->Capacity = capacity;
    }
}

static void AppendRouting(Text* text, const RoutingConfig* routing, int capture)
{
    if (capture) {
        unsigned direction = routing->CaptureDirection & ~VCOMBUS_NO_PACING;
        Append(text, L" --capture %ls", direction == VCOMBUS_CAPTURE_SENT ? L"sent"
                                        : direction == VCOMBUS_CAPTURE_NONE ? L"none"
                                                                            : L"received");
        if (routing->ExcludedPort)
            Append(text, L" --exclude %u", routing->ExcludedPort);
    }
    int first = 1;
    for (int i = 0; i < 8; ++i) {
        if (!routing->PortFlags[i])
            continue;
        Append(text, first ? L" --hub %d" : L",%d", i + 1);
        first = 0;
    }
    if (routing->MasterPortNumber)
        Append(text, L" --master %u", routing->MasterPortNumber);
    if (routing->RealPortMode)
        Append(text, L" --real-port");
    /* Always said: a line without either takes whatever config pacing says when it is applied,
     * and the record is to bring back the pacing that was live. */
    Append(text, (routing->CaptureDirection & VCOMBUS_NO_PACING) ? L" --no-pacing" : L" --pacing");
}

WCHAR* FormatConfiguration(const Configuration* config)
{
    Text text = {0};
    Append(&text, L"# vcombus configuration: what the restore service puts back (vcomctl export)\n");
    if (config->LineSettings >= 0)
        Append(&text, L"line-settings %ls\n", config->LineSettings ? L"on" : L"off");
    for (size_t i = 0; i < config->PortCount; ++i) {
        const RecordedPort* port = &config->Ports[i];
        Append(&text, L"port %lu", port->Number);
        if (port->Com[0])
            Append(&text, L" --com %ls", port->Com);
        for (const WCHAR* id = port->Ids; *id;) {
            size_t length = wcscspn(id, L" ");
            Append(&text, L" --hwid %.*ls", (int)length, id);
            id += length;
            while (*id == L' ')
                ++id;
        }
        Append(&text, L"\n");
    }
    if (config->HasRouting) {
        Append(&text, L"route");
        AppendRouting(&text, &config->Routing, 0);
        Append(&text, L"\n");
    }
    if (config->Tap[0]) {
        Append(&text, L"tap attach %ls\n", config->Tap);
        if (config->HasCapture) {
            Append(&text, L"tap configure");
            AppendRouting(&text, &config->Capture, 1);
            Append(&text, L"\n");
            if (!config->CaptureOn)
                Append(&text, L"tap disable\n");
        }
    }
    for (size_t i = 0; i < config->BridgeCount; ++i) {
        WCHAR line[400];
        FormatBridge(&config->Bridges[i], line, ARRAYSIZE(line));
        Append(&text, L"%ls\n", line);
    }
    if (text.Failed) {
        free(text.Chars);
        return NULL;
    }
    return text.Chars;
}

/* Reports "SOURCE:LINE: message"; returns VcomctlFailed. */
static int LineError(const char* source, unsigned line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
static int LineError(const char* source, unsigned line, const char* format, ...)
{
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(message, sizeof(message), format, arguments);
    va_end(arguments);
    return ReportFailure("%s:%u: %s", source, line, message);
}

#define MAX_TOKENS 64

/* One line of the format into config. */
static int ParseLine(WCHAR** token, int count, const char* source, unsigned line, Configuration* config,
                     unsigned* portLines)
{
    char where[600];
    snprintf(where, sizeof(where), "%s:%u", source, line);
    const WCHAR* verb = token[0];
    if (wcscmp(verb, L"line-settings") == 0) {
        if (count != 2 || (wcscmp(token[1], L"on") != 0 && wcscmp(token[1], L"off") != 0))
            return LineError(source, line, "line-settings takes on or off");
        if (config->LineSettings >= 0)
            return LineError(source, line, "line-settings is given twice");
        config->LineSettings = wcscmp(token[1], L"on") == 0;
        return VcomctlOk;
    }
    if (wcscmp(verb, L"port") == 0) {
        unsigned long number;
        if (count < 2 || !ParsePortNumber(token[1], &number) || number > 0xFFFFFFFFul)
            return LineError(source, line, "port needs a port number (1 and up)");
        if (FindRecordedPort(config, number) != NULL)
            return LineError(source, line, "port %lu is given twice", number);
        RecordedPort port = {.Number = number};
        const WCHAR* ids[MAX_TOKENS];
        int idCount = 0;
        for (int i = 2; i < count; i += 2) {
            if (i + 1 >= count || (wcscmp(token[i], L"--com") != 0 && wcscmp(token[i], L"--hwid") != 0))
                return LineError(source, line, "unexpected '%ls' (port N [--com COMx] [--hwid ID]...)", token[i]);
            if (token[i][2] == L'c') {
                unsigned long com;
                if (port.Com[0] || !ParseComName(token[i + 1], &com))
                    return LineError(source, line, "not one COM name (COM1 to COM4096): '%ls'", token[i + 1]);
                FormatComName(com, port.Com, ARRAYSIZE(port.Com));
            } else {
                ids[idCount++] = token[i + 1];
            }
        }
        if (!SetPortIds(&port, ids, idCount))
            return LineError(source, line, "the hardware identifiers of port %lu are too long", number);
        for (size_t i = 0; port.Com[0] && i < config->PortCount; ++i)
            if (_wcsicmp(config->Ports[i].Com, port.Com) == 0)
                return LineError(source, line, "%ls is given to port %lu already (line %u)", port.Com,
                                 config->Ports[i].Number, portLines[i]);
        RecordedPort* added = AddRecordedPort(config, number);
        if (added == NULL)
            return ReportError(ERROR_NOT_ENOUGH_MEMORY, "%s", where);
        *added = port;
        /* The lines of the ports, in the same (number) order, for the messages above. */
        size_t index = (size_t)(added - config->Ports);
        memmove(&portLines[index + 1], &portLines[index], (config->PortCount - 1 - index) * sizeof(*portLines));
        portLines[index] = line;
        return VcomctlOk;
    }
    if (wcscmp(verb, L"route") == 0) {
        if (config->HasRouting)
            return LineError(source, line, "route is given twice");
        if (ParseRouting(count - 1, token + 1, 0, &config->Routing, where) != VcomctlOk)
            return VcomctlFailed;
        config->HasRouting = 1;
        return VcomctlOk;
    }
    if (wcscmp(verb, L"tap") == 0 && count >= 2) {
        if (wcscmp(token[1], L"attach") == 0) {
            if (count != 3 || wcslen(token[2]) >= ARRAYSIZE(config->Tap))
                return LineError(source, line, "tap attach needs one port name (COMx or \\Device\\...)");
            if (config->Tap[0])
                return LineError(source, line, "tap attach is given twice (one tap at most)");
            wcscpy(config->Tap, token[2]);
            return VcomctlOk;
        }
        if (!config->Tap[0])
            return LineError(source, line, "tap %ls needs a tap attach line before it", token[1]);
        if (wcscmp(token[1], L"configure") == 0) {
            if (config->HasCapture)
                return LineError(source, line, "tap configure is given twice");
            if (ParseRouting(count - 2, token + 2, 1, &config->Capture, where) != VcomctlOk)
                return VcomctlFailed;
            config->HasCapture = 1;
            config->CaptureOn = 1;
            return VcomctlOk;
        }
        if (wcscmp(token[1], L"disable") == 0 && count == 2) {
            if (!config->HasCapture)
                return LineError(source, line, "tap disable needs a tap configure line before it");
            config->CaptureOn = 0;
            return VcomctlOk;
        }
    }
    if (wcscmp(verb, L"connect") == 0 || wcscmp(verb, L"serve") == 0) {
        BridgeDefinition definition;
        char error[400];
        if (!ParseBridge(verb[0] == L's', count - 1, token + 1, &definition, NULL, error, sizeof(error)))
            return LineError(source, line, "%s", error);
        WCHAR key[64];
        BridgeKey(&definition, key, ARRAYSIZE(key));
        if (FindRecordedBridge(config, &definition) != NULL)
            return LineError(source, line, "'%ls' is given twice (one bridge a port)", key);
        if (!AddRecordedBridge(config, &definition))
            return ReportError(ERROR_NOT_ENOUGH_MEMORY, "%s", where);
        return VcomctlOk;
    }
    return LineError(source, line, "unknown setting '%ls' (line-settings, port, route, tap, connect or serve)",
                     verb);
}

WCHAR* NextWord(WCHAR** at, const WCHAR* separators)
{
    WCHAR* word = *at + wcsspn(*at, separators);
    if (*word == L'\0')
        return NULL;
    WCHAR* end = word + wcscspn(word, separators);
    *at = *end ? end + 1 : end;
    *end = L'\0';
    return word;
}

int ParseConfiguration(const WCHAR* text, const char* source, Configuration* config)
{
    InitConfiguration(config);
    size_t length = wcslen(text);
    WCHAR* copy = malloc((length + 1) * sizeof(WCHAR));
    /* At most one port a line: the line numbers of the ports, kept beside them. */
    unsigned* portLines = calloc(length / 2 + 2, sizeof(unsigned));
    if (copy == NULL || portLines == NULL) {
        free(copy);
        free(portLines);
        return ReportError(ERROR_NOT_ENOUGH_MEMORY, "reading %s", source);
    }
    memcpy(copy, text, (length + 1) * sizeof(WCHAR));
    int result = VcomctlOk;
    unsigned line = 0;
    for (WCHAR* at = copy; result == VcomctlOk && *at;) {
        ++line;
        WCHAR* end = wcschr(at, L'\n');
        WCHAR* next = end ? end + 1 : at + wcslen(at);
        if (end)
            *end = L'\0';
        WCHAR* hash = wcschr(at, L'#');
        if (hash)
            *hash = L'\0';
        WCHAR* token[MAX_TOKENS];
        int count = 0;
        WCHAR* state = at;
        for (WCHAR* word = NextWord(&state, L" \t\r"); word != NULL; word = NextWord(&state, L" \t\r")) {
            if (count == MAX_TOKENS) {
                result = LineError(source, line, "too many words");
                break;
            }
            token[count++] = word;
        }
        if (result == VcomctlOk && count > 0)
            result = ParseLine(token, count, source, line, config, portLines);
        at = next;
    }
    free(copy);
    free(portLines);
    if (result != VcomctlOk)
        FreeConfiguration(config);
    return result;
}

/* ---- The record in the registry ----------------------------------------------------------- */

int LoadConfiguration(Configuration* config)
{
    InitConfiguration(config);
    DWORD bytes = 0;
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, RECORD_KEY, RECORD_VALUE, RRF_RT_REG_SZ, NULL, NULL, &bytes);
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND)
        return VcomctlOk; /* nothing recorded yet */
    if (status != ERROR_SUCCESS)
        return ReportError((DWORD)status, "reading the recorded configuration (%ls)", RECORD_KEY);
    if (bytes > RECORD_MAX_BYTES)
        return ReportFailure("the recorded configuration (%ls) is %lu bytes: not one vcomctl wrote", RECORD_KEY,
                             (unsigned long)bytes);
    WCHAR* text = calloc(bytes / sizeof(WCHAR) + 2, sizeof(WCHAR));
    if (text == NULL)
        return ReportError(ERROR_NOT_ENOUGH_MEMORY, "reading the recorded configuration");
    status = RegGetValueW(HKEY_LOCAL_MACHINE, RECORD_KEY, RECORD_VALUE, RRF_RT_REG_SZ, NULL, text, &bytes);
    int result = status == ERROR_SUCCESS ? ParseConfiguration(text, RecordSource, config)
                                         : ReportError((DWORD)status, "reading the recorded configuration");
    free(text);
    return result;
}

int SaveConfiguration(const Configuration* config)
{
    WCHAR* text = FormatConfiguration(config);
    if (text == NULL)
        return ReportError(ERROR_NOT_ENOUGH_MEMORY, "recording the configuration");
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(RECORD_SECURITY, SDDL_REVISION_1, &descriptor,
                                                              NULL)) {
        free(text);
        return ReportError(GetLastError(), "making the recorded configuration's security");
    }
    /* The Parameters key exists with the driver's service; without it there is no driver to
     * configure, and the command before this one has said so. */
    HKEY parent, key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\" VCOMCTL_SERVICE_NAME,
                                   0, KEY_CREATE_SUB_KEY, &parent);
    if (status == ERROR_SUCCESS) {
        HKEY parameters;
        status = RegCreateKeyExW(parent, L"Parameters", 0, NULL, REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY, NULL,
                                 &parameters, NULL);
        RegCloseKey(parent);
        if (status == ERROR_SUCCESS) {
            SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
            status = RegCreateKeyExW(parameters, L"Configuration", 0, NULL, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE | WRITE_DAC, &security, &key, NULL);
            RegCloseKey(parameters);
        }
    }
    if (status == ERROR_SUCCESS) {
        /* A key made by something else keeps no wider access either. */
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, descriptor);
        status = RegSetValueExW(key, RECORD_VALUE, 0, REG_SZ, (const BYTE*)text,
                                (DWORD)((wcslen(text) + 1) * sizeof(WCHAR)));
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    free(text);
    if (status == ERROR_FILE_NOT_FOUND)
        return ReportFailure("recording the configuration: the driver is not installed (no service %ls)",
                             VCOMCTL_SERVICE_NAME);
    if (status != ERROR_SUCCESS)
        return ReportError((DWORD)status, "recording the configuration in %ls", RECORD_KEY);
    return VcomctlOk;
}

void ForgetConfiguration(void)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, RECORD_KEY);
}

/* ---- What the setup commands record ------------------------------------------------------- */

typedef struct Change {
    int Kind;
    unsigned long Number;
    const WCHAR* const* Ids;
    int IdCount;
    const WCHAR* Text;
    const RoutingConfig* Routing;
    int On;
    const BridgeDefinition* Bridge;
    int* Found;
} Change;
enum { ChangePlug, ChangeRemove, ChangeName, ChangeLineSettings, ChangeRouting, ChangeTap, ChangeCapture, ChangeBridge };

static int Record(const Change* change)
{
    /* Read, changed and written under the naming lock, so that two commands don't lose each
     * other's change. */
    int result = LockNames();
    Configuration config;
    if (result == VcomctlOk)
        result = LoadConfiguration(&config);
    if (result != VcomctlOk)
        return result;
    RecordedPort* port;
    switch (change->Kind) {
    case ChangePlug:
        port = AddRecordedPort(&config, change->Number);
        if (port == NULL) {
            result = ReportError(ERROR_NOT_ENOUGH_MEMORY, "recording port %lu", change->Number);
            break;
        }
        if (!SetPortIds(port, change->Ids, change->IdCount))
            result = ReportFailure("port %lu is plugged in, but its hardware identifiers are too long to record "
                                   "(or hold a space)", change->Number);
        swprintf(port->Com, ARRAYSIZE(port->Com), L"%ls", change->Text ? change->Text : L"");
        break;
    case ChangeRemove:
        if (change->Number == 0)
            config.PortCount = 0;
        else
            RemoveRecordedPort(&config, change->Number);
        break;
    case ChangeName:
        /* A port plugged in with --temporary stays out of the record, named or not. */
        port = FindRecordedPort(&config, change->Number);
        if (port != NULL)
            swprintf(port->Com, ARRAYSIZE(port->Com), L"%ls", change->Text ? change->Text : L"");
        break;
    case ChangeLineSettings:
        config.LineSettings = change->On;
        break;
    case ChangeRouting:
        config.Routing = *change->Routing;
        config.Routing.Timestamp = 0;
        config.HasRouting = 0;
        for (const BYTE* at = (const BYTE*)&config.Routing; at < (const BYTE*)(&config.Routing + 1); ++at)
            if (*at)
                config.HasRouting = 1; /* an empty routing is what the driver starts with */
        break;
    case ChangeTap:
        if (change->Text == NULL) {
            config.Tap[0] = L'\0';
            config.HasCapture = 0;
        } else {
            swprintf(config.Tap, ARRAYSIZE(config.Tap), L"%ls", change->Text);
        }
        break;
    case ChangeCapture:
        if (change->Routing != NULL) {
            config.HasCapture = 1;
            config.Capture = *change->Routing;
            config.Capture.Timestamp = 0;
        }
        config.CaptureOn = change->On;
        break;
    case ChangeBridge: {
        BridgeDefinition* bridge = FindRecordedBridge(&config, change->Bridge);
        *change->Found = bridge != NULL;
        if (change->On) { /* remove */
            if (bridge != NULL) {
                size_t index = (size_t)(bridge - config.Bridges);
                memmove(bridge, bridge + 1, (config.BridgeCount - index - 1) * sizeof(*bridge));
                --config.BridgeCount;
            }
        } else if (!AddRecordedBridge(&config, change->Bridge)) {
            result = ReportError(ERROR_NOT_ENOUGH_MEMORY, "recording the bridge");
        }
        break;
    }
    }
    if (result == VcomctlOk)
        result = SaveConfiguration(&config);
    FreeConfiguration(&config);
    return result;
}

int RecordPlug(unsigned long number, const WCHAR* const* ids, int idCount, const WCHAR* com)
{
    Change change = {.Kind = ChangePlug, .Number = number, .Ids = ids, .IdCount = idCount, .Text = com};
    return Record(&change);
}

int RecordRemove(unsigned long number)
{
    Change change = {.Kind = ChangeRemove, .Number = number};
    return Record(&change);
}

int RecordPortName(unsigned long number, const WCHAR* com)
{
    Change change = {.Kind = ChangeName, .Number = number, .Text = com};
    return Record(&change);
}

int RecordLineSettings(int on)
{
    Change change = {.Kind = ChangeLineSettings, .On = on};
    return Record(&change);
}

int RecordRouting(const RoutingConfig* routing)
{
    Change change = {.Kind = ChangeRouting, .Routing = routing};
    return Record(&change);
}

int RecordTap(const WCHAR* name)
{
    Change change = {.Kind = ChangeTap, .Text = name};
    return Record(&change);
}

int RecordCapture(const RoutingConfig* capture, int on)
{
    Change change = {.Kind = ChangeCapture, .Routing = capture, .On = on};
    return Record(&change);
}

int RecordBridge(const BridgeDefinition* definition, int remove, int* found)
{
    Change change = {.Kind = ChangeBridge, .Bridge = definition, .On = remove, .Found = found};
    return Record(&change);
}

/* ---- export and import -------------------------------------------------------------------- */

int CommandExport(const WCHAR* path)
{
    Configuration config;
    int result = LoadConfiguration(&config);
    if (result != VcomctlOk)
        return result;
    WCHAR* text = FormatConfiguration(&config);
    FreeConfiguration(&config);
    if (text == NULL)
        return ReportError(ERROR_NOT_ENOUGH_MEMORY, "exporting the configuration");
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char* utf8 = bytes > 0 ? malloc((size_t)bytes) : NULL;
    if (utf8 == NULL || WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, bytes, NULL, NULL) != bytes) {
        free(text);
        free(utf8);
        return ReportError(ERROR_NOT_ENOUGH_MEMORY, "exporting the configuration");
    }
    free(text);
    DWORD length = (DWORD)bytes - 1;
    if (path == NULL) {
        fwrite(utf8, 1, length, stdout);
        fflush(stdout);
        free(utf8);
        return ferror(stdout) ? ReportFailure("exporting the configuration: writing the output failed") : VcomctlOk;
    }
    /* Written beside the file and moved over it, so that an existing file is replaced whole. */
    WCHAR scratch[MAX_PATH + 16];
    if (wcslen(path) >= MAX_PATH) {
        free(utf8);
        return ReportError(ERROR_FILENAME_EXCED_RANGE, "exporting to %ls", path);
    }
    swprintf(scratch, ARRAYSIZE(scratch), L"%ls.new", path);
    HANDLE file = CreateFileW(scratch, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        free(utf8);
        return ReportError(GetLastError(), "exporting to %ls", scratch);
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, utf8, length, &written, NULL) && written == length && FlushFileBuffers(file);
    DWORD error = GetLastError();
    CloseHandle(file);
    free(utf8);
    if (ok && !MoveFileExW(scratch, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = FALSE;
        error = GetLastError();
    }
    if (!ok) {
        DeleteFileW(scratch);
        return ReportError(error, "exporting to %ls", path);
    }
    printf("configuration exported to %ls\n", path);
    return VcomctlOk;
}

/* The file's text: UTF-8, with or without a byte order mark. */
static int ReadTextFile(const WCHAR* path, WCHAR** text)
{
    *text = NULL;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return ReportError(GetLastError(), "reading %ls", path);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart > RECORD_MAX_BYTES) {
        CloseHandle(file);
        return ReportFailure("%ls: not a configuration (larger than %d bytes)", path, RECORD_MAX_BYTES);
    }
    char* bytes = malloc((size_t)size.QuadPart + 1);
    DWORD read = 0;
    BOOL ok = bytes != NULL && ReadFile(file, bytes, (DWORD)size.QuadPart, &read, NULL) && read == size.QuadPart;
    DWORD error = ok ? ERROR_SUCCESS : bytes == NULL ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
    CloseHandle(file);
    if (!ok) {
        free(bytes);
        return ReportError(error, "reading %ls", path);
    }
    const char* at = bytes;
    if (read >= 3 && memcmp(at, "\xEF\xBB\xBF", 3) == 0) {
        at += 3;
        read -= 3;
    }
    if (memchr(at, '\0', read) != NULL) {
        free(bytes);
        return ReportFailure("%ls: not a configuration (not UTF-8 text)", path);
    }
    int chars = read ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, at, (int)read, NULL, 0) : 0;
    if (read && chars <= 0) {
        free(bytes);
        return ReportFailure("%ls: not a configuration (not UTF-8 text)", path);
    }
    *text = calloc((size_t)chars + 1, sizeof(WCHAR));
    if (*text != NULL && chars)
        MultiByteToWideChar(CP_UTF8, 0, at, (int)read, *text, chars);
    free(bytes);
    return *text ? VcomctlOk : ReportError(ERROR_NOT_ENOUGH_MEMORY, "reading %ls", path);
}

static void PrintUnrestored(const char* item, const char* why, void* context)
{
    (void)context;
    fprintf(stderr, "vcomctl: not restored: %s: %s\n", item, why);
}

int CommandImport(const WCHAR* path)
{
    WCHAR* text;
    int result = ReadTextFile(path, &text);
    if (result != VcomctlOk)
        return result;
    char source[MAX_PATH * 3];
    WideCharToMultiByte(CP_UTF8, 0, path, -1, source, sizeof(source), NULL, NULL);
    Configuration config;
    /* Checked whole before anything changes: a bad line leaves the record and the ports alone. */
    result = ParseConfiguration(text, source, &config);
    free(text);
    if (result != VcomctlOk)
        return result;
    result = LockNames();
    if (result == VcomctlOk)
        result = SaveConfiguration(&config);
    if (result == VcomctlOk) {
        printf("configuration recorded from %ls\n", path);
        unsigned failed = ApplyConfiguration(&config, PrintUnrestored, NULL, NULL);
        /* The bridges are the service's to run: it reads the record again. */
        if (config.BridgeCount > 0 && !NotifyRestoreService())
            fprintf(stderr, "vcomctl: the restore service (%ls) is not running: the recorded bridges run once it "
                            "does\n", VCOMCTL_RESTORE_SERVICE);
        if (failed)
            result = ReportFailure("%u item%s of the configuration could not be applied now (the service tries "
                                   "again when the bus next starts)", failed, failed == 1 ? "" : "s");
        else
            printf("configuration applied\n");
    }
    FreeConfiguration(&config);
    return result;
}
