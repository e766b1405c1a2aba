#pragma once
// Reading one segment of a file on disk and its checksum. A segment path is a segment name formed
// from the file's full path ("/games/sollex/data\a.bin#002").

#include <cstdint>
#include <string>
#include <vector>

// Reads the segment's bytes into out (resized to the segment's length, at most 4 MiB; a start
// exactly at the end of the file gives an empty segment). False, with a line on standard output,
// when the file cannot be opened (a link or anything but a regular file is not), the segment
// starts past its end, or the read fails.
bool ReadFileSegment(const std::wstring& segmentPath, std::vector<uint8_t>& out);

// The stored checksum of the segment (see SegmentChecksumOf); 0 when it cannot be read.
// Announces itself with a " Checksum <path> .." line ("/" between the parts) on the debug channel.
uint32_t ComputeSegmentChecksum(const std::wstring& segmentPath);

// The same through fd, a descriptor of the regular file opened for reading (pread, so threads may
// share it): index is the segment's number, shownPath (a segment path) names it in lines.
bool ReadFileSegmentAt(int fd, uint64_t index, const std::wstring& shownPath, std::vector<uint8_t>& out);
uint32_t ComputeSegmentChecksumAt(int fd, uint64_t index, const std::wstring& shownPath);

// Whether the segment's first byte is zero; false when it cannot be read or is empty.
bool SegmentBeginsWithZeroByte(const std::wstring& segmentPath);
