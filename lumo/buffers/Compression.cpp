// The chunked zlib container (format in Compression.h).
//
// Writing: a chunk is cut into pieces that worker threads deflate at the same time. Each piece
// after the first is primed with the 32 KiB of raw data before it, every piece but the last ends
// on a sync flush (a byte boundary), and the last one finishes the stream; the pieces joined under
// one zlib header and the Adler-32 of the whole chunk form one ordinary zlib stream that any
// inflater reads in one call. A raw piece is freed as soon as it is deflated, so a chunk holds
// memory for its packed bytes and the pieces in flight only.
//
// Data that does not shrink (archives, images, sound) would come out of deflate a little larger
// than zlib's bound for the whole chunk, because every piece adds its own sync flush and block
// ends. Such a piece is written as stored blocks instead (deflate's block type 0: its bytes as
// they are, 5 bytes of header per 65,535), which is never larger than what deflate made and keeps
// every chunk well inside compressBound of its length, the limit readers hold packed lengths to.
//
// Reading: a chunk streams through two 1 MiB windows (packed bytes in, raw bytes out), reused from
// chunk to chunk, so decompressing needs the same small memory for any chunk and a damaged or
// hostile header cannot make us allocate anything. A chunk that fails takes back the bytes it
// wrote.
#include "lumo/buffers/Compression.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "lumo/buffers/LumoDataBufferUtil.h"
#include "lumo/diagnostics/SystemLog.h"
#include "lumo/os/GuardedThread.h"
#include "platform/Processors.h"

namespace
{
using LumoUtil::ReadU32;
using LumoUtil::WriteU32;

// Keeps the first failure of a sequence of steps.
void KeepFirst(LUMORESULT& status, LUMORESULT result)
{
    if (status == LUMORESULT_OK)
        status = result;
}

// ---------------------------------------------------------------------------------------------
// Writing

// Raw bytes per piece: small enough to spread a chunk over all cores, large enough that priming
// each piece with its 32 KiB predecessor costs little time and ratio.
constexpr uint32_t kPieceSize = 2u << 20;
constexpr uint32_t kWindowSize = 32768;
// The most bytes one stored deflate block holds, and its header: one byte (final flag, type 0,
// padding to the byte boundary, where every piece starts and ends), LEN and its complement NLEN.
constexpr uint32_t kStoredBlockMax = 65535;
constexpr uint32_t kStoredBlockHeader = 5;

// Bytes of a piece written as stored blocks (an empty piece still needs one block).
uint64_t StoredLength(uint32_t rawLength)
{
    const uint64_t blocks = rawLength == 0 ? 1 : (uint64_t(rawLength) + kStoredBlockMax - 1) / kStoredBlockMax;
    return rawLength + blocks * kStoredBlockHeader;
}

// Writes the piece as stored blocks into out (StoredLength bytes); the last block of the last piece
// carries the final flag.
void WriteStoredBlocks(const uint8_t* input, uint32_t rawLength, bool last, uint8_t* out)
{
    uint32_t done = 0;
    do
    {
        const uint32_t length = std::min(rawLength - done, kStoredBlockMax);
        const bool finalBlock = last && done + length == rawLength;
        *out++ = finalBlock ? 1 : 0;
        *out++ = uint8_t(length);
        *out++ = uint8_t(length >> 8);
        *out++ = uint8_t(~length);
        *out++ = uint8_t(~length >> 8);
        std::memcpy(out, input + done, length);
        out += length;
        done += length;
    } while (done < rawLength);
}

struct Piece
{
    // The priming window (dictionaryLength bytes) followed by the piece's own rawLength bytes.
    std::unique_ptr<uint8_t[]> raw;
    uint32_t dictionaryLength = 0;
    uint32_t rawLength = 0;
    bool last = false;

