// Discovery from the window: the real file dialog (answered through the toolkit's test hook) and
// what the outcome does to the buttons and the path box.
#include "app/LogToFrame.h"
#include "app/PatchMainFrame.h"
#include "app/core/PatcherOptions.h"
#include "patch/PatchCallbacks.h"
#include "platform/NativePath.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"

#include <wx/button.h>
#include <wx/filedlg.h>
#include <wx/textctrl.h>

using namespace LumoPatch;
using apptest::PumpUntil;

namespace {

// The real dialog, shown to the toolkit's test hook and cancelled (GTK's chooser takes a path only
// once its folder has loaded, so picks come through the frame's seam; the rest of discovery has
// its own tests without a window).
class ExpectLocateDialog : public wxExpectModalBase<wxFileDialog, ExpectLocateDialog> {
protected:
    int OnInvoked(wxFileDialog* dialog) const override
    {
        EXPECT_EQ(dialog->GetMessage(), "Locate Sollex.exe...");
        EXPECT_EQ(dialog->GetWildcard(), "Sollex.exe|Sollex.exe;sollex.exe");
        EXPECT_TRUE(dialog->HasFlag(wxFD_FILE_MUST_EXIST));
        return wxID_CANCEL;
    }
};

TEST(DiscoveryDialogTest, BrowsingACarryingPatcherShowsTheLocateDialog)
{
    fixtures::ScratchFolder scratch;
    fixtures::ScopedEnv registry("LUMO_REGISTRY_ROOT", (scratch / "registry").c_str());
    const std::string program = scratch / "patcher";
    fixtures::WriteFile(program, std::string(5000, 'x'));
    fixtures::AppendArchive(program, {{"43434", "44088", "package", std::nullopt, std::nullopt}});
    PatcherOptions::Instance() = PatcherOptions();
    SetPatchCallbacks(nullptr, KeepPatchingCallback, LogToFrame);
    auto* frame = new PatchMainFrame();
    frame->ApplyButton()->Disable();
    wxTEST_DIALOG(EXPECT_FALSE(frame->DiscoverPatches(FromNativePath(program), true)), ExpectLocateDialog());
    EXPECT_FALSE(frame->ApplyButton()->IsEnabled());
    EXPECT_TRUE(frame->BrowseButton()->IsEnabled());  // the program carries an archive
    EXPECT_TRUE(PumpUntil([&] { return frame->LogView()->GetValue().EndsWith("at user's request."); }));
    frame->Destroy();
    PumpUntil([] { return g_mainFrame.load() == nullptr; });
}

}  // namespace
