// The cancel-safe IRP queue, linked into the driver instead of imported: some kernels that load
// the image do not export it. Same contract as the platform's IoCsqXxx routines: the driver keeps
// the queue (six callbacks), this code keeps it cancel-safe on top of IoSetCancelRoutine and the
// cancel spin lock.
//
// Invariant: a queued request has CsqCancelRoutine set as its cancel routine, and
// Tail.Overlay.DriverContext[3] names its queue (the IO_CSQ, or the IO_CSQ_IRP_CONTEXT that was
// given at insertion; both start with their Type). Whoever clears the cancel routine owns the
// request's removal: the remove routines when they get the routine back, the cancel routine
// otherwise. Everything here is resident and callable up to DISPATCH_LEVEL.
#include "kernel.h"

namespace {

PIO_CSQ CsqOfIrp(PIRP irp, PIO_CSQ_IRP_CONTEXT* context)
{
    auto tracked = (PULONG)irp->Tail.Overlay.DriverContext[3];
    if (*tracked == IO_TYPE_CSQ_IRP_CONTEXT) {
        *context = (PIO_CSQ_IRP_CONTEXT)tracked;
        return (*context)->Csq;
    }
    *context = nullptr;
    return (PIO_CSQ)tracked;
}

// Called with the queue lock held, once the caller has taken the request's cancel routine back.
void Unlink(PIO_CSQ csq, PIRP irp)
{
    PIO_CSQ_IRP_CONTEXT context;
    CsqOfIrp(irp, &context);
    csq->CsqRemoveIrp(csq, irp);
    if (context != nullptr) {
        context->Irp = nullptr;
    }
    irp->Tail.Overlay.DriverContext[3] = nullptr;
}

// The I/O manager took the cancel routine, so no remove routine can take the request any more:
// it is ours to unlink and hand to the driver's completion callback.
_Function_class_(DRIVER_CANCEL)
VOID NTAPI CsqCancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    UNREFERENCED_PARAMETER(deviceObject);
    IoReleaseCancelSpinLock(irp->CancelIrql);

    PIO_CSQ_IRP_CONTEXT context;
    PIO_CSQ csq = CsqOfIrp(irp, &context);
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    Unlink(csq, irp);
    csq->CsqReleaseLock(csq, irql);
    csq->CsqCompleteCanceledIrp(csq, irp);
}

}  // namespace

extern "C" {

NTSTATUS NTAPI IoCsqInitialize(PIO_CSQ Csq, PIO_CSQ_INSERT_IRP CsqInsertIrp, PIO_CSQ_REMOVE_IRP CsqRemoveIrp,
                               PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock,
                               PIO_CSQ_RELEASE_LOCK CsqReleaseLock,
                               PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp)
{
    Csq->Type = IO_TYPE_CSQ;
    Csq->CsqInsertIrp = CsqInsertIrp;
    Csq->CsqRemoveIrp = CsqRemoveIrp;
    Csq->CsqPeekNextIrp = CsqPeekNextIrp;
    Csq->CsqAcquireLock = CsqAcquireLock;
    Csq->CsqReleaseLock = CsqReleaseLock;
    Csq->CsqCompleteCanceledIrp = CsqCompleteCanceledIrp;
    Csq->ReservePointer = nullptr;
    return STATUS_SUCCESS;
}

// Queues the request, marked pending. A request whose cancellation came before it was queued is
// not left in the queue: it goes straight to the driver's completion callback.
VOID NTAPI IoCsqInsertIrp(PIO_CSQ Csq, PIRP Irp, PIO_CSQ_IRP_CONTEXT Context)
{
    if (Context != nullptr) {
        Context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
        Context->Irp = Irp;
        Context->Csq = Csq;
        Irp->Tail.Overlay.DriverContext[3] = Context;
    } else {
        Irp->Tail.Overlay.DriverContext[3] = Csq;
    }

    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    // Marked before it becomes visible: once the lock is released another thread may complete it.
    IoMarkIrpPending(Irp);
    Csq->CsqInsertIrp(Csq, Irp);
    IoSetCancelRoutine(Irp, CsqCancelRoutine);
    if (ReadBooleanNoFence(&Irp->Cancel) && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        // Cancelled before the routine was in place, and nobody else has taken it since.
        Unlink(Csq, Irp);
        Csq->CsqReleaseLock(Csq, irql);
        Csq->CsqCompleteCanceledIrp(Csq, Irp);
        return;
    }
    Csq->CsqReleaseLock(Csq, irql);
}

// Takes the first queued request that matches the peek context and is not being cancelled.
PIRP NTAPI IoCsqRemoveNextIrp(PIO_CSQ Csq, PVOID PeekContext)
{
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Csq->CsqPeekNextIrp(Csq, nullptr, PeekContext);
    while (irp != nullptr) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Unlink(Csq, irp);
            break;
        }
        // Its cancel routine is running and will unlink it as soon as it gets the lock.
        irp = Csq->CsqPeekNextIrp(Csq, irp, PeekContext);
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

// Takes the request that was queued with this context, unless it is gone or being cancelled.
PIRP NTAPI IoCsqRemoveIrp(PIO_CSQ Csq, PIO_CSQ_IRP_CONTEXT Context)
{
    KIRQL irql;
    Csq->CsqAcquireLock(Csq, &irql);
    PIRP irp = Context->Irp;
    if (irp != nullptr) {
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            Unlink(Csq, irp);
        } else {
            irp = nullptr;
        }
    }
    Csq->CsqReleaseLock(Csq, irql);
    return irp;
}

}  // extern "C"
