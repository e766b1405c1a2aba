#pragma once
// The kernel's path status test, with a registry of file-system handlers for paths that begin
// with a mount name and a colon ("pack:textures/a.dds"). A drive form ("C:\", "C:/") is not a
// mount. Mount records are kept in ascending order of their interned name's address; the
// registry is guarded by a kernel critical section and emptied at process exit (each mount
// gives back its interned name and deletes its handlers).

#include <memory>

#include "Kiln/Src/Kiln/KernelStandard/StringTable.h"

namespace Kiln
{

class FileSystemHandler
{
public:
    virtual ~FileSystemHandler() = default;
    virtual bool Accepts(const char* path) = 0;
    // True when the handler knows path in the mount `mountName`.
    virtual bool Status(const char* path, InternedString* mountName, void* argument) = 0;
};

// Adds a handler to the mount `mountName` (created when new). False for an empty name or no handler.
bool RegisterFileSystemHandler(const char* mountName, std::unique_ptr<FileSystemHandler> handler);

// 0: the path exists (or it cannot be told); 2: not found. A path in a registered mount is
// asked of its handlers; any other path is tested in the file system, where only "no such
// entry", a bad address, "not a folder" and "name too long" count as not found.
int KilnFileStatus(const char* path);

}  // namespace Kiln
