// The download line of the status text: kilobytes done and in all, and the time left at the
// average rate since the first timer tick.
#pragma once

#include <cstdint>
#include <string>

namespace LumoPatch {

// Whole minutes left: the remaining kilobytes over the average rate (doneKB / elapsed). 0 when
// nothing is done yet, no time has passed or everything is done; never more than UINT32_MAX.
uint32_t DownloadMinutesLeft(uint32_t doneKB, uint32_t totalKB, double elapsedSeconds);

// "Download Progress 100 kB of 900 kB, 1 hr 20 min remaining" (more than an hour) or
// "Download Progress 300 kB of 900 kB, 1 min remaining" (at least 1 min), in the string table's
// language.
std::wstring DownloadEtaText(uint64_t doneBytes, uint64_t totalBytes, double elapsedSeconds);

}  // namespace LumoPatch
