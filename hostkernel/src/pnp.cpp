// Plug and Play manager: device nodes, the root bus driver below root-enumerated devices,
// enumeration of bus children, start, stop and the three ways a device goes away, device
// interfaces, and eject requests. Everything that sends Plug and Play requests runs on one worker
// thread, one action at a time, at PASSIVE_LEVEL, as the system's Plug and Play manager does.
#include "internal.h"

#include <hostkernel/security.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <thread>

namespace hk {
namespace {

struct Node {
    PDEVICE_OBJECT pdo = nullptr;
    Node* parent = nullptr;
    std::vector<Node*> children;
    DeviceNodeState state = DeviceNodeState::Enumerated;
    bool root = false;
    RootDeviceBehavior behavior;          // root devices only
    PDRIVER_OBJECT functionDriver = nullptr;
    bool hasDriver = false;               // a function driver (or the null driver, or raw) was found
    bool holdsReference = false;          // the reference the bus handed over in its relations
    bool vanished = false;                // reported missing or pulled: removal pending
    std::u16string instancePath;
    DeviceNodeInfo info;
    std::vector<RootDeviceRequest> rootLog;
};

struct Interface {
    std::u16string link;
    GUID guid;
    PDEVICE_OBJECT pdo;
    bool enabled = false;
};

// Guards the node tree, interfaces, matches and logs. Never held while a driver runs: drivers
// call back into the manager (interfaces, invalidation) from this and other threads.
std::recursive_mutex g_lock;
std::map<PDEVICE_OBJECT, Node*>& Nodes()
{
    static auto* nodes = new std::map<PDEVICE_OBJECT, Node*>;
    return *nodes;
}
std::vector<Interface> g_interfaces;
std::vector<std::pair<std::u16string, PDRIVER_OBJECT>> g_matches;
std::vector<ManagerRequest> g_log;
std::vector<InterfaceStateCall> g_interfaceCalls;
int g_rootCounter = 0;

Node* FindNode(PDEVICE_OBJECT pdo)
{
    std::lock_guard guard(g_lock);
    auto it = Nodes().find(pdo);
    return it == Nodes().end() ? nullptr : it->second;
}

// ---- The worker thread ------------------------------------------------------------------------

struct Worker {
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::function<void()>> queue;
    bool busy = false;
    std::thread::id id;
};

void WorkerLoop(Worker* worker)
{
    RunInSystemProcess();  // the Plug and Play manager's thread is a system worker
    std::unique_lock guard(worker->lock);
    for (;;) {
        worker->wake.wait(guard, [&] { return !worker->queue.empty(); });
        auto action = std::move(worker->queue.front());
        worker->queue.pop_front();
        worker->busy = true;
        guard.unlock();
        action();
        guard.lock();
        worker->busy = false;
        if (worker->queue.empty()) worker->idle.notify_all();
    }
}

Worker& TheWorker()
{
    // Lives for the process: the thread never ends, so the object is never destroyed.
    static Worker* worker = [] {
        auto w = new Worker;
        std::thread thread(WorkerLoop, w);
        w->id = thread.get_id();
        thread.detach();
        return w;
    }();
    return *worker;
}

void Post(std::function<void()> action)
{
    Worker& worker = TheWorker();
    std::lock_guard guard(worker.lock);
    worker.queue.push_back(std::move(action));
    worker.wake.notify_one();
}

template <typename Result>
Result RunOnWorker(std::function<Result()> action)
{
    if (std::this_thread::get_id() == TheWorker().id) return action();
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(action));
    std::future<Result> result = task->get_future();
    Post([task] { (*task)(); });
    return result.get();
}

// ---- Requests ---------------------------------------------------------------------------------

void Log(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, ULONG detail, NTSTATUS status)
{
    std::lock_guard guard(g_lock);
    g_log.push_back({pdo, major, minor, detail, status});
}

// Sends one Plug and Play request to the top of `pdo`'s stack and waits for it, as the manager's
// synchronous call does: status STATUS_NOT_SUPPORTED and no Information to begin with.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG detail,
                 const std::function<void(PIO_STACK_LOCATION)>& prepare = nullptr,
                 ULONG_PTR* information = nullptr, ULONG_PTR initialInformation = 0)
{
    DirectResult result = SendDirect(pdo, IRP_MJ_PNP, minor, prepare, initialInformation, STATUS_NOT_SUPPORTED);
    NTSTATUS status = result.Status;
    if (information) *information = result.Information;
    Log(pdo, IRP_MJ_PNP, minor, detail, status);
    return status;
}

// A string answer, bounded like the multi-strings below.
std::u16string ReadString(const WCHAR* text, const char* what = "text")
{
    std::u16string out;
    const size_t limit = 64 * 1024;
    while (out.size() < limit && text[out.size()]) out += (char16_t)text[out.size()];
    if (out.size() >= limit) ReportViolation("%s answer is not a terminated string", what);
    return out;
}

// A multi-string answer: strings up to the empty one. Bounded so that an unterminated answer is
// reported instead of read past.
std::vector<std::u16string> ReadMultiString(const WCHAR* text, const char* what)
{
    std::vector<std::u16string> out;
    size_t i = 0;
    const size_t limit = 64 * 1024;
    while (i < limit) {
        std::u16string s;
        while (i < limit && text[i]) s += (char16_t)text[i++];
        if (i >= limit) break;
        i++;
        if (s.empty()) return out;
        out.push_back(s);
    }
    ReportViolation("%s answer is not a terminated multi-string", what);
    return out;
}

// The manager frees every answer a driver hands it.
void FreeAnswer(ULONG_PTR information)
{
    if (information) ExFreePool((PVOID)information);
}

