// Security objects with the platform's binary layouts: SIDs, ACLs, absolute and self-relative
// descriptors, the Rtl routines over them, capture with validation, and the well-known SIDs.
#include "internal.h"

#include <cstring>

namespace hk {
namespace {

constexpr ULONG kCaptureTag = Tag("SeSc");

ULONG Align4(ULONG n) { return (n + 3) & ~3u; }

// Well-known SIDs, each with room for its sub-authorities.
struct WellKnownSid {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    UCHAR Authority[6];
    ULONG SubAuthority[2];
};

constexpr WellKnownSid MakeSid(UCHAR authority, ULONG rid) { return {1, 1, {0, 0, 0, 0, 0, authority}, {rid, 0}}; }
constexpr WellKnownSid MakeAlias(ULONG rid) { return {1, 2, {0, 0, 0, 0, 0, 5}, {SECURITY_BUILTIN_DOMAIN_RID, rid}}; }

WellKnownSid g_null = MakeSid(0, 0);
WellKnownSid g_world = MakeSid(1, 0);
WellKnownSid g_local = MakeSid(2, 0);
WellKnownSid g_creatorOwner = MakeSid(3, 0);
WellKnownSid g_creatorGroup = MakeSid(3, 1);
WellKnownSid g_ownerRights = MakeSid(3, 4);
WellKnownSid g_ntAuthority = {1, 0, {0, 0, 0, 0, 0, 5}, {0, 0}};
WellKnownSid g_dialup = MakeSid(5, 1);
WellKnownSid g_network = MakeSid(5, 2);
WellKnownSid g_batch = MakeSid(5, 3);
WellKnownSid g_interactive = MakeSid(5, 4);
WellKnownSid g_anonymous = MakeSid(5, 7);
WellKnownSid g_authenticated = MakeSid(5, 11);
WellKnownSid g_restricted = MakeSid(5, 12);
WellKnownSid g_iuser = MakeSid(5, 17);
WellKnownSid g_localSystem = MakeSid(5, SECURITY_LOCAL_SYSTEM_RID);
WellKnownSid g_localService = MakeSid(5, 19);
WellKnownSid g_networkService = MakeSid(5, 20);
WellKnownSid g_admins = MakeAlias(DOMAIN_ALIAS_RID_ADMINS);
WellKnownSid g_users = MakeAlias(DOMAIN_ALIAS_RID_USERS);
WellKnownSid g_guests = MakeAlias(DOMAIN_ALIAS_RID_GUESTS);
WellKnownSid g_powerUsers = MakeAlias(547);
WellKnownSid g_accountOps = MakeAlias(548);
WellKnownSid g_systemOps = MakeAlias(549);
WellKnownSid g_printOps = MakeAlias(550);
WellKnownSid g_backupOps = MakeAlias(551);
WellKnownSid g_untrusted = MakeSid(16, 0);
WellKnownSid g_low = MakeSid(16, 0x1000);
WellKnownSid g_medium = MakeSid(16, 0x2000);
WellKnownSid g_high = MakeSid(16, 0x3000);
WellKnownSid g_systemLabel = MakeSid(16, 0x4000);

LUID Privilege(ULONG value) { return LUID{value, 0}; }

SE_EXPORTS MakeExports()
{
    SE_EXPORTS e{};
    e.SeCreateTokenPrivilege = Privilege(2);
    e.SeAssignPrimaryTokenPrivilege = Privilege(3);
    e.SeLockMemoryPrivilege = Privilege(4);
    e.SeIncreaseQuotaPrivilege = Privilege(5);
    e.SeUnsolicitedInputPrivilege = Privilege(6);
    e.SeTcbPrivilege = Privilege(7);
    e.SeSecurityPrivilege = Privilege(8);
    e.SeTakeOwnershipPrivilege = Privilege(9);
    e.SeLoadDriverPrivilege = Privilege(10);
    e.SeSystemProfilePrivilege = Privilege(11);
    e.SeSystemtimePrivilege = Privilege(12);
    e.SeProfileSingleProcessPrivilege = Privilege(13);
    e.SeIncreaseBasePriorityPrivilege = Privilege(14);
    e.SeCreatePagefilePrivilege = Privilege(15);
    e.SeCreatePermanentPrivilege = Privilege(16);
    e.SeBackupPrivilege = Privilege(17);
    e.SeRestorePrivilege = Privilege(18);
    e.SeShutdownPrivilege = Privilege(19);
    e.SeDebugPrivilege = Privilege(20);
    e.SeAuditPrivilege = Privilege(21);
    e.SeSystemEnvironmentPrivilege = Privilege(22);
    e.SeChangeNotifyPrivilege = Privilege(23);
    e.SeRemoteShutdownPrivilege = Privilege(24);
    e.SeUndockPrivilege = Privilege(25);
    e.SeSyncAgentPrivilege = Privilege(26);
    e.SeEnableDelegationPrivilege = Privilege(27);
    e.SeManageVolumePrivilege = Privilege(28);
    e.SeImpersonatePrivilege = Privilege(29);
    e.SeCreateGlobalPrivilege = Privilege(30);
    e.SeTrustedCredManAccessPrivilege = Privilege(31);
    e.SeRelabelPrivilege = Privilege(32);
    e.SeIncreaseWorkingSetPrivilege = Privilege(33);
    e.SeTimeZonePrivilege = Privilege(34);
    e.SeCreateSymbolicLinkPrivilege = Privilege(35);
    e.SeNullSid = &g_null;
    e.SeWorldSid = &g_world;
    e.SeLocalSid = &g_local;
    e.SeCreatorOwnerSid = &g_creatorOwner;
    e.SeCreatorGroupSid = &g_creatorGroup;
    e.SeNtAuthoritySid = &g_ntAuthority;
    e.SeDialupSid = &g_dialup;
    e.SeNetworkSid = &g_network;
    e.SeBatchSid = &g_batch;
    e.SeInteractiveSid = &g_interactive;
    e.SeLocalSystemSid = &g_localSystem;
    e.SeAliasAdminsSid = &g_admins;
    e.SeAliasUsersSid = &g_users;
    e.SeAliasGuestsSid = &g_guests;
    e.SeAliasPowerUsersSid = &g_powerUsers;
    e.SeAliasAccountOpsSid = &g_accountOps;
    e.SeAliasSystemOpsSid = &g_systemOps;
    e.SeAliasPrintOpsSid = &g_printOps;
    e.SeAliasBackupOpsSid = &g_backupOps;
    e.SeAuthenticatedUsersSid = &g_authenticated;
    e.SeRestrictedSid = &g_restricted;
    e.SeAnonymousLogonSid = &g_anonymous;
    e.SeLocalServiceSid = &g_localService;
    e.SeNetworkServiceSid = &g_networkService;
    e.SeIUserSid = &g_iuser;
    e.SeUntrustedMandatorySid = &g_untrusted;
    e.SeLowMandatorySid = &g_low;
    e.SeMediumMandatorySid = &g_medium;
    e.SeHighMandatorySid = &g_high;
    e.SeSystemMandatorySid = &g_systemLabel;
    e.SeOwnerRightsSid = &g_ownerRights;
    return e;
}

SE_EXPORTS g_exports = MakeExports();

bool Known(UCHAR type) { return type <= ACCESS_MAX_MS_V2_ACE_TYPE; }

// Builds a self-relative descriptor from its parts, in the order the kernel lays them out:
// SACL, DACL, owner, group.
ULONG SelfRelativeLength(const DescriptorParts& parts)
{
    ULONG length = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    if (parts.saclPresent && parts.sacl) length += Align4(parts.sacl->AclSize);
    if (parts.daclPresent && parts.dacl) length += Align4(parts.dacl->AclSize);
    if (parts.owner) length += Align4(RtlLengthSid(parts.owner));
    if (parts.group) length += Align4(RtlLengthSid(parts.group));
    return length;
}

void WriteSelfRelative(const DescriptorParts& parts, PUCHAR out, ULONG length)
{
    memset(out, 0, length);
    auto header = (PISECURITY_DESCRIPTOR_RELATIVE)out;
    header->Revision = SECURITY_DESCRIPTOR_REVISION;
    header->Control = (USHORT)(parts.control | SE_SELF_RELATIVE);
    ULONG at = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    if (parts.saclPresent && parts.sacl) {
        memcpy(out + at, parts.sacl, parts.sacl->AclSize);
        header->Sacl = at;
        at += Align4(parts.sacl->AclSize);
    }
    if (parts.daclPresent && parts.dacl) {
        memcpy(out + at, parts.dacl, parts.dacl->AclSize);
        header->Dacl = at;
        at += Align4(parts.dacl->AclSize);
    }
    if (parts.owner) {
        ULONG n = RtlLengthSid(parts.owner);
        memcpy(out + at, parts.owner, n);
        header->Owner = at;
        at += Align4(n);
    }
    if (parts.group) {
        ULONG n = RtlLengthSid(parts.group);
        memcpy(out + at, parts.group, n);
        header->Group = at;
    }
}

// The SID of an ACE of one of the four basic types.
PISID AceSid(PACE_HEADER ace) { return (PISID) & ((PACCESS_ALLOWED_ACE)ace)->SidStart; }

}  // namespace

const GENERIC_MAPPING kFileGenericMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                             FILE_ALL_ACCESS};
const GENERIC_MAPPING kKeyGenericMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};

