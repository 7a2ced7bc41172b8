// The configuration manager: an in-memory registry behind the Zw key and value routines. Keys are
// reached through kernel handles; names compare without regard to case and keep their case;
// queries follow the platform's buffer rules (too small for the fixed part: nothing written,
// STATUS_BUFFER_TOO_SMALL; too small for the rest: what fits, STATUS_BUFFER_OVERFLOW; the needed
// length always reported).
#include "internal.h"

#include <cstring>

namespace hk {
namespace {

struct RegValueRecord {
    std::u16string name;
    ULONG type;
    std::vector<UCHAR> data;
};

struct RegKey {
    std::u16string name;
    std::u16string path;  // absolute, for reports
    bool isVolatile = false;
    std::vector<std::shared_ptr<RegKey>> subkeys;
    std::vector<RegValueRecord> values;
    std::vector<UCHAR> security;  // what the creator gave, self-relative; empty for default
};

std::mutex g_lock;
std::shared_ptr<RegKey> g_root;  // the object namespace root; "\Registry" hangs below it
size_t g_operations = 0;

char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? (char16_t)(c - u'a' + u'A') : c; }

bool SameName(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

std::shared_ptr<RegKey> Child(const std::shared_ptr<RegKey>& key, const std::u16string& name)
{
    for (auto& sub : key->subkeys) {
        if (SameName(sub->name, name)) return sub;
    }
    return nullptr;
}

std::shared_ptr<RegKey> AddChild(const std::shared_ptr<RegKey>& key, const std::u16string& name, bool isVolatile)
{
    auto sub = std::make_shared<RegKey>();
    sub->name = name;
    sub->path = key->path == u"\\" ? u"\\" + name : key->path + u"\\" + name;
    sub->isVolatile = isVolatile;
    key->subkeys.push_back(sub);
    return sub;
}

// Splits a path into its names; an empty name (a doubled or trailing backslash) is invalid.
bool Split(const std::u16string& path, std::vector<std::u16string>* names)
{
    names->clear();
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string name = path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (name.empty()) return false;
        names->push_back(name);
        if (end == std::u16string::npos) return true;
        start = end + 1;
    }
}

void BuildMachine()
{
    g_root = std::make_shared<RegKey>();
    g_root->path = u"\\";
    for (const char16_t* path : {u"Registry\\Machine\\System\\CurrentControlSet\\Control\\Class",
                                 u"Registry\\Machine\\System\\CurrentControlSet\\Services",
                                 u"Registry\\Machine\\Software", u"Registry\\User"}) {
        std::vector<std::u16string> names;
        Split(path, &names);
        auto key = g_root;
        for (auto& name : names) {
            auto next = Child(key, name);
            key = next ? next : AddChild(key, name, false);
        }
    }
}

std::shared_ptr<RegKey> Root()
{
    if (!g_root) BuildMachine();
    return g_root;
}

std::shared_ptr<RegKey> Find(const std::u16string& absolute)
{
    if (absolute.empty() || absolute[0] != u'\\') return nullptr;
    std::vector<std::u16string> names;
    if (!Split(absolute.substr(1), &names)) return nullptr;
    auto key = Root();
    for (auto& name : names) {
        key = Child(key, name);
        if (!key) return nullptr;
    }
    return key;
}

RegValueRecord* FindValue(RegKey& key, const std::u16string& name)
{
    for (auto& value : key.values) {
        if (SameName(value.name, name)) return &value;
    }
    return nullptr;
}

std::u16string ToU16(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr) return std::u16string();
    return std::u16string((const char16_t*)s->Buffer, s->Length / sizeof(WCHAR));
}

void CheckPassive(const char* routine)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("%s called at IRQL %u", routine, KeGetCurrentIrql());
}

bool TakeInjected(const char* routine, NTSTATUS* status)
{
    {
        std::lock_guard guard(g_lock);
        g_operations++;
    }
    return TakeInjectedCallFailure(routine, status);
}

// The key a handle names, or a failure status.
NTSTATUS KeyOfHandle(HANDLE handle, const char* routine, std::shared_ptr<RegKey>* key)
{
    HandleEntry entry;
    if (!HandleLookup(handle, &entry)) {
        ReportViolation("%s on handle %p, which is not open", routine, handle);
        return STATUS_INVALID_HANDLE;
    }
    if (!entry.isKey) return STATUS_OBJECT_TYPE_MISMATCH;
    *key = std::static_pointer_cast<RegKey>(entry.keepAlive);
    return STATUS_SUCCESS;
}

