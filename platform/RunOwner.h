#pragma once
// Names that say which process made a temporary file or folder, so that a later start can tell
// what a killed run left behind from what a running one still uses.
//
// An owner tag is "<pid>-<start>": the process id and the process's start time in clock ticks
// after boot (field 22 of /proc/<pid>/stat), both in decimal. The start time guards against a
// reused process id: a process with the same id but another start time is not the owner. A
// leftover is named <prefix><tag>, optionally followed by "-" or "." and anything.
//
// The owner counts as gone only when that is certain: no process has the id, or the one that has
// it started at another time, or it has ended and waits to be collected (a zombie). When /proc
// cannot be read the owner counts as alive: a leftover kept is harmless, one removed under a
// running process is not.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform
{

// This process's tag (read once; a forked child reads its own).
std::string OwnerTag();

// The tag at the start of text: its process id, start time and length. False when text does not
// begin with a tag followed by its end, "-" or ".".
bool ParseOwnerTag(const std::string& text, pid_t& pid, uint64_t& start, size_t& length);

// The start time of a running (not ended) process; false when there is none with that id or when
// it has ended. `unknown` is set when /proc could not tell.
bool ProcessStartTime(pid_t pid, uint64_t& start, bool& unknown);

// True only when the process that the tag names has certainly ended.
bool IsOwnerGone(pid_t pid, uint64_t start);

// Removes every entry of `folder` named <prefix><tag>... whose owner is gone and which belongs to
// this user: a file, or a folder with everything in it (links are removed, never followed).
// Returns the number of entries that could not be removed (0 when all went or none was there);
// notRemoved, when given, gets their paths.
int RemoveLeftovers(const std::string& folder, const std::string& prefix,
                    std::vector<std::string>* notRemoved = nullptr);

// Removes everything below the open folder `dirFd` without following links; closes `dirFd`.
void RemoveFolderContents(int dirFd);

}  // namespace platform
