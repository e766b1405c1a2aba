// The one process-wide record of what the current run is about: where the game is installed,
// which builds it holds (the first is the current one), the patch being applied, repair or not,
// whether an embedded patch applies, and the patch servers to ask.
//
// Start-up (command line, registry, install discovery) fills it on the GUI thread before any
// worker exists. During a run only the patch thread changes `builds` and `targetVersion`, and the
// GUI thread only reads `installPath` and the flags: the browse button and the start-up timer are
// off while a run goes on, which is what makes the missing lock safe. Keep it so.
#pragma once

#include <string>
#include <vector>

class PatcherOptions {
public:
    // Created on the first call (during start-up, on the GUI thread); never destroyed.
    static PatcherOptions& Instance();

    std::wstring installPath;
    std::vector<std::string> builds;   // decimal build strings; the first is the current build
    std::string targetVersion;         // target of the patch being applied; empty between patches
    bool repair = false;
    bool localPatch = false;
    std::vector<std::wstring> patchServers;

    // A copy of the first build, "" when there is none.
    std::string GetCurrentBuild() const;
    // False when the list is empty; otherwise removes the first build and tells whether any remain.
    bool PopCurrentBuild();
    // Removes every entry equal to build (exact comparison), then puts build first.
    void SetCurrentBuild(const std::string& build);
    // Appends build unless an equal one is listed.
    void AddBuild(const std::string& build);
    void ClearBuilds() { builds.clear(); }
    bool HasPatchServers() const { return !patchServers.empty(); }
};

// Appends server to the options' patch servers; always true.
bool AddPatchServer(const std::wstring& server);

// Reads a server-list file into the options' patch servers: one URL per line (LF, CR LF or CR;
// the last line may lack its end), written with its trailing "/" because "patches.txt" is appended
// to it. No comment syntax; a line is taken as it stands, except that a line holding nothing but
// blanks is skipped (it could only waste a connection attempt). The text is UTF-8, or UTF-16/32
// with a byte-order mark; a file that is not valid UTF-8 is read as Latin-1. fileName is a path
// (never narrowed to 8-bit text). False when the file cannot be read or adds no server; why (when
// given) then says which: the system's reason ("No such file or directory", "Permission denied"),
// "it is a folder", "the file is empty", "the file names no server".
bool ReadPatchServerList(const std::wstring& fileName, std::wstring* why = nullptr);

// The servers a server-list text holds, by the rules above (the file-free half of
// ReadPatchServerList).
std::vector<std::wstring> ParsePatchServerList(const std::string& bytes);

// The name of the patch being applied: current build + "_to_" + target build.
std::string MakePatchName();
