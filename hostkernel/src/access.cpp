// The access check on open. Devices without a security descriptor grant what is asked.
#include "internal.h"

namespace hk {

ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access)
{
    if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL) access |= FILE_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

NTSTATUS CheckOpenAccess(PDEVICE_OBJECT, User, ACCESS_MASK desired, ACCESS_MASK* granted)
{
    ACCESS_MASK mapped = MapGenericFileAccess(desired);
    if (mapped & MAXIMUM_ALLOWED) mapped = (mapped & ~MAXIMUM_ALLOWED) | FILE_ALL_ACCESS;
    *granted = mapped;
    return STATUS_SUCCESS;
}

}  // namespace hk
