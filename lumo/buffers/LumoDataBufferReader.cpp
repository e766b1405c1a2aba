#include "lumo/buffers/LumoDataBufferReader.h"

#include <vector>

#include "lumo/text/Utf16.h"

namespace
{
constexpr uint8_t kCR = 13;
constexpr uint8_t kLF = 10;
}

bool LumoDataBufferReader::ReadByte(uint8_t& byte, bool keep)
{
    const LUMORESULT result = buffer->ReadData(&byte, 1);
    if (result == LUMORESULT_OK)
        return true;
    if (keep && firstError == LUMORESULT_OK)
        firstError = result;
    return false;
}

void LumoDataBufferReader::PutBack()
{
    // On a stream that cannot seek back the byte would be lost without a trace; keep the failure.
    const LUMORESULT result = buffer->SetPosition(buffer->GetPosition() - 1);
    if (result != LUMORESULT_OK && firstError == LUMORESULT_OK)
        firstError = result;
}

void LumoDataBufferReader::ReadLine(std::string& line)
{
    line.clear();
    uint8_t byte = 0;
    for (;;)
    {
        if (!ReadByte(byte, true))
            return;
        if (byte != kCR && byte != kLF)
        {
            line.push_back(static_cast<char>(byte));
            continue;
        }
        // CR LF and LF CR are one line end; a repeated CR or LF starts an empty line.
        uint8_t next = 0;
        if (!ReadByte(next, false))
            return;
        if (next != (byte == kCR ? kLF : kCR))
            PutBack();
        return;
    }
}

void LumoDataBufferReader::ReadToken(std::string& token)
{
    token.clear();
    uint8_t byte = 0;
    for (;;)
    {
        if (!ReadByte(byte, true))
            return;
        if (byte == ' ' || byte == '\t')
        {
            uint8_t next = 0;
            do
            {
                if (!ReadByte(next, false))
                    return;
            } while (next == ' ' || next == '\t');
            PutBack();
            return;
        }
        if (byte == kCR || byte == kLF)
        {
            // The line end belongs to ReadLine.
            PutBack();
            return;
        }
        token.push_back(static_cast<char>(byte));
    }
}

void LumoDataBufferReader::ReadWideString(std::wstring& text, uint32_t maxUnits)
{
    text.clear();
    uint8_t countBytes[4] = {};
    LUMORESULT result = buffer->ReadData(countBytes, sizeof countBytes);
    const uint32_t count = result == LUMORESULT_OK ? uint32_t(countBytes[0]) | uint32_t(countBytes[1]) << 8 |
                                                         uint32_t(countBytes[2]) << 16 | uint32_t(countBytes[3]) << 24
                                                   : 0;
    if (result == LUMORESULT_OK && count > maxUnits)
        result = LUMORESULT_OUT_OF_SPACE;
    std::vector<uint8_t> units(result == LUMORESULT_OK ? size_t(count) * 2 : 0);
    if (result == LUMORESULT_OK && count > 0)
        result = buffer->ReadData(units.data(), uint32_t(units.size()));
    if (result == LUMORESULT_OK)
        text = LumoUtil::DecodeUtf16LE(units.data(), count);
    else if (firstError == LUMORESULT_OK)
        firstError = result;
}
