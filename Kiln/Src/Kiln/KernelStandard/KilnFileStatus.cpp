#include "Kiln/Src/Kiln/KernelStandard/KilnFileStatus.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "Kiln/Src/Kiln/KernelStandard/KilnStartup.h"
#include "Kiln/Src/Kiln/KernelStandard/SyncObject.h"

namespace Kiln
{

namespace
{

struct Mount
{
    InternedString* name;
    std::vector<std::unique_ptr<FileSystemHandler>> handlers;
};

struct Registry
{
    CriticalSection lock;
    std::vector<Mount*> mounts;  // ascending by name address
    bool exitRegistered = false;
};

Registry& GetRegistry()
{
    static Registry* registry = new Registry;  // used during exit: never destroyed
    return *registry;
}

void EmptyRegistry()
{
    Registry& registry = GetRegistry();
    ScopedLock hold(&registry.lock);
    for (Mount* mount : registry.mounts)
    {
        GetStringTable()->Release(mount->name);
        delete mount;
    }
    registry.mounts.clear();
}

Mount* FindMount(Registry& registry, InternedString* name)
{
    for (Mount* mount : registry.mounts)
        if (mount->name == name)
            return mount;
    return nullptr;
}

}  // namespace

bool RegisterFileSystemHandler(const char* mountName, std::unique_ptr<FileSystemHandler> handler)
{
    if (!mountName || !*mountName || !handler)
        return false;
    Registry& registry = GetRegistry();
    InternedString* name = GetStringTable()->InternCString(mountName);
    ScopedLock hold(&registry.lock);
    if (!registry.exitRegistered)
        registry.exitRegistered = RegisterKilnExit(EmptyRegistry);
    Mount* mount = FindMount(registry, name);
    if (mount)
    {
        GetStringTable()->Release(name);  // the mount holds its own reference
    }
    else
    {
        mount = new Mount{name, {}};
        auto at = registry.mounts.begin();
        while (at != registry.mounts.end() && (*at)->name < name)
            ++at;
        registry.mounts.insert(at, mount);
    }
    mount->handlers.push_back(std::move(handler));
    return true;
}

int KilnFileStatus(const char* path)
{
    if (!path)
        return 2;
    const char* colon = std::strchr(path, ':');
    const bool driveForm = colon == path + 1 && (colon[1] == '\\' || colon[1] == '/');
    if (colon && !driveForm)
    {
        Registry& registry = GetRegistry();
        StringTable* table = GetStringTable();
        InternedString* name = table->Intern(path, static_cast<uint32_t>(colon - path));
        ScopedLock hold(&registry.lock);
        Mount* mount = FindMount(registry, name);
        int result = -1;
        if (mount)
        {
            result = 2;
            for (auto& handler : mount->handlers)
            {
                if (handler->Accepts(path) && handler->Status(path, name, nullptr))
                {
                    result = 0;
                    break;
                }
            }
        }
        table->Release(name);
        if (result >= 0)
            return result;
    }
    if (::access(path, F_OK) == 0)
        return 0;
    const int error = errno;
    return error == ENOENT || error == EFAULT || error == ENOTDIR || error == ENAMETOOLONG ? 2 : 0;
}

}  // namespace Kiln
