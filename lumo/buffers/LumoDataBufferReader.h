#pragma once
// A line and token reader over any stream. It keeps the first failing read of its loops in
// firstError, so a caller can read many lines and test once.
//
// The source must be seekable: a line end or a token's delimiter that belongs to the next item is
// put back with SetPosition(GetPosition() - 1).

#include <cstdint>
#include <string>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"

class LumoDataBufferReader
{
public:
    explicit LumoDataBufferReader(LumoDataBuffer& source) : buffer(&source) {}

    // One text line without its end. CR, LF, CR LF and LF CR each end a line. At the end of the
    // data the bytes gathered so far are returned and the read's failure is kept.
    void ReadLine(std::string& line);

    // One word delimited by spaces and TABs. Blanks after the word are consumed; a CR or LF is
    // left in the stream, so the caller moves past it with ReadLine.
    void ReadToken(std::string& token);

    // A u32 count of UTF-16 units, then that many units, little-endian (the names of "0stf"
    // summaries and segment records). A failed count read leaves the count 0; a count above
    // maxUnits keeps LUMORESULT_OUT_OF_SPACE and reads nothing more, so a damaged count never
    // allocates. text is empty after any failure.
    void ReadWideString(std::wstring& text, uint32_t maxUnits = 32767);

    LumoDataBuffer* buffer; // not owned
    LUMORESULT firstError = LUMORESULT_OK;

private:
    // Reads one byte; a failure goes into firstError when keep is set and none is there yet.
    bool ReadByte(uint8_t& byte, bool keep);
    void PutBack();
};