bool DescriptorPartsOf(PSECURITY_DESCRIPTOR descriptor, DescriptorParts* parts)
{
    *parts = DescriptorParts{};
    // Self-relative descriptors need only 4-byte alignment (registry data has no more), so the
    // common header is read through that form.
    auto header = (PISECURITY_DESCRIPTOR_RELATIVE)descriptor;
    if (header == nullptr || header->Revision != SECURITY_DESCRIPTOR_REVISION) return false;
    parts->control = header->Control & ~SE_SELF_RELATIVE;
    parts->daclPresent = (header->Control & SE_DACL_PRESENT) != 0;
    parts->saclPresent = (header->Control & SE_SACL_PRESENT) != 0;
    if (header->Control & SE_SELF_RELATIVE) {
        auto rel = (PISECURITY_DESCRIPTOR_RELATIVE)descriptor;
        auto base = (PUCHAR)descriptor;
        parts->owner = rel->Owner ? (PISID)(base + rel->Owner) : nullptr;
        parts->group = rel->Group ? (PISID)(base + rel->Group) : nullptr;
        parts->dacl = parts->daclPresent && rel->Dacl ? (PACL)(base + rel->Dacl) : nullptr;
        parts->sacl = parts->saclPresent && rel->Sacl ? (PACL)(base + rel->Sacl) : nullptr;
    } else {
        auto sd = (PISECURITY_DESCRIPTOR)descriptor;
        parts->owner = (PISID)sd->Owner;
        parts->group = (PISID)sd->Group;
        parts->dacl = parts->daclPresent ? sd->Dacl : nullptr;
        parts->sacl = parts->saclPresent ? sd->Sacl : nullptr;
    }
    return true;
}

