#include "patch/AddedFiles.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "lumo/text/PathUtil.h"
#include "lumo/text/SafePath.h"
#include "lumo/text/StringUtil.h"
#include "patch/InstallFileOps.h"
#include "lumo/files/InstallDoor.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchFileNames.h"
#include "patch/PatchMessages.h"
#include "platform/NativePath.h"
#include "platform/Processors.h"

namespace {

// Where the new content of record path lies in the package's data folder: found the way the
// unpacker stored it (ignoring case); when that fails the plain join, which the copy then reports.
// The package does not change during a run, so one door lists each of its folders once.
std::wstring SourceOf(const LumoUtil::InstallDoor* data, const std::wstring& dataFolder, const std::wstring& relative)
{
    LumoUtil::InstallFile found;
    std::wstring error;
    if (data && data->ReachAny(relative, found, error))
        return data->Root() + L"/" + found.relative;
    return FromNativePath(ToNativePath(LumoUtil::JoinPath(dataFolder, relative)));  // one separator style
}

// Writes the added files' copies on a few threads while the stage goes on backing up and
// recording the next files: the copy is most of an added file's time, and the kernel copies
// faster on several threads than on one. Each copy is its target's own (beside it, renamed over
// it), announced in the journal before it starts, so a kill at any point leaves what recovery
// undoes. The stage waits for every copy before it reports. A stop ends the copies under way:
// while the stage waits for them it asks the keep-going check itself, and the copies ask a flag it
// sets (the check is the stage thread's to ask).
class ParallelCopies
{
public:
    explicit ParallelCopies(const PatchStageContext& context) : m_context(context)
    {
        const unsigned threads = std::min(4u, platform::UsableProcessorCount());
        try {
            for (unsigned i = 0; i < threads; ++i)
                m_threads.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {  // fewer threads, or none: Add then copies itself
        }
    }
    ~ParallelCopies() { Finish(); }
    ParallelCopies(const ParallelCopies&) = delete;
    ParallelCopies& operator=(const ParallelCopies&) = delete;

    void Add(const std::wstring& record, const std::wstring& source, const std::wstring& target,
             const std::wstring& ownerModel)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        const size_t index = m_jobs.size();
        m_jobs.push_back({record, source, target, ownerModel, {}, false});
        if (m_threads.empty()) {
            lock.unlock();
            Copy(index);
            return;
        }
        // A bounded queue: the stage never gets far ahead of the copies.
        WaitAskingToKeepGoing(lock, m_room, [this] { return m_jobs.size() - m_next <= 4 * m_threads.size(); });
        m_ready.notify_one();
    }

    // Waits for every copy; false after reporting the first one (in list order) that failed.
    // Reports once; later calls give the same answer.
    bool Finish()
    {
        if (m_finished)
            return m_result;
        m_finished = true;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_closing = true;
        }
        m_ready.notify_all();
        {
            std::unique_lock<std::mutex> lock(m_lock);
            WaitAskingToKeepGoing(lock, m_room,
                                  [this] { return m_threads.empty() || (m_working == 0 && m_next == m_jobs.size()); });
        }
        for (std::thread& thread : m_threads)
            thread.join();
        m_threads.clear();
        if (m_stop) {
            m_result = false;  // a stop is the stage's answer, not a copy's failure
            return m_result;
        }
        for (const Job& job : m_jobs) {
            if (!job.failed)
                continue;
            PatchSendMessage(PATCH_LEVEL_ERROR, PatchMessages::kCannotCopyFile + job.source);
            PatchSendMessage(PATCH_LEVEL_ERROR, job.error);  // the cause: a full disk, a read error ...
            PatchSendMessage(PATCH_LEVEL_STATUS, PatchMessages::kFailedAdding + job.record + PatchMessages::kEllipsis);
            m_result = false;
            break;
        }
        return m_result;
    }

private:
    struct Job
    {
        std::wstring record, source, target, ownerModel, error;
        bool failed;
    };

    // Waits on condition for ready; on every poll interval without it, the stage thread asks
    // the keep-going check, and a stop ends the wait and every copy.
    template <typename Ready>
    void WaitAskingToKeepGoing(std::unique_lock<std::mutex>& lock, std::condition_variable& condition, Ready ready)
    {
        while (!condition.wait_for(lock, std::chrono::milliseconds(100), [&] { return m_stop || ready(); })) {
            lock.unlock();
            const bool keepGoing = PatchKeepGoing();
            lock.lock();
            if (!keepGoing)
                m_stop = true;
        }
    }

