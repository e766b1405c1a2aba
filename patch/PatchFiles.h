#pragma once
// The stage that rebuilds the package's patched files. For every record of "patchedFiles.txt" the
// installed file's MD5 is compared with the record's two checksums: a file that already has the
// new content is left alone (a warning), one with neither is damaged and stops the patch. Else
// the file moves to its ".pbk" backup (announced in the run's journal first) and the install's
// tool rebuilds it from the backup and the package's difference file:
//
//   ordinary file   bin\x.dll  -> kpatchl-w32.exe  B  <package>\data\bin\x.dll.diff  T
//   ".ka" archive   pack.ka    -> KAConverter.exe patchapply  B  <package>\data\pack-diff.ka  T
//                                 (only when the converter is installed; else as an ordinary file)
//
// The tool's exit code decides (0 done; 1 to 4 and others each have their message), and a file
// the tool reports as done must then have the record's new checksum: for ordinary files anything
// else fails the patch, for archives (which the converter may legitimately pack differently) it is
// a warning. The first failing file ends the stage; the finishing step restores every file backed
// up so far from the pairs appended to backups.

#include "patch/PatchFileRecord.h"

// Runs the stage in the current context (g_patchInstallDir, g_patchPackageDir, the run's journal).
bool PatchFiles(const PatchFileRecordArray& records, BackupPairArray& backups);

// The same in a context of the caller's.
bool PatchFilesIn(const PatchStageContext& context, const PatchFileRecordArray& records, BackupPairArray& backups);

// The name of a file that is one of the game's archives: its first ".ka" stands at its very end.
bool IsArchiveFileName(const std::wstring& name);