    std::unique_ptr<uint8_t[]> packed;
    uint32_t packedLength = 0;
    uLong adler = 0;
    int zlibError = Z_OK;
    bool outOfMemory = false;
};

// One deflate state and output scratch block, reused for piece after piece.
class PieceDeflater
{
public:
    PieceDeflater()
    {
        std::memset(&m_stream, 0, sizeof m_stream);
        // A raw deflate stream at the level and memory setting of zlib's one-call compress; the
        // zlib header and trailer are written around the joined pieces.
        m_initResult = deflateInit2(&m_stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    }
    ~PieceDeflater()
    {
        if (m_initResult == Z_OK)
            deflateEnd(&m_stream);
    }
    PieceDeflater(const PieceDeflater&) = delete;
    PieceDeflater& operator=(const PieceDeflater&) = delete;

    void Deflate(Piece& piece)
    {
        Run(piece);
        piece.raw.reset();
    }

private:
    void Run(Piece& piece)
    {
        if (m_initResult != Z_OK)
        {
            piece.zlibError = m_initResult;
            return;
        }
        const uint8_t* input = piece.raw.get() + piece.dictionaryLength;
        piece.adler = adler32(adler32(0, nullptr, 0), input, piece.rawLength);

        int result = deflateReset(&m_stream);
        if (result == Z_OK && piece.dictionaryLength != 0)
            result = deflateSetDictionary(&m_stream, piece.raw.get(), piece.dictionaryLength);
        if (result != Z_OK)
        {
            piece.zlibError = result;
            return;
        }

        // The bound of a finished stream plus room for the sync flush's empty stored block.
        const size_t capacity = deflateBound(&m_stream, piece.rawLength) + 16;
        if (m_scratchSize < capacity)
        {
            m_scratch.reset();
            m_scratchSize = 0;
            m_scratch.reset(new (std::nothrow) uint8_t[capacity]);
            if (!m_scratch)
            {
                piece.outOfMemory = true;
                return;
            }
            m_scratchSize = capacity;
        }
        m_stream.next_in = const_cast<Bytef*>(input);
        m_stream.avail_in = piece.rawLength;
        m_stream.next_out = m_scratch.get();
        m_stream.avail_out = uInt(m_scratchSize);
        const int flush = piece.last ? Z_FINISH : Z_SYNC_FLUSH;
        result = deflate(&m_stream, flush);
        const bool complete = piece.last ? result == Z_STREAM_END : (result == Z_OK && m_stream.avail_out != 0);
        if (!complete || m_stream.avail_in != 0)
        {
            piece.zlibError = result == Z_OK || result == Z_STREAM_END ? Z_BUF_ERROR : result;
            return;
        }
        const uint64_t deflatedLength = m_scratchSize - m_stream.avail_out;
        const uint64_t storedLength = StoredLength(piece.rawLength);
        const bool stored = storedLength < deflatedLength;
        piece.packedLength = uint32_t(stored ? storedLength : deflatedLength);
        piece.packed.reset(new (std::nothrow) uint8_t[piece.packedLength]);
        if (!piece.packed)
        {
            piece.outOfMemory = true;
            return;
        }
        if (stored)
            WriteStoredBlocks(input, piece.rawLength, piece.last, piece.packed.get());
        else
            std::memcpy(piece.packed.get(), m_scratch.get(), piece.packedLength);
    }

    z_stream m_stream;
    int m_initResult;
    std::unique_ptr<uint8_t[]> m_scratch;
    size_t m_scratchSize = 0;
};

// Worker threads that deflate pieces in any order. Without threads (chunks of one piece, or none
// could be started) the caller deflates each piece itself when it submits it.
class DeflatePool
{
public:
    explicit DeflatePool(unsigned threadCount)
    {
        // Helpers run under the crash guard; one the system refuses (or no memory for it) means
        // fewer helpers.
        try
        {
            m_threads.reserve(threadCount);
        }
        catch (const std::bad_alloc&)
        {
            return;
        }
        for (unsigned i = 0; i < threadCount; ++i)
        {
            std::unique_ptr<OS::GuardedThread> thread(new (std::nothrow) OS::GuardedThread);
            if (!thread || !thread->Start([this] { WorkerLoop(); }))
                break;
            m_threads.push_back(std::move(thread));
        }
    }

    ~DeflatePool()
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_stopping = true;
        }
        m_wake.notify_all();
        for (const auto& thread : m_threads)
            thread->Join();
    }

    DeflatePool(const DeflatePool&) = delete;
    DeflatePool& operator=(const DeflatePool&) = delete;

    size_t ThreadCount() const { return m_threads.size(); }

    void Submit(Piece& piece)
    {
        if (m_threads.empty())
        {
            if (!m_inline)
                m_inline.reset(new (std::nothrow) PieceDeflater);
            if (m_inline)
                m_inline->Deflate(piece);
            else
                piece.outOfMemory = true;
            return;
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_queue.push_back(&piece);
            ++m_pending;
        }
        m_wake.notify_one();
    }

    // Blocks until at most maxPending submitted pieces are still unfinished.
    void WaitUntilPendingAtMost(size_t maxPending)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_done.wait(guard, [&] { return m_pending <= maxPending; });
    }

