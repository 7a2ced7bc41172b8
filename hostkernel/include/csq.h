// The cancel-safe IRP queue's types and routines, with the DDK's names and layouts. The routines
// themselves are not the host kernel's: the driver links its own implementation (runtime/csq.cpp)
// in both builds, as the old DDK's static csq library was linked into images.
#pragma once
#include "wdm.h"

#define IO_TYPE_CSQ_IRP_CONTEXT 1
#define IO_TYPE_CSQ 2
#define IO_TYPE_CSQ_EX 3

struct _IO_CSQ;

typedef struct _IO_CSQ_IRP_CONTEXT {
    ULONG Type;
    struct _IRP* Irp;
    struct _IO_CSQ* Csq;
} IO_CSQ_IRP_CONTEXT, *PIO_CSQ_IRP_CONTEXT;

// Only the pointer typedefs: they are what every DDK header set has.
typedef VOID (*PIO_CSQ_INSERT_IRP)(struct _IO_CSQ* Csq, PIRP Irp);
typedef VOID (*PIO_CSQ_REMOVE_IRP)(struct _IO_CSQ* Csq, PIRP Irp);
typedef PIRP (*PIO_CSQ_PEEK_NEXT_IRP)(struct _IO_CSQ* Csq, PIRP Irp, PVOID PeekContext);
typedef VOID (*PIO_CSQ_ACQUIRE_LOCK)(struct _IO_CSQ* Csq, PKIRQL Irql);
typedef VOID (*PIO_CSQ_RELEASE_LOCK)(struct _IO_CSQ* Csq, KIRQL Irql);
typedef VOID (*PIO_CSQ_COMPLETE_CANCELED_IRP)(struct _IO_CSQ* Csq, PIRP Irp);

typedef struct _IO_CSQ {
    ULONG Type;
    PIO_CSQ_INSERT_IRP CsqInsertIrp;
    PIO_CSQ_REMOVE_IRP CsqRemoveIrp;
    PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp;
    PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock;
    PIO_CSQ_RELEASE_LOCK CsqReleaseLock;
    PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp;
    PVOID ReservePointer;
} IO_CSQ, *PIO_CSQ;
static_assert(sizeof(IO_CSQ) == 64, "IO_CSQ layout");
static_assert(sizeof(IO_CSQ_IRP_CONTEXT) == 24, "IO_CSQ_IRP_CONTEXT layout");

#ifdef __cplusplus
extern "C" {
#endif
NTSTATUS IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                         PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                         PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                         PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp);
VOID IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context);
PIRP IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context);
PIRP IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext);
#ifdef __cplusplus
}
#endif
