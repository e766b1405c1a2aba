#pragma once
// The run's private temporary folder. The program may run as root, so a predictable name in a
// shared folder is an attack path: everything temporary lives in one folder made with mkdtemp
// (mode 0700) below TMPDIR, else TEMP, else /tmp, and files in it are created exclusively
// without following links. The folder is made on first use and removed (without following
// links) when the process that made it exits normally or is ended by a stop signal that no
// handler takes (platform/ConsoleControl.h).
//
// Its name, "lumo-<owner tag>-XXXXXX", names the process (platform/RunOwner.h): before making
// its own, a process removes the folders of this user's earlier processes that are gone (killed
// runs leave theirs).

#include <cstdint>
#include <string>
#include <vector>

namespace platform
{

// The folder's native path, without a trailing "/". Empty when it cannot be made (last error set).
const std::string& PrivateTempFolder();

// Removes the private folders that this user's processes which have ended left below every parent
// the folder may be made in (TMPDIR, TEMP, /tmp). Returns the paths that could not be removed.
std::vector<std::string> RemoveEndedTempFolders();

// prefix + a number from a process-wide atomic counter + an unpredictable suffix + suffix. The
// name is not created; names never repeat within a run.
std::string MakeUniqueTempName(const std::string& prefix, const std::string& suffix);

// Creates a new empty file (0600, O_EXCL|O_NOFOLLOW|O_CLOEXEC) with a unique name inside the
// private folder. Returns the open descriptor and sets `path`; -1 on failure (last error set).
int CreateTempFile(const std::string& prefix, const std::string& suffix, std::string& path);

// Creates a new empty folder (0700) with a unique name inside the private folder. Returns its
// path, or empty on failure (last error set).
std::string CreateTempSubfolder(const std::string& prefix);

}  // namespace platform
