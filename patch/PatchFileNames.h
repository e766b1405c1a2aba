#pragma once
// Names of the files and extensions a patch package holds. Constant arrays, so every unit that
// includes them sees the same values from the first instruction on.

inline constexpr wchar_t kPatchProjectName[] = L"project";
inline constexpr wchar_t kPatchDataExt[] = L"dat";
// The three file lists at the package root.
inline constexpr wchar_t kDeletedFilesList[] = L"deletedFiles.txt";
inline constexpr wchar_t kAddedFilesList[] = L"addedFiles.txt";
inline constexpr wchar_t kPatchedFilesList[] = L"patchedFiles.txt";
inline constexpr wchar_t kSpecialPatchList[] = L"specialPatch.txt";
// The package's folder of new files and difference files.
inline constexpr wchar_t kPackageDataFolder[] = L"data";
// Archives of the game that are patched through the converter in the install's "bin" folder.
inline constexpr wchar_t kArchiveExt[] = L".ka";
inline constexpr wchar_t kArchiveConverterExe[] = L"KAConverter.exe";
