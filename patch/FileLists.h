#pragma once
// The three file lists at the root of an unpacked patch package ("addedFiles.txt",
// "deletedFiles.txt", "patchedFiles.txt"): 8-bit text, lines ending in CR LF, LF or CR (a final line
// end adds no empty line), read in groups of three lines:
//
//   addedFiles.txt     relative path; MD5 of the file (not used); an empty line
//   deletedFiles.txt   relative path; two lines read but not used
//   patchedFiles.txt   relative path; MD5 after patching; MD5 before patching
//
// Paths are relative to the install folder with "\" between parts. Bytes are decoded with ToWide's
// fixed table, which cannot fail, so a list is never mistaken for an empty one. The lists come from
// outside: the reader only splits them; every path is validated before it is used
// (ResolvePatchTarget in patch/InstallFileOps.h).

#include <string>

#include "patch/PatchFileRecord.h"

// Reads one list file. False when it cannot be opened or read to its end (records then empty).
// A last group of fewer than three lines is completed with empty lines and reported through
// paddedLines (the number of lines added, 0 for whole groups); an empty path or checksum never
// passes the later checks, so such a list cannot do anything by accident.
bool ReadFileList(const std::wstring& listPath, PatchFileRecordArray& records, int& paddedLines);

// Splits list bytes into records the same way (for tests and the fuzz target).
PatchFileRecordArray ParseFileList(const std::string& bytes, int& paddedLines);

// The full path of one of the three lists of the package folder, found by the case rule of fixed
// names (FindFixedName in patch/InstallFileOps.h: "AddedFiles.txt" is the added-files list when
// no "addedFiles.txt" is there). False with error when two names match it ignoring case; a missing
// package folder gives the plain join, which then does not open.
bool FindFileList(const std::wstring& packageDir, const wchar_t* listName, std::wstring& path, std::wstring& error);

// The paths (line 1 of each group) of the package's "addedFiles.txt", other fields empty. When the
// list cannot be read it sends at level 3 "Could not open: " + path + " for reading. The file might
// not be present" and returns an empty array.
PatchFileRecordArray ReadAddedFileList(const std::wstring& packageDir);

// Sends the level-3 "Could not open: ..." message for a list.
void ReportUnreadableList(const std::wstring& listPath);
