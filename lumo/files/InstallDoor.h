#pragma once
// The one door into an installation.
//
// On the other platform a file is opened once and worked on through its handle. Here a name is
// looked up again by whoever holds it, and every lookup is a chance for a symbolic link, a hard
// link, a folder or a FIFO to stand where a file was expected: a write would land outside the
// installation, in a second copy of a file, or block for ever. So every open, create, rename, cut
// and unlink below an installation goes through one InstallDoor:
//
// - It holds the installation folder open (a directory descriptor; the one the installation lock
//   was taken on when this process holds that lock) and works relative to it only. One door serves
//   a whole take of the installation: InstallDoor::Open hands out the door of the lock this process
//   holds, so every part of a run shares what the door holds.
// - It hands out handles, not names: every folder it reaches is kept open (an O_PATH descriptor)
//   for as long as the door lives, and a later look, open, create, rename or unlink below it works
//   relative to that descriptor. A folder moved away or replaced by a link while a run works is
//   still the folder the run holds; nothing the door reached is looked up again by name.
// - Reach() resolves an install-relative name component by component relative to that descriptor,
//   by the case rule (the exact name, else the single entry that matches ignoring ASCII case;
//   missing parts keep the given spelling; each folder is listed at most once while nothing else
//   changes it). A symbolic link met on the way, the last step included, is followed only while it
//   stays inside; its target is split on "/" as the kernel reads it, a part of it that holds "\"
//   is refused and its ".." steps up within the installation only. The file it reaches is the one checked,
//   recorded and compared (InstallFile::relative, InstallFile::identity). A name that is, or
//   reaches, a file the patcher keeps for itself (lumo/text/ReservedNames.h) in any component is
//   refused.
// - The reached name holds no link, so every later open of it walks the folders with O_NOFOLLOW:
//   a link swapped in meanwhile makes the open fail instead of leading elsewhere.
// - The patcher's own files (journals, summary, notes, backups, replacements, temporary files) are
//   read only when they are regular files (opened without following a link and without blocking,
//   then checked), and created exclusively without following a link after removing what stood in
//   their place.
// - A game file with more than one name (a hard link) gets a copy of its own before anything
//   writes it in place, so the other names keep their content.
//
// Paths: "relative" is below the installation, "/" or "\" between parts. Every error names what
// failed and where (the full path) and, where a user can do something about it, what to do.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "lumo/text/SafePath.h"

namespace LumoUtil {

// A file as the file system knows it: two names reach the same file when these are equal.
struct FileIdentity
{
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of an open descriptor; zero when fstat fails.
FileIdentity IdentityOf(int fd);

enum class InstallFileKind {
    Missing,      // the folder that would hold it was reached and holds nothing under its name
    Regular,
    Folder,
    Other,        // a link, FIFO, socket or device
    Unreachable,  // the folder that holds it cannot be reached: a part above is a link, a file or
                  // cannot be opened (InstallFile::reason says which); never "not there"
};

struct HeldFolder;
struct HeldFolders;

// A file of the installation as the door reached it: the folder that holds it, kept open by the
// door, and one checked leaf name. Copies share the folder.
class InstallHandle
{
public:
    bool Valid() const { return m_folder != nullptr; }
    // The O_PATH descriptor of the folder that holds the file (owned by the door; do not close).
    int Folder() const;
    const std::string& Leaf() const { return m_leaf; }
    const std::wstring& Relative() const { return m_relative; }

private:
    friend class InstallDoor;
    std::shared_ptr<HeldFolder> m_folder;
    std::string m_leaf;
    std::wstring m_relative;
};

// What an install-relative name reaches.
struct InstallFile
{
    std::wstring relative;     // the file reached, links followed, "/" between parts, spelled as on disk
                               // (missing parts as given)
    std::wstring path;         // the installation folder + "/" + relative: for messages and path-based code
    InstallFileKind kind = InstallFileKind::Missing;
    FileIdentity identity;     // of the file reached; zero when it is missing
    uint64_t size = 0;         // of a regular file
    uint64_t links = 0;        // its number of names (st_nlink)
    uint32_t mode = 0;         // st_mode of what stands there
    uint32_t owner = 0;        // its user and group
    uint32_t group = 0;
    bool folderPresent = true; // false when a folder above is missing (kind is then Missing)
    std::wstring reason;       // why it cannot be reached (kind Unreachable)
    InstallHandle handle;      // the held folder and leaf; invalid when the folder is missing or unreachable
};

class InstallDoor
{
public:
    // The door of the installation folder root (a resolved folder, as InstallFolder.h gives it):
    // when this process has taken it (InstallLock), the take's own door, which the lock made on
    // its descriptor and every part of the run shares; else the folder opened on its own (a
    // folder that is no installation, such as a package's). Null with error naming the folder
    // when it cannot be opened.
    static std::shared_ptr<InstallDoor> Open(const std::wstring& root, std::wstring& error);