// ---- Identifiers ------------------------------------------------------------------------------
// What the system accepts from a bus for its children; anything else stops the machine with bug
// check 0xCA (PNP_DETECTED_FATAL_ERROR). The limits are the platform's: MAX_DEVICE_ID_LEN is 200
// characters, a container identifier is a braced GUID (MAX_GUID_STRING_LEN, 39 with the
// terminator), and the device instance path the manager builds from the device and instance
// identifiers must stay below MAX_DEVICE_ID_LEN as well: one separator when the instance
// identifier is unique system-wide, room for the parent's prefix (28) when it is only unique on
// its bus.
constexpr size_t kMaxDeviceIdLen = 200;
constexpr size_t kParentPrefixRoom = 28;
constexpr size_t kGuidStringChars = 38;

const char* IdTypeName(BUS_QUERY_ID_TYPE type)
{
    switch (type) {
    case BusQueryDeviceID: return "BusQueryDeviceID";
    case BusQueryHardwareIDs: return "BusQueryHardwareIDs";
    case BusQueryCompatibleIDs: return "BusQueryCompatibleIDs";
    case BusQueryInstanceID: return "BusQueryInstanceID";
    case BusQueryDeviceSerialNumber: return "BusQueryDeviceSerialNumber";
    case BusQueryContainerID: return "BusQueryContainerID";
    default: return "BusQuery?";
    }
}

// Printable form of an identifier for a report: anything outside 0x21-0x7E as \xNN.
std::string Printable(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) {
        if (c > 0x20 && c < 0x7F) {
            out += (char)c;
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", (unsigned)c);
            out += escaped;
        }
    }
    return out;
}

bool IsGuidText(const std::u16string& text)
{
    if (text.size() != kGuidStringChars || text.front() != u'{' || text.back() != u'}') return false;
    for (size_t i = 1; i + 1 < text.size(); i++) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        char16_t c = text[i];
        bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (dash ? c != u'-' : !hex) return false;
    }
    return true;
}

void ValidateId(Node* node, BUS_QUERY_ID_TYPE type, const std::u16string& id)
{
    const char* request = IdTypeName(type);
    for (size_t i = 0; i < id.size(); i++) {
        char16_t c = id[i];
        if (c <= 0x20 || c > 0x7F || c == u',') {
            ReportViolation("IRP_MN_QUERY_ID (%s) of device %p answered \"%s\" with character 0x%02x at %zu: a Plug "
                            "and Play identifier holds only characters 0x21-0x7F other than ',' (bug check 0xCA)",
                            request, (void*)node->pdo, Printable(id).c_str(), (unsigned)c, i);
            break;
        }
    }
    if (id.size() >= kMaxDeviceIdLen) {
        ReportViolation("IRP_MN_QUERY_ID (%s) of device %p answered an identifier of %zu characters: each must be "
                        "shorter than MAX_DEVICE_ID_LEN (%zu)",
                        request, (void*)node->pdo, id.size(), kMaxDeviceIdLen);
    }
    if (type == BusQueryInstanceID && id.find(u'\\') != std::u16string::npos) {
        ReportViolation("IRP_MN_QUERY_ID (%s) of device %p answered \"%s\": an instance identifier holds no '\\'",
                        request, (void*)node->pdo, Printable(id).c_str());
    }
    if (type == BusQueryContainerID && !IsGuidText(id)) {
        ReportViolation("IRP_MN_QUERY_ID (%s) of device %p answered \"%s\": a container identifier is a braced GUID",
                        request, (void*)node->pdo, Printable(id).c_str());
    }
}

NTSTATUS QueryId(Node* node, BUS_QUERY_ID_TYPE type)
{
    ULONG_PTR answer = 0;
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_QUERY_ID, type,
                              [&](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; }, &answer);
    if (NT_SUCCESS(status) && answer) {
        auto text = (const WCHAR*)answer;
        std::vector<std::u16string> ids;
        if (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs) {
            ids = ReadMultiString(text, IdTypeName(type));
        } else {
            ids = {ReadString(text, IdTypeName(type))};
        }
        for (const auto& id : ids) ValidateId(node, type, id);
        std::lock_guard guard(g_lock);
        switch (type) {
        case BusQueryDeviceID: node->info.DeviceId = ids[0]; break;
        case BusQueryInstanceID: node->info.InstanceId = ids[0]; break;
        case BusQueryHardwareIDs: node->info.HardwareIds = ids; break;
        case BusQueryCompatibleIDs: node->info.CompatibleIds = ids; break;
        default: break;
        }
    }
    if (NT_SUCCESS(status)) FreeAnswer(answer);
    return status;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b);

// The device instance path the manager makes of a child's identifiers must fit, and must name one
// device: two children of a bus with the same device and instance identifiers (or, with UniqueID,
// any two devices with the same path) are the duplicate PDO of bug check 0xCA. False for a
// duplicate, which is not set up.
bool CheckInstancePath(Node* node)
{
    std::lock_guard guard(g_lock);
    const DeviceNodeInfo& info = node->info;
    bool unique = info.HasCapabilities && info.Capabilities.UniqueID;
    size_t limit = unique ? kMaxDeviceIdLen - 1 : kMaxDeviceIdLen - kParentPrefixRoom;
    size_t length = info.DeviceId.size() + info.InstanceId.size();
    if (length >= limit) {
        ReportViolation("device %p: its device identifier and instance identifier together are %zu characters; with "
                        "UniqueID %s they must be shorter than %zu (MAX_DEVICE_ID_LEN - %zu)",
                        (void*)node->pdo, length, unique ? "set" : "clear", limit, kMaxDeviceIdLen - limit);
    }
    for (auto& [pdo, other] : Nodes()) {
        if (other == node || other->root || other->vanished) continue;
        if (!unique && other->parent != node->parent) continue;
        if (EqualNoCase(other->info.DeviceId, info.DeviceId) && EqualNoCase(other->info.InstanceId, info.InstanceId)) {
            ReportViolation("duplicate PDO: bus %p reported device %p with device identifier \"%s\" and instance "
                            "identifier \"%s\", which device %p already has (bug check 0xCA)",
                            node->parent ? (void*)node->parent->pdo : nullptr, (void*)node->pdo,
                            Printable(info.DeviceId).c_str(), Printable(info.InstanceId).c_str(), (void*)pdo);
            return false;
        }
    }
    return true;
}

