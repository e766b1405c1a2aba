#pragma once
// The line framing of the records that make a run survive a kill or a power loss (the patch
// journal, patch/BackupJournal.h; the repair journal, lumo/net/RepairJournal.h):
//
//   <crc> <payload>\n
//
//   crc      8 lower-case hex digits: CRC-32 (zlib's) of the payload's bytes
//   payload  8-bit text without a line end
//
// A writer flushes each line (or batch of lines) to the disk before the action it announces, so
// damaged lines with no intact line after them are the torn last write: nothing they announce has
// happened. A damaged line with intact lines after it is damage to the file itself.

#include <string>
#include <vector>

namespace LumoUtil {

// The framed line of payload, "\n" included.
std::string ChecksummedLine(const std::string& payload);

struct FramedLine
{
    int number = 0; // 1 for the first line
    bool intact = false;
    std::string payload; // the text after the checksum; empty for a damaged line
};

// The lines of bytes up to the last intact one (the torn last write is dropped), each marked
// intact or damaged.
std::vector<FramedLine> SplitChecksummedLines(const std::string& bytes);

// Frames each "\n"-ended record of payloads, writes them at fd's end and flushes them to the disk
// (fdatasync) before it returns. False (errno set) when not all of it is written and flushed; the
// file must then take no further line, as a torn line may only ever be the last.
bool AppendChecksummedLines(int fd, const std::string& payloads);

// A framed file is read through the installation's door (InstallDoor::ReadOwnFile): only as a
// regular file, never through a link, never waiting on a FIFO.

}  // namespace LumoUtil
