// The door of a test's own folder, for the code that works below a take of an installation and is
// handed the take's door: the folder's lock, when this process holds it, else the folder opened
// on its own (lumo/files/InstallDoor.h).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "lumo/files/InstallDoor.h"
#include "platform/NativePath.h"

namespace repairtest
{

// Never null: a test whose own folder cannot be opened ends here, naming it.
inline std::shared_ptr<LumoUtil::InstallDoor> DoorOf(const std::wstring& folder)
{
    std::wstring error;
    std::shared_ptr<LumoUtil::InstallDoor> door = LumoUtil::InstallDoor::Open(folder, error);
    if (!door)
    {
        std::fprintf(stderr, "the test's folder cannot be opened: %s\n", ToNativePath(error).c_str());
        std::abort();
    }
    return door;
}

inline std::shared_ptr<LumoUtil::InstallDoor> DoorOf(const std::string& folder)
{
    return DoorOf(FromNativePath(folder));
}

} // namespace repairtest
