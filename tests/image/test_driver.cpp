// A small kernel image for the image check's own tests: built once clean and once per fault that
// the check must catch, each fault switched on by one definition.
#include "kernel.h"

#if defined(VCB_TEST_IMPORT_HAL)
#define VCB_TEST_FOREIGN_CALL() KeStallExecutionProcessor(1)
#elif defined(VCB_TEST_IMPORT_KERNEL32)
extern "C" __declspec(dllimport) ULONG __stdcall GetTickCount(void);
#define VCB_TEST_FOREIGN_CALL() (void)GetTickCount()
#else
#define VCB_TEST_FOREIGN_CALL() ((void)0)
#endif

#if defined(VCB_TEST_EXPORT)
extern "C" __declspec(dllexport) ULONG VcbTestExported(void)
{
    return 1;
}
#endif

#if defined(VCB_TEST_GLOBAL_CONSTRUCTOR)
// A dynamically initialised global: the compiler queues a constructor that nothing would run.
PVOID TestBlock = ExAllocatePoolWithTag(NonPagedPoolNx, 8, MakePoolTag('T', 'e', 's', 't'));
#endif

// Initialised, so that the image has a .data section; the routine below stays out of line so
// that PAGE exists.
static ULONG TestCounter = 1;

#if defined(VCB_TEST_PAGED_SPIN_LOCK) || defined(VCB_TEST_PAGED_UNDER_LOCK)
static KSPIN_LOCK TestLock;
#endif

#if defined(VCB_TEST_PAGED_SPIN_LOCK)
// The cancel spin lock's routines declared without dllimport, so that calls go through the
// linker's thunks rather than straight through the import table.
extern "C" VOID NTAPI TestAcquireCancelLock(PKIRQL irql) __asm__("IoAcquireCancelSpinLock");
extern "C" VOID NTAPI TestReleaseCancelLock(KIRQL irql) __asm__("IoReleaseCancelSpinLock");

// Pageable code that takes spin locks, and raises the IRQL itself (an inline write of CR8 on
// this target): each runs from PAGE at DISPATCH_LEVEL. Global, so that the map names it too.
VCB_PAGED __attribute__((noinline)) void TestPagedLocking()
{
    PAGED_CODE();
    KIRQL irql;
    KeAcquireSpinLock(&TestLock, &irql);
    TestCounter++;
    KeReleaseSpinLock(&TestLock, irql);
    TestAcquireCancelLock(&irql);
    TestCounter++;
    TestReleaseCancelLock(irql);
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    TestCounter++;
    KeLowerIrql(irql);
}
#define VCB_TEST_LOCKING() TestPagedLocking()
#elif defined(VCB_TEST_PAGED_UNDER_LOCK)
// Resident code that calls pageable code while it holds a spin lock, directly and through a
// resident helper, pageable code that holds the lock a resident helper returned with, and a
// pageable cancel routine.
VCB_PAGED __attribute__((noinline)) static void TestPagedStep()
{
    PAGED_CODE();
    TestCounter++;
}

__attribute__((noinline)) static KIRQL TestTakeLock()
{
    KIRQL irql;
    KeAcquireSpinLock(&TestLock, &irql);
    return irql;
}

__attribute__((noinline)) static void TestDropLock(KIRQL irql)
{
    KeReleaseSpinLock(&TestLock, irql);
}

__attribute__((noinline)) static void TestResidentStep()
{
    TestCounter++;
    TestPagedStep();
}

__attribute__((noinline)) static void TestResidentLocking()
{
    KIRQL irql;
    KeAcquireSpinLock(&TestLock, &irql);
    TestPagedStep();
    TestResidentStep();
    KeReleaseSpinLock(&TestLock, irql);
}

VCB_PAGED __attribute__((noinline)) static void TestPagedHolding()
{
    PAGED_CODE();
    KIRQL irql = TestTakeLock();
    TestCounter++;
    TestDropLock(irql);
}
// A pageable cancel routine, which the I/O manager would call at DISPATCH_LEVEL.
VCB_PAGED __attribute__((noinline)) static VOID NTAPI TestPagedCancel(PDEVICE_OBJECT, PIRP)
{
    PAGED_CODE();
    TestCounter++;
}

// Global, so that the compiler can't tell it stays empty.
PIRP TestIrp;

__attribute__((noinline)) static void TestHoldRequest()
{
    if (TestIrp != nullptr) {
        IoSetCancelRoutine(TestIrp, TestPagedCancel);
    }
}
#define VCB_TEST_LOCKING() (TestResidentLocking(), TestPagedHolding(), TestHoldRequest())
#else
#define VCB_TEST_LOCKING() ((void)0)
#endif

VCB_PAGED __attribute__((noinline)) static NTSTATUS TestPagedWork(PUNICODE_STRING registryPath)
{
    PAGED_CODE();
    TestCounter += registryPath->Length;
    VCB_TEST_LOCKING();
    return STATUS_SUCCESS;
}

extern "C" VCB_INIT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    UNREFERENCED_PARAMETER(driverObject);
    VCB_TEST_FOREIGN_CALL();
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, MakePoolTag('T', 'e', 's', 't'));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ExFreePoolWithTag(block, MakePoolTag('T', 'e', 's', 't'));
    return TestPagedWork(registryPath);
}

#if defined(VCB_TEST_LARGE_FRAME)
// A frame beyond one page makes the compiler probe the stack through ___chkstk_ms.
extern "C" __attribute__((noinline)) ULONG TestLargeFrame(ULONG index)
{
    volatile UCHAR scratch[8192];
    scratch[index % sizeof(scratch)] = 1;
    return scratch[(index * 7) % sizeof(scratch)];
}
#endif

#if defined(VCB_TEST_GLOBAL_DESTRUCTOR)
// A global with a destructor is registered with atexit, which the kernel doesn't have.
struct TestReleaser {
    ~TestReleaser() { ExFreePoolWithTag(Block, MakePoolTag('T', 'e', 's', 't')); }
    PVOID Block;
};
TestReleaser TestReleaserInstance;
#endif
