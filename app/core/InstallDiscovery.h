// Install discovery: whether the program carries an appended patch archive, where the game is
// installed, and which of the archive's patches apply to the builds installed there. It prepares
// the options for the local chain. Headless: the window wraps it with its file dialog and carries
// out the outcome on its widgets.
//
// It runs on the GUI thread while no run is going on (the browse button is off during a run):
// that is what makes sharing g_embeddedPatchArchive with the patch thread safe.
#pragma once

#include "app/core/PatcherOptions.h"
#include "app/core/RunHost.h"

#include <functional>
#include <optional>
#include <string>

// Asks the user for the game's executable ("Locate Sollex.exe...", filter "Sollex.exe"). The chosen
// file's path, or nullopt when the user cancelled.
using PickSollexExe = std::function<std::optional<std::wstring>()>;

// What the window does afterwards.
struct DiscoveryOutcome {
    bool applicable = false;    // an embedded patch applies: the run can start from it
    bool enableBrowse = false;  // the program carries an archive: "..." may be used
    bool enableApply = false;   // enable "Apply Update"
    std::optional<std::wstring> pathText;  // the user picked a folder: show it
};

// Discovers from the archive appended to archiveFile (the program's own file, as an absolute path).
// The folder asked for its builds is options.installPath when set (the folder the run will patch),
// else the registry's; askUser asks for the folder at once. Logs through host:
//   "Checking embedded patch: <file>" (0); 181 for an archive that cannot be read (3);
//   "Unable to determine Sollex installation path. ..." (3) before asking the user;
//   "Unable to determine installation location. Aborted patching at user's request." (3);
//   "%d patches embedded, %d installed", "Found %d applicable patches" (0); 184 (3);
//   and when a patch applies 187, 188 with the current build, and an empty line (1).
// With an applicable patch: options.builds = the applicable source builds in archive order (the
// first is current), targetVersion empty, repair off, localPatch on.
DiscoveryOutcome DiscoverPatches(const std::wstring& archiveFile, bool askUser, PatcherOptions& options,
                                 LumoPatch::RunHost& host, const PickSollexExe& pickSollexExe);

// The install folder of a chosen game executable: its folder, and the folder above when that is
// a "bin" folder (the last component equal to "bin", case ignored, either separator). Ends with
// a separator.
std::wstring InstallFolderOfPickedFile(const std::wstring& chosenFile);
