#pragma once
// A stream over a file on disk, through stdio, with its own 64-bit size and position.
//
// Access modes:
//   MODE_READ        0  read an existing file; size = its length
//   MODE_WRITE       1  write new content: creates or truncates; size 0
//   MODE_WRITE_KEEP  2  write keeping the content: opens an existing file, creates a missing one
//   MODE_READ_WRITE  3  read and write an existing file
// The position starts at 0 in every mode; nothing appends by itself. Modes 1-3 commit on Flush:
// the data is pushed to the disk, not only to the system.
//
// A buffer whose open failed (missing file, folder, unusable name, unknown mode) has no file, and
// every operation that returns a code returns LUMORESULT_INVALID_STATE; the open itself is silent
// except for an unknown mode. Writers of content that matters call Close() and check it: the last
// buffered block reaches the disk only there.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"

class LumoDataBufferFile : public LumoDataBuffer
{
public:
    enum : uint32_t
    {
        MODE_READ = 0,
        MODE_WRITE = 1,
        MODE_WRITE_KEEP = 2,
        MODE_READ_WRITE = 3,
    };

    // path may use "/" and "\" as separators.
    LumoDataBufferFile(std::wstring path, uint32_t mode);
    // Over a descriptor already open in a way that suits mode (for a file opened through
    // lumo/files/InstallDoor.h); the buffer takes it over and closes it, also when it refuses it.
    LumoDataBufferFile(int fd, uint32_t mode);
    // Closes the file when open; a failure there goes unreported (use Close to see it).
    ~LumoDataBufferFile() override;

    bool IsOpen() const { return m_file != nullptr; }

    uint64_t GetSize() const override;
    // Flushes pending writes first, so that they cannot land beyond the new end.
    LUMORESULT SetSize(uint64_t size) override;
    uint64_t GetPosition() const override;
    // Positions beyond the size are allowed; a later write extends the file.
    LUMORESULT SetPosition(uint64_t position) override;
    LUMORESULT WriteData(const void* data, uint32_t length) override;
    // A read that meets the end of the file delivers what was there and returns LUMORESULT_IO_ERROR.
    LUMORESULT ReadData(void* data, uint32_t length) override;
    void Flush() override;

    // Flushes (committing in modes 1-3) and closes. LUMORESULT_IO_ERROR when a pending write could
    // not be stored (a full disk) or the close failed; LUMORESULT_INVALID_STATE when no file is
    // open. The buffer has no file afterwards either way.
    LUMORESULT Close();

    // The system's reason (errno) for the first write, flush or close that failed: ENOSPC for a
    // full disk, EFBIG past the file-size limit. 0 while none has.
    int WriteErrorNumber() const { return m_writeError; }

private:
    // Takes over the stream opened for m_mode (null: the open failed).
    void Start(FILE* file);
    // Keeps the first write failure's reason; returns `result`.
    LUMORESULT NoteWriteFailure(LUMORESULT result);

    // Readies the stream for the other direction (mode 3); stdio needs a repositioning call
    // between a write and a read on an update stream.
    LUMORESULT SwitchDirection();

    // The stream's own buffer; released only after the stream is closed.
    std::unique_ptr<char[]> m_streamBuffer;
    FILE* m_file = nullptr;
    uint32_t m_mode;
    uint64_t m_size = 0;
    // Read by a progress display on another thread while a download writes.
    std::atomic<uint64_t> m_position{0};
    bool m_lastOpWasRead = false;
    bool m_commit = false;
    int m_writeError = 0;
};