    // The door of root given open as fd (a directory descriptor, taken over: closed with the
    // door); null with error when fd is -1 (errno then says why) or cannot be used.
    static std::shared_ptr<InstallDoor> OnFolder(const std::wstring& root, int fd, std::wstring& error);

    ~InstallDoor();
    InstallDoor(const InstallDoor&) = delete;
    InstallDoor& operator=(const InstallDoor&) = delete;

    const std::wstring& Root() const { return m_root; }
    int Fd() const { return m_fd; }

    // Resolves a name that came from outside (a file list, a package, a repair server) or that a
    // journal wrote down. exactSpelling: take every name as spelled (no case matching), for names
    // the patcher wrote itself. False with error when the name is unsafe (IsSafeRelativePath for
    // text), ambiguous by case, runs through a file, leads out of the installation through a link
    // (or a chain of more than 40), or names or reaches a file the patcher keeps for itself.
    bool Reach(const std::wstring& relative, InstallFile& file, std::wstring& error,
               NameText text = NameText::EightBit, bool exactSpelling = false) const;

    // The entry of the folder below which name (one name, no separator) would stand, by the case
    // rule alone: the exact name when anything takes it, else the single entry that matches
    // ignoring ASCII case, else name as given. No link is followed. False with error when two
    // entries match, or the folder cannot be reached.
    bool MatchEntry(const std::wstring& folder, const std::wstring& name, std::wstring& spelled,
                    std::wstring& error) const;

    // The same, without the reserved-name rule: for the patcher's own code that looks at its own
    // files through a game file's name (a backup beside a file).
    bool ReachAny(const std::wstring& relative, InstallFile& file, std::wstring& error,
                  NameText text = NameText::EightBit, bool exactSpelling = false) const;

    // What stands at a link-free relative name now (no link followed, not even the last). Missing
    // only when the folder that would hold it was reached (folderPresent false when a folder above
    // is missing); Unreachable, with reason, when a folder above is a link, a file, or cannot be
    // opened.
    InstallFile Look(const std::wstring& relative) const;

    // A descriptor (O_PATH, close-on-exec; the caller closes it) of the folder that holds relative
    // (link-free): the folder the door holds for it, else walked from the nearest held folder
    // without following any link; -1 with error when a part is missing, a link or not a folder.
    int OpenParent(const std::wstring& relative, std::string& leaf, std::wstring& error) const;

    // Opens the game file relative (link-free) for reading: never through a link, never blocking
    // on a FIFO, only a regular file (the error says what stands there otherwise). -1 with error.
    // status (when given) gets what fstat says of the file opened.
    int OpenForReading(const std::wstring& relative, std::wstring& error, struct stat* status = nullptr) const;

    // Flushes to the disk the folder that holds relative (link-free): a rename or removal in it
    // lasts. False, with error (when given) naming it and the reason, when that fails.
    bool SyncFolderOf(const std::wstring& relative, std::wstring* error = nullptr) const;

    // The identity of the installation folder itself.
    FileIdentity Identity() const { return IdentityOf(m_fd); }

    // Removes the folder relative when it is empty. True, saying what became of it, when it was
    // removed, was not there, or holds something (it stays); false with error otherwise.
    enum class FolderRemoval { Removed, NotThere, Stayed };
    bool RemoveEmptyFolder(const std::wstring& relative, FolderRemoval& outcome, std::wstring& error) const;

    // --- The patcher's own files ---

