// The SDDL subset the driver understands: a DACL section of access-allowed ACEs with two-letter
// rights or a number, and twelve SID aliases. The result is a self-relative descriptor in paged
// pool carrying only a DACL.
#pragma once

#include "kernel.h"

constexpr ULONG kSddlAclTag = MakePoolTag('S', 'e', 'A', 'l');
constexpr ULONG kSddlDescriptorTag = MakePoolTag('S', 'e', 'S', 'd');
constexpr ULONG kSddlStringTag = MakePoolTag('S', 'e', 'T', 's');
static_assert(kSddlAclTag == 0x6C416553 && kSddlDescriptorTag == 0x64536553 && kSddlStringTag == 0x73546553,
              "pool tags of the SDDL conversion");

// An ACL starts with room for this much per ACE; it grows only for longer SIDs.
constexpr ULONG kSddlAceReserve = 48;
constexpr ULONG kSddlMaxAclSize = 0xFFFF;  // AclSize is 16 bits wide

struct SddlRight {
    WCHAR Token[3];
    ACCESS_MASK Mask;
};

struct SddlSid {
    WCHAR Token[3];
    ULONG ExportsOffset;  // of the PSID member in SE_EXPORTS
    BOOLEAN NeedsWdm120;  // the SID exists only on kernels with WDM 1.20 or later
};

extern const SddlRight SddlRightsTable[8];
extern const SddlSid SddlSidTable[12];

// On success the caller owns *descriptor and frees it with ExFreePoolWithTag(kSddlDescriptorTag);
// on failure *descriptor is null.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SddlToSecurityDescriptor(PCUNICODE_STRING sddl, BOOLEAN defaulted, PSECURITY_DESCRIPTOR* descriptor);

// The steps, over NUL-terminated text.
NTSTATUS SddlBuildDescriptor(PCWSTR text, BOOLEAN defaulted, PSECURITY_DESCRIPTOR* descriptor);
NTSTATUS SddlParseDacl(PCWSTR text, BOOLEAN defaulted, PSECURITY_DESCRIPTOR_CONTROL control, PACL* acl);
NTSTATUS SddlParseAceList(PCWSTR text, PACL* acl, PCWSTR* end);
NTSTATUS SddlAppendAce(PACL* acl, PULONG bytesUsed, ACCESS_MASK mask, ULONG acesToAdd, PSID sid);
BOOLEAN SddlLookupRight(PCWSTR text, PACCESS_MASK mask, PCWSTR* end);
NTSTATUS SddlLookupSid(PCWSTR text, PSID* sid, PCWSTR* end);
BOOLEAN SddlParseNumber(PCWSTR text, PCWSTR* end, PULONG value);