NTSTATUS QueryCapabilities(Node* node)
{
    // The manager's own initialisation, which drivers below may rely on.
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_QUERY_CAPABILITIES, 0, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    if (NT_SUCCESS(status)) {
        std::lock_guard guard(g_lock);
        node->info.HasCapabilities = true;
        node->info.Capabilities = caps;
    }
    return status;
}

void QueryText(Node* node, DEVICE_TEXT_TYPE type)
{
    ULONG_PTR answer = 0;
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_QUERY_DEVICE_TEXT, type,
                              [&](PIO_STACK_LOCATION sp) {
                                  sp->Parameters.QueryDeviceText.DeviceTextType = type;
                                  sp->Parameters.QueryDeviceText.LocaleId = 0x409;
                              },
                              &answer);
    if (NT_SUCCESS(status) && answer) {
        std::lock_guard guard(g_lock);
        (type == DeviceTextDescription ? node->info.Description : node->info.Location) =
            ReadString((const WCHAR*)answer);
    }
    if (NT_SUCCESS(status)) FreeAnswer(answer);
}

void QueryBusInformation(Node* node)
{
    ULONG_PTR answer = 0;
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_QUERY_BUS_INFORMATION, 0, nullptr, &answer);
    if (NT_SUCCESS(status) && answer) {
        std::lock_guard guard(g_lock);
        node->info.HasBusInformation = true;
        node->info.BusInformation = *(const PNP_BUS_INFORMATION*)answer;
    }
    if (NT_SUCCESS(status)) FreeAnswer(answer);
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (RtlUpcaseUnicodeChar((WCHAR)a[i]) != RtlUpcaseUnicodeChar((WCHAR)b[i])) return false;
    }
    return true;
}

// Finds the driver for a child the way setup does: hardware identifiers first, then compatible.
bool MatchDriver(Node* node)
{
    std::lock_guard guard(g_lock);
    for (const auto* ids : {&node->info.HardwareIds, &node->info.CompatibleIds}) {
        for (const auto& id : *ids) {
            for (const auto& [matchId, driver] : g_matches) {
                if (EqualNoCase(id, matchId)) {
                    node->functionDriver = driver;
                    node->hasDriver = true;
                    return true;
                }
            }
        }
    }
    if (node->info.HasCapabilities && node->info.Capabilities.RawDeviceOK) {
        node->functionDriver = nullptr;
        node->hasDriver = true;
        return true;
    }
    return false;
}

// The security the Plug and Play manager gives a freshly built stack: the device's own setting,
// else its setup class's, else nothing changes. A setting that is not a valid self-relative
// descriptor is ignored, as the system ignores an unreadable property.
void ApplyStackSecurity(Node* node)
{
    if (!node->root) return;
    std::vector<UCHAR> descriptor;
    if (!node->behavior.Security.empty()) {
        if (!NT_SUCCESS(SddlToSelfRelative(node->behavior.Security, &descriptor))) descriptor.clear();
    }
    if (descriptor.empty() && !node->behavior.ClassGuid.empty()) {
        RegistryValue value;
        std::u16string key =
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + node->behavior.ClassGuid +
            u"\\Properties";
        if (RegistryGetValue(key, u"Security", &value) && value.Type == REG_BINARY && !value.Data.empty() &&
            RtlValidRelativeSecurityDescriptor(value.Data.data(), (ULONG)value.Data.size(), 0)) {
            descriptor = value.Data;
        }
    }
    if (descriptor.empty()) return;
    for (PDEVICE_OBJECT device = node->pdo; device != nullptr; device = device->AttachedDevice) {
        SetDeviceSecurity(device, descriptor);
    }
}

// The node whose function driver's AddDevice runs on this thread: the device it attaches to the
// node's physical device object is the function device; anything else attached is a filter.
thread_local Node* t_addDeviceNode = nullptr;

NTSTATUS CallAddDevice(Node* node)
{
    PDRIVER_OBJECT driver = node->functionDriver;
    if (driver == nullptr) return STATUS_SUCCESS;
    if (driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr) {
        ReportViolation("driver %p has no AddDevice routine", (void*)driver);
        return STATUS_UNSUCCESSFUL;
    }
    t_addDeviceNode = node;
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, node->pdo);
    t_addDeviceNode = nullptr;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("AddDevice returned at IRQL %u", KeGetCurrentIrql());
    if (NT_SUCCESS(status)) {
        PDEVICE_OBJECT top = IoGetAttachedDevice(node->pdo);
        if (top->Flags & DO_DEVICE_INITIALIZING) {
            ReportViolation("AddDevice left DO_DEVICE_INITIALIZING set on device %p", (void*)top);
        }
        ApplyStackSecurity(node);
    }
    return status;
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo)
{
    std::lock_guard guard(g_lock);
    for (auto& i : g_interfaces) {
        if (i.pdo == pdo) i.enabled = false;
    }
}

// Drops a node that is gone: its interfaces, its place under its parent, the reference the bus
// handed over for it.
void DeleteNode(Node* node)
{
    bool dereference;
    {
        std::lock_guard guard(g_lock);
        g_interfaces.erase(std::remove_if(g_interfaces.begin(), g_interfaces.end(),
                                          [&](const Interface& i) { return i.pdo == node->pdo; }),
                           g_interfaces.end());
        if (node->parent) {
            auto& siblings = node->parent->children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
        }
        for (Node* child : node->children) child->parent = nullptr;
        Nodes().erase(node->pdo);
        dereference = node->holdsReference;
    }
    if (dereference) ObDereferenceObject(node->pdo);
    if (node->root) IoDeleteDevice(node->pdo);  // the root bus driver's own device
    delete node;
}

