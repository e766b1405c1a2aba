#pragma once
// The kernel's exceptions: unrecoverable errors, thrown by value and caught by reference. Each
// carries the source place, a message (cut to 255 characters) and the call stack of the place
// where it was built. The thread guard (FatalError.h) turns one that reaches it into an error
// report and a critical shutdown.

#include <cstdint>

namespace Kiln
{

class Exception
{
public:
    // `file` is kept as given, not copied: pass a string that lives for the whole run
    // (__FILE__). The call stack is captured here.
    Exception(const char* file, int line, const char* message);
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;
    virtual ~Exception() = default;

    virtual const char* TypeName() const { return "Unknown"; }
    virtual uint8_t Flag() const { return m_flag; }
    virtual const char* CallStack() const { return m_callStack; }
    virtual const char* Message() const { return m_message; }

    const char* File() const { return m_file; }
    uint32_t Line() const { return m_line; }

    static constexpr const char* kNoCallStack = "No call stack available\r\n";

protected:
    // Fills the call-stack text with the calling thread's stack, one frame a line.
    void CaptureCallStack();

    char m_callStack[4096];
    char m_message[256];
    uint8_t m_flag = 0;
    uint32_t m_line = 0;
    const char* m_file = nullptr;
};

// Thrown by the kernel's file layer.
class FileEx : public Exception
{
public:
    using Exception::Exception;
    const char* TypeName() const override { return "File"; }
};

// A failed kernel assertion: the guard runs the shutdown chain without a report.
class AssertEx
{
};

}  // namespace Kiln