    void Work()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_ready.wait(lock, [this] { return m_closing || m_next < m_jobs.size(); });
            if (m_next == m_jobs.size())
                return;
            const size_t index = m_next++;
            ++m_working;
            m_room.notify_all();
            lock.unlock();
            Copy(index);
            lock.lock();
            --m_working;
            m_room.notify_all();
        }
    }

    // The job's strings stay put: m_jobs is a deque, which grows without moving its elements.
    void Copy(size_t index)
    {
        Job* job;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            job = &m_jobs[index];
        }
        // A first failed copy leaves nothing behind, so the second try starts clean.
        std::wstring error;
        // Without helper threads the stage thread copies, and asks the check itself.
        const bool inline_ = m_threads.empty();
        const auto keepGoing = [this, inline_] {
            if (inline_ && !m_stop && !PatchKeepGoing())
                m_stop = true;
            return !m_stop.load();
        };
        const bool ok = !m_stop && (WriteReplacement(m_context, job->source, job->target, job->ownerModel, error,
                                                     keepGoing) ||
                                    (!m_stop && WriteReplacement(m_context, job->source, job->target,
                                                                 job->ownerModel, error, keepGoing)));
        std::lock_guard<std::mutex> lock(m_lock);
        job->failed = !ok;
        job->error = error;
    }

    const PatchStageContext& m_context;
    std::mutex m_lock;
    std::condition_variable m_ready, m_room;
    std::deque<Job> m_jobs;
    size_t m_next = 0;
    size_t m_working = 0;  // copies under way
    std::atomic<bool> m_stop{false};
    bool m_closing = false;
    bool m_finished = false;
    bool m_result = true;
    std::vector<std::thread> m_threads;
};

void FinishReplacedFiles(bool success, const BackupPairArray& backups)
{
    const PatchStageContext context = CurrentPatchStageContext();
    if (!StageCanStart(context))
        return;
    if (success) {
        std::vector<std::wstring> doomed;
        for (const BackupPair& pair : backups)
            if (!pair.backup.empty())
                doomed.push_back(pair.backup);
        ReportBackupsLeft(context, RemoveInstallFiles(context, doomed));
        return;
    }
    for (const BackupPair& pair : backups) {
        const std::wstring failed = LumoUtil::FormatWString(PatchMessages::kRestoreFailed, pair.file.c_str());
        std::wstring error;
        if (pair.backup.empty()) {
            // The file was new: it goes. Nothing to take back when it never arrived.
            if (!RemoveInstallFile(context, pair.file, error)) {
                PatchSendMessage(PATCH_LEVEL_ERROR, L"Could not remove the file this patch added: " + error);
                if (context.journal)
                    context.journal->NoteRestoreFailed();
            }
            continue;
        }
        // One rename replaces the file: it is never missing, not even for a moment.
        if (!RestoreBackup(context, pair.backup, pair.file, error)) {
            PatchSendMessage(PATCH_LEVEL_ERROR, failed);
            PatchSendMessage(PATCH_LEVEL_ERROR, error);
            if (context.journal)
                context.journal->NoteRestoreFailed();
        }
    }
}

} // namespace

void ReportBackupsLeft(const PatchStageContext& context, const std::vector<RemovalFailure>& left)
{
    for (const RemovalFailure& failure : left)
        PatchSendMessage(PATCH_LEVEL_WARNING, L"Could not remove the backup of a finished patch (the next start "
                                              L"removes it): " + failure.error);
    if (!left.empty() && context.journal)
        context.journal->NoteLeftBehind();
}

bool StageCanStart(const PatchStageContext& context)
{
    std::wstring error;
    if (StageDoor(context, error))
        return true;
    PatchSendMessage(PATCH_LEVEL_ERROR, error);
    return false;
}

bool IsFileInStage(const PatchStageContext& context, const std::wstring& path)
{
    const LumoUtil::InstallFileKind kind = KindInStage(context, path);
    return kind != LumoUtil::InstallFileKind::Missing && kind != LumoUtil::InstallFileKind::Folder;
}

std::wstring ParentFolderOf(const std::wstring& path)
{
    const size_t separator = path.find_last_of(L"/\\");
    if (separator == std::wstring::npos)
        return L".";
    return separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
}

