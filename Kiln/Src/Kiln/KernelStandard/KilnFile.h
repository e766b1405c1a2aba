#pragma once
// The kernel's buffered file: reads and writes through a 16 KiB buffer, and stores a file
// written in compressed mode as a "CFIL" container when it is closed.
//
// "CFIL" container (integers little-endian):
//   offset 0  4 bytes  magic "CFIL"
//   offset 4  u32      257 (0x101)
//   offset 8  u32      size of the whole file when expanded
//   offset 12 chunk records, one per 16,384 bytes of the file (the last one shorter):
//             u16 header, then the stored bytes. Header bit 15 set: the chunk is stored raw and
//             bits 0-14 give its length. Bit 15 clear: the header is the length of the packed
//             data, a sequence of byte-pair blocks (BytePairCodec.h) that expand to the chunk.
// A reader checks the whole record chain against the header's size when it opens the file.
//
// Positions are u32: files of 4 GiB and more are out of range (the kernel keeps its logs here).
//
// A file written in compressed mode is plain data on disk until Close, which writes the
// container beside it under a hidden temporary name, syncs it and renames it over the file, so
// that a crash at any point leaves either the plain file or the whole container.

#include <cstdint>
#include <memory>
#include <string>

namespace Kiln
{

class File;

// An object that serves a file in place of the file system (none are registered in this
// program): it may close the file and is told before and after each raw read.
class FileHandler
{
public:
    virtual ~FileHandler() = default;
    virtual void CloseFile(File& file) = 0;
    virtual void BeforeRead(File& file) = 0;
    virtual void AfterRead(File& file) = 0;
};

class File
{
public:
    static constexpr uint32_t kBufferSize = 16384;
    static constexpr uint32_t kContainerVersion = 257;
    static constexpr uint32_t kHeaderSize = 12;
    static constexpr uint32_t kSeekFailed = 0xFFFFFFFF;

    enum class OpenMode
    {
        Read,             // plain read
        Write,            // plain write: created or truncated
        CompressedWrite,  // written plain, packed into a container at Close
        CompressedRead,   // a container, read back chunk by chunk
    };

    // Mode byte: the low nibble is the write mode, the high nibble 3 marks a compressed read.
    static constexpr uint8_t kWritePlain = 1;
    static constexpr uint8_t kWriteCompressed = 2;
    static constexpr uint8_t kReadCompressed = 0x30;

    File();
    ~File();  // closes the file (a failed compressed close leaves the plain file)
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // False with ErrorText() set when the file cannot be opened or, in compressed-read mode, is
    // not a whole container.
    bool Open(const char* path, OpenMode mode);
    bool IsOpen() const { return m_fd >= 0; }

    // Throws Kiln::FileEx when the file is not open or not writable. Returns the bytes written;
    // a failed write ends early.
    uint32_t Write(const void* data, uint32_t length);
    // Returns the bytes read (fewer at the end of the file or on a read failure).
    uint32_t Read(void* data, uint32_t length);
    // The new position, or kSeekFailed when a compressed file cannot be read (its size then
    // becomes 0). Throws Kiln::FileEx in compressed-write mode.
    uint32_t Seek(uint32_t position);
    // Writes the buffer out; false on a write failure.
    bool Flush();
    // Flush, then commit to disk.
    bool Commit();
    // 0, or -1 with ErrorText() set when the buffer could not be written or the container could
    // not replace the plain file (which is then left as it was). The file is closed either way.
    int Close();

    uint32_t Size() const { return m_size; }
    uint32_t Position() const { return m_position; }
    uint8_t Mode() const { return m_mode; }
    uint32_t Dirty() const { return m_dirty; }
    const std::string& Name() const { return m_name; }
    const std::string& ErrorText() const { return m_error; }
    // 2: log text is written as UTF-16.
    uint32_t textEncoding = 0;
    FileHandler* handler = nullptr;
    // Raw reads made so far.
    uint32_t ReadCount() const { return m_readCount; }

private:
    bool WriteAt(uint64_t offset, const uint8_t* data, size_t length);
    bool ReadAt(uint64_t offset, uint8_t* data, size_t length);
    bool FillPlain();
    bool LoadChunk(uint32_t position);
    bool CheckContainer();
    int PackOnClose();
    void Fail(const std::string& what);

    int m_fd = -1;
    std::unique_ptr<uint8_t[]> m_buffer;
    std::unique_ptr<uint8_t[]> m_packed;  // stored bytes of a packed chunk being expanded
    uint32_t m_cursor = 0;      // offset of the position in the buffer
    uint32_t m_fill = 0;        // valid or written bytes in the buffer
    uint32_t m_bufferStart = 0;  // logical position of the buffer's first byte
    uint8_t m_mode = 0;
    uint32_t m_size = 0;
    uint32_t m_dataStart = 0;
    uint32_t m_position = 0;
    uint32_t m_recordPos = 0;   // compressed read: physical offset of the record after the buffered one
    uint32_t m_dirty = 0;
    uint32_t m_readCount = 0;
    std::string m_name;
    std::string m_error;
};

}  // namespace Kiln
