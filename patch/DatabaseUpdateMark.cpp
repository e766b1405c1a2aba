#include "patch/DatabaseUpdateMark.h"

#include <unistd.h>

#include "lumo/files/InstallDoor.h"

namespace
{

constexpr char kMarkText[] = "asset database update begun\n";

}  // namespace

std::wstring DatabaseUpdateMarkPath(const std::wstring& installDir)
{
    std::wstring folder = installDir;
    while (folder.size() > 1 && (folder.back() == L'/' || folder.back() == L'\\'))
        folder.pop_back();
    return (folder == L"/" ? L"" : folder) + L"/" + kDatabaseUpdateMarkName;
}

bool MarkDatabaseUpdateBegun(const LumoUtil::InstallDoor& door, std::wstring& error)
{
    // Written afresh beside its name, never through a link.
    return door.ReplaceOwnFile(kDatabaseUpdateMarkName, LumoUtil::kDatabaseUpdateMarkTempName, kMarkText, error);
}

bool ClearDatabaseUpdateMark(const LumoUtil::InstallDoor& door, std::wstring& error)
{
    for (const wchar_t* name : {LumoUtil::kDatabaseUpdateMarkTempName, kDatabaseUpdateMarkName})
        if (!door.RemoveFile(name, error))
            return false;
    door.SyncFolderOf(kDatabaseUpdateMarkName);  // best effort: the note is gone either way
    return true;
}

bool SettleDatabaseUpdateMarkTwin(const LumoUtil::InstallDoor& door, std::wstring& error)
{
    using LumoUtil::InstallFileKind;
    const InstallFileKind twin = door.Look(LumoUtil::kDatabaseUpdateMarkTempName).kind;
    if (twin == InstallFileKind::Missing)
        return true;
    // Only a file of ours is a note cut off before its rename: it keeps its meaning under the
    // note's own name (written afresh through the twin, which the rename takes away).
    if (twin == InstallFileKind::Regular && door.Look(kDatabaseUpdateMarkName).kind != InstallFileKind::Regular)
        return door.ReplaceOwnFile(kDatabaseUpdateMarkName, LumoUtil::kDatabaseUpdateMarkTempName, kMarkText, error);
    if (!door.RemoveFile(LumoUtil::kDatabaseUpdateMarkTempName, error))
        return false;
    door.SyncFolderOf(kDatabaseUpdateMarkName);
    return true;
}

bool IsDatabaseUpdateUnfinished(const LumoUtil::InstallDoor& door)
{
    // Only a file of ours is the note (a folder or link of that name is not); one a kill cut off
    // before its rename counts too: the utility was running by then.
    for (const wchar_t* name : {kDatabaseUpdateMarkName, LumoUtil::kDatabaseUpdateMarkTempName})
        if (door.Look(name).kind == LumoUtil::InstallFileKind::Regular)
            return true;
    return false;
}
