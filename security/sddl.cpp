// SDDL subset parsing: the default security of port devices, written as SDDL, becomes a
// self-relative descriptor. Every failure frees what was allocated; no partial descriptor is
// returned.
#include "security/sddl.h"

const SddlRight SddlRightsTable[8] = {
    {L"RC", READ_CONTROL},  {L"WD", WRITE_DAC},    {L"WO", WRITE_OWNER},   {L"SD", DELETE},
    {L"GA", GENERIC_ALL},   {L"GR", GENERIC_READ}, {L"GW", GENERIC_WRITE}, {L"GX", GENERIC_EXECUTE},
};

const SddlSid SddlSidTable[12] = {
    {L"WD", FIELD_OFFSET(SE_EXPORTS, SeWorldSid), FALSE},
    {L"BA", FIELD_OFFSET(SE_EXPORTS, SeAliasAdminsSid), FALSE},
    {L"SY", FIELD_OFFSET(SE_EXPORTS, SeLocalSystemSid), FALSE},
    {L"IU", FIELD_OFFSET(SE_EXPORTS, SeInteractiveSid), FALSE},
    {L"RC", FIELD_OFFSET(SE_EXPORTS, SeRestrictedSid), FALSE},
    {L"AU", FIELD_OFFSET(SE_EXPORTS, SeAuthenticatedUsersSid), FALSE},
    {L"NU", FIELD_OFFSET(SE_EXPORTS, SeNetworkSid), FALSE},
    {L"AN", FIELD_OFFSET(SE_EXPORTS, SeAnonymousLogonSid), FALSE},
    {L"BG", FIELD_OFFSET(SE_EXPORTS, SeAliasGuestsSid), FALSE},
    {L"BU", FIELD_OFFSET(SE_EXPORTS, SeAliasUsersSid), FALSE},
    {L"LS", FIELD_OFFSET(SE_EXPORTS, SeLocalServiceSid), TRUE},
    {L"NS", FIELD_OFFSET(SE_EXPORTS, SeNetworkServiceSid), TRUE},
};

static PCWSTR SkipSpaces(PCWSTR p)
{
    while (*p == L' ') p++;
    return p;
}

static PACL AllocateAcl(ULONG size)
{
    auto acl = (PACL)ExAllocatePoolWithTag(PagedPool, size, kSddlAclTag);
    if (acl == nullptr) return nullptr;
    RtlZeroMemory(acl, size);
    acl->AclRevision = ACL_REVISION;
    acl->AclSize = (USHORT)size;
    return acl;
}

_Use_decl_annotations_
VCB_PAGED NTSTATUS SddlToSecurityDescriptor(PCUNICODE_STRING sddl, BOOLEAN defaulted, PSECURITY_DESCRIPTOR* descriptor)
{
    PAGED_CODE();
    *descriptor = nullptr;
    // A counted string of an odd byte count or without a buffer has no text to read.
    if (sddl == nullptr || (sddl->Length & 1) != 0 || (sddl->Buffer == nullptr && sddl->Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG chars = sddl->Length / sizeof(WCHAR);
    if (sddl->Buffer != nullptr && sddl->MaximumLength == sddl->Length + sizeof(WCHAR) && sddl->Buffer[chars] == 0) {
        return SddlBuildDescriptor(sddl->Buffer, defaulted, descriptor);
    }
    auto copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, sddl->Length + sizeof(WCHAR), kSddlStringTag);
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (sddl->Length != 0) RtlCopyMemory(copy, sddl->Buffer, sddl->Length);
    copy[chars] = 0;
    NTSTATUS status = SddlBuildDescriptor(copy, defaulted, descriptor);
    ExFreePoolWithTag(copy, kSddlStringTag);
    return status;
}

VCB_PAGED NTSTATUS SddlBuildDescriptor(PCWSTR text, BOOLEAN defaulted, PSECURITY_DESCRIPTOR* descriptor)
{
    PAGED_CODE();
    *descriptor = nullptr;
    SECURITY_DESCRIPTOR_CONTROL controlBits;
    PACL acl;
    NTSTATUS status = SddlParseDacl(text, defaulted, &controlBits, &acl);
    if (!NT_SUCCESS(status)) return status;

    PVOID selfRelative = nullptr;
    SECURITY_DESCRIPTOR absolute;
    ULONG length = 0;
    status = RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    if (!NT_SUCCESS(status)) goto free_acl;
    status = RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE);
    if (!NT_SUCCESS(status)) goto free_acl;
    absolute.Control |= controlBits;

    status = RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        if (NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;  // a descriptor needs room
        goto free_acl;
    }
    selfRelative = ExAllocatePoolWithTag(PagedPool, length, kSddlDescriptorTag);
    if (selfRelative == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto free_acl;
    }
    status = RtlAbsoluteToSelfRelativeSD(&absolute, selfRelative, &length);
    if (!NT_SUCCESS(status)) goto free_descriptor;
    ExFreePoolWithTag(acl, kSddlAclTag);
    *descriptor = selfRelative;
    return STATUS_SUCCESS;

free_descriptor:
    ExFreePoolWithTag(selfRelative, kSddlDescriptorTag);
free_acl:
    ExFreePoolWithTag(acl, kSddlAclTag);
    return status;
}

