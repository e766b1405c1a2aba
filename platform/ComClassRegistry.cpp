#include "platform/ComClassRegistry.h"

#include <map>
#include <mutex>

namespace LumoCom
{

namespace
{

std::mutex& RegistryLock()
{
    static std::mutex lock;
    return lock;
}

std::map<Guid, ClassFactory>& Classes()
{
    static std::map<Guid, ClassFactory> classes;
    return classes;
}

} // namespace

void RegisterClass(const Guid& clsid, ClassFactory factory)
{
    std::lock_guard<std::mutex> hold(RegistryLock());
    if (factory)
        Classes()[clsid] = std::move(factory);
    else
        Classes().erase(clsid);
}

HRESULT CreateInstance(const Guid& clsid, const Guid& iid, void** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    ClassFactory factory;
    {
        std::lock_guard<std::mutex> hold(RegistryLock());
        auto found = Classes().find(clsid);
        if (found == Classes().end())
            return CLASS_E_CLASSNOTAVAILABLE;
        factory = found->second;
    }
    return factory(iid, out); // outside the lock: a constructor may create objects of its own
}

} // namespace LumoCom
