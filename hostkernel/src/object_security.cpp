// Object security: opening an object by pointer, setting a device's security through a handle
// (merged into what it had, generic rights mapped for files), and the default a device has.
#include "internal.h"

#include <cstring>
#include <map>

namespace hk {
namespace {

std::mutex g_securityLock;
std::vector<SetSecurityCall> g_setSecurityCalls;

void CheckPassive(const char* routine)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("%s called at IRQL %u", routine, KeGetCurrentIrql());
}

}  // namespace

std::vector<UCHAR> DeviceSecurityOf(PDEVICE_OBJECT device)
{
    std::lock_guard guard(g_securityLock);
    return device->HkNode->security;
}

void SetDeviceSecurity(PDEVICE_OBJECT device, std::vector<UCHAR> descriptor)
{
    std::lock_guard guard(g_securityLock);
    device->HkNode->security = std::move(descriptor);
    device->SecurityDescriptor = device->HkNode->security.data();
}

std::vector<UCHAR> DeviceSecurity(PDEVICE_OBJECT device) { return DeviceSecurityOf(device); }

const std::vector<UCHAR>& DefaultDeviceSecurity()
{
    static const std::vector<UCHAR> descriptor = [] {
        UCHAR aclBuffer[256];
        auto acl = (PACL)aclBuffer;
        RtlCreateAcl(acl, sizeof aclBuffer, ACL_REVISION);
        RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, SeExports->SeWorldSid);
        RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeLocalSystemSid);
        RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeAliasAdminsSid);
        RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ | GENERIC_EXECUTE, SeExports->SeRestrictedSid);
        DescriptorParts parts;
        parts.daclPresent = true;
        parts.control = SE_DACL_PRESENT;
        parts.dacl = acl;
        auto bytes = SelfRelativeFromParts(parts);
        DescriptorParts stored;
        DescriptorPartsOf(bytes.data(), &stored);
        // The ACL was written with a generous size; trim it to what the ACEs use.
        auto end = (PUCHAR)(stored.dacl + 1);
        for (USHORT i = 0; i < stored.dacl->AceCount; i++) end += ((PACE_HEADER)end)->AceSize;
        stored.dacl->AclSize = (USHORT)(end - (PUCHAR)stored.dacl);
        MapAclGeneric(stored.dacl, &kFileGenericMapping);
        return SelfRelativeFromParts(stored);
    }();
    return descriptor;
}

std::vector<UCHAR> MergeSecurity(const std::vector<UCHAR>& existing, SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR update, const GENERIC_MAPPING* mapping)
{
    DescriptorParts result;
    if (!existing.empty()) DescriptorPartsOf((PSECURITY_DESCRIPTOR)existing.data(), &result);
    DescriptorParts incoming;
    DescriptorPartsOf(update, &incoming);
    if (information & OWNER_SECURITY_INFORMATION) {
        result.owner = incoming.owner;
        result.control = (USHORT)((result.control & ~SE_OWNER_DEFAULTED) | (incoming.control & SE_OWNER_DEFAULTED));
    }
    if (information & GROUP_SECURITY_INFORMATION) {
        result.group = incoming.group;
        result.control = (USHORT)((result.control & ~SE_GROUP_DEFAULTED) | (incoming.control & SE_GROUP_DEFAULTED));
    }
    constexpr USHORT daclBits = SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
    constexpr USHORT saclBits = SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
    if (information & DACL_SECURITY_INFORMATION) {
        result.daclPresent = incoming.daclPresent;
        result.dacl = incoming.dacl;
        result.control = (USHORT)((result.control & ~daclBits) | (incoming.control & daclBits));
    }
    if (information & SACL_SECURITY_INFORMATION) {
        result.saclPresent = incoming.saclPresent;
        result.sacl = incoming.sacl;
        result.control = (USHORT)((result.control & ~saclBits) | (incoming.control & saclBits));
    }
    auto bytes = SelfRelativeFromParts(result);
    DescriptorParts stored;
    DescriptorPartsOf(bytes.data(), &stored);
    MapAclGeneric(stored.dacl, mapping);
    MapAclGeneric(stored.sacl, mapping);
    return bytes;
}

std::vector<SetSecurityCall> SetSecurityCalls()
{
    std::lock_guard guard(g_securityLock);
    return g_setSecurityCalls;
}

void ResetSetSecurityCalls()
{
    std::lock_guard guard(g_securityLock);
    g_setSecurityCalls.clear();
}

}  // namespace hk

using namespace hk;

extern "C" {

NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG handleAttributes, PACCESS_STATE, ACCESS_MASK desiredAccess,
                               POBJECT_TYPE objectType, KPROCESSOR_MODE, PHANDLE handle)
{
    CheckPassive("ObOpenObjectByPointer");
    *handle = nullptr;
    NTSTATUS injected;
    if (TakeInjectedCallFailure("ObOpenObjectByPointer", &injected)) return injected;
    ObjectKind kind;
    if (!ObjectKnown(object, &kind)) {
        ReportViolation("ObOpenObjectByPointer on %p, which is not a live object", object);
        return STATUS_INVALID_PARAMETER;
    }
    if (objectType != nullptr && objectType->Kind != kind) return STATUS_OBJECT_TYPE_MISMATCH;
    ACCESS_MASK granted = desiredAccess;
    RtlMapGenericMask(&granted, &kFileGenericMapping);
    if (granted & MAXIMUM_ALLOWED) granted = (granted & ~MAXIMUM_ALLOWED) | FILE_ALL_ACCESS;
    HandleEntry entry;
    entry.object = object;
    entry.kind = kind;
    entry.granted = granted;
    *handle = HandleCreateFor(std::move(entry), handleAttributes, "ObOpenObjectByPointer");
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    CheckPassive("ZwSetSecurityObject");
    HandleEntry entry;
    bool open = HandleLookup(handle, &entry);
    auto log = [&](NTSTATUS status) {
        std::lock_guard guard(g_securityLock);
        g_setSecurityCalls.push_back({open ? entry.object : nullptr, information, entry.granted, status});
        return status;
    };
    NTSTATUS injected;
    if (TakeInjectedCallFailure("ZwSetSecurityObject", &injected)) return log(injected);
    if (!open) {
        ReportViolation("ZwSetSecurityObject on handle %p, which is not open", handle);
        return log(STATUS_INVALID_HANDLE);
    }
    if (descriptor == nullptr) return log(STATUS_ACCESS_VIOLATION);
    NTSTATUS status = ValidateDescriptor(descriptor);
    if (!NT_SUCCESS(status)) return log(status);
    DescriptorParts parts;
    DescriptorPartsOf(descriptor, &parts);
    if ((information & OWNER_SECURITY_INFORMATION) && parts.owner == nullptr) return log(STATUS_INVALID_OWNER);
    if ((information & GROUP_SECURITY_INFORMATION) && parts.group == nullptr) return log(STATUS_INVALID_PRIMARY_GROUP);
    if (entry.isKey) return log(STATUS_NOT_SUPPORTED);
    if (entry.kind != ObjectKind::Device) return log(STATUS_OBJECT_TYPE_MISMATCH);
    auto device = (PDEVICE_OBJECT)entry.object;
    std::vector<UCHAR> existing = DeviceSecurityOf(device);
    if (existing.empty()) existing = DefaultDeviceSecurity();
    SetDeviceSecurity(device, MergeSecurity(existing, information, descriptor, &kFileGenericMapping));
    return log(STATUS_SUCCESS);
}

}  // extern "C"
