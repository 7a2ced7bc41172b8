// Runtime support shared by both builds: what the driver needs that the kernel doesn't export on
// every version it runs on.
#pragma once

#include "kernel.h"

// Bounded formatted print into a wide-character buffer with RtlStringCchPrintfW's contract:
// - sizeInChars of 0 or above 0x7FFFFFFF fails with STATUS_INVALID_PARAMETER (a null buffer or
//   format too); the buffer, when it has room, is left holding the empty string;
// - at most sizeInChars - 1 characters are written and the text is always terminated;
// - STATUS_BUFFER_OVERFLOW when the text was cut, STATUS_SUCCESS otherwise.
// Conversions follow the kernel's wide printf: %d %i %u %x %X %o %c %p %%; strings %s (wide, as
// in every wide printf of the platform), %ws %ls (wide), %S %hs (narrow, bytes widened one to
// one), %wZ (PCUNICODE_STRING), %Z (PCANSI_STRING); flags - 0 + space #; width and precision
// (also *); length modifiers h hh l (32-bit, as LONG) ll I64 I32 I. Resident and lock-free:
// callable at any IRQL.
NTSTATUS RtFormatWideV(PWCHAR buffer, SIZE_T sizeInChars, PCWSTR format, va_list args);
NTSTATUS RtFormatWide(PWCHAR buffer, SIZE_T sizeInChars, PCWSTR format, ...);

// The system time in 100 ns units. Out of line so that the read of the kernel's shared time is
// one plain 64-bit move wherever the time is needed: kernels that emulate reads of that page
// instruction by instruction (Wine's) know the plain moves, not the vector loads an optimiser
// may fold the read into.
LONGLONG RtQuerySystemTime();
// The interrupt time (100 ns since boot, updated on each clock tick), read the same way.
LONGLONG RtQueryInterruptTime();
