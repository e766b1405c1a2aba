#include "app/core/InstalledBuilds.h"

#include "app/core/FileBytes.h"
#include "app/core/PatcherOptions.h"
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
#include <mutex>

namespace {

constexpr wchar_t kUtilityName[] = L"SollexUtil.exe";
constexpr wchar_t kBuildListName[] = L"buildList.txt";

enum class UtilityRun { Ended, NotStarted, TimedOut };

// Runs the utility to its end, discarding what it prints. A utility still running after timeLimit
// is killed; when no thread can be had to watch the time, the utility runs as long as it takes.
UtilityRun RunUtility(const std::vector<std::string>& argv, std::chrono::milliseconds timeLimit, std::string& error,
                      LumoPatch::RunHost& host)
{
    platform::SpawnRequest request;
    request.argv = argv;
    request.captureOutput = true;
    std::unique_ptr<platform::SpawnedChild> child = platform::SpawnedChild::Spawn(request, &error);
    if (!child)
        return UtilityRun::NotStarted;

    std::mutex lock;
    std::condition_variable doneSignal;
    bool done = false;
    bool timedOut = false;
    OS::GuardedThread watchdog;
    std::string threadError;
    const bool watched = watchdog.Start(
        [&] {
            std::unique_lock<std::mutex> guard(lock);
            if (!doneSignal.wait_for(guard, timeLimit, [&] { return done; })) {
                timedOut = true;
                child->Terminate(1);  // also ends the blocked read below
            }
        },
        &threadError);
    if (!watched)
        host.Log(0, FromNativePath(argv[0]) + L" " + ToWide(argv[1]) + L" runs without a time limit: " +
                        FromNativePath(threadError));
    char buffer[8192];
    while (child->ReadOutput(buffer, sizeof buffer) > 0) {
    }
    child->Wait(0xFFFFFFFF);
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    doneSignal.notify_one();
    watchdog.Join();
    return timedOut ? UtilityRun::TimedOut : UtilityRun::Ended;
}

// Runs the utility; why it did not run or end is logged at failureLevel.
bool RunLogged(const std::vector<std::string>& argv, std::chrono::milliseconds timeLimit, LumoPatch::RunHost& host,
               int failureLevel)
{
    std::string error;
    switch (RunUtility(argv, timeLimit, error, host)) {
    case UtilityRun::Ended:
        return true;
    case UtilityRun::NotStarted:
        host.Log(failureLevel, L"Unable to run " + FromNativePath(argv[0]) + L" " + ToWide(argv[1]) + L": " +
                                   FromNativePath(error));
        return false;
    case UtilityRun::TimedOut:
        host.Log(failureLevel, FromNativePath(argv[0]) + L" " + ToWide(argv[1]) + L" did not end within " +
                        std::to_wstring(timeLimit.count() / 1000) + L" s and was stopped.");
        return false;
    }
    return false;
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

bool QueryInstalledBuilds(const std::wstring& utilityPath, const std::wstring& listFilePath, LumoPatch::RunHost& host,
                          std::chrono::milliseconds timeLimit)
{
    const std::string utility = ToNativePath(utilityPath);
    const std::string listPath = ToNativePath(NormalizePath(listFilePath, std::wstring()));
    // Without the builds nothing applies: why they could not be read is an error, not a detail.
    if (!RunLogged({utility, "listbuilds", listPath, "norender"}, timeLimit, host, 3))
        return false;

    std::string bytes;
    if (!ReadFileBytes(FromNativePath(listPath), bytes)) {
        std::wstring why = ToWide(strerror(errno));
        // The usual reason for a missing list: the utility could not write it there.
        const std::string folder = listPath.substr(0, listPath.rfind('/') + 1);
        if (errno == ENOENT && !folder.empty() && access(folder.c_str(), W_OK) != 0)
            why += L" (its folder cannot be written: " + ToWide(strerror(errno)) + L")";
        host.Log(3, L"Unable to read the build list " + FromNativePath(listPath) + L": " + why);
        return false;
    }
    const std::vector<std::string> builds = ParseBuildList(bytes);
    for (const std::string& build : builds)
        PatcherOptions::Instance().AddBuild(build);
    const std::string text = bytes.substr(0, bytes.find('\0'));
    host.Log(0, std::to_wstring(builds.size()) + L" builds found {" + ToWide(text) + L"}");
    unlink(listPath.c_str());

    // Stops the database service listbuilds may have started; its outcome changes nothing here.
    RunLogged({utility, "closeadbdaemon", "-nostartadbdaemon", "norender"}, timeLimit, host, 0);
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

bool QueryInstallationBuilds(const std::wstring& installDir, LumoPatch::RunHost& host, std::chrono::milliseconds timeLimit)
{
    std::wstring utilityError, listError;
    const std::wstring utility = InstallToolPath(installDir, kUtilityName, &utilityError);
    const std::wstring list = InstallToolPath(installDir, kBuildListName, &listError);
    // A name two entries match: which one is meant cannot be told, so nothing is run. (A missing
    // installation is said when the utility is not found in it.)
    struct stat folderStatus;
    const bool isFolder = stat(ToNativePath(installDir).c_str(), &folderStatus) == 0 && S_ISDIR(folderStatus.st_mode);
    if ((!utilityError.empty() || !listError.empty()) && isFolder) {
        host.Log(3, L"Unable to run " + FromNativePath(ToNativePath(utility)) + L" listbuilds: " +
                        (utilityError.empty() ? listError : utilityError));
        return false;
    }
    const std::string folder = ToNativePath(list.substr(0, list.find_last_of(L"/\\")));
    // Only where the folder is there: a missing one is said when the utility is not found in it.
    if (access(folder.c_str(), W_OK) != 0 && errno != ENOENT && errno != ENOTDIR) {
        const int error = errno;
        host.Log(3, L"The installation " + installDir + L" cannot be written: " + FromNativePath(folder) + L": " +
                        FromNativePath(strerror(error)));
        return false;
    }
    return QueryInstalledBuilds(utility, list, host, timeLimit);
}

bool HoldsInstallation(const std::wstring& installDir, std::wstring& error)
{
    std::wstring utility;
    if (!FindFixedName(installDir, std::wstring(kPatchToolFolder) + L"/" + kUtilityName, utility, error))
        return false;
    if (IsFilePresent(utility))
        return true;
    error = L"The folder " + installDir + L" holds no Sollex installation: it has no " + utility + L".";
    return false;
}
