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

#ifdef __cplusplus
extern "C" {
#endif
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag);
PVOID ExAllocatePool(POOL_TYPE type, SIZE_T size);
void ExFreePoolWithTag(PVOID p, ULONG tag);
void ExFreePool(PVOID p);
#ifdef __cplusplus
}
#endif
