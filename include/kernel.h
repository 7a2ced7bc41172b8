// The one header that knows which build it is in: the Windows image compiles against the DDK
// headers of mingw-w64, the host build against hostkernel's. Driver code includes only this.
#pragma once

#ifdef _WIN32
#include "kernel_windows.h"
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
