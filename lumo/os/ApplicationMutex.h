#pragma once
// The application mutex: a named mutex "LUMO_" plus a safe, lower-case form of the application's
// path, by which other processes of the machine can see that the application runs. Meant for
// the main thread.

#include <string>

namespace LumoUtil
{

// Opens (or creates) the mutex once per process; later calls return true without change. With
// `exclusive`, no other process may open it while this one holds it, and finding it already
// there gives false. Asking for exclusive access while it is held shared stops the process.
bool OpenApplicationMutex(const std::wstring& appPath, bool exclusive);
// Closes the held mutex, if any. True when one was held.
bool CloseApplicationMutex();
// A mutex is held and this process created it (it did not exist before).
bool IsApplicationMutexCreator();

// The name of the mutex for an application path.
std::string MakeApplicationMutexName(const std::wstring& appPath);

}  // namespace LumoUtil
