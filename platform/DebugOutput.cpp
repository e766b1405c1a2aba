#include "platform/DebugOutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

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

void WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0)
    {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

}  // namespace

void WriteDebugOutput(const std::string& text)
{
    if (StderrEnabled())
        WriteAll(STDERR_FILENO, text.data(), text.size());
    std::shared_ptr<DebugOutputHook> hook;
    {
        std::lock_guard<std::mutex> guard(HookLock());
        hook = Hook();
    }
    if (hook && *hook)
        (*hook)(text);
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
