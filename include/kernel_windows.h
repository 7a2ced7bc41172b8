// The Windows image's view of the kernel: mingw-w64's DDK headers, with the few adjustments a C++
// kernel image built by GCC needs. Included only through kernel.h.
#pragma once

// Windows 7 is the oldest kernel the image targets; declarations of newer routines stay hidden
// so that a call to one cannot slip into the import table unnoticed.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x06010000
#endif

// intrin.h defines these two as inline functions and wdm.h defines them again, which C++ rejects
// as a redefinition. Marking them already defined keeps intrin.h's copy out; wdm.h's remains.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// The cancel-safe queue is linked into the image from runtime/, not imported: some kernels that
// load the image don't export it. The DDK declares these routines as kernel imports
// (dllimport), which would send every call through the import table, so the declarations are
// parked under other names while the headers are read and declared plainly below. The Ex forms
// stay parked: nothing implements them.
#define IoCsqInitialize VcbKernelExport_IoCsqInitialize
#define IoCsqInitializeEx VcbKernelExport_IoCsqInitializeEx
#define IoCsqInsertIrp VcbKernelExport_IoCsqInsertIrp
#define IoCsqInsertIrpEx VcbKernelExport_IoCsqInsertIrpEx
#define IoCsqRemoveIrp VcbKernelExport_IoCsqRemoveIrp
#define IoCsqRemoveNextIrp VcbKernelExport_IoCsqRemoveNextIrp

#include <ntddk.h>
#include <wdmsec.h>
#include <ntddser.h>
// The line states of IOCTL_SERIAL_GET_DTRRTS and IOCTL_SERIAL_GET_MODEMSTATUS, which mingw-w64's
// ntddser.h leaves out.
#ifndef SERIAL_DTR_STATE
#define SERIAL_DTR_STATE 0x00000001
#define SERIAL_RTS_STATE 0x00000002
#define SERIAL_CTS_STATE 0x00000010
#define SERIAL_DSR_STATE 0x00000020
#define SERIAL_RI_STATE 0x00000040
#define SERIAL_DCD_STATE 0x00000080
#endif
#include <csq.h>

#undef IoCsqInitialize
#undef IoCsqInsertIrp
#undef IoCsqRemoveIrp
#undef IoCsqRemoveNextIrp

extern "C" {
NTSTATUS NTAPI IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp,
    PIO_CSQ_REMOVE_IRP CsqRemoveIrp, PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp,
    PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock, PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
    PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp);
VOID NTAPI IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context);
PIRP NTAPI IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context);
PIRP NTAPI IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext);
}

// wdmsec.h redirects IoCreateDeviceSecure to the static wdmsec library, which the image doesn't
// link. Secure creation finds the kernel's routine at run time (MmGetSystemRoutineAddress) or
// takes the driver's own path, so the name is left undeclared: a direct call fails to build.
#undef IoCreateDeviceSecure

// GCC has no #pragma alloc_text: routines are placed by attribute, and the post-link fix-up
// gives the PAGE section pageable and the INIT section discardable characteristics.
// GCC ignores sections when it inlines: a resident routine inlined into a pageable caller runs
// from PAGE, and if it holds a spin lock, it runs at DISPATCH_LEVEL from memory that may be paged
// out. So pageable routines are built with their own inlining options and every driver routine
// carries an optimize attribute (the pragma at the end of this header): GCC never inlines a
// routine with that attribute into a caller whose options differ, in its early or its
// interprocedural inliner, whether the routine is declared inline or not. What still comes into
// PAGE is always_inline helpers of the DDK and the accessors below; the image check refuses any
// spin-lock or IRQL call left inside PAGE.
#define VCB_PAGED __attribute__((section("PAGE"), optimize("no-inline")))
#define VCB_INIT __attribute__((section("INIT")))

// The no-fence accessors of newer DDKs, which mingw-w64's headers lack: single aligned loads and
// stores for fields that threads share by design without a lock (flags, current-request
// pointers). Relaxed atomics compile to plain moves on x64.
inline LONG ReadNoFence(const volatile LONG* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline VOID WriteNoFence(volatile LONG* Destination, LONG Value) { __atomic_store_n(Destination, Value, __ATOMIC_RELAXED); }
inline ULONG ReadULongNoFence(const volatile ULONG* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline VOID WriteULongNoFence(volatile ULONG* Destination, ULONG Value) { __atomic_store_n(Destination, Value, __ATOMIC_RELAXED); }
inline UCHAR ReadUCharNoFence(const volatile UCHAR* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline VOID WriteUCharNoFence(volatile UCHAR* Destination, UCHAR Value) { __atomic_store_n(Destination, Value, __ATOMIC_RELAXED); }
inline BOOLEAN ReadBooleanNoFence(const volatile BOOLEAN* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline VOID WriteBooleanNoFence(volatile BOOLEAN* Destination, BOOLEAN Value) { __atomic_store_n(Destination, Value, __ATOMIC_RELAXED); }
inline PVOID ReadPointerNoFence(PVOID const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
inline VOID WritePointerNoFence(PVOID volatile* Destination, PVOID Value) { __atomic_store_n(Destination, Value, __ATOMIC_RELAXED); }

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

// From here on every routine defined (the driver's own, after this header) carries an optimize
// attribute with the command line's own options, so its code is what it would be without the
// attribute, but it can't be inlined into a pageable routine (see VCB_PAGED).
#pragma GCC optimize("inline")
