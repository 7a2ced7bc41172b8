// Harness controls for the registry, security and routine lookup: what the machine looks like
// (its registry, the kernel's exports and WDM version), what drivers did to it, and faults.
#pragma once

#include <hostkernel/faults.h>
#include <hostkernel/harness.h>

#include <string>
#include <vector>

namespace hk {

// Puts the registry, the routine table, the WDM version and the call logs below back to a
// freshly booted machine: only the predefined keys, IoCreateDeviceSecure not exported.
void ResetSecurityState();

// ---- Routine lookup -----------------------------------------------------------------------
// What MmGetSystemRoutineAddress answers for `name`; nullptr makes the kernel lack it.
void SetSystemRoutine(const char* name, PVOID address);
// Makes hostkernel's own IoCreateDeviceSecure exported, or not.
void ExportIoCreateDeviceSecure(bool exported);
// Every name drivers looked up, in order.
std::vector<std::string> SystemRoutineLookups();
// What IoIsWdmVersionAvailable compares against (6.1 by default, a Windows 7 kernel).
void SetWdmVersion(UCHAR major, UCHAR minor);

// One call of hostkernel's IoCreateDeviceSecure: the arguments as received, and the outcome.
struct SecureCreateCall {
    PDRIVER_OBJECT DriverObject;
    ULONG DeviceExtensionSize;
    PUNICODE_STRING DeviceName;
    DEVICE_TYPE DeviceType;
    ULONG DeviceCharacteristics;
    BOOLEAN Exclusive;
    PCUNICODE_STRING DefaultSddl;
    std::u16string Sddl;  // its text, copied at the call
    LPCGUID DeviceClassGuid;
    PDEVICE_OBJECT* DeviceObjectOut;
    NTSTATUS Status;
    PDEVICE_OBJECT Device;
};
std::vector<SecureCreateCall> IoCreateDeviceSecureCalls();

// ---- Registry -----------------------------------------------------------------------------
// Paths are absolute ("\Registry\Machine\..."), compared without regard to case.
struct RegistryValue {
    ULONG Type;
    std::vector<UCHAR> Data;
};
size_t RegistryOperations();  // Zw key and value calls since the last reset
bool RegistryKeyExists(const std::u16string& path);
bool RegistryGetValue(const std::u16string& path, const std::u16string& name, RegistryValue* value);
std::vector<std::u16string> RegistryValueNames(const std::u16string& path);
// Creates the key (and any missing parents), as an administrator's tool would.
void RegistryCreateKey(const std::u16string& path);
void RegistrySetValue(const std::u16string& path, const std::u16string& name, ULONG type,
                      const std::vector<UCHAR>& data);
// The descriptor a key was created with (self-relative), empty for default security.
std::vector<UCHAR> RegistryKeySecurity(const std::u16string& path);
size_t OpenHandleCount();

// ---- Descriptors --------------------------------------------------------------------------
struct AceView {
    UCHAR Type;
    UCHAR Flags;
    USHORT Size;
    ACCESS_MASK Mask;
    std::string Sid;  // "S-1-5-18"
};
struct DescriptorView {
    UCHAR Revision;
    USHORT Control;
    std::string Owner;  // empty: none
    std::string Group;
    bool DaclPresent;
    bool DaclNull;  // present without an ACL: everyone gets everything
    UCHAR AclRevision;
    USHORT AclSize;
    std::vector<AceView> Dacl;
    bool SaclPresent;
};
// Reads an absolute or self-relative descriptor; false if its revision is unknown.
bool DescribeDescriptor(const void* descriptor, DescriptorView* view);
std::string SidToString(const void* sid);
// The self-relative descriptor set on a device (empty: none set; its opens are checked against
// the default IoCreateDevice gives).
std::vector<UCHAR> DeviceSecurity(PDEVICE_OBJECT device);

// One ZwSetSecurityObject call: the object behind the handle, what was set, the access the
// handle was opened with, and the result.
struct SetSecurityCall {
    PVOID Object;
    SECURITY_INFORMATION Information;
    ACCESS_MASK HandleAccess;
    NTSTATUS Status;
};
std::vector<SetSecurityCall> SetSecurityCalls();

// The access check an open makes, without opening.
NTSTATUS CheckDeviceAccess(PDEVICE_OBJECT device, User user, ACCESS_MASK desired, ACCESS_MASK* granted);

}  // namespace hk