// Where a name in object attributes starts from, and the names below it.
NTSTATUS Resolve(POBJECT_ATTRIBUTES attributes, const char* routine, std::shared_ptr<RegKey>* base,
                 std::vector<std::u16string>* names)
{
    if (attributes == nullptr) {
        ReportViolation("%s without object attributes", routine);
        return STATUS_INVALID_PARAMETER;
    }
    PUNICODE_STRING objectName = attributes->ObjectName;
    if (objectName != nullptr && (objectName->Length & 1)) return STATUS_OBJECT_NAME_INVALID;
    std::u16string name = ToU16(objectName);
    if (attributes->RootDirectory != nullptr) {
        NTSTATUS status = KeyOfHandle(attributes->RootDirectory, routine, base);
        if (!NT_SUCCESS(status)) return status;
        if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    } else {
        if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        name = name.substr(1);
        std::lock_guard guard(g_lock);
        *base = Root();
    }
    if (!Split(name, names)) return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

HANDLE OpenHandle(const std::shared_ptr<RegKey>& key, ACCESS_MASK access, ULONG attributes, const char* routine)
{
    HandleEntry entry;
    entry.object = key.get();
    entry.isKey = true;
    RtlMapGenericMask(&access, &kKeyGenericMapping);
    entry.granted = access;
    entry.keepAlive = key;
    std::string path = WideToUtf8((PCWSTR)key->path.c_str(), key->path.size());
    entry.description = "registry key " + path;
    return HandleCreateFor(std::move(entry), attributes, routine);
}

}  // namespace

size_t RegistryOperations()
{
    std::lock_guard guard(g_lock);
    return g_operations;
}

void ResetRegistry()
{
    std::lock_guard guard(g_lock);
    BuildMachine();
    g_operations = 0;
}

bool RegistryKeyExists(const std::u16string& path)
{
    std::lock_guard guard(g_lock);
    return Find(path) != nullptr;
}

bool RegistryReadValue(const std::u16string& path, const std::u16string& name, ULONG* type,
                       std::vector<UCHAR>* data)
{
    std::lock_guard guard(g_lock);
    auto key = Find(path);
    if (!key) return false;
    RegValueRecord* value = FindValue(*key, name);
    if (value == nullptr) return false;
    *type = value->type;
    *data = value->data;
    return true;
}

bool RegistryGetValue(const std::u16string& path, const std::u16string& name, RegistryValue* value)
{
    return RegistryReadValue(path, name, &value->Type, &value->Data);
}

std::vector<std::u16string> RegistryValueNames(const std::u16string& path)
{
    std::lock_guard guard(g_lock);
    std::vector<std::u16string> names;
    if (auto key = Find(path)) {
        for (auto& value : key->values) names.push_back(value.name);
    }
    return names;
}

void RegistryCreateKey(const std::u16string& path)
{
    std::lock_guard guard(g_lock);
    std::vector<std::u16string> names;
    if (path.empty() || path[0] != u'\\' || !Split(path.substr(1), &names)) {
        ReportViolation("RegistryCreateKey: not an absolute key path");
        return;
    }
    auto key = Root();
    for (auto& name : names) {
        auto next = Child(key, name);
        key = next ? next : AddChild(key, name, false);
    }
}

void RegistrySetValue(const std::u16string& path, const std::u16string& name, ULONG type,
                      const std::vector<UCHAR>& data)
{
    RegistryCreateKey(path);
    std::lock_guard guard(g_lock);
    auto key = Find(path);
    if (RegValueRecord* value = FindValue(*key, name)) {
        value->type = type;
        value->data = data;
    } else {
        key->values.push_back({name, type, data});
    }
}

std::vector<UCHAR> RegistryKeySecurity(const std::u16string& path)
{
    std::lock_guard guard(g_lock);
    auto key = Find(path);
    return key ? key->security : std::vector<UCHAR>();
}

}  // namespace hk

