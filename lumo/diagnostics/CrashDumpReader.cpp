#include "lumo/diagnostics/CrashDumpReader.h"

#include <signal.h>

#include <cstring>

#include "lumo/diagnostics/CrashDump.h"

namespace
{

// Reads little-endian fields from one record's payload; the first failure sticks.
class PayloadReader
{
public:
    PayloadReader(const std::string& bytes, size_t at, size_t length) : m_bytes(bytes), m_at(at), m_end(at + length) {}

    uint32_t U32()
    {
        uint32_t value = 0;
        if (Need(4))
        {
            for (int i = 0; i < 4; ++i)
                value |= static_cast<uint32_t>(static_cast<uint8_t>(m_bytes[m_at + i])) << (8 * i);
            m_at += 4;
        }
        return value;
    }
    uint64_t U64()
    {
        uint64_t value = 0;
        if (Need(8))
        {
            for (int i = 0; i < 8; ++i)
                value |= static_cast<uint64_t>(static_cast<uint8_t>(m_bytes[m_at + i])) << (8 * i);
            m_at += 8;
        }
        return value;
    }
    std::string String()
    {
        const uint32_t length = U32();
        return Rest(length);
    }
    std::string Rest(size_t length)
    {
        if (!Need(length))
            return std::string();
        std::string text = m_bytes.substr(m_at, length);
        m_at += length;
        return text;
    }
    std::string Rest() { return Rest(m_end - m_at); }

    bool Failed() const { return m_failed; }
    size_t FailedAt() const { return m_failedAt; }

private:
    bool Need(size_t count)
    {
        if (!m_failed && m_end - m_at >= count)
            return true;
        if (!m_failed)
            m_failedAt = m_at;
        m_failed = true;
        return false;
    }

    const std::string& m_bytes;
    size_t m_at;
    size_t m_end;
    bool m_failed = false;
    size_t m_failedAt = 0;
};

uint32_t U32At(const std::string& bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
    return value;
}

void ReadRegisters(PayloadReader& in, std::vector<std::pair<std::string, uint64_t>>& registers)
{
    const uint32_t count = in.U32();
    for (uint32_t i = 0; i < count && !in.Failed(); ++i)
    {
        std::string name = in.String();
        const uint64_t value = in.U64();
        registers.emplace_back(std::move(name), value);
    }
}

void ReadFrames(PayloadReader& in, std::vector<CrashDumpFrame>& frames)
{
    const uint32_t count = in.U32();
    for (uint32_t i = 0; i < count && !in.Failed(); ++i)
    {
        CrashDumpFrame frame;
        frame.address = in.U64();
        frame.offset = in.U64();
        frame.module = in.String();
        frame.buildId = in.String();
        frames.push_back(std::move(frame));
    }
}

bool ReadRecord(uint32_t tag, PayloadReader& in, CrashDumpContents& contents)
{
    switch (tag)
    {
    case kDumpTagProcess:
        contents.hasProcess = true;
        contents.pid = in.U32();
        contents.buildNumber = in.U32();
        contents.versionText = in.String();
        contents.executable = in.String();
        contents.seconds = in.U64();
        contents.nanoseconds = in.U32();
        break;
    case kDumpTagReason:
        contents.hasReason = true;
        contents.reason = in.U32();
        contents.signalNumber = static_cast<int32_t>(in.U32());
        contents.signalCode = static_cast<int32_t>(in.U32());
        contents.faultAddress = in.U64();
        contents.detail = in.String();
        break;
    case kDumpTagThread:
        contents.hasThread = true;
        contents.threadId = in.U32();
        contents.threadName = in.String();
        break;
    case kDumpTagRegisters:
        ReadRegisters(in, contents.registers);
        break;
    case kDumpTagFrames:
        ReadFrames(in, contents.frames);
        break;
    case kDumpTagThreadState:
    {
        CrashDumpThreadState thread;
        thread.threadId = in.U32();
        thread.name = in.String();
        ReadRegisters(in, thread.registers);
        ReadFrames(in, thread.frames);
        thread.stackStart = in.U64();
        thread.stack = in.Rest(in.U32());
        if (!in.Failed())
            contents.threadStates.push_back(std::move(thread));
        break;
    }
    case kDumpTagStack:
        contents.stackStart = in.U64();
        contents.stack = in.Rest();
        break;
    case kDumpTagMaps:
        contents.maps = in.Rest();
        break;
    case kDumpTagStatus:
        contents.status = in.Rest();
        break;
    case kDumpTagThreads:
    {
        const uint32_t count = in.U32();
        for (uint32_t i = 0; i < count && !in.Failed(); ++i)
            contents.threads.push_back(in.U32());
        break;
    }
    default:
        break;  // a record of a later version
    }
    return !in.Failed();
}

}  // namespace

