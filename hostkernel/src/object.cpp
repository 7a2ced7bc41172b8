// Object manager: reference counts on every object hostkernel hands out. An object dies when
// its last reference goes; references left at unload are reported.
#include "internal.h"

#include <unordered_map>

namespace hk {
namespace {

struct ObjectEntry {
    ObjectKind kind;
    LONG references;
    void (*destroy)(PVOID);
};

using ObjectTable = AddressTable<PVOID, ObjectEntry>;
ObjectTable& Objects()
{
    // Never destroyed: threads and leak checkers may still look at it during exit.
    static auto* objects = new ObjectTable;
    return *objects;
}

}  // namespace

const char* ObjectKindName(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::Device: return "device object";
    case ObjectKind::File: return "file object";
    case ObjectKind::Driver: return "driver object";
    case ObjectKind::Thread: return "thread object";
    default: return "object";
    }
}

void ObjectInsert(PVOID object, ObjectKind kind, void (*destroy)(PVOID))
{
    auto part = Objects().Lock(object);
    part.entries[object] = ObjectEntry{kind, 1, destroy};
}

bool ObjectKnown(PVOID object, ObjectKind* kind)
{
    auto part = Objects().Lock(object);
    auto it = part.entries.find(object);
    if (it == part.entries.end()) return false;
    if (kind) *kind = it->second.kind;
    return true;
}

LONG ObjectReferenceCount(PVOID object)
{
    auto part = Objects().Lock(object);
    auto it = part.entries.find(object);
    return it == part.entries.end() ? -1 : it->second.references;
}

void ObjectForget(PVOID object)
{
    // Kept reachable: a leak the verifier reported must not be reported again by LeakSanitizer.
    static auto* graveyard = new std::vector<PVOID>;
    static std::mutex graveyardLock;
    {
        auto part = Objects().Lock(object);
        part.entries.erase(object);
    }
    std::lock_guard guard(graveyardLock);
    graveyard->push_back(object);
}

void ObjectSetDestroy(PVOID object, void (*destroy)(PVOID))
{
    auto part = Objects().Lock(object);
    auto it = part.entries.find(object);
    if (it != part.entries.end()) it->second.destroy = destroy;
}

void ObjectForEach(const std::function<void(PVOID, ObjectKind, LONG)>& visit)
{
    std::vector<std::pair<PVOID, ObjectEntry>> snapshot;
    {
        Objects().ForEach([&](PVOID object, const ObjectEntry& entry) { snapshot.emplace_back(object, entry); });
    }
    for (auto& [object, entry] : snapshot) visit(object, entry.kind, entry.references);
}

}  // namespace hk

using namespace hk;

extern "C" {

LONG_PTR ObfReferenceObject(PVOID object)
{
    auto part = Objects().Lock(object);
    auto it = part.entries.find(object);
    if (it == part.entries.end()) {
        ReportViolation("ObReferenceObject on %p, which is not a live object", object);
        return 0;
    }
    return ++it->second.references;
}

LONG_PTR ObfDereferenceObject(PVOID object)
{
    void (*destroy)(PVOID) = nullptr;
    LONG left;
    {
        auto part = Objects().Lock(object);
        auto it = part.entries.find(object);
        if (it == part.entries.end()) {
            ReportViolation("ObDereferenceObject on %p, which is not a live object", object);
            return 0;
        }
        left = --it->second.references;
        if (left == 0) {
            destroy = it->second.destroy;
            part.entries.erase(it);
        }
    }
    if (destroy) destroy(object);
    return left;
}

}  // extern "C"
