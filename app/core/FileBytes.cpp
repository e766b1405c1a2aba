#include "app/core/FileBytes.h"

#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/buffers/LumoDataBufferUtil.h"

bool ReadFileBytes(const std::wstring& path, std::string& bytes, size_t maxBytes)
{
    bytes.clear();
    LumoDataBufferFile file(path, LumoDataBufferFile::MODE_READ);
    if (!file.IsOpen() || file.GetSize() > maxBytes)
        return false;
    return LumoUtil::ReadAllToString(bytes, file) == LUMORESULT_OK;
}
