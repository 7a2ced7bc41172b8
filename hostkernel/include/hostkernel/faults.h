// Fault injection by routine name: the next calls of a named kernel routine fail with a chosen
// status, before doing anything. Routines consult this where a failure is part of their
// documented contract. Supported so far: "ObReferenceObjectByHandle", "ObOpenObjectByPointer",
// "ZwSetSecurityObject", "SeCaptureSecurityDescriptor", "IoCreateDevice", "ZwOpenKey",
// "ZwCreateKey", "ZwQueryValueKey", "ZwSetValueKey", "ZwDeleteValueKey", "IoRegisterDeviceInterface",
// "IoSetDeviceInterfaceState", "IoAttachDeviceToDeviceStack" (which returns NULL; the status is unused),
// "IoGetDeviceObjectPointer", "MmGetSystemAddressForMdlSafe" (which returns NULL, as when no
// system address space is left to map the buffer; the status is unused).
// ResetFaultInjection clears every injection and the call counts.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <functional>

namespace hk {

void FailNextRoutineCalls(const char* routine, int count, NTSTATUS status);
// The same, after `skip` calls that still go through (one pending injection per routine).
void FailNextRoutineCall(const char* routine, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES, int count = 1,
                         int skip = 0);
// How often `routine` was called since the last reset.
size_t RoutineCalls(const char* routine);
// Called in the calling thread at the start of every call of a routine that consults fault
// injection, with the routine's name: lets a test look at the caller's state in the middle of a
// driver's operation. An empty function removes the observer.
void SetRoutineCallObserver(std::function<void(const char* routine)> observer);

// The next IoGetDeviceObjectPointer opens the device as usual and returns STATUS_SUCCESS, but
// hands back no file object (the open it made is closed again at once), no device, or neither:
// what Wine 8 does. Not the platform's behaviour; for tests of drivers that must take it as a
// failure. Cleared by ResetFaultInjection.
enum class DeviceObjectPointerGap { NoFileObject, NoDevice, Neither };
void LeaveOutOfNextDeviceObjectPointer(DeviceObjectPointerGap gap);

}  // namespace hk
