// The access check on open: the device's DACL decides, for three kinds of caller. Generic rights
// are mapped the way the platform maps them for files, in the request and in the ACEs.
//
// Tokens: LocalSystem holds SYSTEM; an administrator BUILTIN\Administrators, Everyone and
// Authenticated Users; a plain user Everyone, Authenticated Users and BUILTIN\Users. Only
// LocalSystem holds an enabled SeSecurityPrivilege (for ACCESS_SYSTEM_SECURITY). A device with
// no descriptor set is checked against the default that IoCreateDevice gives named devices.
#include "internal.h"

namespace hk {
namespace {

struct Token {
    std::vector<PSID> sids;
    bool securityPrivilege;
};

Token TokenOf(User user)
{
    switch (user) {
    case User::LocalSystem: return {{SeExports->SeLocalSystemSid}, true};
    case User::Administrator:
        return {{SeExports->SeAliasAdminsSid, SeExports->SeWorldSid, SeExports->SeAuthenticatedUsersSid}, false};
    case User::PlainUser:
    default:
        return {{SeExports->SeWorldSid, SeExports->SeAuthenticatedUsersSid, SeExports->SeAliasUsersSid}, false};
    }
}

bool Holds(const Token& token, PSID sid)
{
    for (PSID held : token.sids) {
        if (RtlEqualSid(held, sid)) return true;
    }
    return false;
}

NTSTATUS AccessCheck(const std::vector<UCHAR>& descriptor, const Token& token, ACCESS_MASK desired,
                     ACCESS_MASK* granted)
{
    *granted = 0;
    RtlMapGenericMask(&desired, &kFileGenericMapping);
    bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    desired &= ~MAXIMUM_ALLOWED;
    ACCESS_MASK already = 0;
    if (desired & ACCESS_SYSTEM_SECURITY) {
        if (!token.securityPrivilege) return STATUS_PRIVILEGE_NOT_HELD;
        already |= ACCESS_SYSTEM_SECURITY;
        desired &= ~ACCESS_SYSTEM_SECURITY;
    }
    DescriptorParts parts;
    DescriptorPartsOf((PSECURITY_DESCRIPTOR)descriptor.data(), &parts);
    if (!parts.daclPresent || parts.dacl == nullptr) {
        // No DACL: nothing is protected.
        *granted = already | desired | (maximum ? FILE_ALL_ACCESS : 0);
        return STATUS_SUCCESS;
    }
    // The owner may always read and change the DACL.
    if (parts.owner && Holds(token, parts.owner)) already |= READ_CONTROL | WRITE_DAC;

    ACCESS_MASK allowed = 0, denied = 0;
    auto ace = (PUCHAR)(parts.dacl + 1);
    for (USHORT i = 0; i < parts.dacl->AceCount; i++, ace += ((PACE_HEADER)ace)->AceSize) {
        auto header = (PACE_HEADER)ace;
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        auto known = (PACCESS_ALLOWED_ACE)ace;
        if (!Holds(token, &known->SidStart)) continue;
        ACCESS_MASK mask = known->Mask;
        RtlMapGenericMask(&mask, &kFileGenericMapping);
        // ACEs are taken in order: a right decided by an earlier ACE stays decided.
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) allowed |= mask & ~denied;
        else denied |= mask & ~allowed & ~already;
    }
    ACCESS_MASK have = (allowed | already) & ~(denied & ~already);
    if ((desired & ~have) != 0) return STATUS_ACCESS_DENIED;
    *granted = maximum ? have : (desired | (already & ACCESS_SYSTEM_SECURITY));
    if (maximum && *granted == 0) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

}  // namespace

ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access)
{
    RtlMapGenericMask(&access, &kFileGenericMapping);
    return access;
}

NTSTATUS CheckOpenAccess(PDEVICE_OBJECT device, User user, ACCESS_MASK desired, ACCESS_MASK* granted)
{
    std::vector<UCHAR> descriptor = DeviceSecurityOf(device);
    if (descriptor.empty()) descriptor = DefaultDeviceSecurity();
    return AccessCheck(descriptor, TokenOf(user), desired, granted);
}

NTSTATUS CheckDeviceAccess(PDEVICE_OBJECT device, User user, ACCESS_MASK desired, ACCESS_MASK* granted)
{
    return CheckOpenAccess(device, user, desired, granted);
}

}  // namespace hk
