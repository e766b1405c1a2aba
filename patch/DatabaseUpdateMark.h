#pragma once
// The installation's note that the game's asset database needs an update the patcher has not
// finished: the file "patch.dbstopped" at the top of the installation, beside the patch journal.
// The patcher writes it (replaced atomically and flushed) when the first patch of a run is about
// to commit (before the journal's COMMIT record: from that record on a kill leaves the patch in,
// and the database no longer matches the installed files), and when the game's utility starts
// rebuilding the database; it removes it when the utility has ended by itself. A kill in the few
// steps between the note and the COMMIT record leaves the note though the patch is put back: the
// note errs towards a rebuild, never away from one. A run that a kill ends after a patch and before the update, a chain whose later patch
// fails, and a rebuild that a cancel, a stop signal, the time limit or a kill cut short all leave
// it behind: no later run would redo the update on its own (the installation is at its last
// build, so no patch applies any more). Every start of the patcher says so until a rebuild by the
// patcher ends. A rebuild made by hand (Asset Desk) cannot be seen from here; deleting the file
// ends the note.
//
// Contents: one line of ASCII text, "asset database update begun\n"; only the file's presence
// counts (its temporary twin "patch.dbstopped.new", left by a kill before the rename, counts too,
// and becomes the note when the installation is next taken).

//
// Every function works through the door of the take that holds the installation
// (lumo/files/InstallDoor.h), never by the folder's name.

#include <string>

#include "lumo/text/ReservedNames.h"

namespace LumoUtil {
class InstallDoor;
}

using LumoUtil::kDatabaseUpdateMarkName;

// Writes the note into the installation. False with error (what failed and where) when it cannot
// be written; nothing else is left behind then.
bool MarkDatabaseUpdateBegun(const LumoUtil::InstallDoor& door, std::wstring& error);
// Removes the note and its temporary twin; true when they are gone (or were never there).
bool ClearDatabaseUpdateMark(const LumoUtil::InstallDoor& door, std::wstring& error);
// The note is there: a rebuild began and has not ended.
bool IsDatabaseUpdateUnfinished(const LumoUtil::InstallDoor& door);
// When the installation is taken: a temporary twin a kill left before its rename becomes the note
// (or goes, when the note stands beside it); anything else standing at its name is removed. False
// with error (naming the file and the reason) when that cannot be done.
bool SettleDatabaseUpdateMarkTwin(const LumoUtil::InstallDoor& door, std::wstring& error);
// The note's full path in installDir.
std::wstring DatabaseUpdateMarkPath(const std::wstring& installDir);
