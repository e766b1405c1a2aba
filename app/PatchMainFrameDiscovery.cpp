// The window's side of install discovery: the file dialog that locates the game, and the buttons
// and path box the outcome enables and fills.
#include "app/PatchMainFrame.h"

#include "app/core/InstallDiscovery.h"

#include <wx/button.h>
#include <wx/filedlg.h>

namespace LumoPatch {

std::optional<std::wstring> PickSollexExeWithDialog(wxWindow* parent)
{
    // GTK's patterns match case; a game copied over from Windows may spell the name in lower case.
    wxFileDialog dialog(parent, "Locate Sollex.exe...", wxEmptyString, wxEmptyString,
                        "Sollex.exe|Sollex.exe;sollex.exe", wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    if (dialog.ShowModal() != wxID_OK || dialog.GetPath().empty())
        return std::nullopt;
    return dialog.GetPath().ToStdWstring();
}

bool PatchMainFrame::DiscoverPatches(const std::wstring& archiveFile, bool askUser)
{
    m_archiveFile = archiveFile;
    PickSollexExe pick = m_pickSollexExe;
    if (!pick)
        pick = [this] { return PickSollexExeWithDialog(this); };
    const DiscoveryOutcome outcome = ::DiscoverPatches(archiveFile, askUser, PatcherOptions::Instance(), Host(), pick);
    if (outcome.enableBrowse)
        m_browse->Enable();
    if (outcome.pathText)
        SetPathText(*outcome.pathText);
    if (outcome.enableApply)
        ApplyButton()->Enable();
    return outcome.applicable;
}

}  // namespace LumoPatch
