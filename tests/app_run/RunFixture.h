// A whole machine for patch runs, in one scratch folder: the registry (its product key made), a
// temporary folder, and an installation at build A with the patch tools and the game's utility.
// Builds A, B and C are trees defined here; the packages A->B and B->C each add, replace, delete
// and patch files (version.txt among them); B->C also patches an archive through the converter
// and the launcher. The game's utility answers "listbuilds" from version.txt and prints two lines
// for "repairdatabase", noting whether the database was free for it.
#pragma once

#include "app/run/PatchRun.h"
#include "tests/fixtures/FakeInstall.h"
#include "tests/fixtures/ScratchFolder.h"

#include <map>
#include <string>
#include <vector>

namespace apprun {

extern const char* const kBuildA;  // "43434"
extern const char* const kBuildB;  // "44088"
extern const char* const kBuildC;  // "45000"

fixtures::TreeContent BuildTree(const std::string& build);

struct PackageFaults
{
    std::string damagedFile;      // an installed file (relative) whose content the package does not expect
    std::string toolDirective;    // a fake patch tool directive for the first patched file ("HANG", ...)
};

// The package bytes from one build to the next (A->B or B->C).
std::string MakePackage(const std::string& from, const std::string& to, const PackageFaults& faults = {});

class RunMachine
{
public:
    // installName: the installation's folder below the scratch folder.
    explicit RunMachine(const std::string& installName = "game");

    // Resets the process-wide options for a run on this installation at build `current`.
    void ResetOptions(const std::string& current) const;
    // The game's utility (tests/doubles/sollex_util.cpp) with these keys of its configuration
    // besides the run's defaults.
    void SetUtility(const std::map<std::string, std::string>& config) const;

    // The installation compared with a build's tree (the tools, utility, logs and the note of an unfinished
    // database update left out); "" when equal.
    std::string DiffFromBuild(const std::string& build) const;
    // Every call of the utility, its arguments one line each ("repairdatabase patcher owner=1").
    std::vector<std::string> UtilityCalls() const;
    // Files below the installation and the temporary folder that a run must not leave.
    std::vector<std::string> Leftovers() const;
    uint32_t UninstallRecordCount() const;
    // Why a whole patch cannot run here, "" when it can: a patch run refuses to start without the
    // room it asks for free on the installation's disk (the unpacking goes there when the temporary
    // folder's disk is short).
    std::string LacksRoomForAPatch() const;

    fixtures::ScratchFolder scratch;
    std::string registry, temp, install;
};

// The run's environment for a run inside a test, which patches kilobytes: the run is told its disks
// have the room it asks for, so that only the tests of that check depend on it (they give their
// own answer) and not every test on the machine's free space.
LumoPatch::RunEnvironment RoomyRunEnvironment();

// Skips the test before it starts, saying what it needs, when the disk lacks the room for a whole
// patch run (a test that needs gigabytes says so instead of failing on the run's refusal).
#define SKIP_WITHOUT_ROOM_FOR_A_PATCH(machine)                                       \
    if (const std::string lacking = (machine).LacksRoomForAPatch(); !lacking.empty()) \
    GTEST_SKIP() << lacking

}  // namespace apprun
