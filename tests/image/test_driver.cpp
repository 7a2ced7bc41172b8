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

VCB_PAGED __attribute__((noinline)) static NTSTATUS TestPagedWork(PUNICODE_STRING registryPath)
{
    PAGED_CODE();
    TestCounter += registryPath->Length;
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