void PostOrder(Node* node, std::vector<Node*>& out)
{
    std::vector<Node*> children;
    {
        std::lock_guard guard(g_lock);
        children = node->children;
    }
    for (Node* child : children) PostOrder(child, out);
    out.push_back(node);
}

void SetState(Node* node, DeviceNodeState state)
{
    std::lock_guard guard(g_lock);
    node->state = state;
}

DeviceNodeState StateOf(Node* node)
{
    std::lock_guard guard(g_lock);
    return node->state;
}

bool HasLiveStack(DeviceNodeState state)
{
    return state == DeviceNodeState::Started || state == DeviceNodeState::Stopped ||
           state == DeviceNodeState::Enumerated;
}

LONG OpenHandles(PDEVICE_OBJECT pdo)
{
    LONG count = 0;
    for (PDEVICE_OBJECT d = pdo; d; d = (PDEVICE_OBJECT)__atomic_load_n(&d->AttachedDevice, __ATOMIC_ACQUIRE)) {
        count += __atomic_load_n(&d->ReferenceCount, __ATOMIC_ACQUIRE);
    }
    return count;
}

void EnumerateNode(Node* node);

NTSTATUS StartNode(Node* node)
{
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_START_DEVICE, 0, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.StartDevice.AllocatedResources = nullptr;
        sp->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    if (!NT_SUCCESS(status)) {
        // A stack that failed its start is torn down at once.
        SendPnp(node->pdo, IRP_MN_REMOVE_DEVICE, 0);
        DisableInterfacesOf(node->pdo);
        SetState(node, DeviceNodeState::StartFailed);
        return status;
    }
    SetState(node, DeviceNodeState::Started);
    SendPnp(node->pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, 0);
    EnumerateNode(node);
    return status;
}

// Everything the manager learns about a newly reported child, then its driver and its start.
void SetUpChild(Node* node)
{
    NTSTATUS deviceId = QueryId(node, BusQueryDeviceID);
    NTSTATUS instanceId = QueryId(node, BusQueryInstanceID);
    QueryCapabilities(node);
    if (NT_SUCCESS(deviceId) && NT_SUCCESS(instanceId) && !CheckInstancePath(node)) return;
    QueryText(node, DeviceTextDescription);
    QueryText(node, DeviceTextLocationInformation);
    QueryId(node, BusQueryHardwareIDs);
    QueryId(node, BusQueryCompatibleIDs);
    QueryId(node, BusQueryDeviceSerialNumber);
    QueryId(node, BusQueryContainerID);
    QueryBusInformation(node);
    {
        ULONG_PTR answer = 0;
        if (NT_SUCCESS(SendPnp(node->pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0, nullptr, &answer))) {
            FreeAnswer(answer);
        }
    }
    {
        std::lock_guard guard(g_lock);
        node->instancePath = node->info.DeviceId + u"\\" + node->info.InstanceId;
    }
    if (!MatchDriver(node)) return;
    if (!NT_SUCCESS(CallAddDevice(node))) {
        SetState(node, DeviceNodeState::StartFailed);
        return;
    }
    StartNode(node);
}

// Devices that vanished get IRP_MN_REMOVE_DEVICE once their children are gone and no handle to
// their stack is open; then their node goes (and a root device's physical device object).
void FinishRemovals()
{
    for (bool progress = true; progress;) {
        progress = false;
        Node* ready = nullptr;
        {
            std::lock_guard guard(g_lock);
            for (auto& [pdo, node] : Nodes()) {
                if (node->vanished && node->children.empty() && OpenHandles(pdo) == 0) {
                    ready = node;
                    break;
                }
            }
        }
        if (ready) {
            SendPnp(ready->pdo, IRP_MN_REMOVE_DEVICE, 0);
            DisableInterfacesOf(ready->pdo);
            DeleteNode(ready);
            progress = true;
        }
    }
}

// A device is gone without warning: surprise removal to every started stack below and at it,
// children first; the removals follow once handles are closed.
void Vanish(Node* node)
{
    std::vector<Node*> order;
    PostOrder(node, order);
    for (Node* n : order) {
        DeviceNodeState state = StateOf(n);
        if (state == DeviceNodeState::Started || state == DeviceNodeState::Stopped) {
            // Interfaces the drivers leave enabled now are disabled with the removal, not here.
            SendPnp(n->pdo, IRP_MN_SURPRISE_REMOVAL, 0);
            SetState(n, DeviceNodeState::SurpriseRemoved);
        }
        std::lock_guard guard(g_lock);
        n->vanished = true;
    }
}

