#include "lumo/net/SizedString.h"

#include <algorithm>

#include "lumo/buffers/LumoDataBufferUtil.h"

void WriteSizedString(LumoDataBufferWriter& writer, const std::string& text)
{
    uint32_t length = static_cast<uint32_t>(std::min<size_t>(text.size(), kMaxSizedStringLength));
    if (text.size() > kMaxSizedStringLength)
        writer.Keep(LUMORESULT_OUT_OF_SPACE);
    writer.Keep(LumoUtil::WriteU32(*writer.buffer, length));
    writer.Keep(writer.buffer->WriteData(text.data(), length));
}

void ReadSizedString(LumoDataBufferReader& reader, std::string& text)
{
    auto keep = [&reader](LUMORESULT result) {
        if (reader.firstError == LUMORESULT_OK)
            reader.firstError = result;
        return result;
    };
    uint32_t length = 0;
    if (keep(LumoUtil::ReadU32(*reader.buffer, length)) != LUMORESULT_OK)
        return;
    if (length > kMaxSizedStringLength)
    {
        keep(LUMORESULT_BAD_FORMAT);
        return;
    }
    if (ExceedsRemainder(*reader.buffer, length))
    {
        keep(LUMORESULT_END_OF_DATA);
        return;
    }
    std::string bytes(length, '\0');
    keep(reader.buffer->ReadData(bytes.data(), length));
    text = std::move(bytes);
}

bool ExceedsRemainder(const LumoDataBuffer& source, uint64_t count)
{
    const uint64_t size = source.GetSize();
    const uint64_t position = source.GetPosition();
    // A size of 0 is also what a stream without one reports; its reads fail on their own.
    if (size == 0)
        return false;
    return count > (size > position ? size - position : 0);
}
