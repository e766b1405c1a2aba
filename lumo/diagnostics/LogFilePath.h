#pragma once
// Where log and dump files go: the log folder (empty: the working directory) and a subfolder, and
// names that never overwrite an earlier file.

#include <string>

// Longest folder or path kept, in characters.
constexpr size_t LOG_PATH_MAX = 259;

// Copies the log folder and the default subfolder (each cut to LOG_PATH_MAX characters); null
// keeps an empty one.
void SetLogFolders(const wchar_t* logFolder, const wchar_t* defaultSubfolder);

// Off at start: an existing file of the chosen name makes the next free "<stem>_<n>.<ext>" name
// ("<stem>_<n>" for a name without an extension). On: the name is used as it is, and an existing
// file of that name is deleted.
void SetKeepOldLogFiles(bool on);
bool GetKeepOldLogFiles();

// path = log folder + subfolder (the default subfolder when null or empty) + name, separators "/";
// the folder is created. Always yields a path; when the folder cannot be made, creating the file
// fails later.
void MakeLogFilePath(const std::wstring& name, const wchar_t* subfolder, std::wstring& path);
