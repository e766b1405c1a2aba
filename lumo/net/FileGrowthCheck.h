#pragma once
// What a repair run may leave of a file it wrote: never more than the file held before the run and
// what the server sent for it. A record for segment i of a file shorter than i x 4 MiB fills the
// gap with zeros, and the server's records for the segments in between are still to come: the
// table orders "#1000" between "#100" and "#101", so an honest run writes segment 1000 of a large
// file before segment 101. Only when the run has ended can a gap that nobody filled be told from
// one still to be filled; a server that announces a huge count and sends one far segment would
// otherwise leave a file terabytes long (sparse, but read in full by every later scan).
//
// The rule, per file, once the run ends: the file holds its old bytes up to its old end (the least
// length it had before or during the run, as cuts and deletes lower it); from there on every
// segment must have been sent in this run, starting with the one the old end falls in (its bytes
// past the old end are zeros unless they were sent), a segment sent shorter than 4 MiB ends the
// file, and the file may reach no further than the end of the last segment so covered. A file that
// reaches further is cut back to that point (one that did not exist before and keeps nothing is
// removed), its summary entries are dropped (the next scan reads it afresh), and
// the run fails with the reason.
//
// A file is the one the door reached (links inside the installation followed), whatever name each
// record gave it: two names of one file are one file here, and the cut goes through the door too.
//
// The check follows each path through the run's records in the order they were written: a delete
// makes it a file that did not exist before, a later write a new file again; a path that ends the
// run as something other than a file (a folder made for a later record) holds nothing to cut.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "lumo/net/FileTreeSummary.h"
#include "lumo/net/LumoAgentClientTask.h"

class FileGrowthCheck
{
public:
    struct CutBack
    {
        std::wstring path;
        uint64_t sizeFound = 0;
        // The length it was cut back to (0 and removed when it did not exist before).
        uint64_t sizeKept = 0;
        bool removed = false;
        // Segments written in this run that the cut took away again.
        uint32_t segmentsUndone = 0;
        // Empty when the cut (or removal) succeeded, else why not.
        std::string failure;
        // One line for the user.
        std::string Describe() const;
    };

    // Takes the outcome of every record whose write ran, in the order the writes happened.
    void Record(const SegmentWrite& write);

    // Checks every file written so far against the rule and cuts back those that break it, updating
    // the summary; one entry per file that broke it.
    std::vector<CutBack> Enforce(FileTreeSummary& summary, const LumoUtil::InstallDoor& door);

private:
    struct File
    {
        std::set<std::wstring> relativePaths;
        // The file relative to the installation, link-free, as the door reached it.
        std::wstring reached;
        // The file existed before the run and was not deleted in it: cut back to nothing, it stays
        // as an empty file, else it goes.
        bool existed = false;
        // The least length of the file before and during the run.
        uint64_t keptLength = 0;
        // Segments sent and written in this run that are still on disk: index -> bytes.
        std::map<uint32_t, uint64_t> sent;
    };

    std::map<std::wstring, File> m_files;
};
