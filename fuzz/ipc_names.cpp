// Builds the owner block's object names from arbitrary database paths. An accepted path must
// give names of the fixed form, and every name must turn into a valid shared-memory file name.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "platform/NamedObjects.h"
#include "sollex/IPCDatabase.h"

namespace
{

void CheckSharedName(const std::string& name)
{
    const std::string shm = platform::SharedObjectName(name) + "~map";
    Check(shm.size() <= 255 && shm[0] == '/' && shm.find('/', 1) == std::string::npos);
    Check(shm.find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path(reinterpret_cast<const char*>(data), size);
    std::string folder, mutexName, mappingName;
    if (!IPCMakeNames(path, folder, mutexName, mappingName))
        return 0;
    const std::string prefix = "09731AC6-B611-4e2a-B181-578073F64F24";
    Check(mutexName.compare(0, prefix.size(), prefix) == 0);
    Check(mutexName.find('\\') == std::string::npos);
    Check(mappingName.size() > mutexName.size() && mappingName.compare(0, mutexName.size(), mutexName) == 0);
    Check(mappingName.compare(mappingName.size() - 6, 6, "/-ipc2") == 0);
    Check(path.compare(0, folder.size(), folder) == 0 && folder.size() + 11 == path.size());
    CheckSharedName(mutexName);
    CheckSharedName(mappingName);
    return 0;
}
