#pragma once
// The repair's summary as a file: "repair.cks" in the install folder, the "0stf" layout of
// lumo/net/FileTreeSummary.h. It is only ever replaced whole: written under a temporary name
// beside it ("repair.cks.tmp"), flushed and renamed over it, so a crash leaves the old summary or
// the new one.
//
// Its entries say "this file had these checksums at this time". Whatever the patcher changes in a
// file itself (a stopped repair's cut or removal, the end-of-run cut, a failed write taken back, a
// committed patch) drops that file's entries, so the next scan reads it again: its time alone may
// not show the change, being kept in whole seconds.

#include <cstdint>
#include <string>
#include <vector>

namespace LumoUtil
{
class InstallDoor;
}

// The name the summary file name has below the door's folder, by the installation's one case rule
// (InstallDoor::MatchEntry): the exact name when anything stands there, else the single entry
// that equals it ignoring ASCII case ("REPAIR.CKS" on a copy from a case-insensitive disk), else the name as given. Every
// reader, writer and pruner of the summary takes its name from here. name is one name, or a
// relative one whose folders are spelled as on disk (only its last part is matched). False with
// error naming the folder when two or more entries match, or the folder cannot be listed.
bool FindSummaryName(const LumoUtil::InstallDoor& door, const std::wstring& name, std::wstring& found,
                     std::wstring& error);

// Drops every entry of the files (install-relative paths, "/" or "\" between parts, spelled in
// any case) from the summary saved in the installation behind door (the take's door) and saves it
// again. A summary that
// cannot be read whole, or saved again, is removed instead (it only saves the next scan some
// reading). True when there is no summary, nothing to drop, or it was saved or removed; false with
// error set when it could be neither.
bool ForgetFilesInSummary(const LumoUtil::InstallDoor& door, const std::vector<std::wstring>& relativePaths,
                          std::string& error);
