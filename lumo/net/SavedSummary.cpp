#include "lumo/net/SavedSummary.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <set>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/files/InstallDoor.h"
#include "lumo/net/FileTreeSummary.h"
#include "lumo/net/SegmentName.h"
#include "lumo/text/ReservedNames.h"
#include "platform/NativePath.h"

namespace
{
// A path as the summary keys it, folded for the case rule (ASCII only, as install paths resolve).
std::wstring Folded(std::wstring path)
{
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
        else if (c >= L'A' && c <= L'Z')
            c = wchar_t(c - L'A' + L'a');
    return path;
}

} // namespace

bool FindSummaryName(const LumoUtil::InstallDoor& door, const std::wstring& name, std::wstring& found,
                     std::wstring& error)
{
    const size_t slash = name.find_last_of(L"/\\");
    const std::wstring folder = slash == std::wstring::npos ? L"" : name.substr(0, slash);
    if (door.MatchEntry(folder, slash == std::wstring::npos ? name : name.substr(slash + 1), found, error))
    {
        if (!folder.empty())
            found = folder + L"/" + found;
        return true;
    }
    if (error.find(L"both match") != std::wstring::npos)
        error += L"; delete the one that is not the repair's summary";
    return false;
}

bool ForgetFilesInSummary(const LumoUtil::InstallDoor& door, const std::vector<std::wstring>& relativePaths,
                          std::string& error)
{
    if (relativePaths.empty())
        return true;
    // Under the spelling it has there, as the repair reads and writes it.
    std::wstring failure, name;
    if (!FindSummaryName(door, LumoUtil::kRepairSummaryName, name, failure))
    {
        error = ToNativePath(failure);
        return false;
    }
    FileTreeSummary summary;
    {
        bool present = false;
        const int fd = door.OpenOwnFileForReading(name, present, failure);
        if (fd < 0 && !present)
            return true; // no summary: nothing of these files is kept
        LumoDataBufferFile file(fd, LumoDataBufferFile::MODE_READ);
        if (fd < 0 || summary.Read(file) != LUMORESULT_OK)
        {
            // A summary that cannot be read whole is worth less than the reading it saves.
            if (!door.RemoveFile(name, failure))
            {
                error = "cannot remove the unreadable summary: " + ToNativePath(failure);
                return false;
            }
            return true;
        }
    }
    std::set<std::wstring> forgotten;
    for (const std::wstring& relative : relativePaths)
        forgotten.insert(Folded(relative));
    bool dropped = false;
    for (const auto& [segment, entry] : summary.Snapshot())
        if (forgotten.count(Folded(GetSegmentPath(segment))))
        {
            summary.RemoveSegment(segment);
            dropped = true;
        }
    const std::vector<uint8_t> bytes = summary.Serialise();
    if (!dropped || door.ReplaceOwnFile(name, name + L".tmp", std::string(bytes.begin(), bytes.end()), failure))
        return true;
    // Without the files' entries or not at all: a summary that still vouches for them would have
    // the next repair leave them as they are.
    error = ToNativePath(failure);
    if (door.RemoveFile(name, failure))
        return true;
    error += "; nor can it be removed: " + ToNativePath(failure);
    return false;
}
