#include "lumo/net/NamedDataBuffers.h"

#include <algorithm>
#include <cstdio>

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/buffers/LumoDataBufferReader.h"
#include "lumo/buffers/LumoDataBufferUtil.h"
#include "lumo/diagnostics/SystemLog.h"
#include "lumo/net/SizedString.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/TextConversion.h"

NamedDataBuffers::NamedDataBuffers() = default;

NamedDataBuffers::~NamedDataBuffers()
{
    DeleteAll();
}

std::string NamedDataBuffers::GetName(uint32_t index) const
{
    return index < m_entries.size() ? m_entries[index].name : std::string();
}

NamedDataBuffers::Entry* NamedDataBuffers::Find(const std::string& name)
{
    for (Entry& entry : m_entries)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

LUMORESULT NamedDataBuffers::GetBuffer(const std::string& name, LumoDataBuffer& destination)
{
    Entry* entry = Find(name);
    if (!entry)
        return LUMORESULT_NOT_FOUND;
    entry->buffer->SetPosition(0);
    return LumoUtil::CopyRemainingData(destination, *entry->buffer);
}

LUMORESULT NamedDataBuffers::GetString(const std::string& name, std::string& value)
{
    Entry* entry = Find(name);
    if (!entry)
        return LUMORESULT_NOT_FOUND;
    entry->buffer->SetPosition(0);
    return LumoUtil::ReadAllToString(value, *entry->buffer);
}

LUMORESULT NamedDataBuffers::Add(const std::string& name, std::unique_ptr<LumoDataBuffer> buffer)
{
    Remove(name);
    m_entries.push_back(Entry{name, std::move(buffer)});
    return LUMORESULT_OK;
}

LUMORESULT NamedDataBuffers::AddBuffer(const std::string& name, LumoDataBuffer& source)
{
    auto copy = std::make_unique<LumoDataBufferMemoryDynamic>();
    const LUMORESULT copied = LumoUtil::CopyRemainingData(*copy, source);
    if (copied != LUMORESULT_OK)
        return copied;
    return Add(name, std::move(copy));
}

LUMORESULT NamedDataBuffers::AddString(const std::string& name, const std::string& value)
{
    if (value.size() > 0xFFFFFFFFu)
        return LUMORESULT_OUT_OF_SPACE;
    auto copy = std::make_unique<LumoDataBufferMemoryDynamic>();
    const LUMORESULT copied = copy->WriteData(value.data(), static_cast<uint32_t>(value.size()));
    if (copied != LUMORESULT_OK)
        return copied;
    return Add(name, std::move(copy));
}

LUMORESULT NamedDataBuffers::Remove(const std::string& name)
{
    Entry* entry = Find(name);
    if (!entry)
        return LUMORESULT_NOT_FOUND;
    m_entries.erase(m_entries.begin() + (entry - m_entries.data()));
    return LUMORESULT_OK;
}

void NamedDataBuffers::DeleteAll()
{
    m_entries.clear();
}

LUMORESULT NamedDataBuffers::Write(LumoDataBuffer& destination)
{
    LumoDataBufferWriter writer(destination);
    writer.Keep(LumoUtil::WriteU32(destination, GetCount()));
    for (Entry& entry : m_entries)
    {
        WriteSizedString(writer, entry.name);
        entry.buffer->SetPosition(0);
        const uint32_t length = static_cast<uint32_t>(entry.buffer->GetSize() - entry.buffer->GetPosition());
        writer.Keep(LumoUtil::WriteU32(destination, length));
        writer.Keep(LumoUtil::CopyData(destination, *entry.buffer, length));
    }
    return writer.firstError;
}

LUMORESULT NamedDataBuffers::Read(LumoDataBuffer& source)
{
    uint32_t count = 0;
    const LUMORESULT counted = LumoUtil::ReadU32(source, count);
    if (counted != LUMORESULT_OK)
        return counted;
    if (count > kMaxReadCount)
        return LUMORESULT_BAD_FORMAT;
    DeleteAll();
    LumoDataBufferReader reader(source);
    for (uint32_t i = 0; i < count && reader.firstError == LUMORESULT_OK; ++i)
    {
        std::string name;
        ReadSizedString(reader, name);
        uint32_t length = 0;
        if (reader.firstError == LUMORESULT_OK)
            reader.firstError = LumoUtil::ReadU32(source, length);
        if (reader.firstError == LUMORESULT_OK && ExceedsRemainder(source, length))
            reader.firstError = LUMORESULT_END_OF_DATA;
        if (reader.firstError != LUMORESULT_OK)
            break;
        // The blob grows only with bytes that arrive, so a length no source can back costs nothing.
        auto buffer = std::make_unique<LumoDataBufferMemoryDynamic>();
        reader.firstError = LumoUtil::CopyData(*buffer, source, length);
        if (reader.firstError == LUMORESULT_OK)
            m_entries.push_back(Entry{std::move(name), std::move(buffer)});
    }
    return reader.firstError;
}

LUMORESULT NamedDataBuffers::SaveToDirectory(const std::wstring& folder)
{
    for (Entry& entry : m_entries)
    {
        // Cut on the 8-bit name: a trip through the wide form and back could change its bytes.
        const std::string fileName = entry.name.substr(entry.name.find_last_of("/\\") + 1);
        if (fileName.empty() || fileName == "." || fileName == "..")
            return LUMORESULT_INVALID_ARGUMENT;
        LumoDataBufferFile file(LumoUtil::JoinPath(folder, ToWide(fileName)), LumoDataBufferFile::MODE_WRITE);
        entry.buffer->SetPosition(0);
        LUMORESULT result = LumoUtil::CopyRemainingData(file, *entry.buffer);
        // The last block reaches the disk only when the file is closed.
        const LUMORESULT closed = file.Close();
        if (result == LUMORESULT_OK)
            result = closed;
        if (result != LUMORESULT_OK)
            return result;
    }
    return LUMORESULT_OK;
}

LUMORESULT NamedDataBuffers::PackDirectory(const std::wstring&)
{
    WriteConsoleText("PackDirectory not implemented yet.\n");
    return LUMORESULT_NOT_SUPPORTED;
}
