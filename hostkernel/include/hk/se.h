// Security: SIDs, ACLs and ACEs, absolute and self-relative security descriptors with the
// platform's binary layouts, the Rtl routines over them, capture, the well-known SIDs of
// SeExports, and the object routines that set an object's security (security.cpp, handles.cpp).
#pragma once
#include "base.h"
#include "ex.h"
#include "ke.h"
#include "ob.h"

#define STATUS_PRIVILEGE_NOT_HELD ((NTSTATUS)0xC0000061L)
#define STATUS_ALLOTTED_SPACE_EXCEEDED ((NTSTATUS)0xC0000099L)

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[ANYSIZE_ARRAY];
};
typedef struct _SID* PISID;
static_assert(sizeof(SID) == 12, "SID layout");

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_MAX_SID_SIZE (sizeof(SID) - sizeof(ULONG) + (SID_MAX_SUB_AUTHORITIES * sizeof(ULONG)))

#define SECURITY_NULL_SID_AUTHORITY {0, 0, 0, 0, 0, 0}
#define SECURITY_WORLD_SID_AUTHORITY {0, 0, 0, 0, 0, 1}
#define SECURITY_LOCAL_SID_AUTHORITY {0, 0, 0, 0, 0, 2}
#define SECURITY_CREATOR_SID_AUTHORITY {0, 0, 0, 0, 0, 3}
#define SECURITY_NT_AUTHORITY {0, 0, 0, 0, 0, 5}
#define SECURITY_MANDATORY_LABEL_AUTHORITY {0, 0, 0, 0, 0, 16}

#define SECURITY_LOCAL_SYSTEM_RID 18
#define SECURITY_BUILTIN_DOMAIN_RID 32
#define DOMAIN_ALIAS_RID_ADMINS 544
#define DOMAIN_ALIAS_RID_USERS 545
#define DOMAIN_ALIAS_RID_GUESTS 546

struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
};
static_assert(sizeof(ACL) == 8, "ACL layout");

#define ACL_REVISION 2
#define ACL_REVISION_DS 4
#define ACL_REVISION1 1
#define ACL_REVISION2 2
#define ACL_REVISION3 3
#define ACL_REVISION4 4
#define MIN_ACL_REVISION ACL_REVISION2
#define MAX_ACL_REVISION ACL_REVISION4

typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;
} ACE_HEADER, *PACE_HEADER;

#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define SYSTEM_AUDIT_ACE_TYPE 0x2
#define SYSTEM_ALARM_ACE_TYPE 0x3
#define ACCESS_MAX_MS_V2_ACE_TYPE 0x3

#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define NO_PROPAGATE_INHERIT_ACE 0x4
#define INHERIT_ONLY_ACE 0x8
#define INHERITED_ACE 0x10
#define VALID_INHERIT_FLAGS 0x1F

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef struct _ACCESS_DENIED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;
static_assert(sizeof(ACCESS_ALLOWED_ACE) == 12, "ACE layout");

typedef USHORT SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;
#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_SACL_DEFAULTED 0x0020
#define SE_DACL_UNTRUSTED 0x0040
#define SE_SERVER_SECURITY 0x0080
#define SE_DACL_AUTO_INHERIT_REQ 0x0100
#define SE_SACL_AUTO_INHERIT_REQ 0x0200
#define SE_DACL_AUTO_INHERITED 0x0400
#define SE_SACL_AUTO_INHERITED 0x0800
#define SE_DACL_PROTECTED 0x1000
#define SE_SACL_PROTECTED 0x2000
#define SE_RM_CONTROL_VALID 0x4000
#define SE_SELF_RELATIVE 0x8000

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_REVISION1 1

typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    ULONG Owner;
    ULONG Group;
    ULONG Sacl;
    ULONG Dacl;
} SECURITY_DESCRIPTOR_RELATIVE, *PISECURITY_DESCRIPTOR_RELATIVE;
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20, "self-relative descriptor layout");

typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40, "absolute descriptor layout");
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))

#define OWNER_SECURITY_INFORMATION 0x00000001L
#define GROUP_SECURITY_INFORMATION 0x00000002L
#define DACL_SECURITY_INFORMATION 0x00000004L
#define SACL_SECURITY_INFORMATION 0x00000008L
#define LABEL_SECURITY_INFORMATION 0x00000010L
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000L
#define PROTECTED_SACL_SECURITY_INFORMATION 0x40000000L
#define UNPROTECTED_DACL_SECURITY_INFORMATION 0x20000000L
#define UNPROTECTED_SACL_SECURITY_INFORMATION 0x10000000L

typedef struct _GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

