#pragma once
// How much room the disk that holds a path has left, and whether it counts as full: a failure
// that a full disk caused is named as that, not as whatever the failing program reported.
//
// Tests cannot fill a disk without root. With LUMO_TEST_MODE=1 and LUMO_TEST_NO_SPACE=<folder> in
// the environment, every path at or below that folder reports no free byte (read on every call, so
// a test's child process sees its own setting); nothing else changes.

#include <cstdint>
#include <string>

namespace LumoUtil
{

// Below this many free bytes a disk counts as full: a write that a full disk cut short leaves less
// than its last block, and a program that wrote its output in large pieces less than one piece.
inline constexpr uint64_t kFullDiskBytes = 1u << 20;

// The bytes free to this process's user on the disk that holds path (statvfs: f_bavail x
// f_frsize). False, with 0, when path is empty or its disk cannot be asked (a missing path).
bool GetFreeDiskSpace(const std::wstring& path, uint64_t& freeBytes);

// True when the disk that holds path is known to have fewer than kFullDiskBytes free; freeBytes
// (when given) receives the count. False when it has more or cannot be asked.
bool IsDiskFull(const std::wstring& path, uint64_t* freeBytes = nullptr);

// The reason for a message: "No space left on device (<n> bytes free on the disk that holds <path>)".
std::wstring NoSpaceText(const std::wstring& path, uint64_t freeBytes);

}  // namespace LumoUtil
