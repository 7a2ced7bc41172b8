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
#define VCB_PAGED __attribute__((section("PAGE")))
#define VCB_INIT __attribute__((section("INIT")))
