#pragma once
// File and directory helpers of the utility library. Paths are wide strings taken by value; both
// "/" and "\" separate, and every path reaches the OS through ToNativePath. Failures come back as
// bool or LUMORESULT results and the thread's last error (platform/LastError.h); nothing throws.
//
// The read-only attribute is the owner's write bit: a file without it is read-only, and these
// helpers refuse to delete or move it even when the process runs as root, as the patcher's
// design expects of read-only files. Symbolic links are never followed into: a link is an entry
// of its own (not a folder), deleted as a link; only MakeDirectory takes a link to a folder for
// the folder.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lumo/buffers/LumoResult.h"

namespace LumoUtil
{

// The name is taken by a file, folder or link (a dangling link included).
bool FileExists(std::wstring path);
// The path is a folder itself (a link to a folder is not); false when it does not exist.
bool IsDirectory(std::wstring path);

// True when the file already is read-only; else removes every write bit and reports whether that
// worked. False for a missing path or a link.
bool SetReadOnly(std::wstring path);
// True when the owner's write bit is already set; else sets it, keeping the other bits, and reports
// whether that worked. False for a missing path or a link.
bool ClearReadOnly(std::wstring path);

// LUMORESULT_OK with the size in bytes (64-bit); LUMORESULT_IO_ERROR with 0 when it cannot be queried.
LUMORESULT GetFileSize(std::wstring path, uint64_t& size);
// LUMORESULT_OK with the last modification time in seconds since 1970-01-01 00:00 UTC;
// LUMORESULT_IO_ERROR with 0 when it cannot be queried.
LUMORESULT GetFileTime(std::wstring path, uint64_t& time);

// Deletes a file or a link; false for an empty path, a folder, a read-only file or a failure.
bool DeleteFile(std::wstring path);

// Renames from to to when nothing else holds from open: false when from is missing, read-only or
// in use (another open descriptor, seen through a write lease), and when to exists already. Across
// file systems the content is copied beside to, committed, renamed into place, and from removed.
// A process that opens the file after the check, or maps it without a descriptor, goes unseen.
bool MoveFileIfUnused(std::wstring from, std::wstring to);

// Copies the content and permission bits of the file from to the new file to: written under a
// temporary name beside it, committed to the disk and renamed into place; never replaces an
// existing to. False (nothing left behind) on any failure.
bool CopyFileCommitted(std::wstring from, std::wstring to);

// Creates the missing file path holding CR LF and returns true; false when the name is taken (also
// by a file created at the same moment) or the file cannot be made.
bool CreateFileIfMissing(std::wstring path);

// Deletes the folder with everything in it. Links inside are deleted as links (what they point to
// is left alone), and a link given as path is not followed. A read-only file stays, so its folders
// stay too and the result is false; the first folder that cannot be removed ends the walk with false.
bool DeleteDirectory(std::wstring path);

// A new, empty folder (mode 0700) below dir named "file" + a number, created exclusively (a name
// already taken is skipped), dir joined with its separators made "\". The numbers come from a
// process-wide counter that starts at an unpredictable value and grows by one per call. When the
// folder cannot be made the name is still returned; the caller's MakeDirectory then fails on it.
std::wstring MakeTempFileName(std::wstring dir);

// Every entry of dir except "." and ".." as dir (separators made "\") joined with its name,
// sorted by name. LUMORESULT_NOT_FOUND with out empty when dir cannot be listed.
LUMORESULT ListDirectory(std::wstring dir, std::vector<std::wstring>& out);

// Calls callback with the 8-bit path of every plain, writable file of dir (folders, links,
// read-only files and names that 8-bit text cannot hold are skipped) last written more than
// maxAgeSeconds ago. A false from callback stops the walk and gives false; a folder that cannot be
// listed gives true.
bool ForEachOldFile(const std::string& dir, uint32_t maxAgeSeconds,
                    const std::function<bool(const std::string& path)>& callback);

// "<host name> MM-DD-YY hh-mm-ss <random number>", every character outside A-Z a-z 0-9 - _ and
// space made "-".
std::string GetMachineTag();

}  // namespace LumoUtil

// Creates the folder and every missing level above it; true when it is a folder afterwards (also
// when another thread or process made it meanwhile). A link to a folder counts as the folder. A
// path that exists as something else (a file, or a dangling link) gives false with last error 80
// (file exists); other failures are logged.
bool MakeDirectory(std::wstring path);
