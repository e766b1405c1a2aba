// Which builds an installation holds, as the game's own utility "bin\SollexUtil.exe" reports them.
//
// The utility is run as
//   SollexUtil.exe listbuilds <list file> norender
// and writes the list file: 8-bit text, read up to its first NUL byte, in which every run of
// characters followed by a comma is one build ("43434,44088," holds two; text after the last comma
// is ignored; empty runs are builds too). It may leave a database service running, so afterwards
// it is run once more as
//   SollexUtil.exe closeadbdaemon -nostartadbdaemon norender
// Both go through the one spawn helper (platform/Spawn.h) with an argument vector, so a list path
// with blanks or non-ASCII characters reaches the utility whole.
#pragma once

#include "app/core/RunHost.h"

namespace LumoUtil {
class InstallDoor;
}

#include <chrono>
#include <string>
#include <vector>

// The utility's name in the installation's "bin" folder (found there by the case rule).
inline constexpr wchar_t kDatabaseUtilityName[] = L"SollexUtil.exe";

// How long one run of the utility may take before it is stopped: generous, since listing builds
// may start the game's database service.
inline constexpr std::chrono::seconds kUtilityTimeLimit{300};

// Runs listbuilds and adds every build of the list file to the options (PatcherOptions::AddBuild),
// logs "%d builds found {%s}" at level 0, deletes the list file and runs closeadbdaemon. A list an
// earlier query left is removed first, so it can never be read as this one's. False, with the
// reason at level 3 ("The installation's build could not be read: ..."), when the utility does
// not start, ends with an exit code other than 0 (its last output line is its reason), does not
// end within timeLimit, or leaves no list or one without a build (a full disk is named); a failing
// closeadbdaemon is said only at level 0. The host's KeepGoing is asked every 100 ms while the
// utility runs: a stop kills it at once (false, said at level 1). The utility leads a process
// group of its own and a kill ends the whole group, so a script's own children end with it.
// Reading the utility's output ends when the utility has ended, even when a service it started
// still holds the output pipe.
// The list file is the installation's listRelative, reached through door (never through a link that
// leads out of the installation, which is said at level 3 before anything runs), removed through it
// and read through it only as a regular file (a link or a FIFO standing there is said, never read
// or waited on); the utility is given its full path.
bool QueryInstalledBuilds(const std::wstring& utilityPath, const LumoUtil::InstallDoor& door,
                          const std::wstring& listRelative, LumoPatch::RunHost& host,
                          std::chrono::milliseconds timeLimit = kUtilityTimeLimit);

// The installation's file "bin\<name>" (SollexUtil.exe, buildList.txt), found by the case rule of
// an installation's fixed names (FindFixedName in patch/InstallFileOps.h: "Bin", "SOLLEXUTIL.EXE"
// when that is the one spelling there). When two spellings match, or the installation is no folder,
// the plain join, and *error (when given) says why the name could not be found.
// installDir by name: for discovery, which looks into folders no run holds. Below a take, the
// door's own.
std::wstring InstallToolPath(const std::wstring& installDir, const std::wstring& name, std::wstring* error = nullptr);
std::wstring InstallToolPath(const LumoUtil::InstallDoor& door, const std::wstring& name, std::wstring* error = nullptr);

// QueryInstalledBuilds for an installation: its utility "bin\SollexUtil.exe" and the list file
// "bin\buildList.txt" beside it, both found by the case rule (a name two entries match is said at
// level 3 and nothing is run). The utility can only write the list
// where this process may write: a folder that cannot be written (its permissions, a read-only
// mount) is said first, at level 3, as the installation that cannot be written, with the reason,
// and the utility is not run.
// A run that holds the installation passes its take's door; discovery, which asks folders no run
// holds, names the folder (its door is opened by name, and a folder that cannot be opened is said
// at level 3).
bool QueryInstallationBuilds(const LumoUtil::InstallDoor& door, LumoPatch::RunHost& host,
                             std::chrono::milliseconds timeLimit = kUtilityTimeLimit);
bool QueryInstallationBuilds(const std::wstring& installDir, LumoPatch::RunHost& host,
                             std::chrono::milliseconds timeLimit = kUtilityTimeLimit);

// Whether a folder holds an installation to patch: its utility "bin\SollexUtil.exe" is there (by
// the case rule). False with error saying that the folder holds none, or why the name cannot be
// looked up (two spellings of it). Nothing in the folder is changed.
// By name for discovery; a run that holds the installation asks through its take's door.
bool HoldsInstallation(const std::wstring& installDir, std::wstring& error);
bool HoldsInstallation(const LumoUtil::InstallDoor& door, std::wstring& error);

// The builds of a list file's bytes, by the rules above.
std::vector<std::string> ParseBuildList(const std::string& bytes);

// path unchanged when it is absolute: it starts with "/", or holds a separator and a ":", or starts
// with two slashes or with a backslash. Otherwise path resolved against base, both split at "/" and
// "\" with empty components dropped ("" when either has none): a leading "." component is dropped
// from each; the last component of base is dropped when it names a file (holds a "."); the path's
// leading ".." components each drop one more component of base (never more than it has); the
// remaining components are joined with the path's separator ("/" when it holds one, else "\"),
// each followed by it, and the path's file name (when its last component holds a ".") last.
std::wstring NormalizePath(const std::wstring& path, const std::wstring& base);