// The targets of records in order, up to the first that does not resolve (the stage reports it
// when it gets there).
std::vector<std::wstring> ResolvedTargets(const PatchStageContext& context, const PatchFileRecordArray& records)
{
    std::vector<std::wstring> targets;
    for (const PatchFileRecord& record : records) {
        std::wstring target, error;
        if (!ResolveStageTarget(context, record.path, target, error))
            break;
        targets.push_back(target);
    }
    return targets;
}

bool ForEachStageFile(const PatchStageContext& context, JournalEntry existingKind, bool announceNew,
                      const PatchFileRecordArray& records, const StageFileHandler& handle)
{
    std::wstring announceError;
    if (!AnnounceChanges(context, existingKind, announceNew, ResolvedTargets(context, records), announceError)) {
        PatchSendMessage(PATCH_LEVEL_ERROR, announceError);
        return false;
    }
    for (const PatchFileRecord& record : records) {
        if (!PatchKeepGoing())
            return false;
        std::wstring target, error;
        if (!ResolveStageTarget(context, record.path, target, error)) {
            PatchSendMessage(PATCH_LEVEL_ERROR, error);
            return false;
        }
        if (!handle(record, target))
            return false;
    }
    return true;
}

bool AddFiles(const PatchFileRecordArray& records, BackupPairArray& backups)
{
    const PatchStageContext context = CurrentPatchStageContext();
    if (!StageCanStart(context))
        return false;
    // The package's data folder, whatever the case the package spells it in.
    std::wstring dataFolder, ignored;
    if (!FindFixedName(context.packageDir, kPackageDataFolder, dataFolder, ignored))
        dataFolder = LumoUtil::JoinPath(context.packageDir, kPackageDataFolder);
    std::wstring dataError;
    const std::shared_ptr<LumoUtil::InstallDoor> data = LumoUtil::InstallDoor::Open(dataFolder, dataError);
    ParallelCopies copies(context);
    const bool listed = ForEachStageFile(context, JournalEntry::kReplaced, true, records, [&](const PatchFileRecord& record,
                                                                                   const std::wstring& target) {
        std::wstring error;
        const std::wstring source = SourceOf(data.get(), dataFolder, record.path);
        bool failed = false;

        const std::wstring folder = ParentFolderOf(target);
        if (KindInStage(context, folder) != LumoUtil::InstallFileKind::Folder &&
            !CreateFolderChain(context, folder, error)) {
            PatchSendMessage(PATCH_LEVEL_ERROR, PatchMessages::kCannotCreateDirectory + folder);
            PatchSendMessage(PATCH_LEVEL_ERROR, error);
            failed = true;
        }

        std::wstring ownerModel;
        if (IsFileInStage(context, target)) {
            const std::wstring backup = target + kBackupExt;
            if (!MoveToBackup(context, JournalEntry::kReplaced, target, backup, error)) {
                PatchSendMessage(PATCH_LEVEL_ERROR, LumoUtil::FormatWString(PatchMessages::kBackupFailed, backup.c_str()));
                PatchSendMessage(PATCH_LEVEL_ERROR, error);
                return false;
            }
            backups.push_back({target, backup});
            ownerModel = backup;
        } else {
            if (!RecordNewFile(context, target, error)) {
                PatchSendMessage(PATCH_LEVEL_ERROR, error);
                return false;
            }
            backups.push_back({target, L""});
        }

        if (failed) {
            // The copy is still tried, so that its failure is reported as well.
            if (!WriteReplacement(context, source, target, ownerModel, error)) {
                PatchSendMessage(PATCH_LEVEL_ERROR, PatchMessages::kCannotCopyFile + source);
                PatchSendMessage(PATCH_LEVEL_ERROR, error);
            }
            PatchSendMessage(PATCH_LEVEL_STATUS, PatchMessages::kFailedAdding + record.path + PatchMessages::kEllipsis);
            return false;
        }
        copies.Add(record.path, source, target, ownerModel);
        return true;
    });
    // Every copy ends (or fails) before the stage reports, so a rollback never races one.
    return copies.Finish() && listed;
}

void FinishAddedFiles(bool success, const BackupPairArray& backups)
{
    FinishReplacedFiles(success, backups);
}

void FinishPatchedFiles(bool success, const BackupPairArray& backups)
{
    FinishReplacedFiles(success, backups);
}
