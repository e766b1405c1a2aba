#include "app/core/InstallDiscovery.h"

#include "Kiln/Src/Kiln/KernelStandard/KilnPath.h"
#include "app/core/InstallLocation.h"
#include "app/core/InstalledBuilds.h"
#include "app/core/StringTable.h"
#include "lumo/files/InstallFolder.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/EmbeddedPatchArchive.h"

#include <algorithm>
#include <cwctype>

namespace {

bool IsBinFolder(const std::wstring& folder)
{
    size_t end = folder.size();
    while (end > 0 && (folder[end - 1] == L'/' || folder[end - 1] == L'\\'))
        --end;
    if (end < 3 || (end > 3 && folder[end - 4] != L'/' && folder[end - 4] != L'\\'))
        return false;
    std::wstring name = folder.substr(end - 3, 3);
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return name == L"bin";
}

}  // namespace

std::wstring InstallFolderOfPickedFile(const std::wstring& chosenFile)
{
    std::wstring folder = Kiln::GetParentDirectory(chosenFile);
    if (IsBinFolder(folder))
        folder = Kiln::GetParentDirectory(folder);
    return folder;
}

DiscoveryOutcome DiscoverPatches(const std::wstring& archiveFile, bool askUser, PatcherOptions& options,
                                 LumoPatch::RunHost& host, const PickSollexExe& pickSollexExe)
{
    DiscoveryOutcome outcome;
    host.Log(0, L"Checking embedded patch: " + archiveFile);
    const LUMORESULT opened = g_embeddedPatchArchive.Open(archiveFile);
    if (opened == LUMORESULT_NOT_SUPPORTED)
        return outcome;  // a program without an archive: nothing to say
    if (opened != LUMORESULT_OK) {
        host.Log(3, LoadResString(181));
        if (!g_embeddedPatchArchive.GetLastErrorText().empty())
            host.Log(0, g_embeddedPatchArchive.GetLastErrorText());
        return outcome;
    }
    outcome.enableBrowse = true;

    // The builds are read from the folder the run will patch.
    std::wstring folder;
    if (!askUser)
        folder = !options.installPath.empty() ? options.installPath
                                              : ReadProductInstallPath(kSollexProduct, kSollexProductClass);
    for (;;) {
        options.ClearBuilds();
        // Without a way to ask (the headless driver) a missing folder is said as such, not as a
        // question nobody was asked.
        if (!folder.empty() || !pickSollexExe) {
            // When no build can be read at all, why is all there is to say: "not applicable"
            // would point elsewhere.
            std::wstring resolved, error;
            if (!LumoUtil::ResolveInstallFolder(folder, resolved, error) || !HoldsInstallation(resolved, error)) {
                host.Log(3, error);
                return outcome;
            }
            if (!QueryInstallationBuilds(resolved, host))
                return outcome;
            break;
        }
        if (!askUser)
            host.Log(3, L"Unable to determine Sollex installation path. Requesting user to specify installation location.\n");
        const std::optional<std::wstring> chosen = pickSollexExe ? pickSollexExe() : std::nullopt;
        if (!chosen) {
            host.Log(3, L"Unable to determine installation location. Aborted patching at user's request.");
            return outcome;
        }
        folder = InstallFolderOfPickedFile(*chosen);
        options.installPath = folder;
        outcome.pathText = folder;
        askUser = true;  // asked once: a second round asks again without the notice
    }

    const std::vector<std::string> versions = g_embeddedPatchArchive.GetSourceVersions();
    host.Log(0, std::to_wstring(versions.size()) + L" patches embedded, " + std::to_wstring(options.builds.size()) +
                    L" installed");
    std::vector<std::string> applicable;
    for (const std::string& version : versions)
        if (std::find(options.builds.begin(), options.builds.end(), version) != options.builds.end())
            applicable.push_back(version);
    host.Log(0, L"Found " + std::to_wstring(applicable.size()) + L" applicable patches");
    if (applicable.empty()) {
        host.Log(3, LoadResString(184));
        return outcome;
    }

    options.targetVersion.clear();
    options.repair = false;
    options.localPatch = true;
    options.ClearBuilds();
    for (const std::string& version : applicable)
        options.AddBuild(version);
    host.Log(1, LoadResString(187));
    outcome.enableApply = true;
    outcome.applicable = true;
    if (const std::string current = options.GetCurrentBuild(); !current.empty())
        host.Log(1, LumoUtil::FormatWString(LoadResString(188).c_str(), ToWide(current).c_str()));
    host.Log(1, L"");
    return outcome;
}
