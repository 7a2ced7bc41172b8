// Registry helpers for the class-key settings. Keys are always opened as kernel handles: the
// creating request runs in the control application's process.
#include "security/registry_utils.h"

VCB_PAGED NTSTATUS InitCountedString(PUNICODE_STRING string, PCWSTR text)
{
    PAGED_CODE();
    string->Length = 0;
    string->MaximumLength = 0;
    string->Buffer = nullptr;
    if (text == nullptr) return STATUS_SUCCESS;
    ULONG chars = 0;
    while (text[chars] != 0) {
        if (++chars > kRegMaxNameChars) return STATUS_NAME_TOO_LONG;
    }
    string->Buffer = (PWSTR)text;
    string->Length = (USHORT)(chars * sizeof(WCHAR));
    string->MaximumLength = (USHORT)(string->Length + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

VCB_PAGED NTSTATUS RegOpenKeyByName(HANDLE parent, PCWSTR name, ACCESS_MASK access, PHANDLE key)
{
    PAGED_CODE();
    *key = nullptr;
    UNICODE_STRING keyName;
    NTSTATUS status = InitCountedString(&keyName, name);
    if (!NT_SUCCESS(status)) return status;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, nullptr);
    status = ZwOpenKey(key, access, &attributes);
    if (!NT_SUCCESS(status)) *key = nullptr;
    return status;
}

VCB_PAGED NTSTATUS RegCreateKeyByName(HANDLE parent, PCWSTR name, ACCESS_MASK access, ULONG createOptions,
                                      PSECURITY_DESCRIPTOR descriptor, PHANDLE key, PULONG disposition)
{
    PAGED_CODE();
    *key = nullptr;
    *disposition = 0;
    UNICODE_STRING keyName;
    NTSTATUS status = InitCountedString(&keyName, name);
    if (!NT_SUCCESS(status)) return status;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, descriptor);
    status = ZwCreateKey(key, access, &attributes, 0, nullptr, createOptions, disposition);
    if (!NT_SUCCESS(status)) {
        *key = nullptr;
        *disposition = 0;
    }
    return status;
}

VCB_PAGED NTSTATUS RegQueryDword(HANDLE key, PCWSTR name, PULONG value, ULONG defaultValue)
{
    PAGED_CODE();
    *value = defaultValue;
    UNICODE_STRING valueName;
    NTSTATUS status = InitCountedString(&valueName, name);
    if (!NT_SUCCESS(status)) return status;
    // Room for the fixed part and four bytes of data: anything longer overflows.
    ULONG buffer[4] = {};
    static_assert(sizeof(buffer) >= FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG),
                  "room for a DWORD");
    ULONG resultLength;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof(buffer), &resultLength);
    if (!NT_SUCCESS(status)) return status;
    auto information = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    // A DWORD of fewer than four bytes would leave part of the value unread.
    if (information->Type != REG_DWORD || information->DataLength != sizeof(ULONG)) return STATUS_OBJECT_TYPE_MISMATCH;
    RtlCopyMemory(value, information->Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

VCB_PAGED NTSTATUS RegQueryFullValue(HANDLE key, PCWSTR name, ULONG extraBytes, ULONG expectedType,
                                     PKEY_VALUE_FULL_INFORMATION* information)
{
    PAGED_CODE();
    *information = nullptr;
    UNICODE_STRING valueName;
    NTSTATUS status = InitCountedString(&valueName, name);
    if (!NT_SUCCESS(status)) return status;
    ULONG size = ((valueName.Length + 31u) & ~7u) + extraBytes;
    if (size < extraBytes) return STATUS_INTEGER_OVERFLOW;

    PKEY_VALUE_FULL_INFORMATION buffer = nullptr;
    ULONG resultLength = 0;
    // The first size is a guess; the query says what it takes, and one retry uses that.
    for (int attempt = 0; attempt < 2; attempt++) {
        buffer = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(NonPagedPoolNx, size, kRegQueryBufferTag);
        if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, buffer, size, &resultLength);
        if (NT_SUCCESS(status)) break;
        ExFreePoolWithTag(buffer, kRegQueryBufferTag);
        buffer = nullptr;
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) return status;
        size = resultLength;
    }
    if (buffer == nullptr) return status;
    if (expectedType != kRegAnyType && buffer->Type != expectedType) {
        ExFreePoolWithTag(buffer, kRegQueryBufferTag);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *information = buffer;
    return STATUS_SUCCESS;
}

VCB_PAGED NTSTATUS RegSetStringValue(HANDLE key, PCWSTR name, PCUNICODE_STRING value)
{
    PAGED_CODE();
    UNICODE_STRING valueName;
    NTSTATUS status = InitCountedString(&valueName, name);
    if (!NT_SUCCESS(status)) return status;
    ULONG chars = value->Buffer != nullptr ? value->Length / sizeof(WCHAR) : 0;
    ULONG size = chars * sizeof(WCHAR) + sizeof(WCHAR);
    // Written from the caller's buffer when it is already terminated; the caller's memory is
    // never written to (it may be read-only, or belong to someone else).
    if (value->Buffer != nullptr && value->MaximumLength >= size && value->Buffer[chars] == 0) {
        return ZwSetValueKey(key, &valueName, 0, REG_SZ, value->Buffer, size);
    }
    auto copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, size, kRegStringCopyTag);
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (chars != 0) RtlCopyMemory(copy, value->Buffer, chars * sizeof(WCHAR));
    copy[chars] = 0;
    status = ZwSetValueKey(key, &valueName, 0, REG_SZ, copy, size);
    ExFreePoolWithTag(copy, kRegStringCopyTag);
    return status;
}

VCB_PAGED NTSTATUS RegSetBinaryValue(HANDLE key, PCWSTR name, ULONG type, PVOID data, ULONG size)
{
    PAGED_CODE();
    UNICODE_STRING valueName;
    NTSTATUS status = InitCountedString(&valueName, name);
    if (!NT_SUCCESS(status)) return status;
    return ZwSetValueKey(key, &valueName, 0, type, data, size);
}

VCB_PAGED BOOLEAN RegServiceParameterOn(PCUNICODE_STRING servicePath, PCWSTR name)
{
    PAGED_CODE();
    if (servicePath->Buffer == nullptr) {
        return FALSE;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)servicePath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE serviceKey;
    if (!NT_SUCCESS(ZwOpenKey(&serviceKey, KEY_READ, &attributes))) {
        return FALSE;
    }
    BOOLEAN on = FALSE;
    HANDLE parametersKey;
    if (NT_SUCCESS(RegOpenKeyByName(serviceKey, L"Parameters", KEY_QUERY_VALUE, &parametersKey))) {
        ULONG value;
        on = NT_SUCCESS(RegQueryDword(parametersKey, name, &value, 0)) && value == 1;
        ZwClose(parametersKey);
    }
    ZwClose(serviceKey);
    return on;
}
