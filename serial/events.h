// A port's event mask and its waits on it: the events the ring and the port's writes raise are
// collected in the ring's EventBits and reported, once each, to IOCTL_SERIAL_WAIT_ON_MASK.
#pragma once
#include "kernel.h"

struct PortDeviceData;

// Mask bits an application may ask for; MaskChangedMarker and everything above are the driver's.
constexpr ULONG kWaitMaskInvalidBits = 0xFFFFE000;

// Each takes a request whose buffer lengths the serial control handler has already checked, and
// completes it (or, for the wait, parks it).
//
// Replaces the mask with the first 32-bit value of the input. A wait in progress ends at its next
// try with an empty mask. STATUS_SUCCESS.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS SetWaitMask(PortDeviceData* port, PIRP irp);
// Writes the mask to the output; Information 4. STATUS_SUCCESS.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS GetWaitMask(PortDeviceData* port, PIRP irp);
// Refuses a wait with no mask or behind another queued wait (STATUS_INVALID_PARAMETER), else
// parks it in the WaitQueue: the request's final status or STATUS_PENDING.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS WaitOnMask(PortDeviceData* port, PIRP irp);

// The WaitQueue's try routine: completes the wait with the events in the mask that occurred (or
// with 0 if the mask changed meanwhile), or returns STATUS_PENDING and leaves it untouched.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS TryCompleteWait(PortDeviceData* port, PIRP irp);