void EnumerateNode(Node* node)
{
    if (StateOf(node) != DeviceNodeState::Started) return;
    ULONG_PTR answer = 0;
    NTSTATUS status = SendPnp(node->pdo, IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceRelations.Type = BusRelations;
    }, &answer);
    if (!NT_SUCCESS(status)) return;  // no bus, or no answer: the children stay as they were

    std::vector<PDEVICE_OBJECT> reported;
    if (answer) {
        auto relations = (PDEVICE_RELATIONS)answer;
        for (ULONG i = 0; i < relations->Count; i++) {
            PDEVICE_OBJECT child = relations->Objects[i];
            ObjectKind kind;
            if (!ObjectKnown(child, &kind) || kind != ObjectKind::Device) {
                ReportViolation("bus relations of %p hold %p, which is not a device object", (void*)node->pdo,
                                (void*)child);
                continue;
            }
            if (child->HkNode->deleted) {
                // Its driver is done with it: the manager must never learn of it again.
                ReportViolation("bus relations of %p report device %p after its driver deleted it (IoDeleteDevice): "
                                "invalid enumeration of a deleted PDO (bug check 0xCA)",
                                (void*)node->pdo, (void*)child);
                if (FindNode(child) == nullptr) {
                    ObDereferenceObject(child);  // the reference handed over with it
                    continue;
                }
            }
            reported.push_back(child);
        }
        FreeAnswer(answer);
    }

    std::vector<Node*> missing;
    std::vector<Node*> fresh;
    std::vector<PDEVICE_OBJECT> dropReference;
    {
        std::lock_guard guard(g_lock);
        for (Node* child : node->children) {
            if (child->vanished) continue;
            if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end()) {
                child->info.ReportedMissing = true;
                missing.push_back(child);
            }
        }
        for (PDEVICE_OBJECT pdo : reported) {
            auto it = Nodes().find(pdo);
            if (it != Nodes().end()) {
                if (it->second->parent != node) {
                    ReportViolation("device %p reported by two buses", (void*)pdo);
                }
                dropReference.push_back(pdo);  // already known: the new reference is not kept
                continue;
            }
            if (pdo->Flags & DO_DEVICE_INITIALIZING) {
                ReportViolation("bus relations report device %p with DO_DEVICE_INITIALIZING still set", (void*)pdo);
            }
            pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
            auto child = new Node;
            child->pdo = pdo;
            child->parent = node;
            child->holdsReference = true;
            node->children.push_back(child);
            Nodes()[pdo] = child;
            fresh.push_back(child);
        }
    }
    for (PDEVICE_OBJECT pdo : dropReference) ObDereferenceObject(pdo);
    for (Node* child : missing) Vanish(child);
    FinishRemovals();
    for (Node* child : fresh) SetUpChild(child);
}

// Orderly removal of `node` and everything below it. The queries go children first; a refusal
// cancels every query sent, the refusing stack's included.
NTSTATUS RemoveTree(Node* node, bool keepTarget)
{
    std::vector<Node*> order;
    PostOrder(node, order);
    // Applications are asked to close their handles first; any handle still open to a stack of the
    // subtree vetoes the removal before a driver is asked (PNP_VetoOutstandingOpen).
    for (Node* n : order) {
        if (OpenHandles(n->pdo) != 0) return STATUS_DEVICE_BUSY;
    }
    std::vector<Node*> queried;
    for (Node* n : order) {
        if (!HasLiveStack(StateOf(n))) continue;
        NTSTATUS status = SendPnp(n->pdo, IRP_MN_QUERY_REMOVE_DEVICE, 0);
        queried.push_back(n);
        if (!NT_SUCCESS(status)) {
            for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
                SendPnp((*it)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE, 0);
            }
            return status;
        }
    }
    for (Node* n : order) {
        DeviceNodeState state = StateOf(n);
        if (state != DeviceNodeState::Removed && state != DeviceNodeState::SurpriseRemoved) {
            SendPnp(n->pdo, IRP_MN_REMOVE_DEVICE, 0);
            DisableInterfacesOf(n->pdo);
        }
        if (n == node && keepTarget) {
            SetState(n, DeviceNodeState::Removed);
        } else {
            DeleteNode(n);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS EjectNode(PDEVICE_OBJECT pdo)
{
    Node* node = FindNode(pdo);
    if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = RemoveTree(node, true);
    if (!NT_SUCCESS(status)) return status;
    SendPnp(pdo, IRP_MN_EJECT, 0);
    Node* parent;
    {
        std::lock_guard guard(g_lock);
        parent = node->parent;
    }
    if (parent) EnumerateNode(parent);
    FinishRemovals();
    return STATUS_SUCCESS;
}

// ---- The root bus driver ----------------------------------------------------------------------

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RootDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    RootDeviceBehavior behavior;
    {
        std::lock_guard guard(g_lock);
        auto it = Nodes().find(device);
        if (it != Nodes().end()) {
            behavior = it->second->behavior;
            it->second->rootLog.push_back({sp->MajorFunction, sp->MinorFunction, *sp, irp->CurrentLocation,
                                           irp->StackCount, irp->IoStatus.Status});
        }
    }
    if (behavior.BeforeAnswer) behavior.BeforeAnswer(irp);
    switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
        switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE:
            if (!NT_SUCCESS(behavior.StartStatus)) return CompleteWith(irp, behavior.StartStatus);
            if (behavior.CompleteStartLater) {
                IoMarkIrpPending(irp);
                // Completed from the bus driver's DPC: the completion routines above run at
                // DISPATCH_LEVEL.
                std::thread([irp] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    RunAtIrql(DISPATCH_LEVEL, [irp] { CompleteWith(irp, STATUS_SUCCESS); });
                }).detach();
                return STATUS_PENDING;
            }
            return CompleteWith(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_EJECT:
            return CompleteWith(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_CAPABILITIES: {
            if (!NT_SUCCESS(behavior.CapabilitiesStatus)) return CompleteWith(irp, behavior.CapabilitiesStatus);
            PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
            if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
                return CompleteWith(irp, STATUS_UNSUCCESSFUL);
            }
            for (int s = 0; s < PowerSystemMaximum; s++) caps->DeviceState[s] = behavior.DeviceState[s];
            caps->SystemWake = PowerSystemUnspecified;
            caps->DeviceWake = PowerDeviceUnspecified;
            return CompleteWith(irp, STATUS_SUCCESS);
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                auto relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), Tag("PnpR"));
                if (relations == nullptr) return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
                relations->Count = 1;
                relations->Objects[0] = device;
                ObReferenceObject(device);
                irp->IoStatus.Information = (ULONG_PTR)relations;
                return CompleteWith(irp, STATUS_SUCCESS);
            }
            return CompleteWith(irp, irp->IoStatus.Status);
        default:
            return CompleteWith(irp, irp->IoStatus.Status);
        }
    case IRP_MJ_POWER: {
        PoStartNextPowerIrp(irp);
        NTSTATUS status = irp->IoStatus.Status;
        if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
        return CompleteWith(irp, status);
    }
    case IRP_MJ_SYSTEM_CONTROL:
        return CompleteWith(irp, irp->IoStatus.Status);
    default:
        irp->IoStatus.Information = 0;
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