using namespace hk;

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes)
{
    CheckPassive("ZwOpenKey");
    *keyHandle = nullptr;
    NTSTATUS status;
    if (TakeInjected("ZwOpenKey", &status)) return status;
    std::shared_ptr<RegKey> key;
    std::vector<std::u16string> names;
    status = Resolve(attributes, "ZwOpenKey", &key, &names);
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard guard(g_lock);
        for (auto& name : names) {
            key = Child(key, name);
            if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    *keyHandle = OpenHandle(key, desiredAccess, attributes->Attributes, "ZwOpenKey");
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes, ULONG,
                     PUNICODE_STRING, ULONG createOptions, PULONG disposition)
{
    CheckPassive("ZwCreateKey");
    *keyHandle = nullptr;
    NTSTATUS status;
    if (TakeInjected("ZwCreateKey", &status)) return status;
    std::shared_ptr<RegKey> key;
    std::vector<std::u16string> names;
    status = Resolve(attributes, "ZwCreateKey", &key, &names);
    if (!NT_SUCCESS(status)) return status;
    if (names.empty()) return STATUS_OBJECT_NAME_INVALID;

    // The creator's descriptor is captured (and so validated) before anything is created.
    std::vector<UCHAR> security;
    if (attributes->SecurityDescriptor != nullptr) {
        status = ValidateDescriptor(attributes->SecurityDescriptor);
        if (!NT_SUCCESS(status)) return status;
        DescriptorParts parts;
        DescriptorPartsOf(attributes->SecurityDescriptor, &parts);
        security = SelfRelativeFromParts(parts);
    }

    ULONG result;
    {
        std::lock_guard guard(g_lock);
        for (size_t i = 0; i + 1 < names.size(); i++) {
            key = Child(key, names[i]);
            if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (auto existing = Child(key, names.back())) {
            key = existing;
            result = REG_OPENED_EXISTING_KEY;
        } else {
            bool isVolatile = (createOptions & REG_OPTION_VOLATILE) != 0;
            if (key->isVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
            key = AddChild(key, names.back(), isVolatile);
            key->security = std::move(security);
            result = REG_CREATED_NEW_KEY;
        }
    }
    if (disposition != nullptr) *disposition = result;
    *keyHandle = OpenHandle(key, desiredAccess, attributes->Attributes, "ZwCreateKey");
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                         PVOID information, ULONG length, PULONG resultLength)
{
    CheckPassive("ZwQueryValueKey");
    NTSTATUS status;
    if (TakeInjected("ZwQueryValueKey", &status)) return status;
    if (resultLength == nullptr) {
        ReportViolation("ZwQueryValueKey without a result length");
        return STATUS_ACCESS_VIOLATION;
    }
    std::shared_ptr<RegKey> key;
    status = KeyOfHandle(keyHandle, "ZwQueryValueKey", &key);
    if (!NT_SUCCESS(status)) return status;

    std::lock_guard guard(g_lock);
    RegValueRecord* value = FindValue(*key, ToU16(valueName));
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto out = (PUCHAR)information;
    ULONG nameBytes = (ULONG)(value->name.size() * sizeof(WCHAR));
    ULONG dataBytes = (ULONG)value->data.size();
    ULONG fixed, needed;
    auto copyTail = [&](ULONG at, const void* source, ULONG bytes) {
        if (at < length) memcpy(out + at, source, bytes < length - at ? bytes : length - at);
    };

    switch (infoClass) {
    case KeyValueBasicInformation: {
        fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        needed = fixed + nameBytes;
        *resultLength = needed;
        if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto basic = (PKEY_VALUE_BASIC_INFORMATION)information;
        basic->TitleIndex = 0;
        basic->Type = value->type;
        basic->NameLength = nameBytes;
        copyTail(fixed, value->name.data(), nameBytes);
        break;
    }
    case KeyValueFullInformation: {
        fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        // The data follows the name, aligned to 4 bytes (the Align64 class exists for 8).
        ULONG dataOffset = (fixed + nameBytes + 3) & ~3u;
        needed = dataBytes ? dataOffset + dataBytes : fixed + nameBytes;
        *resultLength = needed;
        if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto full = (PKEY_VALUE_FULL_INFORMATION)information;
        full->TitleIndex = 0;
        full->Type = value->type;
        full->DataOffset = dataBytes ? dataOffset : 0xFFFFFFFF;
        full->DataLength = dataBytes;
        full->NameLength = nameBytes;
        copyTail(fixed, value->name.data(), nameBytes);
        if (dataBytes) copyTail(dataOffset, value->data.data(), dataBytes);
        break;
    }
    case KeyValuePartialInformation: {
        fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        needed = fixed + dataBytes;
        *resultLength = needed;
        if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto partial = (PKEY_VALUE_PARTIAL_INFORMATION)information;
        partial->TitleIndex = 0;
        partial->Type = value->type;
        partial->DataLength = dataBytes;
        copyTail(fixed, value->data.data(), dataBytes);
        break;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG, ULONG type, PVOID data, ULONG dataSize)
{
    CheckPassive("ZwSetValueKey");
    NTSTATUS status;
    if (TakeInjected("ZwSetValueKey", &status)) return status;
    if (valueName == nullptr || (dataSize != 0 && data == nullptr)) {
        ReportViolation("ZwSetValueKey with a null %s", valueName == nullptr ? "value name" : "data pointer");
        return STATUS_ACCESS_VIOLATION;
    }
    if (valueName->Length & 1) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<RegKey> key;
    status = KeyOfHandle(keyHandle, "ZwSetValueKey", &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name = ToU16(valueName);
    std::vector<UCHAR> bytes((PUCHAR)data, (PUCHAR)data + dataSize);
    std::lock_guard guard(g_lock);
    if (RegValueRecord* value = FindValue(*key, name)) {
        value->type = type;
        value->data = std::move(bytes);
    } else {
        key->values.push_back({name, type, std::move(bytes)});
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName)
{
    CheckPassive("ZwDeleteValueKey");
    NTSTATUS status;
    if (TakeInjected("ZwDeleteValueKey", &status)) return status;
    std::shared_ptr<RegKey> key;
    status = KeyOfHandle(keyHandle, "ZwDeleteValueKey", &key);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name = ToU16(valueName);
    std::lock_guard guard(g_lock);
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (SameName(it->name, name)) {
            key->values.erase(it);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
