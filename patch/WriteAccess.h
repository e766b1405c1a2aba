#pragma once
// Whether this process can do what patching needs: write the machine-wide registry, use the
// temporary folder and replace the game's executable. Run at start-up (to decide whether to start
// again elevated) and at the start of every patch run. It changes nothing that matters: the
// maker's registry key and the run's private temporary folder may be created.

#include <string>

namespace LumoUtil {
class InstallDoor;
}

// True when every test passes:
// 1. the registry key HKEY_LOCAL_MACHINE "Software\Kestin" is created when missing (the outcome
//    alone decides nothing), then
// 2. opened for writing;
// 3. the run's private temporary folder can be had;
// 4. the installation folder, when it exists, can be written (its permissions, a read-only
//    mount): a patch adds and replaces files in it, whether or not the game's executable is there;
// 5. installDir + "bin/Sollex.exe" (found ignoring case) does not exist, or
// 6. it opens for reading and writing without being created or truncated, and no other process
//    holds it open (a running game: a native executable refuses the open, a game under an
//    emulator holds it open).
// On false *reason (when given) says which test failed and why; the caller words the message.
// By the folder's name: for start-up, which decides on elevation before any run takes the
// installation. A run that holds it passes its take's door instead.
bool CheckWriteAccess(const std::wstring& installDir, std::wstring* reason = nullptr);
// The same for the installation the door holds (tests 4 to 6 through the door, door.Root() naming
// it in reasons).
bool CheckWriteAccess(const LumoUtil::InstallDoor& door, std::wstring* reason = nullptr);

// The installation folder lies on a file system mounted read-only: nobody, root included, can
// write it, so starting again with more rights cannot help. False when the folder does not exist
// or its file system cannot be asked.
bool IsOnReadOnlyFileSystem(const std::wstring& installDir);
