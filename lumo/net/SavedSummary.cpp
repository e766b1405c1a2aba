#include "lumo/net/SavedSummary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/net/FileTreeSummary.h"
#include "lumo/net/SegmentName.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/ReservedNames.h"
#include "lumo/text/SafePath.h"
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

bool WriteAll(int fd, const uint8_t* data, size_t length)
{
    while (length > 0)
    {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}
} // namespace

bool SaveSummaryFile(const std::wstring& path, const std::vector<uint8_t>& bytes, std::string& error)
{
    const std::string native = ToNativePath(path);
    const std::string temporary = native + ".tmp";
    // Whatever stood under the temporary name goes: the new file is ours alone.
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    bool ok = WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    int reason = errno;
    if (::close(fd) != 0 && ok)
    {
        ok = false;
        reason = errno;
    }
    if (ok && ::rename(temporary.c_str(), native.c_str()) != 0)
    {
        ok = false;
        reason = errno;
    }
    if (!ok)
    {
        ::unlink(temporary.c_str());
        error = "cannot save " + native + ": " + std::strerror(reason);
    }
    return ok;
}

uint64_t SummarySavedAt(const std::wstring& path)
{
    struct stat status{};
    if (::stat(ToNativePath(path).c_str(), &status) != 0)
        return 0;
    return uint64_t(std::max<int64_t>(status.st_mtim.tv_sec, 0));
}

bool ForgetFilesInSummary(const std::wstring& root, const std::vector<std::wstring>& relativePaths,
                          std::string& error)
{
    std::wstring path, ignored;
    if (relativePaths.empty() ||
        !LumoUtil::ResolveInstallPath(root, LumoUtil::kRepairSummaryName, path, ignored, LumoUtil::NameText::Utf16))
        return true;
    FileTreeSummary summary;
    {
        LumoDataBufferFile file(path, LumoDataBufferFile::MODE_READ);
        if (!file.IsOpen())
            return true; // no summary: nothing of these files is kept
        if (summary.Read(file) != LUMORESULT_OK)
        {
            // A summary that cannot be read whole is worth less than the reading it saves.
            if (::unlink(ToNativePath(path).c_str()) != 0 && errno != ENOENT)
            {
                error = "cannot remove the damaged summary " + ToNativePath(path) + ": " + std::strerror(errno);
                return false;
            }
            return true;
        }
    }
    std::set<std::wstring> forgotten;
    for (const std::wstring& relative : relativePaths)
        forgotten.insert(Folded(relative));
    bool dropped = false;
    for (const auto& [name, entry] : summary.Snapshot())
        if (forgotten.count(Folded(GetSegmentPath(name))))
        {
            summary.RemoveSegment(name);
            dropped = true;
        }
    if (!dropped || SaveSummaryFile(path, summary.Serialise(), error))
        return true;
    // Without the files' entries or not at all: a summary that still vouches for them would have
    // the next repair leave them as they are.
    if (::unlink(ToNativePath(path).c_str()) == 0 || errno == ENOENT)
        return true;
    error += "; nor can it be removed: " + std::string(std::strerror(errno));
    return false;
}
