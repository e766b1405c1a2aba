#include "app/core/InstalledBuilds.h"

#include "app/core/FileBytes.h"
#include "app/core/PatcherOptions.h"
#include "lumo/files/FreeSpace.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/os/ChildProcess.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/TextConversion.h"
#include "platform/NativePath.h"
#include "lumo/os/GuardedThread.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchTool.h"
#include "platform/Spawn.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <cwctype>
#include <mutex>

namespace {

constexpr wchar_t kBuildListName[] = L"buildList.txt";

enum class UtilityRun { Ended, NotStarted, TimedOut, Stopped };

// How often a running utility is checked against the run's stop.
constexpr std::chrono::milliseconds kStopPollInterval{100};
// What is kept of the utility's output for its reason: the end, where a failure is said.
constexpr size_t kKeptOutputBytes = 4096;

struct UtilityResult
{
    UtilityRun outcome = UtilityRun::NotStarted;
    int exitCode = -1;
    std::string output;  // the end of what it printed
    std::string error;   // why it did not start
};

// Runs the utility to its end. A utility still running after timeLimit, or when the host says
// stop, is killed with every process of its group (a script's own children included); when no
// thread can be had to watch, the utility runs as long as it takes.
UtilityResult RunUtility(const std::vector<std::string>& argv, std::chrono::milliseconds timeLimit,
                         LumoPatch::RunHost& host)
{
    UtilityResult result;
    if (!host.KeepGoing())
    {
        result.outcome = UtilityRun::Stopped;
        return result;
    }
    platform::SpawnRequest request;
    request.argv = argv;
    request.captureOutput = true;
    request.ownProcessGroup = true;
    // This thread waits for the utility to its end; a patcher killed meanwhile takes it along.
    request.dieWithParent = true;
    std::unique_ptr<platform::SpawnedChild> child = platform::SpawnedChild::Spawn(request, &result.error);
    if (!child)
        return result;

    std::mutex lock;
    std::condition_variable doneSignal;
    bool done = false;
    UtilityRun ended = UtilityRun::Ended;
    OS::GuardedThread watchdog;
    std::string threadError;
    const bool watched = watchdog.Start(
        [&] {
            const auto deadline = std::chrono::steady_clock::now() + timeLimit;
            std::unique_lock<std::mutex> guard(lock);
            while (!doneSignal.wait_for(guard, kStopPollInterval, [&] { return done; }))
            {
                const bool stop = !host.KeepGoing();
                if (stop || std::chrono::steady_clock::now() >= deadline)
                {
                    ended = stop ? UtilityRun::Stopped : UtilityRun::TimedOut;
                    child->Terminate(1);  // also ends the blocked read below
                    return;
                }
            }
        },
        &threadError);
    if (!watched)
        host.Log(0, FromNativePath(argv[0]) + L" " + ToWide(argv[1]) + L" runs without a time limit: " +
                        FromNativePath(threadError));
    char buffer[8192];
    for (ssize_t n; (n = child->ReadOutput(buffer, sizeof buffer)) > 0;)
    {
        result.output.append(buffer, static_cast<size_t>(n));
        if (result.output.size() > kKeptOutputBytes)
            result.output.erase(0, result.output.size() - kKeptOutputBytes);
    }
    child->Wait(0xFFFFFFFF);
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    doneSignal.notify_one();
    watchdog.Join();
    result.outcome = ended;
    result.exitCode = child->ExitCode();
    return result;
}

std::wstring CommandName(const std::vector<std::string>& argv)
{
    return FromNativePath(argv[0]) + L" " + ToWide(argv[1]);
}

// The last line the utility printed, as its own word on a failure ("" when it printed none).
std::wstring LastLine(const std::string& output)
{
    std::wstring text = OS::DecodeChildOutput(output.substr(0, output.find('\0')));
    while (!text.empty() && std::iswspace(text.back()))
        text.pop_back();
    return text.substr(text.find_last_of(L"\r\n") == std::wstring::npos ? 0 : text.find_last_of(L"\r\n") + 1);
}

// "; No space left on device (...)" when the disk that holds folder is full, else "".
std::wstring FullDiskNote(const std::wstring& folder)
{
    uint64_t freeBytes = 0;
    return !folder.empty() && LumoUtil::IsDiskFull(folder, &freeBytes) ? L"; " + LumoUtil::NoSpaceText(folder, freeBytes)
                                                                         : std::wstring();
}

// Says why a run of the utility did not succeed, at failureLevel, each line begun with prefix. A
// failure while the disk of writtenFolder (where the utility writes) is full names that too: what
// the utility says of it may be only "I/O error". A stop is no failure of the utility's: it is
// said at level 1. False unless the utility exited 0.
bool CheckRun(const UtilityResult& run, const std::vector<std::string>& argv, std::chrono::milliseconds timeLimit,
              LumoPatch::RunHost& host, int failureLevel, const std::wstring& prefix = std::wstring(),
              const std::wstring& writtenFolder = std::wstring())
{
    switch (run.outcome) {
    case UtilityRun::Ended:
        if (run.exitCode == 0)
            return true;
        {
            const std::wstring said = LastLine(run.output);
            host.Log(failureLevel, prefix + CommandName(argv) + L" ended with exit code " +
                                       std::to_wstring(run.exitCode) + (said.empty() ? L"" : L": " + said) +
                                       FullDiskNote(writtenFolder) + L".");
        }
        return false;
    case UtilityRun::NotStarted:
        host.Log(failureLevel, L"Unable to run " + CommandName(argv) + L": " + FromNativePath(run.error));
        return false;
    case UtilityRun::TimedOut:
        host.Log(failureLevel, prefix + CommandName(argv) + L" did not end within " +
                                   std::to_wstring(timeLimit.count() / 1000) + L" s and was stopped.");
        return false;
    case UtilityRun::Stopped:
        host.Log(1, CommandName(argv) + L" was stopped: the run is ending.");
        return false;
    }
    return false;
}

bool RunLogged(const std::vector<std::string>& argv, std::chrono::milliseconds timeLimit, LumoPatch::RunHost& host,
               int failureLevel)
{
    return CheckRun(RunUtility(argv, timeLimit, host), argv, timeLimit, host, failureLevel);
}

std::vector<std::wstring> Components(const std::wstring& path)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of(L"/\\", start);
        if (end == std::wstring::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

std::vector<std::string> ParseBuildList(const std::string& bytes)
{
    const std::string text = bytes.substr(0, bytes.find('\0'));
    std::vector<std::string> builds;
    size_t start = 0;
    for (size_t comma = text.find(','); comma != std::string::npos; comma = text.find(',', start)) {
        builds.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return builds;
}

std::wstring NormalizePath(const std::wstring& path, const std::wstring& base)
{
    const bool hasSeparator = path.find_first_of(L"/\\") != std::wstring::npos;
    if (path.starts_with(L"/") || path.starts_with(L"\\") ||
        (hasSeparator && path.find(L':') != std::wstring::npos))
        return path;

    const std::wstring separator = path.find(L'/') != std::wstring::npos ? L"/" : L"\\";
    const std::wstring name = GetFileNamePart(path);
    std::vector<std::wstring> pathParts = Components(path);
    std::vector<std::wstring> baseParts = Components(base);
    if (pathParts.empty() || baseParts.empty())
        return std::wstring();
    if (pathParts.front() == L".")
        pathParts.erase(pathParts.begin());
    if (baseParts.front() == L".")
        baseParts.erase(baseParts.begin());
    if (!name.empty() && !pathParts.empty())
        pathParts.pop_back();
    if (!GetFileNamePart(base).empty() && !baseParts.empty())
        baseParts.pop_back();

    size_t up = 0;
    while (up < pathParts.size() && pathParts[up] == L"..")
        ++up;
    std::wstring result;
    for (size_t i = 0; i + up < baseParts.size(); ++i)
        result += baseParts[i] + separator;
    for (size_t i = up; i < pathParts.size(); ++i)
        result += pathParts[i] + separator;
    return result + name;
}

bool QueryInstalledBuilds(const std::wstring& utilityPath, const LumoUtil::InstallDoor& door,
                          const std::wstring& listRelative, LumoPatch::RunHost& host, std::chrono::milliseconds timeLimit)
{
    const std::string utility = ToNativePath(utilityPath);
    // Without the builds nothing applies: why they could not be read is an error, not a detail.
    const std::wstring cannotRead = L"The installation's build could not be read: ";
    // The list is a file of the installation: reached through its door, never through a link that
    // leads out of it (the user's own file there is not the list).
    LumoUtil::InstallFile list;
    std::wstring error;
    if (!door.Reach(listRelative, list, error))
    {
        host.Log(3, cannotRead + L"the build list cannot be reached: " + error +
                        L". Nothing outside the installation was touched.");
        return false;
    }
    const std::string listPath = ToNativePath(list.path);
    // A list an earlier query left would be read as this one's when the utility writes none.
    if (list.kind != LumoUtil::InstallFileKind::Missing && !door.RemoveFile(list.relative, error))
    {
        host.Log(3, cannotRead + L"the old build list cannot be removed: " + error);
        return false;
    }
    // Stops the database service listbuilds may have started; its outcome changes nothing here.
    const auto removeList = [&] {
        std::wstring ignored;  // a list that stays is removed before the next query reads one
        door.RemoveFile(list.relative, ignored);
    };
    const auto closeDaemon = [&] {
        removeList();
        RunLogged({utility, "closeadbdaemon", "-nostartadbdaemon", "norender"}, timeLimit, host, 0);
    };
    const std::vector<std::string> listbuilds = {utility, "listbuilds", listPath, "norender"};
    const size_t slash = listPath.rfind('/');
    const std::wstring listFolder = FromNativePath(slash == std::string::npos ? std::string(".")
                                                   : listPath.substr(0, slash == 0 ? 1 : slash));
    const UtilityResult run = RunUtility(listbuilds, timeLimit, host);
    if (!CheckRun(run, listbuilds, timeLimit, host, 3, cannotRead, listFolder))
    {
        // A utility that ran and failed may have started the service; one that was killed took
        // its group with it, and one that never ran started nothing.
        if (run.outcome == UtilityRun::Ended)
            closeDaemon();
        else
            removeList();
        return false;
    }

    // Read only as a regular file, never through a link and never waiting on a FIFO.
    std::string bytes;
    bool present = false;
    if (!door.ReadOwnFile(list.relative, bytes, present, error) || !present) {
        std::wstring why = error;
        if (!present) {
            why = ToWide(strerror(ENOENT));
            // The usual reason for a missing list: the utility could not write it there.
            if (access(ToNativePath(listFolder).c_str(), W_OK) != 0)
                why += L" (its folder cannot be written: " + ToWide(strerror(errno)) + L")";
        }
        host.Log(3, L"Unable to read the build list " + FromNativePath(listPath) + L": " + why);
        closeDaemon();
        return false;
    }
    const std::vector<std::string> builds = ParseBuildList(bytes);
    const std::string text = bytes.substr(0, bytes.find('\0'));
    host.Log(0, std::to_wstring(builds.size()) + L" builds found {" + ToWide(text) + L"}");
    if (builds.empty())
    {
        // An empty list is a list the utility could not write (a full disk), not an installation
        // without builds: "not applicable" would point elsewhere.
        const std::wstring why = text.empty() ? L"the file is empty" : L"it holds \"" + ToWide(text) + L"\" without a comma";
        host.Log(3, cannotRead + CommandName(listbuilds) + L" listed no build in " + FromNativePath(listPath) + L" (" +
                        why + FullDiskNote(listFolder) + L").");
        closeDaemon();
        return false;
    }
    for (const std::string& build : builds)
        PatcherOptions::Instance().AddBuild(build);
    closeDaemon();
    return true;
}

std::wstring InstallToolPath(const std::wstring& installDir, const std::wstring& name, std::wstring* error)
{
    std::wstring path, why;
    const std::wstring relative = std::wstring(kPatchToolFolder) + L"/" + name;
    if (FindFixedName(installDir, relative, path, why))
        return path;
    if (error)
        *error = why;
    return LumoUtil::JoinPath(installDir, relative);
}

std::wstring InstallToolPath(const LumoUtil::InstallDoor& door, const std::wstring& name, std::wstring* error)
{
    std::wstring path, why;
    const std::wstring relative = std::wstring(kPatchToolFolder) + L"/" + name;
    if (FindFixedName(door, relative, path, why))
        return path;
    if (error)
        *error = why;
    return LumoUtil::JoinPath(door.Root(), relative);
}

bool QueryInstallationBuilds(const LumoUtil::InstallDoor& door, LumoPatch::RunHost& host, std::chrono::milliseconds timeLimit)
{
    std::wstring utilityError, listError, listRelative;
    const std::wstring utility = InstallToolPath(door, kDatabaseUtilityName, &utilityError);
    std::wstring list;
    if (!FindFixedName(door, std::wstring(kPatchToolFolder) + L"/" + kBuildListName, list, listError, &listRelative))
        list = LumoUtil::JoinPath(door.Root(), std::wstring(kPatchToolFolder) + L"/" + kBuildListName);
    // A name two entries match: which one is meant cannot be told, so nothing is run. (A missing
    // installation is said when the utility is not found in it.)
    if (!utilityError.empty() || !listError.empty()) {
        host.Log(3, L"Unable to run " + FromNativePath(ToNativePath(utility)) + L" listbuilds: " +
                        (utilityError.empty() ? listError : utilityError));
        return false;
    }
    // The list's folder as the door holds it. Only where the folder is there: a missing one is said
    // when the utility is not found in it.
    const size_t slash = listRelative.find_last_of(L'/');
    int folderFd = door.Fd();
    std::string folderLeaf = ".";
    LumoUtil::InstallFile listFolder;
    std::wstring unreached;
    if (slash != std::wstring::npos) {
        const bool held = door.Reach(listRelative.substr(0, slash), listFolder, unreached) &&
                          listFolder.kind == LumoUtil::InstallFileKind::Folder;
        folderFd = held ? listFolder.handle.Folder() : -1;
        folderLeaf = held ? listFolder.handle.Leaf() : std::string();
    }
    if (folderFd >= 0 && ::faccessat(folderFd, folderLeaf.c_str(), W_OK, 0) != 0 && errno != ENOENT &&
        errno != ENOTDIR) {
        const int error = errno;
        host.Log(3, L"The installation " + door.Root() + L" cannot be written: " +
                        list.substr(0, list.find_last_of(L"/\\")) + L": " + FromNativePath(strerror(error)));
        return false;
    }
    return QueryInstalledBuilds(utility, door, std::wstring(kPatchToolFolder) + L"/" + kBuildListName, host,
                                timeLimit);
}

bool QueryInstallationBuilds(const std::wstring& installDir, LumoPatch::RunHost& host, std::chrono::milliseconds timeLimit)
{
    // Discovery asks folders that no run holds; below a take the door is passed instead.
    std::wstring doorError;
    const std::shared_ptr<LumoUtil::InstallDoor> door = LumoUtil::InstallDoor::Open(installDir, doorError);
    if (!door) {
        host.Log(3, L"The installation's build could not be read: " + doorError);
        return false;
    }
    return QueryInstallationBuilds(*door, host, timeLimit);
}

bool HoldsInstallation(const LumoUtil::InstallDoor& door, std::wstring& error)
{
    std::wstring utility, reached;
    if (!FindFixedName(door, std::wstring(kPatchToolFolder) + L"/" + kDatabaseUtilityName, utility, error, &reached))
        return false;
    // Anything but a folder under the utility's name (a file, a link) is the game's.
    const LumoUtil::InstallFileKind kind = door.Look(reached).kind;
    if (kind == LumoUtil::InstallFileKind::Regular || kind == LumoUtil::InstallFileKind::Other)
        return true;
    error = L"The folder " + door.Root() + L" holds no Sollex installation: it has no " + utility + L".";
    return false;
}

bool HoldsInstallation(const std::wstring& installDir, std::wstring& error)
{
    std::wstring utility;
    if (!FindFixedName(installDir, std::wstring(kPatchToolFolder) + L"/" + kDatabaseUtilityName, utility, error))
        return false;
    // Anything but a folder under the utility's name (a file, a link) is the game's.
    struct stat standing;
    if (lstat(ToNativePath(utility).c_str(), &standing) == 0 && !S_ISDIR(standing.st_mode))
        return true;
    error = L"The folder " + installDir + L" holds no Sollex installation: it has no " + utility + L".";
    return false;
}
