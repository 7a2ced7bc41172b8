// Fault injection by routine name: the next calls of a named kernel routine fail with a chosen
// status, before doing anything. Routines consult this where a failure is part of their
// documented contract. Supported so far: "ObReferenceObjectByHandle", "ObOpenObjectByPointer",
// "ZwSetSecurityObject", "SeCaptureSecurityDescriptor", "IoCreateDevice", "ZwOpenKey",
// "ZwCreateKey", "ZwQueryValueKey", "ZwSetValueKey", "ZwDeleteValueKey", "IoRegisterDeviceInterface",
// "IoSetDeviceInterfaceState", "IoAttachDeviceToDeviceStack" (which returns NULL; the status is unused).
// ResetFaultInjection clears every injection and the call counts.
#pragma once

#include <ntddk.h>

#include <cstddef>

namespace hk {

void FailNextRoutineCalls(const char* routine, int count, NTSTATUS status);
// The same, after `skip` calls that still go through (one pending injection per routine).
void FailNextRoutineCall(const char* routine, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES, int count = 1,
                         int skip = 0);
// How often `routine` was called since the last reset.
size_t RoutineCalls(const char* routine);

}  // namespace hk
