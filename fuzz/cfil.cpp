// Reads arbitrary bytes as a kernel "CFIL" container: opening checks the record chain, then the
// whole file is read and a few seeks made. A reader must never return more than the header's
// size. The same bytes also go to the block expander directly, which must stay inside its
// output capacity, and, taken as data, through a pack and expand round trip unchanged.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "Kiln/Src/Kiln/KernelStandard/BytePairCodec.h"
#include "Kiln/Src/Kiln/KernelStandard/KilnFile.h"

namespace
{

void ReadContainer(const uint8_t* data, size_t size)
{
    static const int fd = memfd_create("cfil", MFD_CLOEXEC);
    Check(fd >= 0);
    Check(ftruncate(fd, 0) == 0);
    Check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    Kiln::File file;
    if (!file.Open(path.c_str(), Kiln::File::OpenMode::CompressedRead))
    {
        Check(!file.ErrorText().empty());
        return;
    }
    const uint32_t logical = file.Size();
    std::vector<uint8_t> out(64 * 1024);
    uint64_t total = 0;
    for (;;)
    {
        const uint32_t n = file.Read(out.data(), static_cast<uint32_t>(out.size()));
        if (n == 0)
            break;
        total += n;
        Check(total <= logical);
    }
    const uint32_t positions[] = {0, logical / 2, logical ? logical - 1 : 0, 16384, 3};
    for (uint32_t position : positions)
    {
        if (file.Seek(position) == Kiln::File::kSeekFailed)
            break;
        Check(file.Read(out.data(), 100) <= 100);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReadContainer(data, size);

    std::vector<uint8_t> expanded(16384 + 64, 0xA5);
    const uint32_t n = Kiln::ExpandBlockBPE(expanded.data(), data, static_cast<uint32_t>(size), 16384);
    Check(n == Kiln::kExpandFailed || n <= 16384);
    for (size_t i = 16384; i < expanded.size(); ++i)
        Check(expanded[i] == 0xA5);

    const uint32_t length = static_cast<uint32_t>(size < 16384 ? size : 16384);
    std::vector<uint8_t> packed(length + 1), back(length + 1);
    const uint32_t p = Kiln::CompressBlockBPE(packed.data(), data, length);
    Check(p <= length);
    if (p == length)
    {
        Check(std::memcmp(packed.data(), data, length) == 0);
    }
    else
    {
        Check(Kiln::ExpandBlockBPE(back.data(), packed.data(), p, length) == length);
        Check(std::memcmp(back.data(), data, length) == 0);
    }
    return 0;
}
