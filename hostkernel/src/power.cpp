// Power manager: power requests sent to device stacks, PoCallDriver, PoStartNextPowerIrp and
// PoSetPowerState. Every driver a power request reached must call PoStartNextPowerIrp for it
// before the request ends; a request that ends without is reported.
#include "internal.h"

#include <algorithm>
#include <unordered_map>

namespace hk {
namespace {

struct PowerIrpRecord {
    std::vector<PDEVICE_OBJECT> reached;
    std::vector<PDEVICE_OBJECT> started;
};

std::mutex g_lock;
std::unordered_map<PIRP, PowerIrpRecord> g_irps;
std::vector<PowerStateReport> g_reports;

const bool g_registered = (RegisterCleanCheck("power", PowerCleanCheck), true);

}  // namespace

void PowerIrpTrack(PIRP irp)
{
    std::lock_guard guard(g_lock);
    g_irps[irp] = {};
}

void PowerIrpDispatched(PIRP irp, PDEVICE_OBJECT device)
{
    std::lock_guard guard(g_lock);
    auto it = g_irps.find(irp);
    if (it != g_irps.end()) it->second.reached.push_back(device);
}

void PowerIrpCheckFinished(PIRP irp, UCHAR minor)
{
    PowerIrpRecord record;
    {
        std::lock_guard guard(g_lock);
        auto it = g_irps.find(irp);
        if (it == g_irps.end()) return;
        record = std::move(it->second);
        g_irps.erase(it);
    }
    for (PDEVICE_OBJECT device : record.reached) {
        if (std::find(record.started.begin(), record.started.end(), device) == record.started.end()) {
            ReportViolation("power IRP %p (minor 0x%02x) ended without PoStartNextPowerIrp from the driver of "
                            "device %p",
                            (void*)irp, minor, (void*)device);
        }
    }
}

void PowerCleanCheck()
{
    std::lock_guard guard(g_lock);
    g_irps.clear();
    g_reports.clear();
}

std::vector<PowerStateReport> PowerStateReports()
{
    std::lock_guard guard(g_lock);
    return g_reports;
}

DirectResult SendPower(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& prepare,
                       NTSTATUS initialStatus)
{
    (void)g_registered;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_POWER, top, nullptr, 0, nullptr, &event, &iosb);
    MarkManagerRequest(irp);
    irp->IoStatus.Status = initialStatus;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MinorFunction = minor;
    if (prepare) prepare(sp);
    ULONG detail = (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) ? (ULONG)sp->Parameters.Power.Type : 0;
    PowerIrpTrack(irp);
    NTSTATUS status;
    // Stacks that are not power-pageable get their power requests at DISPATCH_LEVEL.
    if (top->Flags & DO_POWER_PAGABLE) {
        status = PoCallDriver(top, irp);
    } else {
        RunAtIrql(DISPATCH_LEVEL, [&] { status = PoCallDriver(top, irp); });
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 1000 * 1000 * 20;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        ReportViolation("power request 0x%02x to device %p never completed", minor, (void*)top);
        ObDereferenceObject(top);
        return {STATUS_TIMEOUT, 0};
    }
    if (status != STATUS_PENDING && status != iosb.Status) {
        ReportViolation("power request 0x%02x: dispatch returned 0x%08x but the request completed with 0x%08x",
                        minor, (unsigned)status, (unsigned)iosb.Status);
    }
    PowerIrpCheckFinished(irp, minor);
    ObDereferenceObject(top);
    ManagerLogAppend({device, IRP_MJ_POWER, minor, detail, iosb.Status});
    return {iosb.Status, iosb.Information};
}

DirectResult SendSetPower(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state)
{
    return SendPower(device, IRP_MN_SET_POWER, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        sp->Parameters.Power.ShutdownType = PowerActionNone;
    });
}

DirectResult SendQueryPower(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state)
{
    return SendPower(device, IRP_MN_QUERY_POWER, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        sp->Parameters.Power.ShutdownType = PowerActionNone;
    });
}

}  // namespace hk

using namespace hk;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER) {
        ReportViolation("PoCallDriver with IRP %p, whose next stack location is not IRP_MJ_POWER", (void*)irp);
    }
    return IoCallDriver(deviceObject, irp);
}

void PoStartNextPowerIrp(PIRP irp)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("PoStartNextPowerIrp at IRQL %u", KeGetCurrentIrql());
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction != IRP_MJ_POWER) {
        ReportViolation("PoStartNextPowerIrp with IRP %p, which is not a power request", (void*)irp);
        return;
    }
    std::lock_guard guard(g_lock);
    auto it = g_irps.find(irp);
    if (it != g_irps.end()) it->second.started.push_back(sp->DeviceObject);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("PoSetPowerState at IRQL %u", KeGetCurrentIrql());
    std::lock_guard guard(g_lock);
    POWER_STATE previous{};
    previous.DeviceState = PowerDeviceUnspecified;
    for (auto it = g_reports.rbegin(); it != g_reports.rend(); ++it) {
        if (it->Device == deviceObject && it->Type == type) {
            previous = it->State;
            break;
        }
    }
    g_reports.push_back({deviceObject, type, state});
    return previous;
}

}  // extern "C"