private:
    void WorkerLoop()
    {
        PieceDeflater deflater;
        std::unique_lock<std::mutex> guard(m_lock);
        for (;;)
        {
            m_wake.wait(guard, [&] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            Piece* piece = m_queue.front();
            m_queue.pop_front();
            guard.unlock();
            deflater.Deflate(*piece);
            guard.lock();
            --m_pending;
            m_done.notify_all();
        }
    }

    std::vector<std::unique_ptr<OS::GuardedThread>> m_threads;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<Piece*> m_queue;
    size_t m_pending = 0;
    bool m_stopping = false;
    std::unique_ptr<PieceDeflater> m_inline;
};

// Compresses chunkLength bytes read from the source and appends the chunk (lengths and zlib stream)
// to the destination. written tells whether the chunk's writes were begun.
LUMORESULT CompressChunk(LumoDataBuffer& destination, LumoDataBuffer& source, uint32_t chunkLength,
                         std::unique_ptr<DeflatePool>& pool, bool& written)
{
    written = false;
    const uint32_t pieceCount = chunkLength == 0 ? 1 : (chunkLength - 1) / kPieceSize + 1;
    std::vector<Piece> pieces;
    std::unique_ptr<uint8_t[]> window;
    try
    {
        pieces.resize(pieceCount);
        if (pieceCount > 1)
            window.reset(new uint8_t[kWindowSize]);
    }
    catch (const std::bad_alloc&)
    {
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::CompressData> Insufficient memory to allocate buffers");
        return LUMORESULT_OUT_OF_SPACE;
    }

    if (!pool)
    {
        // Chunks after the first are never longer, so the first decides how many threads help.
        const unsigned cores = platform::UsableProcessorCount();
        pool.reset(new (std::nothrow) DeflatePool(pieceCount > 1 ? std::min(cores, pieceCount) : 0));
        if (!pool)
        {
            SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::CompressData> Insufficient memory to allocate buffers");
            return LUMORESULT_OUT_OF_SPACE;
        }
    }
    // Enough raw pieces in flight to keep every worker busy while the next ones are read.
    const size_t maxInFlight = 2 * std::max<size_t>(1, pool->ThreadCount());

    LUMORESULT status = LUMORESULT_OK;
    bool outOfMemory = false;
    uint32_t submitted = 0;
    uint32_t windowLength = 0;
    for (uint32_t index = 0; index < pieceCount; ++index)
    {
        Piece& piece = pieces[index];
        piece.rawLength = std::min(kPieceSize, chunkLength - index * kPieceSize);
        piece.dictionaryLength = windowLength;
        piece.last = index + 1 == pieceCount;
        pool->WaitUntilPendingAtMost(maxInFlight - 1);
        piece.raw.reset(new (std::nothrow) uint8_t[size_t(piece.dictionaryLength) + piece.rawLength]);
        if (!piece.raw)
        {
            outOfMemory = true;
            break;
        }
        if (windowLength != 0)
            std::memcpy(piece.raw.get(), window.get(), windowLength);
        uint8_t* input = piece.raw.get() + piece.dictionaryLength;
        const LUMORESULT readResult = source.ReadData(input, piece.rawLength);
        if (readResult != LUMORESULT_OK)
        {
            status = readResult;
            break;
        }
        if (!piece.last)
        {
            windowLength = std::min(kWindowSize, piece.rawLength);
            std::memcpy(window.get(), input + piece.rawLength - windowLength, windowLength);
        }
        pool->Submit(piece);
        ++submitted;
    }
    pool->WaitUntilPendingAtMost(0);

    if (outOfMemory)
    {
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::CompressData> Insufficient memory to allocate buffers");
        return LUMORESULT_OUT_OF_SPACE;
    }
    if (status != LUMORESULT_OK)
        return status;

    uint64_t packedLength = 2 + 4;
    uLong adler = adler32(0, nullptr, 0);
    for (uint32_t index = 0; index < submitted; ++index)
    {
        const Piece& piece = pieces[index];
        if (piece.outOfMemory)
        {
            SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::CompressData> Insufficient memory to allocate buffers");
            return LUMORESULT_OUT_OF_SPACE;
        }
        if (piece.zlibError != Z_OK)
        {
            SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::CompressData> err %d", piece.zlibError);
            return LUMORESULT_OUT_OF_SPACE;
        }
        packedLength += piece.packedLength;
        adler = adler32_combine(adler, piece.adler, z_off_t(piece.rawLength));
    }
    // Readers hold a packed length to compressBound of a full chunk. Pieces that do not shrink are
    // stored, so a chunk stays within the bound of its own length; should that ever fail, no
    // container a reader would refuse is written.
    if (packedLength > compressBound(chunkLength))
    {
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::CompressData> err %d", Z_BUF_ERROR);
        return LUMORESULT_OUT_OF_SPACE;
    }

    written = true;
    KeepFirst(status, WriteU32(destination, uint32_t(packedLength)));
    KeepFirst(status, WriteU32(destination, chunkLength));
    // CMF 0x78: deflate with a 32 KiB window; FLG 0x9C: default level, no dictionary, check bits.
    const uint8_t header[2] = {0x78, 0x9C};
    KeepFirst(status, destination.WriteData(header, 2));
    for (uint32_t index = 0; index < submitted && status == LUMORESULT_OK; ++index)
        KeepFirst(status, destination.WriteData(pieces[index].packed.get(), pieces[index].packedLength));
    const uint8_t trailer[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
    if (status == LUMORESULT_OK)
        KeepFirst(status, destination.WriteData(trailer, 4));
    return status;
}

// ---------------------------------------------------------------------------------------------
// Reading

// Bytes read from the source and written to the destination at a time: a chunk streams through
// windows of this size, so decompressing needs about two of them, whatever the chunk's size.
constexpr uint32_t kStreamWindow = 1 << 20;

// The windows kept from chunk to chunk (their pages are touched once) and the inflate state.
struct InflateWindows
{
    std::unique_ptr<uint8_t[]> in{new (std::nothrow) uint8_t[kStreamWindow]};
    std::unique_ptr<uint8_t[]> out{new (std::nothrow) uint8_t[kStreamWindow]};
};

LUMORESULT DecompressChunk(LumoDataBuffer& destination, LumoDataBuffer& source, uint32_t index,
                           uint32_t chunkCount, uint64_t& outputSoFar, uint64_t maxOutput, InflateWindows& windows)
{
    // A length whose read fails stays 0, whatever bytes the read delivered.
    uint32_t packedLength = 0;
    uint32_t rawLength = 0;
    uint32_t value = 0;
    LUMORESULT result = ReadU32(source, value);
    if (result == LUMORESULT_OK)
    {
        packedLength = value;
        result = ReadU32(source, value);
        if (result == LUMORESULT_OK)
            rawLength = value;
    }
    if (result != LUMORESULT_OK)
    {
        // A chunk header cut short is a damaged container: the lengths not read stay 0, and zlib
        // finds no stream in no bytes.
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> err %d", Z_DATA_ERROR);
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> srcLen=%d, dstLen=%d, actualDstLen=0", int(packedLength),
                        int(rawLength));
        return LUMORESULT_OUT_OF_SPACE;
    }
    if (rawLength > LumoUtil::kContainerChunkSize)
    {
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> chunk %u of %u: raw length %u over the limit of %u", index + 1,
                chunkCount, rawLength, LumoUtil::kContainerChunkSize);
        return LUMORESULT_OUT_OF_SPACE;
    }
    if (packedLength > LumoUtil::kContainerMaxPackedLength)
    {
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> chunk %u of %u: packed length %u over the limit of %u", index + 1,
                chunkCount, packedLength, LumoUtil::kContainerMaxPackedLength);
        return LUMORESULT_OUT_OF_SPACE;
    }
    if (rawLength > maxOutput - outputSoFar)
    {
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> chunk %u of %u: output over the limit of %llu bytes", index + 1,
                chunkCount, static_cast<unsigned long long>(maxOutput));
        return LUMORESULT_OUT_OF_SPACE;
    }
    // A chunk that fails takes back what it wrote: the destination ends with the last good chunk.
    const uint64_t chunkStart = destination.GetPosition();
    const bool atEnd = chunkStart == destination.GetSize();
    auto takeBack = [&](LUMORESULT failure) {
        if (atEnd)
            destination.SetSize(chunkStart);
        destination.SetPosition(chunkStart);
        return failure;
    };
    z_stream stream = {};
    if (!windows.in || !windows.out || inflateInit(&stream) != Z_OK)
    {
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> Insufficient memory to allocate buffers");
        return LUMORESULT_OUT_OF_SPACE;
    }
    // Inflates window by window, with the answers one zlib call over the whole chunk gives: a
    // stream longer than rawLength is a "buffer" error, one that ends early a "data" error, and
    // bytes after the stream's end are read and left unused.
    uint32_t unread = packedLength;
    uint32_t produced = 0;
    int zlibResult = Z_OK;
    for (;;)
    {
        if (stream.avail_in == 0 && unread > 0)
        {
            const uint32_t length = std::min(unread, kStreamWindow);
            result = source.ReadData(windows.in.get(), length);
            if (result != LUMORESULT_OK)
            {
                inflateEnd(&stream);
                SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> ReadData returned %d", int(result));
                return takeBack(result);
            }
            unread -= length;
            stream.next_in = windows.in.get();
            stream.avail_in = length;
        }
        stream.next_out = windows.out.get();
        stream.avail_out = kStreamWindow;
        const int step = inflate(&stream, Z_NO_FLUSH);
        const uint32_t made = kStreamWindow - stream.avail_out;
        const uint32_t kept = std::min(made, rawLength - produced);
        if (kept != 0)
        {
            result = destination.WriteData(windows.out.get(), kept);
            if (result != LUMORESULT_OK)
            {
                inflateEnd(&stream);
                return takeBack(result);
            }
            produced += kept;
        }
        if (made != kept)
            zlibResult = Z_BUF_ERROR;
        else if (step == Z_OK)
            continue;
        else if (step == Z_BUF_ERROR || step == Z_NEED_DICT)
            zlibResult = Z_DATA_ERROR;
        else
            zlibResult = step;
        break;
    }
    inflateEnd(&stream);
    if (zlibResult == Z_STREAM_END)
    {
        // Unused bytes after the stream's end still belong to this chunk.
        while (unread > 0)
        {
            const uint32_t length = std::min(unread, kStreamWindow);
            result = source.ReadData(windows.in.get(), length);
            if (result != LUMORESULT_OK)
            {
                SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> ReadData returned %d", int(result));
                return takeBack(result);
            }
            unread -= length;
        }
    }
    else
    {
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> err %d", zlibResult);
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> srcLen=%d, dstLen=%d, actualDstLen=%d", int(packedLength),
                int(rawLength), int(produced));
        return takeBack(LUMORESULT_OUT_OF_SPACE);
    }
    if (produced != rawLength)
        return takeBack(LUMORESULT_END_OF_DATA);
    outputSoFar += produced;
    return LUMORESULT_OK;
}
} // namespace

