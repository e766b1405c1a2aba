#include "lumo/os/ApplicationMutex.h"

#include <mutex>

#include "lumo/diagnostics/Assert.h"
#include "lumo/text/PathUtil.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "platform/NamedObjects.h"

namespace LumoUtil
{

namespace
{

struct ApplicationMutexState
{
    std::mutex lock;
    platform::WaitableRef handle;
    bool createdHere = false;
    bool exclusive = false;
};

ApplicationMutexState& State()
{
    static ApplicationMutexState* state = new ApplicationMutexState;
    return *state;
}

}  // namespace

std::string MakeApplicationMutexName(const std::wstring& appPath)
{
    // The "x" stands in for a last component, so a trailing separator changes nothing; the
    // separator and the "x" ("_x" once made safe) are cut again at the end.
    std::string name = MakeSafeName("LUMO_" + ToLowerCopy(ToNarrow(JoinPath(appPath, L"x"))));
    name.resize(name.size() >= 2 ? name.size() - 2 : 0);
    return name;
}

bool OpenApplicationMutex(const std::wstring& appPath, bool exclusive)
{
    ApplicationMutexState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.handle)
    {
        Assert(!(exclusive && !s.exclusive),
               "LumoUtil::OpenApplicationMutex> unable to open mutex for exclusive access; already open for sharing");
        return true;
    }
    bool existed = false;
    platform::WaitableRef handle = platform::CreateNamedMutex(MakeApplicationMutexName(appPath), exclusive, existed);
    if (!handle)
        return false;
    if (exclusive && existed)
        return false;  // dropping the handle closes it
    s.handle = std::move(handle);
    s.exclusive = exclusive;
    s.createdHere = !existed;
    return true;
}

bool CloseApplicationMutex()
{
    ApplicationMutexState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.handle)
        return false;
    s.handle.reset();
    s.createdHere = false;
    s.exclusive = false;
    return true;
}

bool IsApplicationMutexCreator()
{
    ApplicationMutexState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.handle && s.createdHere;
}

}  // namespace LumoUtil