    // Reads the whole file relative (link-free, e.g. "patch.journal") when it is a regular file.
    // True with present false when nothing stands there. False with error when something else
    // stands there (a link, a folder, a FIFO: the error says which and to delete it) or it cannot
    // be read.
    bool ReadOwnFile(const std::wstring& relative, std::string& bytes, bool& present, std::wstring& error) const;

    // An open descriptor (O_RDONLY, close-on-exec) of the regular file relative, the same checks
    // as ReadOwnFile; -1 with present false when nothing stands there.
    int OpenOwnFileForReading(const std::wstring& relative, bool& present, std::wstring& error) const;

    // Creates relative exclusively (O_CREAT|O_EXCL|O_NOFOLLOW, plus flags such as O_WRONLY,
    // O_APPEND) after removing a file, link or FIFO standing there, or an empty folder. A folder
    // with something in it is not removed: error names it and says to delete it. -1 with error on
    // failure.
    int CreateOwnFile(const std::wstring& relative, int flags, mode_t mode, std::wstring& error) const;

    // Writes bytes to relative through temporary (both link-free, in one folder): created as
    // CreateOwnFile does, written, flushed to the disk, renamed over relative, the folder flushed.
    // Nothing of temporary stays on failure.
    bool ReplaceOwnFile(const std::wstring& relative, const std::wstring& temporary, const std::string& bytes,
                        std::wstring& error) const;

    // Removes the file or link relative (never a folder). True when it is gone, also when it was
    // not there; false with error naming it and the reason otherwise.
    bool RemoveFile(const std::wstring& relative, std::wstring& error) const;

    // renameat of two link-free names inside the installation; false with error naming both.
    bool Rename(const std::wstring& from, const std::wstring& to, std::wstring& error) const;

    // --- Game files written in place ---

    // Opens the regular file relative (link-free, as Reach gives it) for writing in place
    // (O_WRONLY, plus O_CREAT|O_EXCL when create), never through a link and never blocking. A file
    // with more than one name is first given a copy of its own (copied beside it, flushed and
    // renamed over it), so its other names keep their content. -1 with error on failure, and
    // reason (when given) the system's error number (EINVAL for something that is not a file).
    int OpenForWriteInPlace(const std::wstring& relative, bool create, std::wstring& error,
                            int* reason = nullptr) const;

    // Makes the folder relative (link-free) and every missing folder above it, walking from the
    // root without following a link. False with error naming the part that is not a folder or
    // cannot be made, and reason (when given) the system's error number.
    bool MakeFolders(const std::wstring& relative, std::wstring& error, int* reason = nullptr) const;

    // Flushes the installation's file system (syncfs).
    bool Sync(std::wstring& error) const;

    // The text a user reads for what a stat mode says stands at a name ("a symbolic link").
    static std::wstring KindText(mode_t mode);

private:
    InstallDoor(std::wstring root, int fd, std::shared_ptr<HeldFolders> held);
    int OpenRegular(const std::wstring& relative, const wchar_t* otherwise, bool& present, std::wstring& error,
                    struct stat* status) const;
    std::shared_ptr<HeldFolder> Held(const std::string& relative) const;
    std::shared_ptr<HeldFolder> HoldFolder(const std::string& relative, int& why, std::wstring& error) const;
    std::shared_ptr<HeldFolder> HoldBelow(const std::shared_ptr<HeldFolder>& folder, const std::string& name,
                                          int& why) const;
    std::shared_ptr<HeldFolder> ParentOf(const std::wstring& relative, std::string& leaf, int& why,
                                         std::wstring& error) const;
    void Forget(const std::string& relative) const;
    bool ReachWith(const std::wstring& relative, InstallFile& file, std::wstring& error, NameText text,
                   bool exactSpelling, bool refuseReserved) const;
    bool GiveOwnCopy(int folderFd, const std::string& leaf, const std::wstring& relative, std::wstring& error) const;

    std::wstring m_root;
    std::wstring m_prefix;  // m_root and the separator that a name below it follows
    int m_fd = -1;
    std::shared_ptr<HeldFolders> m_held;  // shared by every door of one take of the installation
};

}  // namespace LumoUtil
