#include "patch/PatchFileRecord.h"

#include <atomic>
#include <mutex>

#include "lumo/files/InstallDoor.h"

std::wstring g_patchInstallDir;
std::wstring g_patchPackageDir;

namespace {
std::atomic<BackupJournal*> g_currentJournal{nullptr};
std::atomic<const std::unordered_map<std::wstring, std::wstring>*> g_currentTargets{nullptr};
std::mutex g_doorLock;
std::shared_ptr<LumoUtil::InstallDoor> g_currentDoor;
}

PatchStageContext CurrentPatchStageContext()
{
    PatchStageContext context;
    context.installDir = g_patchInstallDir;
    context.packageDir = g_patchPackageDir;
    context.journal = g_currentJournal.load();
    context.resolvedTargets = g_currentTargets.load();
    std::lock_guard<std::mutex> hold(g_doorLock);
    context.door = g_currentDoor;
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

void SetCurrentInstallDoor(std::shared_ptr<LumoUtil::InstallDoor> door)
{
    std::lock_guard<std::mutex> hold(g_doorLock);
    g_currentDoor = std::move(door);
}
