#include "lumo/net/FileGrowthCheck.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lumo/net/ConsoleLine.h"
#include "lumo/net/RepairFileAccess.h"
#include "lumo/net/SegmentName.h"
#include "lumo/text/StringUtil.h"
#include "platform/NativePath.h"

using LumoUtil::kSegmentSize;

std::string FileGrowthCheck::CutBack::Describe() const
{
    std::string line = LumoUtil::FormatString(
        "%s would end at byte %llu, but from byte %llu on it holds zeros that neither the file had nor the "
        "server sent",
        LumoNet::ShownPath(path).c_str(), static_cast<unsigned long long>(sizeFound),
        static_cast<unsigned long long>(sizeKept));
    if (!failure.empty())
        return line + "; it could not be cut back: " + failure;
    return line + (removed ? "; removed, as it did not exist before" : "; cut back to that length");
}

void FileGrowthCheck::Record(const SegmentWrite& write)
{
    if (write.path.empty())
        return;
    const auto [found, first] = m_files.try_emplace(write.path);
    File& file = found->second;
    if (first)
    {
        file.existed = write.existedBefore;
        file.keptLength = write.sizeBefore;
        file.reached = write.reached;
    }
    if (!write.data && write.index == 0 && write.written)
        file.existed = false; // deleted as the server asked
    file.relativePaths.insert(write.relativePath);
    // Whatever lies past the file's end now is gone, old bytes and sent ones alike (an empty
    // segment sent for the very end stays).
    file.keptLength = std::min(file.keptLength, write.sizeAfter);
    const uint64_t firstGone = LumoUtil::SegmentCountOf(write.sizeAfter);
    if (firstGone <= UINT32_MAX)
        for (auto it = file.sent.lower_bound(uint32_t(firstGone)); it != file.sent.end();)
        {
            if (uint64_t(it->first) * kSegmentSize == write.sizeAfter && it->second == 0)
                ++it;
            else
                it = file.sent.erase(it);
        }
    if (firstGone > 0 && firstGone - 1 <= UINT32_MAX)
    {
        // The segment the end falls in keeps only what lies before the end.
        const auto last = file.sent.find(uint32_t(firstGone - 1));
        if (last != file.sent.end())
            last->second = std::min(last->second, write.sizeAfter - (firstGone - 1) * kSegmentSize);
    }
    if (write.data && write.written)
        file.sent[write.index] = write.length;
}

std::vector<FileGrowthCheck::CutBack> FileGrowthCheck::Enforce(FileTreeSummary& summary,
                                                                const LumoUtil::InstallDoor& door)
{
    std::vector<CutBack> cuts;
    for (const auto& [path, file] : m_files)
    {
        const LumoUtil::InstallFile now = door.Look(file.reached);
        if (now.kind != LumoUtil::InstallFileKind::Regular)
            continue; // gone, or a folder now: no file of it is left to be wrong
        const uint64_t size = now.size;
        // From the segment the old end falls in, every segment sent in a row extends what may be
        // there. Of a segment not sent again only the bytes before the old end were there before.
        uint64_t allowed = file.keptLength;
        for (uint64_t index = file.keptLength / kSegmentSize; index <= UINT32_MAX; ++index)
        {
            const auto sent = file.sent.find(uint32_t(index));
            if (sent == file.sent.end())
                break;
            allowed = std::max(allowed, index * kSegmentSize + sent->second);
            if (sent->second < kSegmentSize)
                break; // a short segment is the file's last
        }
        if (size <= allowed)
            continue;

        CutBack cut;
        cut.path = path;
        cut.sizeFound = size;
        cut.sizeKept = allowed;
        for (const auto& [index, length] : file.sent)
            if (uint64_t(index) * kSegmentSize >= allowed && length > 0)
                ++cut.segmentsUndone;
        std::wstring failure;
        int reason = 0;
        if (allowed == 0 && !file.existed)
            cut.removed = door.RemoveFile(file.reached, failure);
        else
            LumoNet::CutForRepair(door, file.reached, allowed, failure, reason);
        cut.failure = LumoNet::ShownPath(failure);
        // The file changed under the repair's own hand, perhaps within the second of its last
        // look: none of its entries is trusted, the next scan reads it afresh.
        for (const std::wstring& relative : file.relativePaths)
            summary.RemoveSegmentsFrom(relative, 0);
        cuts.push_back(cut);
    }
    m_files.clear();
    return cuts;
}
