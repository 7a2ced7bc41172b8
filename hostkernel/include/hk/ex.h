// Executive pool: tagged allocations with accounting (pool.cpp).
#pragma once
#include "base.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
} POOL_TYPE;

// Flags a caller may OR into the pool type of ExAllocatePoolWithQuotaTag.
#define POOL_QUOTA_FAIL_INSTEAD_OF_RAISE 8
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16

#ifdef __cplusplus
extern "C" {
#endif
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag);
// Charges the block to the calling thread's process (nothing for the System process) until it is
// freed. Without POOL_QUOTA_FAIL_INSTEAD_OF_RAISE a failure raises an exception, which hostkernel
// reports, since a driver without a handler would bring the machine down.
PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE type, SIZE_T size, ULONG tag);
PVOID ExAllocatePool(POOL_TYPE type, SIZE_T size);
void ExFreePoolWithTag(PVOID p, ULONG tag);
void ExFreePool(PVOID p);
#ifdef __cplusplus
}
#endif
