// Reads arbitrary bytes as the repair server's answer after the summary: segment records, one after
// the other, through a slot (name checks, flag rules, length bounds, inflation). Nothing is written:
// a record that passes is dropped with its slot. A record must never be accepted with a name that
// leaves the installation or with more data than a segment.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "lumo/net/LumoAgentClientTask.h"
#include "lumo/net/SegmentName.h"
#include "lumo/text/SafePath.h"

namespace
{
class FuzzOwner : public SegmentTransferOwner
{
public:
    FuzzOwner(const uint8_t* data, size_t size) : stream(const_cast<uint8_t*>(data), uint32_t(size)) {}
    // Nothing is written.
    const LumoUtil::InstallDoor* GetDoor() const override { return nullptr; }
    LumoDataBuffer& GetStream() override { return stream; }
    FileTreeSummary& GetSummary() override { return summary; }
    void CountWrittenSegment() override { ++received; }
    // Files of up to 16 GiB on the server: indexes on both sides of the bound reach the check.
    uint64_t GetSegmentLimit(const std::wstring&) const override { return 4096; }

    LumoDataBufferMemoryStatic stream;
    FileTreeSummary summary;
    int received = 0;
};
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return SilenceStandardOutput();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (16u << 20))
        return 0;
    FuzzOwner owner(data, size);
    for (int record = 0; record < 64; ++record)
    {
        const uint64_t start = owner.stream.GetPosition();
        LumoAgentClientTask slot;
        if (!slot.ReceiveFile(owner))
        {
            Check(!slot.IsBusy());
            break;
        }
        // An accepted record took at least its 13 header bytes and at most a compressed segment.
        const uint64_t used = owner.stream.GetPosition() - start;
        Check(used >= 13 && used <= 13 + 2 * 32767 + (4u << 20) + 2000);
        // Receiving writes nothing, so nothing is counted as written.
        Check(owner.received == 0);
    }
    return 0;
}
