#include "app/core/StartupDecisions.h"

#include "app/core/CommandLine.h"
#include "lumo/diagnostics/SystemLog.h"
#include "lumo/text/TextConversion.h"
#include "patch/WriteAccess.h"
#include "platform/NativePath.h"
#include "platform/Utf8.h"

#include <unistd.h>

std::vector<std::wstring> BuildElevatedArguments(const PatcherOptions& options, bool debug)
{
    std::vector<std::wstring> arguments = {L"--admin"};
    if (options.repair)
        arguments.push_back(L"--repair");
    if (debug)
        arguments.push_back(L"--debug");
    for (const std::wstring& server : options.patchServers)
        arguments.push_back(L"--server=" + server);

    // No installation known: the copy looks in the registry as this one did. An empty parameter
    // would be a wrong command line, and a build alone would be read as the folder.
    std::vector<std::wstring> parameters;
    if (const std::string build = options.GetCurrentBuild(); !build.empty() && !options.installPath.empty())
        parameters.push_back(ToWide(build));
    if (!options.installPath.empty())
        parameters.push_back(options.installPath);
    for (const std::wstring& parameter : parameters) {
        if (parameter.starts_with(L"-")) {
            arguments.push_back(L"--");
            break;
        }
    }
    arguments.insert(arguments.end(), parameters.begin(), parameters.end());
    return arguments;
}

StartupAccess CheckAccessOrElevate(const PatcherOptions& options, bool admin, bool debug, const std::wstring& program,
                                   platform::Elevator& elevator, const AccessChecks& checks)
{
    if (checks.writable(options.installPath))
        return StartupAccess::Granted;
    // Root cannot write a read-only mount either: a prompt for rights would only end the same way.
    if (checks.readOnlyFileSystem && checks.readOnlyFileSystem(options.installPath))
        return StartupAccess::ReadOnlyFileSystem;
    // Never again from an elevated copy: a chain of prompts would follow.
    if (admin || checks.effectiveUser == 0)
        return StartupAccess::Denied;

    // The copy starts in another folder: a relative install path (from the registry) is handed
    // over as this process reads it.
    PatcherOptions handedOver = options;
    handedOver.installPath = MakeAbsolutePath(options.installPath, CurrentWorkingFolder());
    std::vector<std::string> arguments;
    std::string joined;
    for (const std::wstring& argument : BuildElevatedArguments(handedOver, debug)) {
        arguments.push_back(platform::WideToUtf8(argument));
        joined += (joined.empty() ? "" : " ") + arguments.back();
    }
    // The elevated copy's arguments are a developer's trace, off the console.
    SystemLogPrintfTo(SYSTEMLOG_DETAIL, "parm: %s", joined.c_str());
    const platform::ElevationResult result = elevator.RunElevatedAndWait(ToNativePath(program), arguments);
    // The privileges box that follows cannot say why the elevation program did not start: the log does.
    if (!result.reason.empty())
        SystemLogPrintf("The elevation program could not be started: %s", result.reason.c_str());
    return result.outcome == platform::ElevationResult::Outcome::Ran ? StartupAccess::ElevatedCopyRan
                                                                       : StartupAccess::ElevationFailed;
}

AccessChecks ProcessAccessChecks()
{
    return AccessChecks{[](const std::wstring& installPath) {
                            // The box that follows a refusal cannot say what failed: the log does.
                            std::wstring reason;
                            const bool writable = CheckWriteAccess(installPath, &reason);
                            if (!writable && !reason.empty())
                                SystemLogPrintfW(L"%s", reason.c_str());
                            return writable;
                        },
                        geteuid(), IsOnReadOnlyFileSystem};
}

std::wstring ReadOnlyInstallationText(const std::wstring& installPath)
{
    return L"The Sollex installation in " + installPath +
           L" lies on a read-only file system: no user account can write to it, an "
           L"administrator's neither.\nMount it for writing, or move the installation to a disk that can be written, "
           L"and try again.";
}

RunDecision DecideRun(const PatcherOptions& options)
{
    if (options.HasPatchServers() || options.repair)
        return RunDecision::StartNow;
    if (options.localPatch)
        return RunDecision::WaitForApply;
    return RunDecision::NothingToDo;
}
