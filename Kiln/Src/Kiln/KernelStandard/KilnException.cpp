#include "Kiln/Src/Kiln/KernelStandard/KilnException.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "lumo/diagnostics/CallStack.h"
#include "lumo/text/TextConversion.h"

namespace Kiln
{

namespace
{

constexpr uint32_t kExceptionStackFrames = 32;

}  // namespace

Exception::Exception(const char* file, int line, const char* message)
    : m_line(static_cast<uint32_t>(line)), m_file(file)
{
    snprintf(m_message, sizeof m_message, "%s", message ? message : "");
    snprintf(m_callStack, sizeof m_callStack, "%s", kNoCallStack);
    CaptureCallStack();
}

void Exception::CaptureCallStack()
{
    StackWalker::Acquire();
    StackContext context;
    StackWalker::CaptureContext(context);
    uint64_t addresses[kExceptionStackFrames];
    const uint16_t count = StackWalker::Walk(addresses, context, kExceptionStackFrames);
    std::vector<StackFrameRecord> frames;
    StackWalker::Symbolise(addresses, count, frames);
    StackWalker::Release(true);
    if (frames.empty())
        return;

    // "address image function [file:line]" per frame; lines that do not fit are left out whole.
    size_t length = 0;
    for (size_t i = 1; i < frames.size(); ++i)  // from the caller of this function
    {
        const StackFrameRecord& frame = frames[i];
        char line[1024];
        const std::string image = ToNarrow(frame.image);
        const std::string function = ToNarrow(frame.function);
        const std::string file = ToNarrow(frame.file);
        int n;
        if (frame.line != 0xFFFFFFFF)
            n = snprintf(line, sizeof line, "%016llx %s %s [%s:%u]\r\n", static_cast<unsigned long long>(addresses[i]),
                         image.c_str(), function.c_str(), file.c_str(), frame.line);
        else
            n = snprintf(line, sizeof line, "%016llx %s %s\r\n", static_cast<unsigned long long>(addresses[i]),
                         image.c_str(), function.c_str());
        if (n < 0 || static_cast<size_t>(n) >= sizeof line || length + static_cast<size_t>(n) >= sizeof m_callStack)
            break;
        memcpy(m_callStack + length, line, static_cast<size_t>(n));
        length += static_cast<size_t>(n);
    }
    if (length > 0)
        m_callStack[length] = '\0';
}

}  // namespace Kiln
