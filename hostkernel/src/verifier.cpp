// The verifier: where broken kernel rules are reported, and the checks that run at unload.
#include "internal.h"

#include <cstdarg>
#include <cstdio>

namespace hk {
namespace {

std::mutex g_lock;
ViolationHandler g_handler;

struct CleanCheck {
    const char* name;
    std::function<void()> check;
};
std::vector<CleanCheck>& CleanChecks()
{
    static std::vector<CleanCheck> checks;
    return checks;
}

}  // namespace

void SetViolationHandler(ViolationHandler handler)
{
    std::lock_guard guard(g_lock);
    g_handler = std::move(handler);
}

void ReportViolation(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);

    ViolationHandler handler;
    {
        std::lock_guard guard(g_lock);
        handler = g_handler;
    }
    std::string message = std::string("verifier: ") + text;
    if (handler) {
        handler(message);
    } else {
        fprintf(stderr, "%s\n", message.c_str());
    }
}

VerifierCapture::VerifierCapture()
{
    std::lock_guard guard(g_lock);
    previous_ = g_handler;
    g_handler = [this](const std::string& message) {
        // Reports may come from driver threads; the capture is read only after they are joined.
        static std::mutex appendLock;
        std::lock_guard append(appendLock);
        messages_.push_back(message);
    };
}

VerifierCapture::~VerifierCapture()
{
    std::lock_guard guard(g_lock);
    g_handler = previous_;
}

bool VerifierCapture::Saw(const std::string& fragment) const
{
    for (const auto& message : messages_) {
        if (message.find(fragment) != std::string::npos) return true;
    }
    return false;
}

void RegisterCleanCheck(const char* name, std::function<void()> check)
{
    std::lock_guard guard(g_lock);
    for (auto& existing : CleanChecks()) {
        if (std::string(existing.name) == name) {
            existing.check = std::move(check);
            return;
        }
    }
    CleanChecks().push_back({name, std::move(check)});
}

void VerifyCleanCore();  // harness.cpp: pool, IRPs, devices, objects

void VerifyClean()
{
    VerifyCleanCore();
    std::vector<CleanCheck> checks;
    {
        std::lock_guard guard(g_lock);
        checks = CleanChecks();
    }
    for (auto& c : checks) c.check();
}

}  // namespace hk
