#include "tests/app_run/RunFixture.h"

#include "BuildConfig.h"
#include "app/core/PatcherOptions.h"
#include "platform/NativePath.h"
#include "platform/Registry.h"
#include "tests/fixtures/FakePatchTool.h"
#include "tests/fixtures/FileListWriter.h"
#include "tests/fixtures/PackageWriter.h"
#include "tests/fixtures/UninstallLogFixture.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
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

const std::vector<Step>& Steps()
{
    static const std::vector<Step> steps = {
        {kBuildA, kBuildB,
         {{"data\\new-b.txt", "added in B"}, {"readme.txt", "readme B"}},
         {"data\\old.txt"},
         {{"bin\\game.dll", "game B"}, {"version.txt", kBuildB}}},
        {kBuildB, kBuildC,
         {{"data\\deep\\new-c.txt", "added in C"}, {"docs\\manual.txt", "manual C"}},
         {"data\\new-b.txt"},
         {{"bin\\LumoLauncher.exe", "launcher C"}, {"data\\pack.ka", std::string(3000, 'c')}, {"version.txt", kBuildC}}},
    };
    return steps;
}

std::string Native(std::string path)
{
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

// Files of the machinery, not of a build.
bool IsMachinery(const std::string& path)
{
    return path == "unins000.dat" || path == "bin/kpatchl-w32.exe" || path == "bin/KAConverter.exe" ||
           path == "bin/SollexUtil.exe" || path.rfind("bin/util.", 0) == 0;
}

const char kUtilityScript[] = R"SH(#!/bin/sh
bin=@INSTALL@/bin
case "$1" in
  listbuilds)
    echo "listbuilds $2 $3" >> "$bin/util.log"
    { tr -d '\r\n' < @INSTALL@/version.txt; printf ','; } > "$2" ;;
  closeadbdaemon)
    echo "$*" >> "$bin/util.log" ;;
  repairdatabase)
    attached=$(printf 'attach @INSTALL@/assets.sdx\n' | @PEER@ | awk '$1=="attach"{print $2}')
    echo "repairdatabase $2 attach=$attached" >> "$bin/util.log"
    echo "Rebuilding the asset database"
    [ -f "$bin/util.sleep" ] && sleep "$(cat "$bin/util.sleep")"
    echo "Asset database ready"
    exit "$(cat "$bin/util.exit" 2>/dev/null || echo 0)" ;;
  *)
    echo "unknown command: $*" >&2
    exit 2 ;;
esac
)SH";

void Replace(std::string& text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
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
            const std::string native = Native(path);
            for (size_t slash = native.find('/'); slash != std::string::npos; slash = native.find('/', slash + 1))
                tree[native.substr(0, slash + 1)] = "";
            tree[native] = content;
        }
        for (const std::string& path : step.deleted)
            tree.erase(Native(path));
        for (const auto& [path, content] : step.patched)
            tree[Native(path)] = content;
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
    fixtures::ScratchFolder folder;
    const std::string root = folder / "package";
    std::vector<fixtures::AddedEntry> added;
    std::vector<fixtures::PatchedEntry> patched;
    for (const auto& [path, content] : step->added)
    {
        fixtures::WriteFile(root + "/data/" + Native(path), content);
        added.push_back({path, fixtures::Md5Hex(content)});
    }
    bool first = true;
    for (const auto& [path, content] : step->patched)
    {
        const std::string native = Native(path);
        const std::string oldMd5 = fixtures::Md5Hex(native == faults.damagedFile ? "not what is installed" : old.at(native));
        std::string diff = "OLDMD5 " + oldMd5 + "\n";
        if (first && !faults.toolDirective.empty())
            diff += faults.toolDirective + "\n";
        first = false;
        diff += "DATA\n" + content;
        const bool archive = native.size() > 3 && native.compare(native.size() - 3, 3, ".ka") == 0;
        const std::string diffPath =
            archive ? native.substr(0, native.size() - 3) + "-diff.ka" : native + ".diff";
        fixtures::WriteFile(root + "/data/" + diffPath, diff);
        patched.push_back({path, fixtures::Md5Hex(content), oldMd5});
    }
    fixtures::WritePackageLists(root, added, step->deleted, patched);
    return fixtures::PackageWriter::FromFolder(root, 2).Bytes();
}

RunMachine::RunMachine()
{
    registry = scratch / "reg";
    temp = scratch / "tmp";
    install = scratch / "game";
    setenv("LUMO_REGISTRY_ROOT", registry.c_str(), 1);
    platform::RegistryKey key;
    if (key.Create(platform::RegistryHive::LocalMachine, L"SOFTWARE\\Kestin\\Products\\SollexSimulator", platform::kKeyAllAccess) != 0)
        throw std::runtime_error("cannot make the product key");
    mkdir(temp.c_str(), 0700);
    fixtures::WriteTree(install, BuildTree(kBuildA));
    fixtures::InstallFakePatchTool(install, true);
    fixtures::WriteFile(install + "/unins000.dat",
                        fixtures::WriteUninstallLog(fixtures::FillerUninstallRecords(5000)));
    std::string script = kUtilityScript;
    Replace(script, "@INSTALL@", install);
    Replace(script, "@PEER@", std::string(LUMO_BIN_DIR) + "/adb-peer");
    fixtures::WriteFile(install + "/bin/SollexUtil.exe", script);
    chmod((install + "/bin/SollexUtil.exe").c_str(), 0755);
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

void RunMachine::SetUtility(const UtilityScript& script) const
{
    fixtures::WriteFile(install + "/bin/util.exit", std::to_string(script.exitCode));
    fixtures::WriteFile(install + "/bin/util.sleep", std::to_string(script.sleepSeconds));
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
    std::ifstream in(install + "/bin/util.log");
    for (std::string line; std::getline(in, line);)
        calls.push_back(line);
    return calls;
}

std::vector<std::string> RunMachine::Leftovers() const
{
    std::vector<std::string> left;
    for (const auto& [path, content] : fixtures::SnapshotTree(install))
        if (path.find(".pbk") != std::string::npos || path == "patch.journal" || path == "bin/buildList.txt" ||
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
