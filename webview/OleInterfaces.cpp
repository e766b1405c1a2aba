#include "webview/OleInterfaces.h"

namespace LumoCom
{

// Objects here are never out of process, so "running" is a state only an object that says so
// through IRunnableObject has; every other object is running from its creation.

HRESULT OleRun(IUnknown* object)
{
    if (!object)
        return E_INVALIDARG;
    auto runnable = QueryAs<IRunnableObject>(object);
    return runnable ? runnable->Run() : S_OK;
}

HRESULT OleSetContainedObject(IUnknown* object, bool contained)
{
    if (!object)
        return E_INVALIDARG;
    auto runnable = QueryAs<IRunnableObject>(object);
    return runnable ? runnable->SetContainedObject(contained) : S_OK;
}

HRESULT OleLockRunning(IUnknown* object, bool lock, bool lastUnlockCloses)
{
    if (!object)
        return E_INVALIDARG;
    auto runnable = QueryAs<IRunnableObject>(object);
    return runnable ? runnable->LockRunning(lock, lastUnlockCloses) : S_OK;
}

} // namespace LumoCom
