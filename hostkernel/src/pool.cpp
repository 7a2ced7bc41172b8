// Executive pool: every allocation is tagged and accounted so that the verifier can name leaks,
// wrong-tag frees and double frees; tests can make allocations fail.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace hk {

// A process's non-paged pool quota: its limit and what its live quota blocks hold. A block keeps
// the account it was charged to, as the platform's block keeps its process referenced.
struct QuotaAccount {
    explicit QuotaAccount(SIZE_T limit) : limit(limit) {}
    const SIZE_T limit;
    SIZE_T charged = 0;  // under g_lock
};

namespace {

struct Allocation {
    ULONG tag;
    SIZE_T size;
    POOL_TYPE type;
    std::shared_ptr<QuotaAccount> charged;
};

std::shared_ptr<QuotaAccount>& DefaultApplicationProcess()
{
    static auto account = std::make_shared<QuotaAccount>(~(SIZE_T)0);
    return account;
}
thread_local std::shared_ptr<QuotaAccount> t_process;
thread_local bool t_systemProcess = false;

// The account the calling thread's process is charged to; null for the System process.
std::shared_ptr<QuotaAccount> CurrentProcessAccount()
{
    if (t_process) return t_process;
    if (t_systemProcess || PsIsSystemThread(PsGetCurrentThread())) return nullptr;
    return DefaultApplicationProcess();
}

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

void RunInSystemProcess() { t_systemProcess = true; }

Process::Process(SIZE_T nonPagedQuota) : account_(std::make_shared<QuotaAccount>(nonPagedQuota)) {}

SIZE_T Process::NonPagedCharged() const
{
    std::lock_guard guard(g_lock);
    return account_->charged;
}

ProcessScope::ProcessScope(const Process& process) : previous_(t_process) { t_process = process.account_; }
ProcessScope::~ProcessScope() { t_process = previous_; }

SIZE_T DefaultProcessNonPagedCharged()
{
    std::lock_guard guard(g_lock);
    return DefaultApplicationProcess()->charged;
}

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
        for (auto& [p, a] : leaked) {
            if (a.charged) a.charged->charged -= a.size;
        }
    }
    for (auto& [p, a] : leaked) {
        ReportViolation("pool leaked at unload: tag '%s', %zu bytes at %p", TagText(a.tag).c_str(), (size_t)a.size, p);
        free(p);
    }
}

}  // namespace hk

using namespace hk;

extern "C" {

static PVOID AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, bool quota, bool* quotaExceeded);

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    if (type & (POOL_QUOTA_FAIL_INSTEAD_OF_RAISE | POOL_RAISE_IF_ALLOCATION_FAILURE)) {
        ReportViolation("ExAllocatePoolWithTag with the quota flags 0x%x in its pool type (tag '%s'): they belong "
                        "to ExAllocatePoolWithQuotaTag",
                        (unsigned)type & (POOL_QUOTA_FAIL_INSTEAD_OF_RAISE | POOL_RAISE_IF_ALLOCATION_FAILURE),
                        TagText(tag).c_str());
    }
    return AllocatePool(type, size, tag, false, nullptr);
}

PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE type, SIZE_T size, ULONG tag)
{
    bool failInsteadOfRaise = (type & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE) != 0;
    auto plain = (POOL_TYPE)(type & ~(POOL_QUOTA_FAIL_INSTEAD_OF_RAISE | POOL_RAISE_IF_ALLOCATION_FAILURE));
    bool quotaExceeded = false;
    PVOID p = AllocatePool(plain, size, tag, true, &quotaExceeded);
    if (p == nullptr && !failInsteadOfRaise) {
        // The platform raises STATUS_QUOTA_EXCEEDED or STATUS_INSUFFICIENT_RESOURCES here; a driver
        // with no handler around the call takes the machine down with it.
        ReportViolation("ExAllocatePoolWithQuotaTag of %zu bytes (tag '%s') failed (%s) and raised an exception: "
                        "without POOL_QUOTA_FAIL_INSTEAD_OF_RAISE the caller must handle it",
                        (size_t)size, TagText(tag).c_str(), quotaExceeded ? "quota exceeded" : "no pool");
    }
    return p;
}

static PVOID AllocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, bool quota, bool* quotaExceeded)
{
    const char* routine = quota ? "ExAllocatePoolWithQuotaTag" : "ExAllocatePoolWithTag";
    KIRQL irql = KeGetCurrentIrql();
    bool paged = (type & 1) != 0;
    if (paged ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
        ReportViolation("%s(%s) at IRQL %u", routine, paged ? "PagedPool" : "NonPagedPool", irql);
    }
    if (tag == 0) ReportViolation("pool allocation without a tag");
    if (size == 0) {
        ReportViolation("pool rule: %s of zero bytes (tag '%s')", routine, TagText(tag).c_str());
    }
    if (!paged && !(type & NonPagedPoolNx)) {
        // Data in executable memory is what an exploit looks for; drivers ask for NonPagedPoolNx.
        ReportViolation("pool rule: %s of executable non-paged pool (type %d, tag '%s', "
                        "%zu bytes); data belongs in NonPagedPoolNx",
                        routine, (int)type, TagText(tag).c_str(), (size_t)size);
    }
    std::shared_ptr<QuotaAccount> account = quota ? CurrentProcessAccount() : nullptr;
    std::lock_guard guard(g_lock);
    if (TakeInjectedFailure(tag)) return nullptr;
    if (account && (size > account->limit || account->charged > account->limit - size)) {
        *quotaExceeded = true;
        return nullptr;
    }
    // Fresh pool is not zeroed: fill it so that code relying on zeroes shows up.
    // Exactly `size` bytes, so that ASan catches an access just past the end of a block.
    PVOID p = nullptr;
    if (posix_memalign(&p, 16, size == 0 ? 1 : size) != 0) return nullptr;
    memset(p, kStalePoolByte, size);
    if (account) account->charged += size;
    g_live[p] = Allocation{tag, size, type, std::move(account)};
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
        if (allocation.charged) allocation.charged->charged -= allocation.size;
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
