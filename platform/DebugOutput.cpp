#include "platform/DebugOutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/WriteFully.h"

namespace platform
{

namespace
{

std::mutex& HookLock()
{
    static std::mutex* lock = new std::mutex;  // outlives static destructors
    return *lock;
}

std::shared_ptr<DebugOutputHook>& Hook()
{
    static auto* hook = new std::shared_ptr<DebugOutputHook>;
    return *hook;
}

bool StderrEnabled()
{
    static const bool enabled = [] {
        const char* value = getenv("LUMO_DEBUG_OUTPUT");
        return value && *value && strcmp(value, "0") != 0;
    }();
    return enabled;
}

}  // namespace

void WriteDebugOutput(const std::string& text)
{
    if (StderrEnabled())
        WriteFully(STDERR_FILENO, text.data(), text.size());
    std::shared_ptr<DebugOutputHook> hook;
    {
        std::lock_guard<std::mutex> guard(HookLock());
        hook = Hook();
    }
    if (hook && *hook)
        (*hook)(text);
}

bool DebugOutputHasReader()
{
    if (StderrEnabled())
        return true;
    std::lock_guard<std::mutex> guard(HookLock());
    return Hook() && *Hook();
}

void WriteDebugOutput(const char* text)
{
    WriteDebugOutput(std::string(text ? text : ""));
}

DebugOutputHook SetDebugOutputHook(DebugOutputHook hook)
{
    auto next = hook ? std::make_shared<DebugOutputHook>(std::move(hook)) : nullptr;
    std::lock_guard<std::mutex> guard(HookLock());
    std::shared_ptr<DebugOutputHook> previous = std::move(Hook());
    Hook() = std::move(next);
    return previous ? *previous : DebugOutputHook();
}

}  // namespace platform
