#include "patch/PatchFileRecord.h"

#include <atomic>

std::wstring g_patchInstallDir;
std::wstring g_patchPackageDir;

namespace {
std::atomic<BackupJournal*> g_currentJournal{nullptr};
}

PatchStageContext CurrentPatchStageContext()
{
    PatchStageContext context;
    context.installDir = g_patchInstallDir;
    context.packageDir = g_patchPackageDir;
    context.journal = g_currentJournal.load();
    return context;
}

void SetCurrentPatchJournal(BackupJournal* journal)
{
    g_currentJournal = journal;
}