PDRIVER_OBJECT RootDriver()
{
    static PDRIVER_OBJECT driver = [] {
        auto d = (PDRIVER_OBJECT)calloc(1, sizeof(DRIVER_OBJECT));
        d->Type = IO_TYPE_DRIVER;
        d->Size = sizeof(DRIVER_OBJECT);
        d->DriverExtension = (PDRIVER_EXTENSION)calloc(1, sizeof(DRIVER_EXTENSION));
        d->DriverExtension->DriverObject = d;
        for (auto& dispatch : d->MajorFunction) dispatch = RootDispatch;
        ObjectInsert(d, ObjectKind::Driver, nullptr);  // lives for the process
        return d;
    }();
    return driver;
}

std::u16string Upper(const std::u16string& text)
{
    std::u16string out;
    for (char16_t c : text) out += (char16_t)RtlUpcaseUnicodeChar((WCHAR)c);
    return out;
}

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    std::u16string out;
    for (char* c = text; *c; c++) out += (char16_t)*c;
    return out;
}

void PnpCleanCheck()
{
    if (!WaitPnpIdle(std::chrono::seconds(20))) {
        ReportViolation("the Plug and Play manager was still busy at unload");
    }
    std::lock_guard guard(g_lock);
    for (auto& [pdo, node] : Nodes()) {
        ReportViolation("device node of %p left at unload (its device was never removed)", (void*)pdo);
        delete node;
    }
    Nodes().clear();
    g_interfaces.clear();
    g_matches.clear();
    g_log.clear();
    g_interfaceCalls.clear();
}

const bool g_registered = (RegisterCleanCheck("pnp", PnpCleanCheck), true);

}  // namespace

// ---- Harness ----------------------------------------------------------------------------------

PDEVICE_OBJECT CreateRootDevice(PDRIVER_OBJECT functionDriver, NTSTATUS* addDeviceStatus,
                                const RootDeviceBehavior& behavior)
{
    (void)g_registered;
    return RunOnWorker<PDEVICE_OBJECT>([&]() -> PDEVICE_OBJECT {
        PDEVICE_OBJECT pdo = nullptr;
        NTSTATUS status = IoCreateDevice(RootDriver(), 0, nullptr, FILE_DEVICE_UNKNOWN,
                                         FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
        if (!NT_SUCCESS(status)) {
            *addDeviceStatus = status;
            return nullptr;
        }
        pdo->Flags = (pdo->Flags & ~DO_DEVICE_INITIALIZING) | DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
        auto node = new Node;
        node->pdo = pdo;
        node->root = true;
        node->behavior = behavior;
        node->functionDriver = functionDriver;
        node->hasDriver = true;
        {
            std::lock_guard guard(g_lock);
            std::u16string id = Upper(behavior.HardwareId);
            char index[8];
            snprintf(index, sizeof index, "%04d", g_rootCounter++ % 10000);
            node->info.DeviceId = id;
            for (char* c = index; *c; c++) node->info.InstanceId += (char16_t)*c;
            node->info.HardwareIds = {behavior.HardwareId};
            node->instancePath = id + u"\\" + node->info.InstanceId;
            Nodes()[pdo] = node;
        }
        status = CallAddDevice(node);
        *addDeviceStatus = status;
        if (!NT_SUCCESS(status)) {
            DeleteNode(node);
            return nullptr;
        }
        return pdo;
    });
}

NTSTATUS StartDevice(PDEVICE_OBJECT pdo)
{
    return RunOnWorker<NTSTATUS>([&]() -> NTSTATUS {
        Node* node = FindNode(pdo);
        if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
        DeviceNodeState state = StateOf(node);
        if (state == DeviceNodeState::Started) return STATUS_SUCCESS;
        if (!node->hasDriver || state == DeviceNodeState::SurpriseRemoved || node->vanished) {
            return STATUS_NO_SUCH_DEVICE;
        }
        if (state == DeviceNodeState::Removed || state == DeviceNodeState::StartFailed) {
            // The stack was torn down: it is built again before the start.
            NTSTATUS status = CallAddDevice(node);
            if (!NT_SUCCESS(status)) return status;
        }
        NTSTATUS status = StartNode(node);
        FinishRemovals();
        return status;
    });
}

NTSTATUS StopDevice(PDEVICE_OBJECT pdo)
{
    return RunOnWorker<NTSTATUS>([&]() -> NTSTATUS {
        Node* node = FindNode(pdo);
        if (node == nullptr || StateOf(node) != DeviceNodeState::Started) return STATUS_INVALID_DEVICE_STATE;
        NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE, 0);
        if (!NT_SUCCESS(status)) {
            SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE, 0);
            return status;
        }
        status = SendPnp(pdo, IRP_MN_STOP_DEVICE, 0);
        SetState(node, DeviceNodeState::Stopped);
        return status;
    });
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo)
{
    return RunOnWorker<NTSTATUS>([&]() -> NTSTATUS {
        Node* node = FindNode(pdo);
        if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
        NTSTATUS status = RemoveTree(node, !node->root);
        FinishRemovals();
        return status;
    });
}

void SurpriseRemoveDevice(PDEVICE_OBJECT pdo)
{
    RunOnWorker<int>([&] {
        Node* node = FindNode(pdo);
        if (node) Vanish(node);
        FinishRemovals();
        return 0;
    });
}

bool WaitPnpIdle(std::chrono::milliseconds timeout)
{
    Worker& worker = TheWorker();
    std::unique_lock guard(worker.lock);
    return worker.idle.wait_for(guard, timeout, [&] { return worker.queue.empty() && !worker.busy; });
}

