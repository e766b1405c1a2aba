// Discovery from the window: the real file dialog (answered through the toolkit's test hook) and
// what the outcome does to the buttons and the path box.
#include "app/LogToFrame.h"
#include "app/PatchMainFrame.h"
#include "app/core/PatcherOptions.h"
#include "patch/PatchCallbacks.h"
#include "platform/NativePath.h"
#include "tests/app/GuiTestSupport.h"
#include "tests/fixtures/ArchiveWriter.h"
#include "tests/fixtures/FakeSollexUtil.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"

#include <wx/button.h>
#include <wx/filedlg.h>
#include <wx/textctrl.h>

using namespace LumoPatch;
using apptest::PumpUntil;

namespace {

// GTK's chooser takes a path only once its folder has loaded, so the pick itself comes from the
// frame's seam; the real dialog is shown (to the test hook) and cancelled.
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

TEST(DiscoveryDialogTest, ThePickedGameIsPatchedOrTheCancelIsReported)
{
    struct Case {
        bool pick;
        const char* line;  // the log shows it once the outcome has arrived
    };
    for (const Case& c : {Case{true, "Ready to install from local patch file.\nCurrent version: 43434.\n"},
                          Case{false, "Aborted patching at user's request."}}) {
        fixtures::ScratchFolder scratch;
        fixtures::ScopedEnv registry("LUMO_REGISTRY_ROOT", (scratch / "registry").c_str());
        const std::string program = scratch / "patcher";
        fixtures::WriteFile(program, std::string(5000, 'x'));
        fixtures::AppendArchive(program, {{"43434", "44088", "package", std::nullopt, std::nullopt}});
        const std::string game = scratch / "G\xC3\xA4me";
        fixtures::InstallFakeSollexUtil(game, {{"builds", "43434,"}});

        PatcherOptions::Instance() = PatcherOptions();
        SetPatchCallbacks(nullptr, KeepPatchingCallback, LogToFrame);
        PatchMainFrameSeams seams;
        if (c.pick)
            seams.pickSollexExe = [&] { return std::optional<std::wstring>(FromNativePath(game + "/bin/Sollex.exe")); };
        auto* frame = new PatchMainFrame(seams);
        frame->ApplyButton()->Disable();
        bool applicable = false;
        if (c.pick)
            applicable = frame->DiscoverPatches(FromNativePath(program), true);
        else
            wxTEST_DIALOG(applicable = frame->DiscoverPatches(FromNativePath(program), true), ExpectLocateDialog());
        EXPECT_EQ(applicable, c.pick);
        EXPECT_EQ(frame->ApplyButton()->IsEnabled(), c.pick);
        EXPECT_TRUE(frame->BrowseButton()->IsEnabled());
        if (c.pick) {
            EXPECT_EQ(PatcherOptions::Instance().installPath, FromNativePath(game + "/"));
            EXPECT_EQ(frame->PathBox()->GetValue(), wxString::FromUTF8(game + "/"));
        }
        ASSERT_TRUE(PumpUntil([&] { return frame->LogView()->GetValue().Contains(c.line); }))
            << frame->LogView()->GetValue();
        frame->Destroy();
        PumpUntil([] { return g_mainFrame.load() == nullptr; });
    }
}

}  // namespace