// The well-known SIDs and privileges the kernel exports, in the platform's field order.
typedef struct _SE_EXPORTS {
    LUID SeCreateTokenPrivilege;
    LUID SeAssignPrimaryTokenPrivilege;
    LUID SeLockMemoryPrivilege;
    LUID SeIncreaseQuotaPrivilege;
    LUID SeUnsolicitedInputPrivilege;
    LUID SeTcbPrivilege;
    LUID SeSecurityPrivilege;
    LUID SeTakeOwnershipPrivilege;
    LUID SeLoadDriverPrivilege;
    LUID SeCreatePagefilePrivilege;
    LUID SeIncreaseBasePriorityPrivilege;
    LUID SeSystemProfilePrivilege;
    LUID SeSystemtimePrivilege;
    LUID SeProfileSingleProcessPrivilege;
    LUID SeCreatePermanentPrivilege;
    LUID SeBackupPrivilege;
    LUID SeRestorePrivilege;
    LUID SeShutdownPrivilege;
    LUID SeDebugPrivilege;
    LUID SeAuditPrivilege;
    LUID SeSystemEnvironmentPrivilege;
    LUID SeChangeNotifyPrivilege;
    LUID SeRemoteShutdownPrivilege;
    PSID SeNullSid;
    PSID SeWorldSid;
    PSID SeLocalSid;
    PSID SeCreatorOwnerSid;
    PSID SeCreatorGroupSid;
    PSID SeNtAuthoritySid;
    PSID SeDialupSid;
    PSID SeNetworkSid;
    PSID SeBatchSid;
    PSID SeInteractiveSid;
    PSID SeLocalSystemSid;
    PSID SeAliasAdminsSid;
    PSID SeAliasUsersSid;
    PSID SeAliasGuestsSid;
    PSID SeAliasPowerUsersSid;
    PSID SeAliasAccountOpsSid;
    PSID SeAliasSystemOpsSid;
    PSID SeAliasPrintOpsSid;
    PSID SeAliasBackupOpsSid;
    PSID SeAuthenticatedUsersSid;
    PSID SeRestrictedSid;
    PSID SeAnonymousLogonSid;
    LUID SeUndockPrivilege;
    LUID SeSyncAgentPrivilege;
    LUID SeEnableDelegationPrivilege;
    PSID SeLocalServiceSid;
    PSID SeNetworkServiceSid;
    LUID SeManageVolumePrivilege;
    LUID SeImpersonatePrivilege;
    LUID SeCreateGlobalPrivilege;
    LUID SeTrustedCredManAccessPrivilege;
    LUID SeRelabelPrivilege;
    LUID SeIncreaseWorkingSetPrivilege;
    LUID SeTimeZonePrivilege;
    LUID SeCreateSymbolicLinkPrivilege;
    PSID SeIUserSid;
    PSID SeUntrustedMandatorySid;
    PSID SeLowMandatorySid;
    PSID SeMediumMandatorySid;
    PSID SeHighMandatorySid;
    PSID SeSystemMandatorySid;
    PSID SeOwnerRightsSid;
} SE_EXPORTS, *PSE_EXPORTS;

#ifdef __cplusplus
extern "C" {
#endif

extern PSE_EXPORTS SeExports;
// The object type of device objects, as the kernel exports it (the variable holds the type).
extern POBJECT_TYPE IoDeviceObjectType;

ULONG RtlLengthSid(PSID sid);
BOOLEAN RtlValidSid(PSID sid);
BOOLEAN RtlEqualSid(PSID a, PSID b);
NTSTATUS RtlCopySid(ULONG destinationLength, PSID destination, PSID source);
NTSTATUS RtlCreateAcl(PACL acl, ULONG aclLength, ULONG aclRevision);
BOOLEAN RtlValidAcl(PACL acl);
NTSTATUS RtlAddAccessAllowedAce(PACL acl, ULONG aceRevision, ACCESS_MASK accessMask, PSID sid);
NTSTATUS RtlAddAccessAllowedAceEx(PACL acl, ULONG aceRevision, ULONG aceFlags, ACCESS_MASK accessMask, PSID sid);
NTSTATUS RtlAddAccessDeniedAce(PACL acl, ULONG aceRevision, ACCESS_MASK accessMask, PSID sid);
NTSTATUS RtlGetAce(PACL acl, ULONG aceIndex, PVOID* ace);

NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, ULONG revision);
NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, BOOLEAN daclPresent,
                                      PACL dacl, BOOLEAN daclDefaulted);
NTSTATUS RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PSID owner, BOOLEAN ownerDefaulted);
NTSTATUS RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PSID group, BOOLEAN groupDefaulted);
NTSTATUS RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PBOOLEAN daclPresent,
                                      PACL* dacl, PBOOLEAN daclDefaulted);
NTSTATUS RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PBOOLEAN saclPresent,
                                      PACL* sacl, PBOOLEAN saclDefaulted);
NTSTATUS RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PSID* owner, PBOOLEAN ownerDefaulted);
NTSTATUS RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor, PSID* group, PBOOLEAN groupDefaulted);
ULONG RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor);
BOOLEAN RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptor);
BOOLEAN RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR securityDescriptorInput,
                                           ULONG securityDescriptorLength,
                                           SECURITY_INFORMATION requiredInformation);
NTSTATUS RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR absoluteSecurityDescriptor,
                                     PSECURITY_DESCRIPTOR selfRelativeSecurityDescriptor, PULONG bufferLength);
void RtlMapGenericMask(PACCESS_MASK accessMask, const GENERIC_MAPPING* genericMapping);

NTSTATUS SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR inputSecurityDescriptor, KPROCESSOR_MODE requestorMode,
                                     POOL_TYPE poolType, BOOLEAN forceCapture,
                                     PSECURITY_DESCRIPTOR* outputSecurityDescriptor);
void SeReleaseSecurityDescriptor(PSECURITY_DESCRIPTOR capturedSecurityDescriptor, KPROCESSOR_MODE requestorMode,
                                 BOOLEAN forceCapture);

NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG handleAttributes, PACCESS_STATE passedAccessState,
                               ACCESS_MASK desiredAccess, POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                               PHANDLE handle);
NTSTATUS ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION securityInformation,
                             PSECURITY_DESCRIPTOR securityDescriptor);

#ifdef __cplusplus
}
#endif
