#pragma once
// The kernel's fixed-size path functions. They work on buffers of kKilnPathSize (259) bytes: a
// path that would reach 259 characters sets the process-wide path-too-long flag and leaves the
// destination empty. Linux paths may be longer than that; these functions are for the kernel's
// own short paths.

#include <cstddef>
#include <string>

namespace Kiln
{

constexpr size_t kKilnPathSize = 259;

// dst must hold kKilnPathSize bytes.
void PathCopy(char* dst, const char* src);
// Appends part to dst, with one "/" between them; part's leading separators are dropped when
// dst is not empty; at most maxPartLength characters of part are taken.
void PathJoin(char* dst, const char* part, size_t maxPartLength);
// Turns every "\" into "/" in place.
void PathToForwardSlashes(char* path);

bool IsKilnPathTooLong();
void ClearKilnPathTooLong();

// The folder part of a path with the separator before the last component:
// C:\a\b\ -> C:\a\   /a/b -> /a/   abc -> "".
std::wstring GetParentDirectory(const std::wstring& path);

}  // namespace Kiln