std::vector<UCHAR> SelfRelativeFromParts(const DescriptorParts& parts)
{
    std::vector<UCHAR> out(SelfRelativeLength(parts));
    WriteSelfRelative(parts, out.data(), (ULONG)out.size());
    return out;
}

NTSTATUS ValidateDescriptor(PSECURITY_DESCRIPTOR descriptor)
{
    DescriptorParts parts;
    if (!DescriptorPartsOf(descriptor, &parts)) return STATUS_UNKNOWN_REVISION;
    if (parts.owner && !RtlValidSid(parts.owner)) return STATUS_INVALID_SID;
    if (parts.group && !RtlValidSid(parts.group)) return STATUS_INVALID_SID;
    if (parts.sacl && !RtlValidAcl(parts.sacl)) return STATUS_INVALID_ACL;
    if (parts.dacl && !RtlValidAcl(parts.dacl)) return STATUS_INVALID_ACL;
    return STATUS_SUCCESS;
}

void MapAclGeneric(PACL acl, const GENERIC_MAPPING* mapping)
{
    if (acl == nullptr) return;
    auto ace = (PACE_HEADER)(acl + 1);
    for (USHORT i = 0; i < acl->AceCount; i++) {
        if (Known(ace->AceType)) RtlMapGenericMask(&((PACCESS_ALLOWED_ACE)ace)->Mask, mapping);
        ace = (PACE_HEADER)((PUCHAR)ace + ace->AceSize);
    }
}