bool ReadCrashDump(const std::string& bytes, CrashDumpContents& contents, std::string& error)
{
    contents = CrashDumpContents();
    if (bytes.size() < 16 || memcmp(bytes.data(), kCrashDumpMagic, sizeof(kCrashDumpMagic)) != 0)
    {
        error = "not a crash dump: the file does not start with \"LUMODUMP\"";
        return false;
    }
    contents.version = U32At(bytes, 8);
    const uint32_t headerSize = U32At(bytes, 12);
    if (contents.version != kCrashDumpVersion)
    {
        error = "unsupported crash dump version " + std::to_string(contents.version);
        return false;
    }
    if (headerSize < 16 || headerSize > bytes.size())
    {
        error = "bad header size " + std::to_string(headerSize);
        return false;
    }
    size_t at = headerSize;
    while (at < bytes.size())
    {
        if (bytes.size() - at < 8)
        {
            contents.cutShort = "record header cut short at offset " + std::to_string(at);
            return true;
        }
        const uint32_t tag = U32At(bytes, at);
        const uint32_t length = U32At(bytes, at + 4);
        if (bytes.size() - at - 8 < length)
        {
            contents.cutShort = "record " + std::to_string(tag) + " at offset " + std::to_string(at) + " claims " +
                                std::to_string(length) + " bytes, but only " + std::to_string(bytes.size() - at - 8) +
                                " follow";
            return true;
        }
        if (tag == kDumpTagEnd)
        {
            contents.complete = true;
            return true;
        }
        PayloadReader in(bytes, at + 8, length);
        if (!ReadRecord(tag, in, contents))
        {
            error = "record " + std::to_string(tag) + " at offset " + std::to_string(at) +
                    " ends inside a field at offset " + std::to_string(in.FailedAt());
            return false;
        }
        at += 8 + static_cast<size_t>(length);
    }
    return true;
}

std::string SignalName(int signalNumber)
{
    switch (signalNumber)
    {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGTRAP: return "SIGTRAP";
    case SIGSYS: return "SIGSYS";
    case SIGABRT: return "SIGABRT";
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    case SIGKILL: return "SIGKILL";
    default: return "signal " + std::to_string(signalNumber);
    }
}

std::string SignalCodeName(int signalNumber, int code)
{
    // Codes of sent signals are the same for every signal.
    switch (code)
    {
    case SI_USER: return "SI_USER";
    case SI_KERNEL: return "SI_KERNEL";
    case SI_QUEUE: return "SI_QUEUE";
    case SI_TKILL: return "SI_TKILL";
    default: break;
    }
    struct Name
    {
        int signalNumber;
        int code;
        const char* name;
    };
    static const Name kNames[] = {
        {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"}, {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
        {SIGBUS, BUS_ADRALN, "BUS_ADRALN"},    {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
        {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},    {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},
        {SIGFPE, FPE_INTOVF, "FPE_INTOVF"},    {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
        {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},    {SIGFPE, FPE_FLTUND, "FPE_FLTUND"},
        {SIGFPE, FPE_FLTRES, "FPE_FLTRES"},    {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
        {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"},    {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},
        {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"},    {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},
        {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"},   {SIGSYS, 1, "SYS_SECCOMP"},
    };
    for (const Name& name : kNames)
    {
        if (name.signalNumber == signalNumber && name.code == code)
            return name.name;
    }
    return std::to_string(code);
}

std::string CrashReasonName(uint32_t reason)
{
    switch (static_cast<CrashDumpReason>(reason))
    {
    case CrashDumpReason::Signal: return "signal";
    case CrashDumpReason::Snapshot: return "snapshot";
    case CrashDumpReason::UnexpectedExit: return "unexpected exit";
    case CrashDumpReason::Assertion: return "assertion";
    case CrashDumpReason::InvalidParameter: return "invalid parameter";
    case CrashDumpReason::UncaughtException: return "uncaught exception";
    case CrashDumpReason::Remote: return "remote";
    }
    return "reason " + std::to_string(reason);
}

std::string HexBytes(const std::string& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes)
    {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}
