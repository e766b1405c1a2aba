#pragma once
// The names below an installation that belong to the patcher, not to the game: a patch's backups
// and journal, the repair's summary and the folders a run unpacks into. Nothing that comes from
// outside may write, cut or delete them: a patch's file lists and a repair server's records naming
// one are refused, and the repair's summary leaves them out, so no server ever learns of them.
// A new file of the patcher's own is kept everywhere by one more line in kReservedNames.
// LumoUtil::IsReservedInstallName (lumo/text/SafePath.h) applies the table.

namespace LumoUtil {

inline constexpr wchar_t kBackupExt[] = L".pbk";
inline constexpr wchar_t kReplacementExt[] = L".pbk.new";
inline constexpr wchar_t kPatchJournalName[] = L"patch.journal";
inline constexpr wchar_t kRepairSummaryName[] = L"repair.cks";
inline constexpr wchar_t kRepairSummaryTempName[] = L"repair.cks.tmp";
inline constexpr wchar_t kRepairJournalName[] = L"repair.journal";
inline constexpr wchar_t kDatabaseUpdateMarkName[] = L"patch.dbstopped";
inline constexpr wchar_t kDatabaseUpdateMarkTempName[] = L"patch.dbstopped.new";
// The name of every folder a run unpacks into starts so (kRunFolderPrefix in lumo/files/InstallFolder.h,
// checked to agree).
inline constexpr wchar_t kRunFolderNamePrefix[] = L".sollex-patcher-";

enum class ReservedAt {
    RootFile,    // this file directly in the install folder
    NameEnding,  // any file whose name ends so, in any folder
    RootFolder,  // a name directly in the install folder that starts so, and everything below it
};

struct ReservedName {
    ReservedAt at;
    const wchar_t* name;    // compared ignoring ASCII case, as install paths are resolved
    const wchar_t* keptFor; // ends "... is kept for <keptFor>"
};

inline constexpr ReservedName kReservedNames[] = {
    {ReservedAt::RootFile, kPatchJournalName, L"the patch journal"},
    {ReservedAt::NameEnding, kBackupExt, L"the backups of a patch"},
    {ReservedAt::NameEnding, kReplacementExt, L"the backups of a patch"},
    {ReservedAt::RootFile, kRepairSummaryName, L"the repair's summary"},
    {ReservedAt::RootFile, kRepairSummaryTempName, L"the repair's summary"},
    {ReservedAt::RootFile, kRepairJournalName, L"the record of a stopped repair"},
    {ReservedAt::RootFile, kDatabaseUpdateMarkName, L"the note of an unfinished asset-database update"},
    {ReservedAt::RootFile, kDatabaseUpdateMarkTempName, L"the note of an unfinished asset-database update"},
    {ReservedAt::RootFolder, kRunFolderNamePrefix, L"the patcher's runs"},
};

} // namespace LumoUtil
