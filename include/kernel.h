// The one header that knows which build it is in: the Windows image compiles against the DDK
// headers of mingw-w64, the host build against hostkernel's. Driver code includes only this.
#pragma once

#ifdef _WIN32
#include "kernel_windows.h"
// Security descriptors, SIDs and object security (secure device creation).
#include <ntifs.h>
// Kernel exports that mingw-w64's DDK headers don't declare, with the platform's signatures.
// IoDeviceObjectType is a variable of the kernel: imported, it reads as the device object type.
extern "C" {
NTKERNELAPI NTSTATUS NTAPI SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR InputSecurityDescriptor,
    KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType, BOOLEAN ForceCapture,
    PSECURITY_DESCRIPTOR* OutputSecurityDescriptor);
NTKERNELAPI VOID NTAPI SeReleaseSecurityDescriptor(PSECURITY_DESCRIPTOR CapturedSecurityDescriptor,
    KPROCESSOR_MODE RequestorMode, BOOLEAN ForceCapture);
extern NTKERNELAPI POBJECT_TYPE IoDeviceObjectType;
NTSYSAPI int __cdecl _snwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, ...);
}
// The newer DDK's no-fence accessors, which mingw-w64's headers lack: single loads and stores
// that other processors may see late, for values the driver lets race by design.
inline BOOLEAN ReadBooleanNoFence(const volatile BOOLEAN* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline void WriteBooleanNoFence(volatile BOOLEAN* p, BOOLEAN v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline ULONG ReadULongNoFence(const volatile ULONG* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline void WriteULongNoFence(volatile ULONG* p, ULONG v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline PVOID ReadPointerNoFence(PVOID const volatile* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline void WritePointerNoFence(PVOID volatile* p, PVOID v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
#else
#include <ntddk.h>
#include <wdmsec.h>
#include <ntddser.h>
#include <csq.h>
#define VCB_PAGED
#define VCB_INIT
#endif

#ifndef _IRQL_requires_max_
#define _IRQL_requires_max_(irql)
#endif
#ifndef _IRQL_requires_
#define _IRQL_requires_(irql)
#endif
#ifndef _Function_class_
#define _Function_class_(name)
#endif
#ifndef _Use_decl_annotations_
#define _Use_decl_annotations_
#endif

// Pool tags as their four bytes in memory order ("Lmux" is stored as 'L','m','u','x').
constexpr ULONG MakePoolTag(char a, char b, char c, char d)
{
    return (ULONG)(UCHAR)a | ((ULONG)(UCHAR)b << 8) | ((ULONG)(UCHAR)c << 16) | ((ULONG)(UCHAR)d << 24);
}
