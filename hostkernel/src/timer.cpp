// Executive timers (ExAllocateTimer, ExSetTimer, ExCancelTimer, ExDeleteTimer), the clock's
// interrupt rate (ExSetTimerResolution) and the precise interrupt time's lookup. One hostkernel
// thread expires every timer and calls its callback at DISPATCH_LEVEL, as the platform's timer DPC
// does. A high-resolution timer expires when it is due (on the platform the clock is sped up for
// it as needed); an ordinary one waits for the first clock tick at or after that.
#include "internal.h"

#include <hostkernel/security.h>

#include <condition_variable>
#include <map>
#include <set>
#include <thread>
#include <vector>

struct _EX_TIMER {
    PEXT_CALLBACK Callback = nullptr;
    PVOID Context = nullptr;
    ULONG Attributes = 0;
    bool Armed = false;
    std::chrono::steady_clock::time_point Due;
    LONGLONG Period = 0;  // 100 ns units; 0 for a one-shot timer
    int Running = 0;      // callbacks in progress
    std::thread::id RunningOn;
};

namespace hk {
namespace {

// Finer than this the platform's clock doesn't run, whatever a driver asks.
constexpr LONGLONG kFinestResolution = 10000;

struct TimerState {
    std::mutex lock;
    std::condition_variable changed;
    std::set<_EX_TIMER*> live;
    // Timers a driver left behind at unload: reported, disarmed and kept (a callback may still
    // name one), held here so that they stay reachable rather than leak.
    std::vector<_EX_TIMER*> abandoned;
    bool workerStarted = false;
    std::atomic<LONGLONG> resolutionRequest{0};
};

// Never destroyed: the worker may still run while the process exits.
TimerState& State()
{
    static TimerState* state = new TimerState;
    return *state;
}

std::chrono::steady_clock::time_point ExpiryOf(const _EX_TIMER* timer, LONGLONG units)
{
    if (timer->Attributes & EX_TIMER_HIGH_RESOLUTION) {
        return std::chrono::steady_clock::now() + std::chrono::nanoseconds(units * 100);
    }
    // An ordinary timer is looked at on the clock interrupt only.
    auto due = std::chrono::steady_clock::now() + std::chrono::nanoseconds(units * 100);
    LONGLONG tick = EffectiveClockTick();
    if (tick <= 0) return due;
    LONGLONG tickNs = tick * 100;
    LONGLONG dueNs = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds((dueNs + tickNs - 1) / tickNs * tickNs));
}

void Worker()
{
    TimerState& state = State();
    std::unique_lock guard(state.lock);
    for (;;) {
        _EX_TIMER* next = nullptr;
        for (_EX_TIMER* timer : state.live) {
            if (timer->Armed && (next == nullptr || timer->Due < next->Due)) next = timer;
        }
        if (next == nullptr) {
            state.changed.wait(guard);
            continue;
        }
        if (std::chrono::steady_clock::now() < next->Due) {
            // A copy: the timer may be deleted while the worker waits.
            auto due = next->Due;
            state.changed.wait_until(guard, due);
            continue;
        }
        next->Armed = next->Period > 0;
        if (next->Armed) next->Due = ExpiryOf(next, next->Period);
        if (next->Callback == nullptr) continue;
        next->Running++;
        next->RunningOn = std::this_thread::get_id();
        guard.unlock();
        RunAtIrql(DISPATCH_LEVEL, [&] { next->Callback(next, next->Context); });
        guard.lock();
        next->Running--;
        state.changed.notify_all();
    }
}

bool Known(TimerState& state, PEX_TIMER timer) { return state.live.count(timer) != 0; }

void TimerCleanCheck()
{
    TimerState& state = State();
    std::vector<_EX_TIMER*> left;
    {
        std::lock_guard guard(state.lock);
        left.assign(state.live.begin(), state.live.end());
        // Reported once: disarmed and set aside, never freed.
        for (_EX_TIMER* timer : left) timer->Armed = false;
        state.abandoned.insert(state.abandoned.end(), left.begin(), left.end());
        state.live.clear();
    }
    for (_EX_TIMER* timer : left) {
        ReportViolation("executive timer %p (callback %p) allocated and never deleted", (void*)timer,
                        (void*)timer->Callback);
    }
    if (state.resolutionRequest.exchange(0) != 0) {
        ReportViolation("ExSetTimerResolution request still in force at unload: the driver must withdraw it "
                        "(ExSetTimerResolution(0, FALSE))");
    }
}

const bool g_registered = (RegisterCleanCheck("timers", TimerCleanCheck), true);

}  // namespace

LONGLONG TimerResolutionRequested() { return State().resolutionRequest.load(); }

size_t LiveExecutiveTimers()
{
    std::lock_guard guard(State().lock);
    return State().live.size();
}

void SetHighResolutionTimers(bool available)
{
    SetSystemRoutine("ExAllocateTimer", available ? (PVOID)&ExAllocateTimer : nullptr);
    SetSystemRoutine("ExSetTimer", available ? (PVOID)&ExSetTimer : nullptr);
    SetSystemRoutine("ExCancelTimer", available ? (PVOID)&ExCancelTimer : nullptr);
    SetSystemRoutine("ExDeleteTimer", available ? (PVOID)&ExDeleteTimer : nullptr);
    SetSystemRoutine("KeQueryInterruptTimePrecise", available ? (PVOID)&KeQueryInterruptTimePrecise : nullptr);
}

}  // namespace hk

