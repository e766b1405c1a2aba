#pragma once
// The patch engine's built-in English texts, in their fixed order. The application's windows use
// some of them for labels and the close confirmation.
//
// A message is sent either as its text followed by a path or URL (and, for some, a second text)
// or, for the texts holding "%s" and "%d", as a format filled in with LumoUtil::FormatWString,
// whose wide dialect reads "%s" as a wide string. Either way the whole line is composed first and
// sent as one string. Texts that nothing sends are kept: they belong to the set.
//
// Plain constant arrays: no static initialisation, so they can be used from any other static
// initialiser (the frame's event table uses the button labels).

#include <cstddef>

namespace PatchMessages
{
// 1-3: the frame's buttons.
inline constexpr wchar_t kApplyUpdate[] = L"Apply Update";
inline constexpr wchar_t kCancel[] = L"Cancel";
inline constexpr wchar_t kExit[] = L"Exit";
// 4-5: close confirmation, before and after a patch has been installed.
inline constexpr wchar_t kConfirmCancel[] = L"Do you really want to cancel?";
inline constexpr wchar_t kConfirmCancelAfterInstall[] =
    L"Warning: One or more patches have been successfully installed cancelling now will not revert these "
    L"changes.\nFurthermore the asset database will still need to be updated before Sollex can be "
    L"played.\nAre you sure you want to cancel?";
// 6: sent when the user cancels.
inline constexpr wchar_t kCancelling[] = L"Cancelling patch process...";
inline constexpr wchar_t kBrowseNewVersionPath[] = L"Browse to the new version path";
// 8-10: the patch-list download; 8 + local path, 9 + URL.
inline constexpr wchar_t kCannotOpenPatchFileForWriting[] = L"Unable to open the patch file for writing: ";
inline constexpr wchar_t kCannotDownloadPatchFile[] = L"Unable to download patch file: ";
inline constexpr wchar_t kCannotConnectToPatchServers[] = L"Unable to connect to any patch servers.";
// A server answered with a list that offers nothing: after "The patch list " + URL, then the
// closing line when no server offered a usable list.
inline constexpr wchar_t kUnusablePatchList[] =
    L" holds no usable patch: each entry needs source-version, target-version, patch-exe-url and patch-data-url, "
    L"with two different builds made of plain characters.";
inline constexpr wchar_t kNoUsablePatchList[] = L"No patch server offers a usable patch list.";
inline constexpr wchar_t kSuccessSuffix[] = L"... Success";
inline constexpr wchar_t kFailedSuffix[] = L"... Failed";
// 13: + folder.
inline constexpr wchar_t kCannotCreateDirectory[] = L"Could not create the directory: ";
inline constexpr wchar_t kDiffCommand[] = L"Diff command: ";
inline constexpr wchar_t kCannotCreateProcess[] = L"Could not create the process";
inline constexpr wchar_t kBzip2Command[] = L"Bzip2 command: ";
inline constexpr wchar_t kArchiveCommand[] = L"Archive command: ";
inline constexpr wchar_t kTheFile[] = L"The file: ";
inline constexpr wchar_t kCouldNotBeOpenedForWriting[] = L" could not be opened for writing";
inline constexpr wchar_t kIdentical[] = L"Identical: ";
inline constexpr wchar_t kChecksum[] = L" checksum:";
inline constexpr wchar_t kPatching[] = L"Patching: ";
// 23: the tail of "Failed adding: " + path.
inline constexpr wchar_t kEllipsis[] = L"...";
inline constexpr wchar_t kToBeAdded[] = L"To be added: ";
inline constexpr wchar_t kToBeDeleted[] = L"To be deleted: ";
inline constexpr wchar_t kCannotWriteFile[] = L"Could not write the file: ";
inline constexpr wchar_t kProperly[] = L" properly";
inline constexpr wchar_t kAdding[] = L"Adding: ";
// 29-33: added and deleted files; each + path (29 + relative path + kEllipsis).
inline constexpr wchar_t kFailedAdding[] = L"Failed adding: ";
inline constexpr wchar_t kRemoving[] = L"Removing: ";
inline constexpr wchar_t kCannotDelete[] = L"Could not delete: ";
inline constexpr wchar_t kAlreadyRemoved[] = L"File seems to have been removed already: ";
inline constexpr wchar_t kCannotCopyFile[] = L"Could not copy the file: ";
// 34-44: patched files and the external patch tool; 34-36 + path, 38 + command line.
inline constexpr wchar_t kChecksumFailed[] = L"Failed to compute the checksum for existing file: ";
inline constexpr wchar_t kAlreadyPatched[] = L"Existing file appears to have been patched already: ";
inline constexpr wchar_t kFileDamaged[] = L"Existing file is damaged and cannot be patched: ";
inline constexpr wchar_t kFailedCreatingProcess[] = L"Failed creating the process";
inline constexpr wchar_t kFailedPatchCommand[] = L"Failed patch command: ";
inline constexpr wchar_t kNotEnoughArguments[] = L"Not enough Argument Specified to patch the file";
inline constexpr wchar_t kCannotOpenDataFile[] = L"Could not open data file %s for reading.";
inline constexpr wchar_t kUnknownPatchError[] = L"An unknown error (%d) occurred while patching file %s";
inline constexpr wchar_t kCannotOpenPatchFile[] = L"Could not open patch file %s for reading.";
inline constexpr wchar_t kCannotOpenOutputFile[] = L"Could not open output file for writing.";
inline constexpr wchar_t kContentsDoNotMatch[] = L"Failed to patch %s, file contents do not match";
inline constexpr wchar_t kNumOkNumFailed[] = L"NumOk: %d NumFailed: %d";
// 46-47: a file list that cannot be read: 46 + path + 47.
inline constexpr wchar_t kCouldNotOpen[] = L"Could not open: ";
inline constexpr wchar_t kForReadingMightBeMissing[] = L" for reading. The file might not be present";
inline constexpr wchar_t kCannotDownloadFile[] = L"Could not download the file: ";
inline constexpr wchar_t kCannotReadChecksumFile[] = L"Could not read the checksum file: ";
inline constexpr wchar_t kReplaceMissingFile[] = L"Need to replace missing file: ";
inline constexpr wchar_t kReplaceModifiedFile[] = L"Need to replace modified file: ";
inline constexpr wchar_t kAborting[] = L"Aborting.";
// 53-54: backups; formats with the file's path.
inline constexpr wchar_t kBackupFailed[] = L"Failed to create backup of file %s";
inline constexpr wchar_t kRestoreFailed[] = L"Failed to restore backup file %s";
// 55-56: pre-flight checks of the application.
inline constexpr wchar_t kServicePackRequired[] =
    L"This patch installer requires at least Service Pack 3 for Windows XP. \nThe patch can be retried once "
    L"the Service Pack is installed.";
inline constexpr wchar_t kDirectXRequired[] =
    L"This version of Sollex requires the August 2009 release of DirectX9. \nThe patch can be retried once "
    L"DirectX is updated.";

inline constexpr size_t kMessageCount = 56;

// All texts in their fixed order (kAll[0] is kApplyUpdate).
inline constexpr const wchar_t* kAll[kMessageCount] = {
    kApplyUpdate, kCancel, kExit, kConfirmCancel, kConfirmCancelAfterInstall, kCancelling,
    kBrowseNewVersionPath, kCannotOpenPatchFileForWriting, kCannotDownloadPatchFile,
    kCannotConnectToPatchServers, kSuccessSuffix, kFailedSuffix, kCannotCreateDirectory, kDiffCommand,
    kCannotCreateProcess, kBzip2Command, kArchiveCommand, kTheFile, kCouldNotBeOpenedForWriting, kIdentical,
    kChecksum, kPatching, kEllipsis, kToBeAdded, kToBeDeleted, kCannotWriteFile, kProperly, kAdding,
    kFailedAdding, kRemoving, kCannotDelete, kAlreadyRemoved, kCannotCopyFile, kChecksumFailed,
    kAlreadyPatched, kFileDamaged, kFailedCreatingProcess, kFailedPatchCommand, kNotEnoughArguments,
    kCannotOpenDataFile, kUnknownPatchError, kCannotOpenPatchFile, kCannotOpenOutputFile,
    kContentsDoNotMatch, kNumOkNumFailed, kCouldNotOpen, kForReadingMightBeMissing, kCannotDownloadFile,
    kCannotReadChecksumFile, kReplaceMissingFile, kReplaceModifiedFile, kAborting, kBackupFailed,
    kRestoreFailed, kServicePackRequired, kDirectXRequired,
};
} // namespace PatchMessages
