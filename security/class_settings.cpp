// Class-key settings: what a device setup class's registry key says about creating its devices,
// and the recording of the driver's default descriptor there. Keys are opened for one operation
// and closed before it returns; the driver never deletes them.
#include "security/class_settings.h"
#include "security/registry_utils.h"

// Revision 1, self-relative with a protected, auto-inherited DACL at offset 20; one ACE
// (allowed, object and container inherit, 20 bytes) with GENERIC_ALL for S-1-5-18.
const PropertiesKeySecurityLayout PropertiesKeySecurity = {
    {SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_PRESENT,
     0, 0, 0, FIELD_OFFSET(PropertiesKeySecurityLayout, Dacl)},
    {ACL_REVISION, 0, sizeof(PropertiesKeySecurityLayout) - FIELD_OFFSET(PropertiesKeySecurityLayout, Dacl), 1, 0},
    {ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
     sizeof(PropertiesKeySecurityLayout) - FIELD_OFFSET(PropertiesKeySecurityLayout, AceHeader)},
    GENERIC_ALL,
    1,
    1,
    {0, 0, 0, 0, 0, 5},
    18,
};

ULONG PropertiesKeySecurityState;

VCB_PAGED NTSTATUS OpenClassKey(LPCGUID classGuid, ACCESS_MASK access, BOOLEAN create, PULONG disposition,
                                PHANDLE key)
{
    PAGED_CODE();
    *key = nullptr;
    if (disposition != nullptr) *disposition = 0;
    HANDLE root;
    NTSTATUS status = RegOpenKeyByName(nullptr, kClassRootPath, KEY_READ, &root);
    if (!NT_SUCCESS(status)) return status;

    WCHAR name[39];
    _snwprintf(name, RTL_NUMBER_OF(name), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", classGuid->Data1,
               classGuid->Data2, classGuid->Data3, classGuid->Data4[0], classGuid->Data4[1], classGuid->Data4[2],
               classGuid->Data4[3], classGuid->Data4[4], classGuid->Data4[5], classGuid->Data4[6],
               classGuid->Data4[7]);
    name[38] = 0;

    HANDLE classKey;
    ULONG result;
    if (create) {
        status = RegCreateKeyByName(root, name, access, REG_OPTION_NON_VOLATILE, nullptr, &classKey, &result);
    } else {
        status = RegOpenKeyByName(root, name, access, &classKey);
        result = REG_OPENED_EXISTING_KEY;
    }
    ZwClose(root);
    if (!NT_SUCCESS(status)) return status;
    *key = classKey;
    if (disposition != nullptr) *disposition = result;
    return STATUS_SUCCESS;
}

VCB_PAGED NTSTATUS ReadClassSettings(LPCGUID classGuid, PDRIVER_OBJECT driverObject, StackCreationSettings* settings)
{
    PAGED_CODE();
    InitEmptySettings(settings);
    HANDLE classKey;
    ULONG disposition;
    NTSTATUS status = OpenClassKey(classGuid, KEY_ALL_ACCESS, TRUE, &disposition, &classKey);
    if (!NT_SUCCESS(status)) return status;

    if (disposition == REG_OPENED_EXISTING_KEY) {
        HANDLE properties;
        status = RegOpenKeyByName(classKey, L"Properties", KEY_READ, &properties);
        ZwClose(classKey);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) return status;
        status = ReadPropertiesSettings(properties, settings);
        ZwClose(properties);
        return status;
    }

    // A class key created just now: it names the driver's service and hides the class.
    UNICODE_STRING one;
    InitCountedString(&one, L"1");
    status = RegSetStringValue(classKey, L"Class", &driverObject->DriverExtension->ServiceKeyName);
    if (NT_SUCCESS(status)) status = RegSetStringValue(classKey, L"NoDisplayClass", &one);
    if (NT_SUCCESS(status)) status = RegSetStringValue(classKey, L"NoUseClass", &one);
    ZwClose(classKey);
    return status;
}

// One of the DWORD overrides: found sets the field and its flag, missing leaves both.
static VCB_PAGED NTSTATUS ReadDwordSetting(HANDLE key, PCWSTR name, PULONG field, ULONG flag,
                                          StackCreationSettings* settings)
{
    PAGED_CODE();
    ULONG value;
    NTSTATUS status = RegQueryDword(key, name, &value, 0);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    *field = value;
    settings->Flags |= flag;
    return STATUS_SUCCESS;
}