VCB_PAGED NTSTATUS SddlParseDacl(PCWSTR text, BOOLEAN defaulted, PSECURITY_DESCRIPTOR_CONTROL control, PACL* acl)
{
    PAGED_CODE();
    *control = 0;
    *acl = nullptr;
    PCWSTR p = SkipSpaces(text);
    if (p[0] != L'D' || p[1] != L':') return STATUS_INVALID_PARAMETER;
    p += 2;
    SECURITY_DESCRIPTOR_CONTROL bits = defaulted ? SE_DACL_DEFAULTED : 0;
    if (*p == L'P') {
        bits |= SE_DACL_PROTECTED;
        p++;
    }
    PACL parsed;
    PCWSTR end;
    NTSTATUS status = SddlParseAceList(p, &parsed, &end);
    if (!NT_SUCCESS(status)) return status;
    // Nothing may follow the DACL: no further section, no stray text.
    if (*SkipSpaces(end) != 0) {
        ExFreePoolWithTag(parsed, kSddlAclTag);
        return STATUS_INVALID_PARAMETER;
    }
    *control = bits;
    *acl = parsed;
    return STATUS_SUCCESS;
}

VCB_PAGED NTSTATUS SddlParseAceList(PCWSTR text, PACL* acl, PCWSTR* end)
{
    PAGED_CODE();
    *acl = nullptr;
    *end = text;

    // The ACE text stops one character before the first colon (the letter of a next section),
    // or at the terminator.
    PCWSTR stop = text;
    while (*stop != 0 && *stop != L':') stop++;
    if (*stop == L':') {
        if (stop == text) return STATUS_INVALID_PARAMETER;
        stop--;
    }
    *end = stop;

    ULONG separators = 0;
    BOOLEAN otherText = FALSE;
    for (PCWSTR c = text; c < stop; c++) {
        if (*c == L';') separators++;
        else if (*c != L' ') otherText = TRUE;
    }
    if (separators % 5 != 0) return STATUS_INVALID_PARAMETER;
    ULONG aceCount = separators / 5;
    if (aceCount == 0) {
        if (otherText) return STATUS_INVALID_PARAMETER;
        *acl = AllocateAcl(sizeof(ACL));
        return *acl != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG size = aceCount * kSddlAceReserve + sizeof(ACL);
    if (size > kSddlMaxAclSize) size = kSddlMaxAclSize;
    PACL list = AllocateAcl(size);
    if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG used = sizeof(ACL);
    NTSTATUS status = STATUS_SUCCESS;
    PCWSTR p = text;

    for (ULONG index = 0; index < aceCount; index++) {
        ACCESS_MASK mask = 0;
        p = SkipSpaces(p);
        if (*p == L'(') p++;
        p = SkipSpaces(p);
        if (*p != L'A' && *p != L'a') {
            status = STATUS_INVALID_PARAMETER;
            goto fail;
        }
        // The type and the field separator after it; the separator is not examined, but the
        // terminator is never passed.
        p++;
        if (*p != 0) p++;
        p = SkipSpaces(p);
        if (*p != L';') {  // ACE flags are not supported
            status = STATUS_INVALID_PARAMETER;
            goto fail;
        }
        p = SkipSpaces(p + 1);

        for (;;) {
            p = SkipSpaces(p);
            if (*p == L';') break;
            ACCESS_MASK right;
            ULONG number;
            if (SddlLookupRight(p, &right, &p)) {
                mask |= right;
            } else if (SddlParseNumber(p, &p, &number)) {
                mask = number;
            } else {
                status = STATUS_INVALID_PARAMETER;
                goto fail;
            }
        }
        p++;

        // The object type fields must be empty.
        for (int field = 0; field < 2; field++) {
            p = SkipSpaces(p);
            if (*p != L';') {
                status = STATUS_INVALID_PARAMETER;
                goto fail;
            }
            p++;
        }

        PSID sid;
        status = SddlLookupSid(SkipSpaces(p), &sid, &p);
        if (!NT_SUCCESS(status)) goto fail;
        p = SkipSpaces(p);
        if (*p != L')') {
            status = STATUS_INVALID_ACL;
            goto fail;
        }
        p++;
        // An alias the running kernel has no SID for adds nothing.
        if (sid != nullptr) {
            status = SddlAppendAce(&list, &used, mask, aceCount - index, sid);
            if (!NT_SUCCESS(status)) goto fail;
        }
    }
    // The semicolons counted only the ACEs: anything but spaces between the last ")" and the end
    // of the ACE text is stray.
    if (SkipSpaces(p) < stop) {
        status = STATUS_INVALID_PARAMETER;
        goto fail;
    }
    list->AclSize = (USHORT)used;
    *acl = list;
    return STATUS_SUCCESS;

fail:
    ExFreePoolWithTag(list, kSddlAclTag);
    return status;
}

VCB_PAGED NTSTATUS SddlAppendAce(PACL* acl, PULONG bytesUsed, ACCESS_MASK mask, ULONG acesToAdd, PSID sid)
{
    PAGED_CODE();
    ULONG need = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + RtlLengthSid(sid);
    PACL current = *acl;
    if (*bytesUsed + need > current->AclSize) {
        // Grow once by enough for every ACE still to come, but never past what AclSize can
        // say; if that is not enough, adding the ACE fails below.
        ULONG size = *bytesUsed + need * acesToAdd;
        if (size > kSddlMaxAclSize) size = kSddlMaxAclSize;
        if (size > current->AclSize) {
            PACL grown = AllocateAcl(size);
            if (grown == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            RtlCopyMemory(grown, current, *bytesUsed);
            grown->AclSize = (USHORT)size;
            ExFreePoolWithTag(current, kSddlAclTag);
            *acl = current = grown;
        }
    }
    *bytesUsed += need;
    return RtlAddAccessAllowedAce(current, ACL_REVISION, mask, sid);
}

VCB_PAGED BOOLEAN SddlLookupRight(PCWSTR text, PACCESS_MASK mask, PCWSTR* end)
{
    PAGED_CODE();
    for (const SddlRight& entry : SddlRightsTable) {
        if (_wcsnicmp(text, entry.Token, 2) == 0) {
            *mask = entry.Mask;
            *end = text + 2;
            return TRUE;
        }
    }
    *mask = 0;
    *end = text;
    return FALSE;
}

VCB_PAGED NTSTATUS SddlLookupSid(PCWSTR text, PSID* sid, PCWSTR* end)
{
    PAGED_CODE();
    *end = text;
    *sid = nullptr;
    for (const SddlSid& entry : SddlSidTable) {
        if (_wcsnicmp(text, entry.Token, 2) != 0) continue;
        *end = text + 2;
        if (!entry.NeedsWdm120 || IoIsWdmVersionAvailable(1, 0x20)) {
            *sid = *(PSID*)((PUCHAR)SeExports + entry.ExportsOffset);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_NONE_MAPPED;
}

VCB_PAGED BOOLEAN SddlParseNumber(PCWSTR text, PCWSTR* end, PULONG value)
{
    PAGED_CODE();
    *end = text;
    *value = 0;
    PCWSTR p = text;
    ULONG base;
    if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X')) {
        base = 16;
        p += 2;
    } else {
        base = (*p >= L'0' && *p <= L'9') ? 10 : 16;
    }
    ULONG result = 0;
    PCWSTR first = p;
    for (;; p++) {
        ULONG digit;
        if (*p >= L'0' && *p <= L'9') digit = *p - L'0';
        else if (base == 16 && *p >= L'A' && *p <= L'F') digit = *p - L'A' + 10;
        else if (base == 16 && *p >= L'a' && *p <= L'f') digit = *p - L'a' + 10;
        else break;
        // Checked before the multiplication: a wrapped product can look larger than before.
        if (result > (0xFFFFFFFFu - digit) / base) return FALSE;
        result = result * base + digit;
    }
    if (p == first) return FALSE;
    *value = result;
    *end = p;
    return TRUE;
}
