#pragma once
// The record that lets a stopped repair be put right at the next start.
//
// A repair writes whole segments in place: stopped halfway, it leaves files part old, part new, and
// a record for a far segment makes a file longer at once (the gap zero-filled). The end-of-run
// check (lumo/net/FileGrowthCheck.h) cuts such files back when the run ends by itself or is
// cancelled; a kill or a power loss never reaches it, and a file left terabytes long would be read
// in full by every later scan. So before a write may make a file longer than it has been in the
// run, the file and its length are recorded and flushed to the disk, and the next start of any run
// on the installation cuts the file back to that length (a file the repair created goes) and says
// that the repair must be run again.
//
// File "repair.journal" in the install folder, beside the patch journal and the summary
// "repair.cks"; lines framed as lumo/files/ChecksummedLines.h describes, one record a line:
//
//   BEGIN              the repair is about to change the installation (first line of every run)
//   LENGTH <n> <path>  the file was n bytes long (decimal) when the repair was about to make it
//                      longer
//   NEW <path>         the file did not exist when the repair was about to create it
//   STOPPED            the run was cancelled and every file is as its end-of-run check left it:
//                      the records above need no cut, only the word that the repair did not finish
//
//   path  relative to the install folder, "/" between parts, UTF-8 as the OS names it; it never
//         holds a line end (segment names hold no control character)
//
// Every record is flushed (fdatasync) before the write it announces; the file's creation is
// flushed with its folder. A run that completes, or fails and says so, flushes what it wrote
// (syncfs) and removes the file; a cancelled run flushes and records STOPPED; a run whose end-of-run
// cut failed leaves the file as it is, for the next start to cut.
//
// Recovery (RecoverStoppedRepair, at the start of every run that takes the installation): for each
// file named after the last STOPPED, the least length recorded wins, and NEW wins over every
// length. A file longer than that is cut back to it; a NEW file that is a regular file is removed.
// A record is followed only when its line is intact; a damaged one is reported and left alone. Its
// path is resolved through the installation's door (lumo/files/InstallDoor.h): a LENGTH reaches the
// file the repair wrote, a link inside followed; a NEW reaches its folder, its last part never
// followed. A path that names no file a repair writes makes the whole record untrusted (see
// RecoverStoppedRepair). Folders, links named by NEW and files that are gone are left as they are.
// The files cut or removed lose their entries in the repair's summary (lumo/net/SavedSummary.h).
// The file goes once every cut is
// done; when a cut fails it stays, and the run stops, so that the next start tries again.
//
// Both halves rely on the caller holding the installation lock (lumo/files/InstallFolder.h) and
// work through the door of that take.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "lumo/files/InstallDoor.h"
#include "lumo/text/ReservedNames.h"

using LumoUtil::kRepairJournalName;

class RepairJournal
{
public:
    // door: the door of the installation the run repairs, the one its take made (the journal's
    // name, its flushes and the paths it records are all below it). Nothing is written before the
    // first change.
    explicit RepairJournal(std::shared_ptr<LumoUtil::InstallDoor> door);
    ~RepairJournal();
    RepairJournal(const RepairJournal&) = delete;
    RepairJournal& operator=(const RepairJournal&) = delete;

    // Called before a write changes the file at path (a full path below root: the file really
    // written, as the installation's door reached it, so that no link stands in its name and the
    // next start cuts that very file): exists and size say what the file is now, end how long the
    // write may make it. Begins the record on the first change of the run and records the file when it may grow
    // beyond the least length recorded for it. False with error set: the write must not happen.
    bool BeforeChange(const std::wstring& path, bool exists, uint64_t size, uint64_t end, std::string& error);

    // The run has ended and its end-of-run check has run. stopped: it was cancelled. filesSettled:
    // no cut of that check failed. False with error set when the record could not be finished.
    bool End(bool stopped, bool filesSettled, std::string& error);

private:
    bool Begin(std::string& error);
    bool Append(const std::string& payloads, std::string& error);
    void Close();

    std::mutex m_lock;
    std::wstring m_root;
    const std::shared_ptr<LumoUtil::InstallDoor> m_door;  // the take's: the journal's name and the flushes
    int m_fd = -1;
    bool m_begun = false;
    // Install-relative native path -> least length recorded in this run (-1: recorded as NEW).
    std::unordered_map<std::string, int64_t> m_least;
};

// One line of a recovery for the user, at the patch engine's levels (1 status, 2 warning, 3 error).
struct RepairRecoveryLine
{
    int level = 1;
    std::wstring text;
};

// Puts right what a stopped repair left in the installation behind door, the take's door (see
// above), and says so through lines. True when
// there was nothing to do or recovery finished (damaged records included: they are reported and
// left alone); false when a file could not be cut back or the record could not be read or removed
// (the record then stays).
// leftAlone: install-relative names the repair never writes (its excluded files); a record naming
// one of them, like one naming a file the patcher keeps for itself, "..", an absolute path or a
// link that leads out, was not written by a repair: then nothing it names is cut or removed, the
// record stays, and a level-3 line says to delete it and run the repair again (as the patch
// journal treats an entry naming no file of a patch).
bool RecoverStoppedRepair(const LumoUtil::InstallDoor& door, std::vector<RepairRecoveryLine>& lines,
                          const std::vector<std::wstring>& leftAlone = {});
