#pragma once
// The installation folder a user names, and the lock that keeps one run at a time on it.
//
// A user names the installation on the command line, through the registry or the file dialog, in
// any spelling: relative, with "." and "..", doubled separators, or through a symbolic link (games
// are often kept on another disk and linked into place). Every run resolves that name once, at its
// entry, and from then on works with the resolved folder only: the uninstall log records it, the
// lock is taken on it and paths are compared below it. Links met below the resolved folder keep
// the rules of ResolveInstallPath (lumo/text/SafePath.h).
//
// The lock is an exclusive flock on the installation folder itself. A patch run and a repair run
// hold it for their whole run, and the patch journal (patch/BackupJournal.h) takes the same lock
// for each application of a patch, so a patch tool, a repair and the patcher's window never write
// to one installation at the same time. Taking it never waits: the second run to come ends at
// once and names the first (its program and process, as /proc/locks and /proc/<pid>/cmdline show
// them).
//
// Our own folders below an installation: a run unpacks into a private folder there when the
// temporary folder's volume is short of space ("<install>/.sollex-patcher-<owner tag>-XXXXXX",
// app/run/TempFiles.cpp, tag as platform/RunOwner.h writes it). A killed run leaves its folder
// behind (and its private temporary folder), so whoever takes the lock removes the folders of runs
// that have ended before anything else looks at the installation, and the repair's scan never
// counts such a folder as the game's.

#include <memory>
#include <string>
#include <vector>

namespace LumoUtil {

class InstallDoor;  // lumo/files/InstallDoor.h

// Resolves the installation folder given by the user: made absolute against the working folder,
// every link followed, ".", ".." and doubled separators removed, no trailing separator. False with
// error naming the folder when it is empty, holds a "\" (a Linux name holding one cannot be told
// from a separator), does not exist, is not a folder, or cannot be reached.
bool ResolveInstallFolder(const std::wstring& given, std::wstring& resolved, std::wstring& error);

// The name prefix of a run's private folder below an installation.
inline constexpr char kRunFolderPrefix[] = ".sollex-patcher-";

// True when name (one name, no path) is a run's folder name.
bool IsRunFolderName(const std::wstring& name);

// Removes what runs of this user that have ended (killed) left: their run folders directly below
// the installation folder and their private temporary folders (platform/TempFolder.h), with
// everything in them. Returns the paths of those that could not be removed.
std::vector<std::wstring> RemoveEndedRunLeftovers(const std::wstring& folder);

// Whether this process may create, replace and remove files in the installation folder the door
// holds and in every folder below it (a repair may write anywhere; links are not followed, run folders left
// out): false with error naming the installation, the folder that fails and the reason
// ("Permission denied", "Read-only file system") when not.
bool CheckInstallFolderWritable(const InstallDoor& door, std::wstring& error);

class InstallLock
{
public:
    // Takes the lock on the folder (a resolved installation folder). When this process holds it
    // already, the new holder shares it and the lock lasts until the last holder is gone. Null
    // with error set when another process holds it (the error names that process) or the folder
    // cannot be opened. The first holder in the process removes what ended runs left there and in
    // the temporary folder (RemoveEndedRunLeftovers; one that stays is named on the system log).
    static std::unique_ptr<InstallLock> Acquire(const std::wstring& folder, std::wstring& error);

    // The door of the installation this lock holds (lumo/files/InstallDoor.h): one per take, made
    // on the locked descriptor when the lock was first taken, shared by every holder.
    const std::shared_ptr<InstallDoor>& Door() const { return m_door; }

    // The door of folder when this process holds the lock on it (taken under that very name, or
    // reaching the locked folder now); null otherwise.
    static std::shared_ptr<InstallDoor> HeldDoor(const std::wstring& folder);

    ~InstallLock();
    InstallLock(const InstallLock&) = delete;
    InstallLock& operator=(const InstallLock&) = delete;

private:
    InstallLock(unsigned long long device, unsigned long long inode, std::shared_ptr<InstallDoor> door);
    unsigned long long m_device;
    unsigned long long m_inode;
    std::shared_ptr<InstallDoor> m_door;
};

// The error of a folder whose lock another process holds (folderFd: the folder, open): names the
// holder's program and arguments and its process id, when this system lets us see them.
std::wstring InstallInUseText(const std::wstring& folder, int folderFd);

}  // namespace LumoUtil
