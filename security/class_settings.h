// The settings a device setup class keeps in the registry: the descriptor, device type,
// characteristics and exclusivity that override a creation, read from the class key's
// "Properties" subkey, and the driver's default descriptor recorded there.
#pragma once

#include "kernel.h"
#include "security/secure_device.h"

constexpr WCHAR kClassRootPath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";

// The fixed self-relative descriptor a Properties key is created with: a protected DACL with
// one inheritable ACE giving LocalSystem all access.
struct PropertiesKeySecurityLayout {
    SECURITY_DESCRIPTOR_RELATIVE Header;
    ACL Dacl;
    ACE_HEADER AceHeader;
    ACCESS_MASK AceMask;
    UCHAR SidRevision;
    UCHAR SidSubAuthorityCount;
    UCHAR SidAuthority[6];
    ULONG SidSubAuthority;
};
static_assert(sizeof(PropertiesKeySecurityLayout) == 48, "Properties key descriptor is 48 bytes");
static_assert(offsetof(PropertiesKeySecurityLayout, Dacl) == 20 &&
                  offsetof(PropertiesKeySecurityLayout, AceHeader) == 28 &&
                  offsetof(PropertiesKeySecurityLayout, SidRevision) == 36,
              "Properties key descriptor layout");
extern const PropertiesKeySecurityLayout PropertiesKeySecurity;

// Whether PropertiesKeySecurity passed a capture: checked once per load.
enum PropertiesKeySecurityStates : ULONG {
    PropertiesKeySecurityUnchecked = 0,
    PropertiesKeySecurityValid = 1,
    PropertiesKeySecurityRefused = 2,
};
extern ULONG PropertiesKeySecurityState;

// Room guessed for the Security value's data at the first query.
constexpr ULONG kSecurityValueGuess = 256;

NTSTATUS ReadClassSettings(LPCGUID classGuid, PDRIVER_OBJECT driverObject, StackCreationSettings* settings);
NTSTATUS WriteClassSecurity(LPCGUID classGuid, const StackCreationSettings* settings);
NTSTATUS OpenClassKey(LPCGUID classGuid, ACCESS_MASK access, BOOLEAN create, PULONG disposition, PHANDLE key);
NTSTATUS ReadPropertiesSettings(HANDLE propertiesKey, StackCreationSettings* settings);
