#include "app/DownloadEta.h"

#include "app/core/StringTable.h"
#include "lumo/text/StringUtil.h"

#include <algorithm>
#include <cmath>

namespace LumoPatch {

namespace {

uint32_t Kilobytes(uint64_t bytes)
{
    return static_cast<uint32_t>(std::min<uint64_t>(bytes >> 10, UINT32_MAX));
}

}  // namespace

uint32_t DownloadMinutesLeft(uint32_t doneKB, uint32_t totalKB, double elapsedSeconds)
{
    if (doneKB == 0 || !(elapsedSeconds > 0) || doneKB >= totalKB)
        return 0;
    const double minutes = double(totalKB - doneKB) / (double(doneKB) / elapsedSeconds) / 60.0;
    if (!(minutes < double(UINT32_MAX)))
        return UINT32_MAX;
    return static_cast<uint32_t>(minutes);
}

std::wstring DownloadEtaText(uint64_t doneBytes, uint64_t totalBytes, double elapsedSeconds)
{
    const uint32_t doneKB = Kilobytes(doneBytes);
    const uint32_t totalKB = Kilobytes(totalBytes);
    const uint32_t minutes = DownloadMinutesLeft(doneKB, totalKB, elapsedSeconds);
    // The table's "%lu" is the 32-bit unsigned of the product's format dialect.
    if (minutes > 60)
        return LumoUtil::FormatWString(LoadResString(174).c_str(), doneKB, totalKB, minutes / 60, minutes % 60);
    return LumoUtil::FormatWString(LoadResString(175).c_str(), doneKB, totalKB, std::max<uint32_t>(minutes, 1));
}

}  // namespace LumoPatch