namespace LumoUtil
{
LUMORESULT CompressData(LumoDataBuffer& destination, LumoDataBuffer& source, uint32_t chunkSize)
{
    if (chunkSize == 0 || chunkSize > kContainerChunkSize)
        return LUMORESULT_INVALID_ARGUMENT;

    const uint64_t start = destination.GetPosition();
    LUMORESULT status = WriteU32(destination, 0);
    uint32_t count = 0;
    std::unique_ptr<DeflatePool> pool;
    while (status == LUMORESULT_OK && source.GetPosition() < source.GetSize())
    {
        const uint32_t chunkLength = uint32_t(std::min<uint64_t>(source.GetSize() - source.GetPosition(), chunkSize));
        bool written = false;
        status = CompressChunk(destination, source, chunkLength, pool, written);
        if (written)
            ++count;
    }
    pool.reset();

    // The count goes over the placeholder also after a failure, naming the chunks written so far;
    // never anywhere else, should the seek back fail.
    const LUMORESULT seekBack = destination.SetPosition(start);
    KeepFirst(status, seekBack);
    if (seekBack == LUMORESULT_OK)
        KeepFirst(status, WriteU32(destination, count));
    KeepFirst(status, destination.SetPosition(destination.GetSize()));
    return status;
}

LUMORESULT DecompressData(LumoDataBuffer& destination, LumoDataBuffer& source, uint64_t maxOutput)
{
    uint32_t count = 0;
    LUMORESULT result = ReadU32(source, count);
    if (result != LUMORESULT_OK)
    {
        SystemLogPrintfTo(SYSTEMLOG_DETAIL, "LumoUtil::DecompressData> ReadData returned %d", int(result));
        return result;
    }
    uint64_t outputSoFar = 0;
    InflateWindows windows;
    for (uint32_t index = 0; index < count; ++index)
    {
        result = DecompressChunk(destination, source, index, count, outputSoFar, maxOutput, windows);
        if (result != LUMORESULT_OK)
            return result;
    }
    return LUMORESULT_OK;
}
}
