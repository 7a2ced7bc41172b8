// Writes of hub ports into the real serial port, through the tap attached on top of it.
#pragma once
#include "device.h"

// Sends `length` bytes to the device beneath `tapDevice` on the real port's open handle and
// waits for the real port to complete them. Its status is only informative: routing ignores it.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS InjectWrite(PDEVICE_OBJECT tapDevice, const UCHAR* bytes, ULONG length);
