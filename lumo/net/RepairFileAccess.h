#pragma once
// How the repair opens and cuts a game file: always through the installation's door
// (lumo/files/InstallDoor.h), by the link-free name Reach gave, so that no link leads a write
// elsewhere and a file with more than one name gets a copy of its own before it changes (the other
// names, a backup made with hard links among them, keep their content).
//
// A file without its owner's write bit is mended all the same, as a repair on the other platform
// clears the read-only attribute: the bit is set first. When the file then gets a copy of its own,
// its other names keep their mode too.

#include <cstdint>
#include <string>

#include "lumo/files/InstallDoor.h"

namespace LumoNet
{

// Says what stands at relative (link-free) where the repair expected a file, in the door's words:
// ""<path>" is a FIFO (named pipe), not a file: it was left as it is" (a socket, a device, a
// folder, a symbolic link alike). Nothing is opened: only the name is looked at.
std::wstring NotAFileText(const LumoUtil::InstallDoor& door, const std::wstring& relative);

// Opens relative (link-free) for writing in place, or creates it (create: it must not exist; its
// missing folders are made first). -1 with error naming the file and reason set to the system's
// errno value on failure.
int OpenForRepairWrite(const LumoUtil::InstallDoor& door, const std::wstring& relative, bool create,
                       std::wstring& error, int& reason);

// Cuts the regular file relative (link-free) to length in place and flushes it. False with error
// and reason on failure.
bool CutForRepair(const LumoUtil::InstallDoor& door, const std::wstring& relative, uint64_t length,
                  std::wstring& error, int& reason);

} // namespace LumoNet
