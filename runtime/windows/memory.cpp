// Memory copy, fill and compare for the image. GCC emits calls to these for structure copies and
// RtlCopyMemory/RtlZeroMemory; defining them here keeps them out of the import table, so the
// image's only dependency on the kernel is the routines it calls by name.
//
// This file is compiled with loop-idiom recognition off (cmake/windows.cmake): otherwise GCC
// turns the loops below back into calls to the very routines they implement.
#include "kernel.h"

extern "C" {

// rep movsb/stosb are the fastest general copy and fill on every x64 processor with ERMSB, and
// never slower than a byte loop on the others.
void* __cdecl memcpy(void* __restrict destination, const void* __restrict source, size_t count)
{
    void* result = destination;
    __asm__ __volatile__("rep movsb"
                         : "+D"(destination), "+S"(source), "+c"(count)
                         :
                         : "memory");
    return result;
}

void* __cdecl memmove(void* destination, const void* source, size_t count)
{
    unsigned char* to = (unsigned char*)destination;
    const unsigned char* from = (const unsigned char*)source;
    if (to <= from || to >= from + count) {
        return memcpy(destination, source, count);
    }
    // Overlapping with the destination above the source: copy from the end backwards.
    while (count != 0) {
        count--;
        to[count] = from[count];
    }
    return destination;
}

void* __cdecl memset(void* destination, int value, size_t count)
{
    void* result = destination;
    __asm__ __volatile__("rep stosb"
                         : "+D"(destination), "+c"(count)
                         : "a"(value)
                         : "memory");
    return result;
}

int __cdecl memcmp(const void* left, const void* right, size_t count)
{
    const unsigned char* a = (const unsigned char*)left;
    const unsigned char* b = (const unsigned char*)right;
    for (size_t i = 0; i < count; i++) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

}  // extern "C"
