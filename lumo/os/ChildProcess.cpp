#include "lumo/os/ChildProcess.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "lumo/text/TextConversion.h"
#include "platform/CommandLineSplit.h"
#include "platform/LastError.h"
#include "platform/NativePath.h"
#include "platform/Spawn.h"
#include "platform/Utf8.h"

namespace OS
{
namespace
{

constexpr size_t kReadSize = 8192;

// How many bytes at the end of text begin a UTF-8 character whose rest has not come yet.
size_t CutCharacterLength(const std::string& text)
{
    for (size_t back = 1; back <= 3 && back <= text.size(); ++back)
    {
        const unsigned char c = static_cast<unsigned char>(text[text.size() - back]);
        if ((c & 0xC0) == 0x80)
            continue;  // a continuation byte: its lead is further back
        const size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

}  // namespace

std::wstring DecodeChildOutput(const std::string& bytes)
{
    return DecodeUtf8Or8Bit(bytes);
}

Process::Process() = default;

Process::~Process()
{
    Close();
}

std::unique_ptr<Process> Process::Start(const std::wstring& exe, const std::string& args,
                                        const std::wstring& workingFolder, std::string* error, bool ownProcessGroup)
{
    std::vector<std::wstring> arguments;
    for (const std::string& argument : platform::SplitCommandLineArguments(args))
        arguments.push_back(ToWide(argument));
    return Start(exe, arguments, workingFolder, error, ownProcessGroup);
}

std::unique_ptr<Process> Process::Start(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                                        const std::wstring& workingFolder, std::string* error, bool ownProcessGroup)
{
    platform::SpawnRequest request;
    request.ownProcessGroup = ownProcessGroup;
    request.argv.push_back(ToNativePath(exe));
    for (const std::wstring& argument : arguments)
        request.argv.push_back(platform::WideToUtf8(argument));
    if (!workingFolder.empty())
        request.workingFolder = ToNativePath(workingFolder);
    request.captureOutput = true;

    std::unique_ptr<platform::SpawnedChild> child = platform::SpawnedChild::Spawn(request, error);
    if (!child)
    {
        platform::SetLastErrorFromErrno(errno);
        return nullptr;
    }
    std::unique_ptr<Process> process(new Process);
    process->m_processId = static_cast<uint32_t>(child->Pid());
    process->m_child = std::move(child);
    return process;
}

bool Process::ReadOutput(std::string& out)
{
    if (!m_child)
        return false;
    if (!m_readBuffer)
        m_readBuffer.reset(new char[kReadSize + 1]);
    const ssize_t n = m_child->ReadOutput(m_readBuffer.get(), kReadSize);
    if (n <= 0)
        return false;
    // The text is handed on as C strings later; a NUL would silently cut it there.
    const char* piece = m_readBuffer.get();
    const char* end = piece + n;
    while (piece < end)
    {
        const char* nul = static_cast<const char*>(memchr(piece, '\0', static_cast<size_t>(end - piece)));
        const char* stop = nul ? nul : end;
        out.append(piece, static_cast<size_t>(stop - piece));
        piece = stop + (nul ? 1 : 0);
    }
    return true;
}

bool Process::ReadOutputText(std::wstring& out)
{
    const bool more = ReadOutput(m_textTail);
    if (!more && m_textTail.empty())
        return false;
    const size_t keep = more ? CutCharacterLength(m_textTail) : 0;
    out += DecodeChildOutput(m_textTail.substr(0, m_textTail.size() - keep));
    m_textTail.erase(0, m_textTail.size() - keep);
    return true;
}

bool Process::ReadError(std::string& /*out*/)
{
    return false;
}

bool Process::Wait(uint32_t milliseconds)
{
    return m_child && m_child->Wait(milliseconds);
}

int Process::GetExitCode()
{
    return m_child ? m_child->ExitCode() : -1;
}

bool Process::Terminate(uint32_t exitCode)
{
    return m_child && m_child->Terminate(exitCode);
}

void Process::Close()
{
    m_child.reset();
    m_readBuffer.reset();
}

std::string RunProcess(const std::wstring& exe, const std::string& args)
{
    std::unique_ptr<Process> process = Process::Start(exe, args);
    if (!process)
        return "ERROR create-process\n";

    std::string output;
    bool outputOpen = true;
    bool errorOpen = true;
    while (outputOpen || errorOpen)
    {
        if (outputOpen)
            outputOpen = process->ReadOutput(output);
        if (errorOpen)
            errorOpen = process->ReadError(output);
    }
    process->Wait(0xFFFFFFFF);
    const int code = process->GetExitCode();
    process->Close();

    if (code != 0)
    {
        char prefix[32];
        snprintf(prefix, sizeof prefix, "ERROR %d\n", code);
        output.insert(0, prefix);
    }
    return output;
}

}  // namespace OS
