#include "patch/PatchTool.h"

#include <signal.h>

#include <memory>

#include "lumo/files/InstallDoor.h"
#include "lumo/text/TextConversion.h"
#include "patch/InstallFileOps.h"
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

// A path as the OS is handed it, every backslash turned into "/": one separator style in messages.
std::wstring InSlashStyle(const std::wstring& path)
{
    return FromNativePath(ToNativePath(path));
}

}  // namespace

InstalledPatchTools FindPatchTools(const LumoUtil::InstallDoor& door)
{
    InstalledPatchTools tools;
    std::wstring folder, spelled, error;
    if (!FindFixedName(door, kPatchToolFolder, folder, error, &spelled))
    {
        tools.patchToolError = tools.converterError = error;
        spelled = kPatchToolFolder;
        folder = door.Root() + (door.Root() == L"/" ? L"" : L"/") + spelled;
    }
    tools.folder = InSlashStyle(folder) + L"/";
    std::wstring converterReached;
    const struct
    {
        const wchar_t* name;
        std::wstring* path;
        std::wstring* error;
        std::wstring* reached;
    } wanted[] = {{kPatchToolExe, &tools.patchTool, &tools.patchToolError, nullptr},
                  {kArchiveConverterExe, &tools.converter, &tools.converterError, &converterReached}};
    for (const auto& tool : wanted)
    {
        *tool.path = tools.folder + tool.name;
        std::wstring found;
        if (tool.error->empty() && FindFixedName(door, spelled + L"/" + tool.name, found, *tool.error, tool.reached))
            *tool.path = found;
    }
    // What the converter's name reaches through the door: a link inside followed, none leading out.
    LumoUtil::InstallFile converter;
    std::wstring unreached;
    tools.converterInstalled = tools.converterError.empty() &&
                               door.ReachAny(converterReached, converter, unreached, LumoUtil::NameText::EightBit,
                                             true) &&
                               converter.kind == LumoUtil::InstallFileKind::Regular;
    return tools;
}

PatchToolCommand MakePatchToolCommand(const InstalledPatchTools& tools, bool archive, const std::wstring& backup,
                                      int backupFd, const std::wstring& diff, const std::wstring& target,
                                      int targetFd)
{
    PatchToolCommand command;
    command.toolFolder = tools.folder;
    const std::wstring& program = archive ? tools.converter : tools.patchTool;
    command.argv.push_back(ToNativePath(program));
    command.commandLine = Quoted(InSlashStyle(program));
    if (archive)
    {
        command.argv.push_back(kArchivePatchCommand);
        command.commandLine += L" " + ToWide(kArchivePatchCommand);
    }
    const auto descriptorName = [](int number) { return "/proc/self/fd/" + std::to_string(number); };
    command.argv.push_back(descriptorName(kPatchToolBackupFd));
    command.argv.push_back(ToNativePath(diff));
    command.argv.push_back(descriptorName(kPatchToolOutputFd));
    command.inherit = {{backupFd, kPatchToolBackupFd}, {targetFd, kPatchToolOutputFd}};
    for (const std::wstring* path : {&backup, &diff, &target})
        command.commandLine += L" " + Quoted(InSlashStyle(*path));
    return command;
}

PatchToolRun RunPatchTool(const PatchToolCommand& command, uint32_t graceMs)
{
    PatchToolRun run;
    platform::SpawnRequest request;
    request.argv = command.argv;
    request.inherit = command.inherit;
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
