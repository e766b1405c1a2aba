#include "patch/PatchFileRecord.h"

#include <atomic>

#include "lumo/files/InstallDoor.h"
#include "patch/BackupJournal.h"

std::wstring g_patchInstallDir;
std::wstring g_patchPackageDir;

namespace {
std::atomic<BackupJournal*> g_currentJournal{nullptr};
std::atomic<const std::unordered_map<std::wstring, std::wstring>*> g_currentTargets{nullptr};
}

PatchStageContext CurrentPatchStageContext()
{
    PatchStageContext context;
    context.installDir = g_patchInstallDir;
    context.packageDir = g_patchPackageDir;
    context.journal = g_currentJournal.load();
    context.resolvedTargets = g_currentTargets.load();
    // The door of the installation the run's journal holds: the take's own.
    if (context.journal)
        context.door = context.journal->Door();
    return context;
}

void SetCurrentPatchJournal(BackupJournal* journal)
{
    g_currentJournal = journal;
}

void SetCurrentResolvedTargets(const std::unordered_map<std::wstring, std::wstring>* targets)
{
    g_currentTargets = targets;
}
