// Small registry helpers over the Zw routines: every key is opened as a kernel handle, case-
// insensitively, relative to a parent key (or by absolute path when the parent is null). Names are
// NUL-terminated wide strings of at most 0x7FFE characters.
#pragma once

#include "kernel.h"

constexpr ULONG kRegQueryBufferTag = MakePoolTag('P', 'p', 'R', 'b');
constexpr ULONG kRegStringCopyTag = MakePoolTag('P', 'p', 'U', 'c');
static_assert(kRegQueryBufferTag == 0x62527050 && kRegStringCopyTag == 0x63557050, "registry pool tags");

constexpr ULONG kRegMaxNameChars = 0x7FFE;
// For RegQueryFullValue: any value type is accepted.
constexpr ULONG kRegAnyType = 0xFFFFFFFF;

// A counted string over `text` (Length = characters × 2, MaximumLength = Length + 2); a null
// text gives an empty string. STATUS_NAME_TOO_LONG beyond kRegMaxNameChars characters.
NTSTATUS InitCountedString(PUNICODE_STRING string, PCWSTR text);

// *key is null on failure.
NTSTATUS RegOpenKeyByName(HANDLE parent, PCWSTR name, ACCESS_MASK access, PHANDLE key);
// *key is null and *disposition 0 on failure.
NTSTATUS RegCreateKeyByName(HANDLE parent, PCWSTR name, ACCESS_MASK access, ULONG createOptions,
                            PSECURITY_DESCRIPTOR descriptor, PHANDLE key, PULONG disposition);
// A REG_DWORD of exactly four bytes; on any failure *value is `defaultValue`. Longer data fails
// with the query's STATUS_BUFFER_OVERFLOW, another type or size with STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS RegQueryDword(HANDLE key, PCWSTR name, PULONG value, ULONG defaultValue);
// The value in full, in non-paged pool (kRegQueryBufferTag) that the caller frees; `extraBytes`
// is the room guessed for the data at first.
NTSTATUS RegQueryFullValue(HANDLE key, PCWSTR name, ULONG extraBytes, ULONG expectedType,
                           PKEY_VALUE_FULL_INFORMATION* information);
// REG_SZ: the string and its terminator (Length + 2 bytes).
NTSTATUS RegSetStringValue(HANDLE key, PCWSTR name, PCUNICODE_STRING value);
NTSTATUS RegSetBinaryValue(HANDLE key, PCWSTR name, ULONG type, PVOID data, ULONG size);
// Whether the service key at `servicePath` has under Parameters the REG_DWORD `name` = 1: a switch
// that anything else (absent, 0, another type or size, no key, no path) leaves off.
_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN RegServiceParameterOn(PCUNICODE_STRING servicePath, PCWSTR name);
