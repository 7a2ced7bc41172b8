// Writes of hub ports into the real serial port, through the tap attached on top of it.
#pragma once
#include "device.h"

// Sends `length` bytes to the device beneath `tapDevice` on the real port's open handle and
// waits for the real port to complete them: at most a bounded time, and no longer than `request`
// (the hub port's write, if any) stays uncancelled. The real port's status, else STATUS_TIMEOUT
// or STATUS_CANCELLED (the write is then cancelled and finishes on its own). Its status is only
// informative: routing ignores it.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS InjectWrite(PDEVICE_OBJECT tapDevice, const UCHAR* bytes, ULONG length,
                                                    PIRP request);