std::string SidToString(const void* sid)
{
    if (sid == nullptr) return "";
    auto s = (const SID*)sid;
    ULONGLONG authority = 0;
    for (int i = 0; i < 6; i++) authority = (authority << 8) | s->IdentifierAuthority.Value[i];
    std::string text = "S-" + std::to_string(s->Revision) + "-" + std::to_string(authority);
    for (UCHAR i = 0; i < s->SubAuthorityCount; i++) text += "-" + std::to_string(s->SubAuthority[i]);
    return text;
}

}  // namespace hk

using namespace hk;

extern "C" {

PSE_EXPORTS SeExports = &g_exports;

ULONG RtlLengthSid(PSID sid)
{
    return (ULONG)(sizeof(SID) - sizeof(ULONG) + ((PISID)sid)->SubAuthorityCount * sizeof(ULONG));
}

BOOLEAN RtlValidSid(PSID sid)
{
    auto s = (PISID)sid;
    return s != nullptr && s->Revision == SID_REVISION && s->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

BOOLEAN RtlEqualSid(PSID a, PSID b)
{
    ULONG n = RtlLengthSid(a);
    return n == RtlLengthSid(b) && memcmp(a, b, n) == 0;
}

NTSTATUS RtlCopySid(ULONG destinationLength, PSID destination, PSID source)
{
    ULONG n = RtlLengthSid(source);
    if (destinationLength < n) return STATUS_BUFFER_TOO_SMALL;
    memmove(destination, source, n);
    return STATUS_SUCCESS;
}

NTSTATUS RtlCreateAcl(PACL acl, ULONG aclLength, ULONG aclRevision)
{
    if (aclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
    if (aclRevision < MIN_ACL_REVISION || aclRevision > MAX_ACL_REVISION || aclLength > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    acl->AclRevision = (UCHAR)aclRevision;
    acl->Sbz1 = 0;
    acl->AclSize = (USHORT)(aclLength & ~3u);
    acl->AceCount = 0;
    acl->Sbz2 = 0;
    return STATUS_SUCCESS;
}

BOOLEAN RtlValidAcl(PACL acl)
{
    if (acl->AclRevision < MIN_ACL_REVISION || acl->AclRevision > MAX_ACL_REVISION) return FALSE;
    if (acl->AclSize < sizeof(ACL) || (acl->AclSize & 3) != 0) return FALSE;
    auto end = (PUCHAR)acl + acl->AclSize;
    auto ace = (PUCHAR)(acl + 1);
    for (USHORT i = 0; i < acl->AceCount; i++) {
        if (ace + sizeof(ACE_HEADER) > end) return FALSE;
        auto header = (PACE_HEADER)ace;
        if ((header->AceSize & 3) != 0 || header->AceSize < sizeof(ACE_HEADER)) return FALSE;
        if (ace + header->AceSize > end) return FALSE;
        if (Known(header->AceType)) {
            // Header, mask, then a SID that must fit in the ACE.
            if (header->AceSize < sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + 8) return FALSE;
            PISID sid = AceSid(header);
            if (sid->Revision != SID_REVISION || sid->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return FALSE;
            if (sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + RtlLengthSid(sid) > header->AceSize) return FALSE;
        }
        ace += header->AceSize;
    }
    return TRUE;
}

static BOOLEAN FirstFreeAce(PACL acl, PUCHAR* firstFree)
{
    *firstFree = nullptr;
    if (acl->AclRevision < MIN_ACL_REVISION || acl->AclRevision > MAX_ACL_REVISION) return FALSE;
    auto end = (PUCHAR)acl + acl->AclSize;
    auto ace = (PUCHAR)(acl + 1);
    for (USHORT i = 0; i < acl->AceCount; i++) {
        if (ace >= end) return FALSE;
        ace += ((PACE_HEADER)ace)->AceSize;
    }
    if (ace <= end) *firstFree = ace;
    return TRUE;
}

static NTSTATUS AddKnownAce(PACL acl, ULONG revision, ULONG flags, ACCESS_MASK mask, PSID sid, UCHAR type)
{
    if (!RtlValidSid(sid)) return STATUS_INVALID_SID;
    if (acl->AclRevision > MAX_ACL_REVISION || revision > MAX_ACL_REVISION) return STATUS_REVISION_MISMATCH;
    if (revision < acl->AclRevision) revision = acl->AclRevision;
    PUCHAR free;
    if (!FirstFreeAce(acl, &free)) return STATUS_INVALID_ACL;
    ULONG size = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + RtlLengthSid(sid);
    if (free == nullptr || free + size > (PUCHAR)acl + acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto ace = (PACCESS_ALLOWED_ACE)free;
    ace->Header.AceType = type;
    ace->Header.AceFlags = (UCHAR)flags;
    ace->Header.AceSize = (USHORT)size;
    ace->Mask = mask;
    memcpy(&ace->SidStart, sid, RtlLengthSid(sid));
    acl->AceCount++;
    acl->AclRevision = (UCHAR)revision;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAddAccessAllowedAce(PACL acl, ULONG aceRevision, ACCESS_MASK accessMask, PSID sid)
{
    return AddKnownAce(acl, aceRevision, 0, accessMask, sid, ACCESS_ALLOWED_ACE_TYPE);
}

NTSTATUS RtlAddAccessAllowedAceEx(PACL acl, ULONG aceRevision, ULONG aceFlags, ACCESS_MASK accessMask, PSID sid)
{
    if (aceFlags & ~VALID_INHERIT_FLAGS) return STATUS_INVALID_PARAMETER;
    return AddKnownAce(acl, aceRevision, aceFlags, accessMask, sid, ACCESS_ALLOWED_ACE_TYPE);
}

NTSTATUS RtlAddAccessDeniedAce(PACL acl, ULONG aceRevision, ACCESS_MASK accessMask, PSID sid)
{
    return AddKnownAce(acl, aceRevision, 0, accessMask, sid, ACCESS_DENIED_ACE_TYPE);
}

NTSTATUS RtlGetAce(PACL acl, ULONG aceIndex, PVOID* ace)
{
    *ace = nullptr;
    if (acl->AclRevision < MIN_ACL_REVISION || acl->AclRevision > MAX_ACL_REVISION || aceIndex >= acl->AceCount) {
        return STATUS_INVALID_PARAMETER;
    }
    auto at = (PUCHAR)(acl + 1);
    for (ULONG i = 0; i < aceIndex; i++) {
        if (at >= (PUCHAR)acl + acl->AclSize) return STATUS_INVALID_PARAMETER;
        at += ((PACE_HEADER)at)->AceSize;
    }
    if (at >= (PUCHAR)acl + acl->AclSize) return STATUS_INVALID_PARAMETER;
    *ace = at;
    return STATUS_SUCCESS;
}

NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, ULONG revision)
{
    if (revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    memset(securityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    ((PISECURITY_DESCRIPTOR)securityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

// The setters work on absolute descriptors only, as the platform's do.
static NTSTATUS CheckAbsolute(PSECURITY_DESCRIPTOR securityDescriptor)
{
    auto sd = (PISECURITY_DESCRIPTOR_RELATIVE)securityDescriptor;
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
    if (sd->Control & SE_SELF_RELATIVE) return STATUS_INVALID_SECURITY_DESCR;
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, BOOLEAN daclPresent, PACL dacl,
                                      BOOLEAN daclDefaulted)
{
    NTSTATUS status = CheckAbsolute(securityDescriptor);
    if (!NT_SUCCESS(status)) return status;
    auto sd = (PISECURITY_DESCRIPTOR)securityDescriptor;
    if (!daclPresent) {
        sd->Control &= ~SE_DACL_PRESENT;
        return STATUS_SUCCESS;
    }
    sd->Dacl = dacl;
    sd->Control |= SE_DACL_PRESENT;
    sd->Control &= ~SE_DACL_DEFAULTED;
    if (daclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PSID owner, BOOLEAN ownerDefaulted)
{
    NTSTATUS status = CheckAbsolute(securityDescriptor);
    if (!NT_SUCCESS(status)) return status;
    auto sd = (PISECURITY_DESCRIPTOR)securityDescriptor;
    sd->Owner = owner;
    sd->Control &= ~SE_OWNER_DEFAULTED;
    if (ownerDefaulted) sd->Control |= SE_OWNER_DEFAULTED;
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PSID group, BOOLEAN groupDefaulted)
{
    NTSTATUS status = CheckAbsolute(securityDescriptor);
    if (!NT_SUCCESS(status)) return status;
    auto sd = (PISECURITY_DESCRIPTOR)securityDescriptor;
    sd->Group = group;
    sd->Control &= ~SE_GROUP_DEFAULTED;
    if (groupDefaulted) sd->Control |= SE_GROUP_DEFAULTED;
    return STATUS_SUCCESS;
}

// The ACL getters leave the ACL and its defaulted flag untouched when the ACL is not present.
NTSTATUS RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PBOOLEAN daclPresent, PACL* dacl,
                                      PBOOLEAN daclDefaulted)
{
    DescriptorParts parts;
    if (!DescriptorPartsOf(securityDescriptor, &parts)) return STATUS_UNKNOWN_REVISION;
    *daclPresent = parts.daclPresent;
    if (parts.daclPresent) {
        *dacl = parts.dacl;
        *daclDefaulted = (parts.control & SE_DACL_DEFAULTED) != 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PBOOLEAN saclPresent, PACL* sacl,
                                      PBOOLEAN saclDefaulted)
{
    DescriptorParts parts;
    if (!DescriptorPartsOf(securityDescriptor, &parts)) return STATUS_UNKNOWN_REVISION;
    *saclPresent = parts.saclPresent;
    if (parts.saclPresent) {
        *sacl = parts.sacl;
        *saclDefaulted = (parts.control & SE_SACL_DEFAULTED) != 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PSID* owner, PBOOLEAN ownerDefaulted)
{
    DescriptorParts parts;
    if (!DescriptorPartsOf(securityDescriptor, &parts)) return STATUS_UNKNOWN_REVISION;
    *owner = parts.owner;
    *ownerDefaulted = (parts.control & SE_OWNER_DEFAULTED) != 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PSID* group, PBOOLEAN groupDefaulted)
{
    DescriptorParts parts;
    if (!DescriptorPartsOf(securityDescriptor, &parts)) return STATUS_UNKNOWN_REVISION;
    *group = parts.group;
    *groupDefaulted = (parts.control & SE_GROUP_DEFAULTED) != 0;
    return STATUS_SUCCESS;
}

ULONG RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor)
{
    auto sd = (PISECURITY_DESCRIPTOR_RELATIVE)securityDescriptor;
    DescriptorParts parts;
    DescriptorPartsOf(securityDescriptor, &parts);
    ULONG length = (sd->Control & SE_SELF_RELATIVE) ? sizeof(SECURITY_DESCRIPTOR_RELATIVE) : sizeof(SECURITY_DESCRIPTOR);
    if (parts.owner) length += Align4(RtlLengthSid(parts.owner));
    if (parts.group) length += Align4(RtlLengthSid(parts.group));
    if (parts.dacl) length += Align4(parts.dacl->AclSize);
    if (parts.sacl) length += Align4(parts.sacl->AclSize);
    return length;
}

BOOLEAN RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor)
{
    return NT_SUCCESS(ValidateDescriptor(securityDescriptor));
}

// Every offset must lie inside the given length, aligned, with room for what it points to.
BOOLEAN RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR input, ULONG length, SECURITY_INFORMATION required)
{
    if (input == nullptr || length < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) return FALSE;
    auto rel = (PISECURITY_DESCRIPTOR_RELATIVE)input;
    auto base = (PUCHAR)input;
    if (rel->Revision != SECURITY_DESCRIPTOR_REVISION || !(rel->Control & SE_SELF_RELATIVE)) return FALSE;
    auto sidFits = [&](ULONG offset) {
        if (offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || (offset & 3) || offset > length - 8) return false;
        auto sid = (PISID)(base + offset);
        if (sid->Revision != SID_REVISION || sid->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return false;
        return RtlLengthSid(sid) <= length - offset;
    };
    auto aclFits = [&](ULONG offset) {
        if (offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || (offset & 3) || offset > length - sizeof(ACL)) return false;
        auto acl = (PACL)(base + offset);
        return acl->AclSize <= length - offset && RtlValidAcl(acl);
    };
    if (rel->Owner ? !sidFits(rel->Owner) : (required & OWNER_SECURITY_INFORMATION) != 0) return FALSE;
    if (rel->Group ? !sidFits(rel->Group) : (required & GROUP_SECURITY_INFORMATION) != 0) return FALSE;
    if (rel->Control & SE_DACL_PRESENT) {
        if (rel->Dacl && !aclFits(rel->Dacl)) return FALSE;
    } else if (required & DACL_SECURITY_INFORMATION) {
        return FALSE;
    }
    if (rel->Control & SE_SACL_PRESENT) {
        if (rel->Sacl && !aclFits(rel->Sacl)) return FALSE;
    } else if (required & SACL_SECURITY_INFORMATION) {
        return FALSE;
    }
    return TRUE;
}

NTSTATUS RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR absolute, PSECURITY_DESCRIPTOR selfRelative,
                                     PULONG bufferLength)
{
    if (((PISECURITY_DESCRIPTOR_RELATIVE)absolute)->Control & SE_SELF_RELATIVE) return STATUS_BAD_DESCRIPTOR_FORMAT;
    DescriptorParts parts;
    if (!DescriptorPartsOf(absolute, &parts)) return STATUS_UNKNOWN_REVISION;
    ULONG needed = SelfRelativeLength(parts);
    if (selfRelative == nullptr || *bufferLength < needed) {
        *bufferLength = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    WriteSelfRelative(parts, (PUCHAR)selfRelative, needed);
    return STATUS_SUCCESS;
}

void RtlMapGenericMask(PACCESS_MASK accessMask, const GENERIC_MAPPING* mapping)
{
    ACCESS_MASK mask = *accessMask;
    if (mask & GENERIC_READ) mask |= mapping->GenericRead;
    if (mask & GENERIC_WRITE) mask |= mapping->GenericWrite;
    if (mask & GENERIC_EXECUTE) mask |= mapping->GenericExecute;
    if (mask & GENERIC_ALL) mask |= mapping->GenericAll;
    *accessMask = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

NTSTATUS SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR input, KPROCESSOR_MODE requestorMode, POOL_TYPE poolType,
                                     BOOLEAN forceCapture, PSECURITY_DESCRIPTOR* output)
{
    PAGED_CODE();
    *output = nullptr;
    NTSTATUS injected;
    if (TakeInjectedCallFailure("SeCaptureSecurityDescriptor", &injected)) return injected;
    if (input == nullptr) return STATUS_SUCCESS;
    if (requestorMode == KernelMode && !forceCapture) {
        *output = input;
        return STATUS_SUCCESS;
    }
    NTSTATUS status = ValidateDescriptor(input);
    if (!NT_SUCCESS(status)) return status;
    DescriptorParts parts;
    DescriptorPartsOf(input, &parts);
    ULONG length = SelfRelativeLength(parts);
    auto copy = (PUCHAR)ExAllocatePoolWithTag(poolType, length, kCaptureTag);
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    WriteSelfRelative(parts, copy, length);
    *output = copy;
    return STATUS_SUCCESS;
}

void SeReleaseSecurityDescriptor(PSECURITY_DESCRIPTOR captured, KPROCESSOR_MODE requestorMode, BOOLEAN forceCapture)
{
    PAGED_CODE();
    if (captured != nullptr && (requestorMode != KernelMode || forceCapture)) ExFreePool(captured);
}

}  // extern "C"