VCB_PAGED NTSTATUS ReadPropertiesSettings(HANDLE propertiesKey, StackCreationSettings* settings)
{
    PAGED_CODE();
    InitEmptySettings(settings);
    PSECURITY_DESCRIPTOR captured = nullptr;
    PKEY_VALUE_FULL_INFORMATION information;
    NTSTATUS status = RegQueryFullValue(propertiesKey, L"Security", kSecurityValueGuess, REG_BINARY, &information);
    if (NT_SUCCESS(status)) {
        PVOID data = (PUCHAR)information + information->DataOffset;
        // Capturing in kernel mode trusts the descriptor's offsets; a value that is too short,
        // or whose offsets point outside it, must not be read past its end.
        if (!RtlValidRelativeSecurityDescriptor(data, information->DataLength, 0)) {
            status = STATUS_INVALID_SECURITY_DESCR;
        } else {
            status = SeCaptureSecurityDescriptor(data, KernelMode, PagedPool, TRUE, &captured);
        }
        ExFreePoolWithTag(information, kRegQueryBufferTag);
        if (!NT_SUCCESS(status)) return status;
    } else if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
        return status;
    }

    if (captured != nullptr) {
        BOOLEAN daclDefaulted;
        SECURITY_INFORMATION parts;
        status = SecurityInfoFromDescriptor(captured, &daclDefaulted, &parts);
        if (!NT_SUCCESS(status) || daclDefaulted || !(parts & DACL_SECURITY_INFORMATION)) {
            // A defaulted DACL is the driver's own default recorded earlier: it overrides nothing.
            // A value without a DACL (an owner or a SACL alone) says nothing about who may open
            // the device: it must not displace the restrictive default.
            SeReleaseSecurityDescriptor(captured, KernelMode, TRUE);
            if (!NT_SUCCESS(status)) return status;
        } else {
            settings->SecurityDescriptor = captured;
            settings->Flags |= SettingSecurity;
        }
    }

    status = ReadDwordSetting(propertiesKey, L"DeviceType", &settings->DeviceType, SettingDeviceType, settings);
    if (NT_SUCCESS(status)) {
        status = ReadDwordSetting(propertiesKey, L"DeviceCharacteristics", &settings->Characteristics,
                                  SettingCharacteristics, settings);
    }
    if (NT_SUCCESS(status)) {
        status = ReadDwordSetting(propertiesKey, L"Exclusive", &settings->Exclusive, SettingExclusive, settings);
    }
    if (!NT_SUCCESS(status)) {
        FreeSettings(settings);
        InitEmptySettings(settings);
    }
    return status;
}

VCB_PAGED NTSTATUS WriteClassSecurity(LPCGUID classGuid, const StackCreationSettings* settings)
{
    PAGED_CODE();
    HANDLE classKey;
    NTSTATUS status = OpenClassKey(classGuid, KEY_ALL_ACCESS, FALSE, nullptr, &classKey);
    if (!NT_SUCCESS(status)) return status;

    // A kernel that refuses the fixed descriptor gets a Properties key with default security.
    auto fixed = (PSECURITY_DESCRIPTOR)&PropertiesKeySecurity;
    if (ReadULongNoFence(&PropertiesKeySecurityState) == PropertiesKeySecurityUnchecked) {
        PSECURITY_DESCRIPTOR captured;
        if (NT_SUCCESS(SeCaptureSecurityDescriptor(fixed, KernelMode, PagedPool, TRUE, &captured))) {
            SeReleaseSecurityDescriptor(captured, KernelMode, TRUE);
            WriteULongNoFence(&PropertiesKeySecurityState, PropertiesKeySecurityValid);
        } else {
            WriteULongNoFence(&PropertiesKeySecurityState, PropertiesKeySecurityRefused);
        }
    }
    bool useFixed = ReadULongNoFence(&PropertiesKeySecurityState) == PropertiesKeySecurityValid;

    HANDLE properties;
    ULONG disposition;
    status = RegCreateKeyByName(classKey, L"Properties", KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE,
                                useFixed ? fixed : nullptr, &properties, &disposition);
    ZwClose(classKey);
    if (!NT_SUCCESS(status)) return status;
    status = RegSetBinaryValue(properties, L"Security", REG_BINARY, settings->SecurityDescriptor,
                               RtlLengthSecurityDescriptor(settings->SecurityDescriptor));
    ZwClose(properties);
    return status;
}
