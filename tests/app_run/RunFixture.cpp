#include "tests/app_run/RunFixture.h"

#include "BuildConfig.h"
#include "app/core/PatcherOptions.h"
#include "app/run/PatchRun.h"
#include "platform/NativePath.h"
#include "platform/Registry.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/FakeSollexUtil.h"
#include "tests/fixtures/FileListWriter.h"
#include "tests/fixtures/PackageWriter.h"
#include "tests/fixtures/UninstallLogFixture.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

namespace apprun {

const char* const kBuildA = "43434";
const char* const kBuildB = "44088";
const char* const kBuildC = "45000";

namespace {

// One patch as its lists give it (list paths with "\").
struct Step
{
    std::string from, to;
    std::vector<std::pair<std::string, std::string>> added;
    std::vector<std::string> deleted;
    std::vector<std::pair<std::string, std::string>> patched;
};

// Bytes zlib cannot shrink much, so a package is large enough to be cut in transfer.
std::string Noise(size_t size)
{
    std::string bytes(size, 0);
    uint32_t state = 12345;
    for (char& byte : bytes)
    {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

const std::vector<Step>& Steps()
{
    static const std::vector<Step> steps = {
        {kBuildA, kBuildB,
         {{"data\\new-b.txt", "added in B"}, {"readme.txt", "readme B"}, {"data\\big.bin", Noise(20000)}},
         {"data\\old.txt"},
         {{"bin\\game.dll", "game B"}, {"version.txt", kBuildB}}},
        {kBuildB, kBuildC,
         {{"data\\deep\\new-c.txt", "added in C"}, {"docs\\manual.txt", "manual C"}},
         {"data\\new-b.txt"},
         {{"bin\\LumoLauncher.exe", "launcher C"}, {"data\\pack.ka", std::string(3000, 'c')}, {"version.txt", kBuildC}}},
    };
    return steps;
}

// Files of the machinery, not of a build.
// Files of the test's machinery, and the build query's scratch list (a kill between the utility
// writing it and the run removing it leaves it; the next run replaces it).
bool IsMachinery(const std::string& path)
{
    return path == "unins000.dat" || path == "bin/buildList.txt" || path == "bin/kpatchl-w32.exe" || path == "bin/KAConverter.exe" ||
           path == "bin/SollexUtil.exe" || path.rfind("bin/fake_util.", 0) == 0 || path.rfind("patch.dbstopped", 0) == 0;
}

}  // namespace

fixtures::TreeContent BuildTree(const std::string& build)
{
    fixtures::TreeContent tree = {
        {"version.txt", kBuildA},       {"bin/", ""},
        {"bin/LumoLauncher.exe", "launcher A"}, {"bin/game.dll", "game A"},
        {"data/", ""},                  {"data/old.txt", "old"},
        {"data/pack.ka", std::string(3000, 'a')}, {"docs/", ""},
        {"docs/manual.txt", "manual A"}, {"readme.txt", "readme A"},
    };
    for (const Step& step : Steps())
    {
        if (tree.at("version.txt") == build)
            break;
        for (const auto& [path, content] : step.added)
        {
            const std::string native = fixtures::NativeListPath(path);
            for (size_t slash = native.find('/'); slash != std::string::npos; slash = native.find('/', slash + 1))
                tree[native.substr(0, slash + 1)] = "";
            tree[native] = content;
        }
        for (const std::string& path : step.deleted)
            tree.erase(fixtures::NativeListPath(path));
        for (const auto& [path, content] : step.patched)
            tree[fixtures::NativeListPath(path)] = content;
    }
    if (tree.at("version.txt") != build)
        throw std::runtime_error("no tree for build " + build);
    return tree;
}

std::string MakePackage(const std::string& from, const std::string& to, const PackageFaults& faults)
{
    const Step* step = nullptr;
    for (const Step& candidate : Steps())
        if (candidate.from == from && candidate.to == to)
            step = &candidate;
    if (!step)
        throw std::runtime_error("no package " + from + " -> " + to);
    const fixtures::TreeContent old = BuildTree(from);
    std::map<std::string, std::string> data;  // below "data", list path -> content
    std::vector<fixtures::AddedEntry> added;
    std::vector<fixtures::PatchedEntry> patched;
    for (const auto& [path, content] : step->added)
    {
        data[path] = content;
        added.push_back({path, fixtures::Md5Hex(content)});
    }
    bool first = true;
    for (const auto& [path, content] : step->patched)
    {
        const std::string native = fixtures::NativeListPath(path);
        const std::string oldMd5 = fixtures::Md5Hex(native == faults.damagedFile ? "not what is installed" : old.at(native));
        std::string diff = "OLDMD5 " + oldMd5 + "\n";
        if (first && !faults.toolDirective.empty())
            diff += faults.toolDirective + "\n";
        first = false;
        diff += "DATA\n" + content;
        const bool archive = path.ends_with(".ka");
        data[archive ? path.substr(0, path.size() - 3) + "-diff.ka" : path + ".diff"] = diff;
        patched.push_back({path, fixtures::Md5Hex(content), oldMd5});
    }
    // Every folder before what it holds, then the files, then the three lists at the root.
    fixtures::PackageWriter package(2);
    std::set<std::string> folders = {"data"};
    for (const auto& [path, content] : data)
        for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
            folders.insert("data\\" + path.substr(0, at));
    for (const std::string& folder : folders)
        package.AddFolder(L".\\" + std::wstring(folder.begin(), folder.end()));
    for (const auto& [path, content] : data)
        package.AddFile(L".\\data\\" + std::wstring(path.begin(), path.end()), content);
    package.AddFile(L".\\addedFiles.txt", fixtures::MakeAddedList(added));
    package.AddFile(L".\\deletedFiles.txt", fixtures::MakeDeletedList(step->deleted));
    package.AddFile(L".\\patchedFiles.txt", fixtures::MakePatchedList(patched));
    return package.Bytes();
}

RunMachine::RunMachine(const std::string& installName)
{
    registry = scratch / "reg";
    temp = scratch / "tmp";
    install = scratch / installName;
    setenv("LUMO_REGISTRY_ROOT", registry.c_str(), 1);
    platform::RegistryKey key;
    if (key.Create(platform::RegistryHive::LocalMachine, L"SOFTWARE\\Kestin\\Products\\SollexSimulator", platform::kKeyAllAccess) != 0)
        throw std::runtime_error("cannot make the product key");
    mkdir(temp.c_str(), 0700);
    fixtures::WriteTree(install, BuildTree(kBuildA));
    fixtures::InstallFakePatchTool(install, true);
    fixtures::WriteFile(install + "/unins000.dat",
                        fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(5000)));
    SetUtility({});
}

LumoPatch::RunEnvironment RoomyRunEnvironment()
{
    LumoPatch::RunEnvironment environment = LumoPatch::RunEnvironment::Default();
    environment.freeDiskSpace = [](const std::wstring&, uint64_t& freeBytes) {
        freeBytes = uint64_t(1) << 50;
        return true;
    };
    return environment;
}

std::string RunMachine::LacksRoomForAPatch() const
{
    const uint64_t neededMegabytes = LumoPatch::RunEnvironment::Default().requiredMegabytes;
    struct statvfs disk = {};
    if (statvfs(install.c_str(), &disk) != 0)
        return "the free space below " + install + " cannot be read";
    const uint64_t freeMegabytes = uint64_t(disk.f_bavail) * disk.f_frsize / 1048576u;
    if (freeMegabytes >= neededMegabytes)
        return "";
    return "a whole patch run needs " + std::to_string(neededMegabytes) + " MB free on the disk of TMPDIR (" + install +
           "), which has " + std::to_string(freeMegabytes) + " MB";
}

void RunMachine::ResetOptions(const std::string& current) const
{
    PatcherOptions& options = PatcherOptions::Instance();
    options.installPath = FromNativePath(install);
    options.builds.clear();
    if (!current.empty())
        options.builds.push_back(current);
    options.targetVersion.clear();
    options.repair = false;
    options.localPatch = false;
    options.patchServers.clear();
}

void RunMachine::SetUtility(const std::map<std::string, std::string>& config) const
{
    // The update prints two lines and notes whether the database was free for it.
    std::map<std::string, std::string> all = {{"repairdatabase.lines", "2"},
                                              {"repairdatabase.owner_db", install + "/assets.sdx"}};
    for (const auto& [key, value] : config)
        all[key] = value;
    fixtures::InstallFakeSollexUtil(install, all);
}

std::string RunMachine::DiffFromBuild(const std::string& build) const
{
    fixtures::TreeContent actual;
    for (const auto& [path, content] : fixtures::SnapshotTree(install))
        if (!IsMachinery(path))
            actual[path] = content;
    return fixtures::DescribeTreeDifference(BuildTree(build), actual);
}

std::vector<std::string> RunMachine::UtilityCalls() const
{
    std::vector<std::string> calls;
    for (const fixtures::FakeUtilCall& call : fixtures::ReadFakeUtilCalls(install))
    {
        std::string line;
        for (size_t i = 1; i < call.argv.size(); ++i)
            line += (i > 1 ? " " : "") + call.argv[i];
        for (const std::string& event : call.events)
            if (event.rfind("OWNER ", 0) == 0)
                line += " owner=" + event.substr(6);
        calls.push_back(line);
    }
    return calls;
}

std::vector<std::string> RunMachine::Leftovers() const
{
    std::vector<std::string> left;
    for (const auto& [path, content] : fixtures::SnapshotTree(install))
        if (path.find(".pbk") != std::string::npos || path == "patch.journal" || path == "bin/buildList.txt" ||
            path.rfind("patch.dbstopped", 0) == 0 ||
            path == "unins000_temp.dat" || path.rfind(".sollex-patcher-", 0) == 0)
            left.push_back("game/" + path);
    for (const auto& [path, content] : fixtures::SnapshotTree(temp))
        left.push_back("tmp/" + path);
    return left;
}

uint32_t RunMachine::UninstallRecordCount() const
{
    const fixtures::UninstallLogContents log = fixtures::ReadUninstallLogBack(fixtures::ReadFile(install + "/unins000.dat"));
    return log.ok ? log.numRecs : 0;
}

}  // namespace apprun