void InstallDriverForId(const std::u16string& id, PDRIVER_OBJECT functionDriver)
{
    std::lock_guard guard(g_lock);
    g_matches.emplace_back(id, functionDriver);
}

DeviceNodeInfo QueryDeviceNode(PDEVICE_OBJECT pdo)
{
    std::lock_guard guard(g_lock);
    auto it = Nodes().find(pdo);
    if (it == Nodes().end()) return {};
    DeviceNodeInfo info = it->second->info;
    info.State = it->second->state;
    return info;
}

std::vector<PDEVICE_OBJECT> DeviceChildren(PDEVICE_OBJECT pdo)
{
    std::lock_guard guard(g_lock);
    std::vector<PDEVICE_OBJECT> out;
    auto it = Nodes().find(pdo);
    if (it == Nodes().end()) return out;
    for (Node* child : it->second->children) out.push_back(child->pdo);
    return out;
}

bool WaitDeviceNodeState(PDEVICE_OBJECT pdo, DeviceNodeState state, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (QueryDeviceNode(pdo).State == state) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<ManagerRequest> ManagerLog()
{
    std::lock_guard guard(g_lock);
    return g_log;
}

void ClearManagerLog()
{
    std::lock_guard guard(g_lock);
    g_log.clear();
}

void ManagerLogAppend(const ManagerRequest& request)
{
    std::lock_guard guard(g_lock);
    g_log.push_back(request);
}

std::vector<RootDeviceRequest> RootDeviceLog(PDEVICE_OBJECT pdo)
{
    std::lock_guard guard(g_lock);
    auto it = Nodes().find(pdo);
    return it == Nodes().end() ? std::vector<RootDeviceRequest>{} : it->second->rootLog;
}

std::vector<std::u16string> FindDeviceInterfaces(const GUID& interfaceClass)
{
    std::lock_guard guard(g_lock);
    std::vector<std::u16string> out;
    for (auto& i : g_interfaces) {
        if (i.enabled && IsEqualGUID(i.guid, interfaceClass)) out.push_back(i.link);
    }
    return out;
}

bool DeviceInterfaceEnabled(const std::u16string& symbolicLink)
{
    std::lock_guard guard(g_lock);
    for (auto& i : g_interfaces) {
        if (EqualNoCase(i.link, symbolicLink)) return i.enabled;
    }
    return false;
}

std::unique_ptr<File> OpenDeviceInterface(const std::u16string& symbolicLink, ACCESS_MASK access, NTSTATUS* status,
                                          User user)
{
    PDEVICE_OBJECT pdo = nullptr;
    {
        std::lock_guard guard(g_lock);
        for (auto& i : g_interfaces) {
            if (i.enabled && EqualNoCase(i.link, symbolicLink)) pdo = i.pdo;
        }
    }
    if (pdo == nullptr) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    return File::Open(pdo, access, status, user);
}

std::vector<InterfaceStateCall> InterfaceStateCalls()
{
    std::lock_guard guard(g_lock);
    return g_interfaceCalls;
}

NTSTATUS PnpCheckOpen(PDEVICE_OBJECT device)
{
    std::lock_guard guard(g_lock);
    auto it = Nodes().find(device);
    if (it == Nodes().end()) return STATUS_SUCCESS;  // not a Plug and Play device
    DeviceNodeState state = it->second->state;
    // The manager refuses opens until the stack has started, and once it is going away.
    if (state != DeviceNodeState::Started && state != DeviceNodeState::Stopped) return STATUS_NO_SUCH_DEVICE;
    if (it->second->vanished) return STATUS_NO_SUCH_DEVICE;
    return STATUS_SUCCESS;
}

// ---- Rules for stacks and for requests drivers build ------------------------------------------

void PnpDeviceAttached(PDEVICE_OBJECT device, PDEVICE_OBJECT lower)
{
    Node* node = t_addDeviceNode;
    device->HkNode->filter =
        !(node != nullptr && lower == node->pdo && device->DriverObject == node->functionDriver);
}

// A filter's device is seen by the I/O manager as the top of the stack: the buffering it gives
// reads and writes comes from its DO_BUFFERED_IO/DO_DIRECT_IO, the IRQL of power requests from its
// DO_POWER_PAGABLE. So a filter takes all three from the device below it before any request can
// reach it (in AddDevice, before it clears DO_DEVICE_INITIALIZING; attached to a running stack, as
// it attaches). The check runs when the first request reaches the device: every request before
// that point is covered, and a filter that copies the flags right after IoAttachDeviceToDeviceStack
// (the usual order) is not blamed for the instant in between. Whatever the device's role, no
// driver sets DO_POWER_PAGABLE above a device that has it clear.
void PnpCheckStackFlags(PDEVICE_OBJECT device, PIRP irp)
{
    HkDeviceNode* node = device->HkNode;
    if (node->flagsChecked.exchange(true)) return;
    PDEVICE_OBJECT lower = __atomic_load_n(&node->attachedTo, __ATOMIC_ACQUIRE);
    if (lower == nullptr) return;
    UCHAR major = (irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction;
    const ULONG io = DO_BUFFERED_IO | DO_DIRECT_IO;
    ULONG flags = device->Flags, lowerFlags = lower->Flags;
    if (node->filter && (flags & io) != (lowerFlags & io)) {
        ReportViolation("filter device %p reached by request 0x%02x has I/O flags 0x%x but device %p below it has "
                        "0x%x: a filter takes DO_BUFFERED_IO and DO_DIRECT_IO from the device it attaches to",
                        (void*)device, major, (unsigned)(flags & io), (void*)lower, (unsigned)(lowerFlags & io));
    }
    if (node->filter && (flags & DO_POWER_PAGABLE) != (lowerFlags & DO_POWER_PAGABLE)) {
        ReportViolation("filter device %p reached by request 0x%02x has DO_POWER_PAGABLE %s but device %p below it "
                        "has it %s: a filter takes DO_POWER_PAGABLE from the device it attaches to",
                        (void*)device, major, (flags & DO_POWER_PAGABLE) ? "set" : "clear", (void*)lower,
                        (lowerFlags & DO_POWER_PAGABLE) ? "set" : "clear");
    } else if ((flags & DO_POWER_PAGABLE) && !(lowerFlags & DO_POWER_PAGABLE)) {
        ReportViolation("device %p reached by request 0x%02x sets DO_POWER_PAGABLE above device %p, which has it "
                        "clear: no driver sets it once a lower one has cleared it",
                        (void*)device, major, (void*)lower);
    }
}

namespace {
std::mutex g_managerIrpLock;
std::vector<PIRP> g_managerIrps;  // built by the managers, not yet sent
}  // namespace

void MarkManagerRequest(PIRP irp)
{
    std::lock_guard guard(g_managerIrpLock);
    g_managerIrps.push_back(irp);
}

void PnpCheckBuiltRequest(PIRP irp, PDEVICE_OBJECT device)
{
    {
        std::lock_guard guard(g_managerIrpLock);
        auto it = std::find(g_managerIrps.begin(), g_managerIrps.end(), irp);
        if (it != g_managerIrps.end()) {
            g_managerIrps.erase(it);
            return;
        }
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    if (sp->MajorFunction != IRP_MJ_PNP && sp->MajorFunction != IRP_MJ_POWER) return;
    // The drivers below complete what they don't handle with the status the request carries: a
    // request that starts with anything else reports a success (or a failure) no driver gave.
    if (irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        ReportViolation("%s request 0x%02x (IRP %p) a driver built was sent to device %p with status 0x%08x: a Plug "
                        "and Play or power request starts with STATUS_NOT_SUPPORTED",
                        sp->MajorFunction == IRP_MJ_PNP ? "IRP_MJ_PNP" : "IRP_MJ_POWER", sp->MinorFunction,
                        (void*)irp, (void*)device, (unsigned)irp->IoStatus.Status);
    }
}

void PnpHandleClosed(PDEVICE_OBJECT device)
{
    bool pending = false;
    {
        std::lock_guard guard(g_lock);
        for (auto& [pdo, node] : Nodes()) pending |= node->vanished;
    }
    if (pending) Post(FinishRemovals);
}

}  // namespace hk

using namespace hk;

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT pdo, CONST GUID* interfaceClassGuid, PUNICODE_STRING referenceString,
                                   PUNICODE_STRING symbolicLinkName)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("IoRegisterDeviceInterface at IRQL %u", KeGetCurrentIrql());
    NTSTATUS injected;
    if (TakeInjectedCallFailure("IoRegisterDeviceInterface", &injected)) return injected;
    std::u16string link;
    {
        std::lock_guard guard(g_lock);
        auto it = Nodes().find(pdo);
        if (it == Nodes().end()) return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object
        link = u"\\??\\" + it->second->instancePath;
        for (size_t i = 4; i < link.size(); i++) {
            if (link[i] == u'\\') link[i] = u'#';
        }
        link += u"#" + GuidText(*interfaceClassGuid);
        if (referenceString && referenceString->Length) {
            link += u"\\" + std::u16string((const char16_t*)referenceString->Buffer,
                                           referenceString->Length / sizeof(WCHAR));
        }
        bool known = false;
        for (auto& i : g_interfaces) known |= EqualNoCase(i.link, link);
        if (!known) g_interfaces.push_back({link, *interfaceClassGuid, pdo, false});
    }
    // The caller frees the name with RtlFreeUnicodeString.
    size_t bytes = link.size() * sizeof(WCHAR);
    auto buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), Tag("Strg"));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, link.data(), bytes);
    buffer[link.size()] = 0;
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = (USHORT)bytes;
    symbolicLinkName->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("IoSetDeviceInterfaceState at IRQL %u", KeGetCurrentIrql());
    std::u16string link((const char16_t*)symbolicLinkName->Buffer, symbolicLinkName->Length / sizeof(WCHAR));
    NTSTATUS injected;
    bool fail = TakeInjectedCallFailure("IoSetDeviceInterfaceState", &injected);
    std::lock_guard guard(g_lock);
    if (fail) {
        g_interfaceCalls.push_back({link, enable != 0, injected});
        return injected;
    }
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    for (auto& i : g_interfaces) {
        if (!EqualNoCase(i.link, link)) continue;
        if (enable) {
            status = i.enabled ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
            i.enabled = true;
        } else {
            status = i.enabled ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
            i.enabled = false;
        }
        break;
    }
    g_interfaceCalls.push_back({link, enable != 0, status});
    return status;
}

void IoInvalidateDeviceRelations(PDEVICE_OBJECT deviceObject, DEVICE_RELATION_TYPE type)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IoInvalidateDeviceRelations at IRQL %u", KeGetCurrentIrql());
    if (FindNode(deviceObject) == nullptr) {
        ReportViolation("IoInvalidateDeviceRelations on %p, which is not a physical device object",
                        (void*)deviceObject);
        return;
    }
    if (type != BusRelations) return;  // other relations are gathered when they are needed
    Post([deviceObject] {
        Node* node = FindNode(deviceObject);
        if (node) EnumerateNode(node);
        FinishRemovals();
    });
}

void IoRequestDeviceEject(PDEVICE_OBJECT physicalDeviceObject)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("IoRequestDeviceEject at IRQL %u", KeGetCurrentIrql());
    if (FindNode(physicalDeviceObject) == nullptr) {
        ReportViolation("IoRequestDeviceEject on %p, which is not a physical device object",
                        (void*)physicalDeviceObject);
        return;
    }
    Post([physicalDeviceObject] { EjectNode(physicalDeviceObject); });
}

}  // extern "C"
