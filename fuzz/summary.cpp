// Reads arbitrary bytes as a "0stf" file-tree summary (the "repair.cks" that anyone able to write
// the installation can shape). The reader must stop at the first bad field with bounded memory,
// and whatever it accepted must write back as a summary it reads again to the same table.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/net/FileTreeSummary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0xFFFFF)
        return 0;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    LumoDataBufferMemoryStatic source(bytes.data(), uint32_t(size));
    FileTreeSummary summary;
    const LUMORESULT result = summary.Read(source);
    const FileTreeSummary::Table table = summary.Snapshot();
    // Every entry takes at least 16 bytes of input after the 8-byte header.
    Check(table.size() * 16 + 8 <= size || table.empty());
    if (result == LUMORESULT_OK)
        Check(size >= 8);

    std::vector<uint8_t> written = summary.Serialise();
    LumoDataBufferMemoryStatic again(written.data(), uint32_t(written.size()));
    FileTreeSummary reread;
    Check(reread.Read(again) == LUMORESULT_OK);
    Check(again.GetPosition() == written.size());
    Check(reread.Serialise() == written);
    return 0;
}
