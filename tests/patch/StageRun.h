#pragma once
// A patch run around stages a test calls one by one, held the way ApplyPatchPackage holds one:
// the installation taken through a BackupJournal (lock, recovery, a new journal) that is set as
// the run's journal, so every stage works through the take's door. The run ends (the journal
// finished and removed, the lock released) when End() is called or the object goes.

#include <memory>
#include <string>

#include "patch/BackupJournal.h"
#include "patch/PatchFileRecord.h"
#include "platform/NativePath.h"

namespace fixtures {

class StageRun
{
public:
    explicit StageRun(const std::string& install)
    {
        m_journal = BackupJournal::Begin(FromNativePath(install), m_error);
        SetCurrentPatchJournal(m_journal.get());
    }
    ~StageRun()
    {
        std::wstring ignored;  // a test that cares how the run ended calls End itself
        End(ignored);
    }
    StageRun(const StageRun&) = delete;
    StageRun& operator=(const StageRun&) = delete;

    // False when the installation could not be taken; Error() says why.
    bool Started() const { return m_journal != nullptr; }
    const std::wstring& Error() const { return m_error; }

    // Ends the run as ApplyPatchPackage does once its stages are done: the journal is finished
    // (removed unless a restore failed) and the installation released. False with error when the
    // journal is kept.
    bool End(std::wstring& error)
    {
        SetCurrentPatchJournal(nullptr);
        const bool finished = !m_journal || m_journal->Finish(error);
        m_journal.reset();
        return finished;
    }

    BackupJournal* Journal() const { return m_journal.get(); }

private:
    std::unique_ptr<BackupJournal> m_journal;
    std::wstring m_error;
};

}  // namespace fixtures
