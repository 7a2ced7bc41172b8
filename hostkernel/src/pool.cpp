// Executive pool: every allocation is tagged and accounted so that the verifier can name leaks,
// wrong-tag frees and double frees; tests can make allocations fail.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <map>

namespace hk {
namespace {

struct Allocation {
    ULONG tag;
    SIZE_T size;
    POOL_TYPE type;
};

ShortLock g_lock;
std::map<PVOID, Allocation> g_live;
int g_failCount = 0;
ULONG g_failTag = 0;
int g_failSkip = 0;

bool TakeInjectedFailure(ULONG tag)
{
    if (g_failCount > 0 && (g_failTag == 0 || g_failTag == tag)) {
        if (g_failSkip > 0) {
            g_failSkip--;
            return false;
        }
        g_failCount--;
        return true;
    }
    return false;
}

}  // namespace

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; i++) {
        char c = (char)((tag >> (8 * i)) & 0xff);
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return text;
}

size_t PoolAllocations(ULONG tag)
{
    std::lock_guard guard(g_lock);
    size_t count = 0;
    for (auto& [p, a] : g_live) count += (tag == 0 || a.tag == tag);
    return count;
}

size_t PoolBytes(ULONG tag)
{
    std::lock_guard guard(g_lock);
    size_t bytes = 0;
    for (auto& [p, a] : g_live) bytes += (tag == 0 || a.tag == tag) ? a.size : 0;
    return bytes;
}

void FailNextAllocations(int count, ULONG tag, int skip)
{
    std::lock_guard guard(g_lock);
    g_failCount = count;
    g_failTag = tag;
    g_failSkip = skip;
}

void ResetFaultInjection()
{
    {
        std::lock_guard guard(g_lock);
        g_failCount = 0;
        g_failTag = 0;
        g_failSkip = 0;
    }
    ResetThreadFaultInjection();
    ResetRoutineFaultInjection();
    ResetFileFaultInjection();
}

void PoolCleanCheck()
{
    std::map<PVOID, Allocation> leaked;
    {
        std::lock_guard guard(g_lock);
        leaked.swap(g_live);
    }
    for (auto& [p, a] : leaked) {
        ReportViolation("pool leaked at unload: tag '%s', %zu bytes at %p", TagText(a.tag).c_str(), (size_t)a.size, p);
        free(p);
    }
}

}  // namespace hk

using namespace hk;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    KIRQL irql = KeGetCurrentIrql();
    bool paged = (type & 1) != 0;
    if (paged ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
        ReportViolation("ExAllocatePoolWithTag(%s) at IRQL %u", paged ? "PagedPool" : "NonPagedPool", irql);
    }
    if (tag == 0) ReportViolation("pool allocation without a tag");
    if (size == 0) {
        ReportViolation("pool rule: ExAllocatePoolWithTag of zero bytes (tag '%s')", TagText(tag).c_str());
    }
    if (!paged && !(type & NonPagedPoolNx)) {
        // Data in executable memory is what an exploit looks for; drivers ask for NonPagedPoolNx.
        ReportViolation("pool rule: ExAllocatePoolWithTag of executable non-paged pool (type %d, tag '%s', "
                        "%zu bytes); data belongs in NonPagedPoolNx",
                        (int)type, TagText(tag).c_str(), (size_t)size);
    }
    std::lock_guard guard(g_lock);
    if (TakeInjectedFailure(tag)) return nullptr;
    // Fresh pool is not zeroed: fill it so that code relying on zeroes shows up.
    // Exactly `size` bytes, so that ASan catches an access just past the end of a block.
    PVOID p = nullptr;
    if (posix_memalign(&p, 16, size == 0 ? 1 : size) != 0) return nullptr;
    memset(p, kStalePoolByte, size);
    g_live[p] = Allocation{tag, size, type};
    return p;
}

PVOID ExAllocatePool(POOL_TYPE type, SIZE_T size) { return ExAllocatePoolWithTag(type, size, Tag("None")); }

static void FreePool(PVOID p, ULONG tag, bool checkTag)
{
    if (p == nullptr) {
        ReportViolation("ExFreePool of a null pointer");
        return;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("ExFreePool at IRQL %u", KeGetCurrentIrql());
    Allocation allocation;
    {
        std::lock_guard guard(g_lock);
        auto it = g_live.find(p);
        if (it == g_live.end()) {
            ReportViolation("pool block %p freed twice or never allocated (tag '%s')", p, TagText(tag).c_str());
            return;
        }
        allocation = it->second;
        g_live.erase(it);
    }
    if ((allocation.type & 1) && KeGetCurrentIrql() > APC_LEVEL) {
        ReportViolation("pool rule: paged pool block %p (tag '%s') freed at IRQL %u, above APC_LEVEL", p,
                        TagText(allocation.tag).c_str(), KeGetCurrentIrql());
    }
    if (checkTag && allocation.tag != tag) {
        ReportViolation("pool block %p freed with tag '%s' but allocated with tag '%s'", p,
                        TagText(tag).c_str(), TagText(allocation.tag).c_str());
    }
    memset(p, 0xDD, allocation.size);
    free(p);
}

void ExFreePoolWithTag(PVOID p, ULONG tag) { FreePool(p, tag, true); }
void ExFreePool(PVOID p) { FreePool(p, 0, false); }

}  // extern "C"
