#include "patch/PatchTool.h"

#include <signal.h>

#include <memory>

#include "lumo/text/TextConversion.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchFileNames.h"
#include "platform/NativePath.h"
#include "platform/Spawn.h"

namespace
{

// How often a running tool is checked against the keep-going callback.
constexpr uint32_t kPollMs = 100;
constexpr uint32_t kNoLimit = 0xFFFFFFFF;

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

}  // namespace

std::wstring MakePatchToolFolder(const std::wstring& installDir)
{
    std::wstring folder = installDir;
    if (folder.empty() || (folder.back() != L'\\' && folder.back() != L'/'))
        folder += L'\\';
    return folder + L"bin\\";
}

PatchToolCommand MakePatchToolCommand(const std::wstring& toolFolder, bool archive, const std::wstring& backup,
                                      const std::wstring& diff, const std::wstring& target)
{
    PatchToolCommand command;
    command.toolFolder = toolFolder;
    const std::wstring program = toolFolder + (archive ? kArchiveConverterExe : kPatchToolExe);
    command.argv.push_back(ToNativePath(program));
    command.commandLine = Quoted(program);
    if (archive)
    {
        command.argv.push_back(kArchivePatchCommand);
        command.commandLine += L" " + ToWide(kArchivePatchCommand);
    }
    for (const std::wstring* path : {&backup, &diff, &target})
    {
        command.argv.push_back(ToNativePath(*path));
        command.commandLine += L" " + Quoted(*path);
    }
    return command;
}

PatchToolRun RunPatchTool(const PatchToolCommand& command, uint32_t graceMs)
{
    PatchToolRun run;
    platform::SpawnRequest request;
    request.argv = command.argv;
    request.workingFolder = ToNativePath(command.toolFolder);
    // A tool left running by a killed patcher would write into an installation that recovery has
    // since restored.
    request.dieWithParent = true;
    std::unique_ptr<platform::SpawnedChild> child = platform::SpawnedChild::Spawn(request, &run.error);
    if (!child)
        return run;

    while (!child->Wait(kPollMs))
    {
        if (PatchKeepGoing())
            continue;
        // Only this object collects the child, and it has not yet: the pid still names it.
        kill(child->Pid(), SIGTERM);
        if (!child->Wait(graceMs))
        {
            child->Terminate(128 + SIGKILL);
            child->Wait(kNoLimit);
        }
        run.outcome = PatchToolRun::kCancelled;
        run.exitCode = child->ExitCode();
        return run;
    }
    run.outcome = PatchToolRun::kExited;
    run.exitCode = child->ExitCode();
    return run;
}