using namespace hk;

extern "C" {

PEX_TIMER ExAllocateTimer(PEXT_CALLBACK callback, PVOID context, ULONG attributes)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("ExAllocateTimer at IRQL %u", KeGetCurrentIrql());
    if ((attributes & EX_TIMER_HIGH_RESOLUTION) && (attributes & EX_TIMER_NO_WAKE)) {
        ReportViolation("ExAllocateTimer with both EX_TIMER_HIGH_RESOLUTION and EX_TIMER_NO_WAKE (a bug check)");
        return nullptr;
    }
    auto timer = new _EX_TIMER;
    timer->Callback = callback;
    timer->Context = context;
    timer->Attributes = attributes;
    TimerState& state = State();
    std::lock_guard guard(state.lock);
    state.live.insert(timer);
    if (!state.workerStarted) {
        std::thread(Worker).detach();
        state.workerStarted = true;
    }
    return timer;
}

BOOLEAN ExSetTimer(PEX_TIMER timer, LONGLONG dueTime, LONGLONG period, PEXT_SET_PARAMETERS)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("ExSetTimer at IRQL %u", KeGetCurrentIrql());
    if ((timer->Attributes & EX_TIMER_HIGH_RESOLUTION) && dueTime >= 0) {
        ReportViolation("ExSetTimer on high-resolution timer %p with an absolute due time (a bug check)",
                        (void*)timer);
        return FALSE;
    }
    if (period < 0 || period > MAXLONG) {
        ReportViolation("ExSetTimer with period %lld beyond MAXLONG", (long long)period);
        return FALSE;
    }
    LONGLONG units = dueTime < 0 ? -dueTime : 0;
    if (dueTime >= 0) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        units = dueTime > now.QuadPart ? dueTime - now.QuadPart : 0;
    }
    TimerState& state = State();
    std::lock_guard guard(state.lock);
    if (!Known(state, timer)) {
        ReportViolation("ExSetTimer on %p, which is no live timer", (void*)timer);
        return FALSE;
    }
    BOOLEAN wasArmed = timer->Armed;
    timer->Armed = true;
    timer->Due = ExpiryOf(timer, units);
    timer->Period = period;
    state.changed.notify_all();
    return wasArmed;
}

BOOLEAN ExCancelTimer(PEX_TIMER timer, PEXT_CANCEL_PARAMETERS)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) ReportViolation("ExCancelTimer at IRQL %u", KeGetCurrentIrql());
    TimerState& state = State();
    std::lock_guard guard(state.lock);
    if (!Known(state, timer)) {
        ReportViolation("ExCancelTimer on %p, which is no live timer", (void*)timer);
        return FALSE;
    }
    BOOLEAN wasArmed = timer->Armed;
    timer->Armed = false;
    return wasArmed;
}

BOOLEAN ExDeleteTimer(PEX_TIMER timer, BOOLEAN cancel, BOOLEAN wait, PEXT_DELETE_PARAMETERS parameters)
{
    KIRQL irql = KeGetCurrentIrql();
    if (wait ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
        ReportViolation("ExDeleteTimer (Wait %u) at IRQL %u", wait, irql);
    }
    TimerState& state = State();
    std::unique_lock guard(state.lock);
    if (!Known(state, timer)) {
        guard.unlock();
        ReportViolation("ExDeleteTimer on %p, which is no live timer (deleted twice?)", (void*)timer);
        return FALSE;
    }
    if (!cancel && timer->Armed) {
        // The platform lets such a timer expire once more before it goes; nothing here needs that.
        guard.unlock();
        ReportViolation("ExDeleteTimer without Cancel on armed timer %p: not modelled", (void*)timer);
        return FALSE;
    }
    BOOLEAN wasArmed = timer->Armed;
    timer->Armed = false;
    state.live.erase(timer);
    if (wait) {
        if (timer->Running > 0 && timer->RunningOn == std::this_thread::get_id()) {
            guard.unlock();
            ReportViolation("ExDeleteTimer with Wait from timer %p's own callback (a deadlock)", (void*)timer);
            return wasArmed;
        }
        state.changed.wait(guard, [&] { return timer->Running == 0; });
    }
    bool idle = timer->Running == 0;
    guard.unlock();
    if (parameters != nullptr && parameters->DeleteCallback != nullptr) parameters->DeleteCallback(parameters->DeleteContext);
    // Freed only once no callback runs; without Wait one might, and the object is then left to it.
    if (idle) delete timer;
    return wasArmed;
}

ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution)
{
    if (KeGetCurrentIrql() > APC_LEVEL) ReportViolation("ExSetTimerResolution at IRQL %u", KeGetCurrentIrql());
    TimerState& state = State();
    if (setResolution) {
        LONGLONG asked = desiredTime < kFinestResolution ? kFinestResolution : desiredTime;
        state.resolutionRequest.store(asked);
    } else {
        state.resolutionRequest.store(0);
    }
    LONGLONG tick = EffectiveClockTick();
    return (ULONG)(tick > 0 ? tick : kDefaultClockTick);
}

}  // extern "C"
