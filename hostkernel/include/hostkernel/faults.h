// Fault injection by routine name: the next calls of a named kernel routine fail with a chosen
// status. Routines consult this where a failure is part of their documented contract.
// Supported so far: "ObReferenceObjectByHandle", "IoCreateDevice".
#pragma once

#include <ntddk.h>

namespace hk {

void FailNextRoutineCalls(const char* routine, int count, NTSTATUS status);

}  // namespace hk
