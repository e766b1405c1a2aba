#pragma once
// The class registry: which factory makes the object of a class id. It stands in for the system's
// object creation, so a test can register a fake control under a class id of its own.

#include <functional>

#include "platform/ComObject.h"

namespace LumoCom
{

// Makes a new object and answers iid on it (the reference in *out is the caller's).
using ClassFactory = std::function<HRESULT(const Guid& iid, void** out)>;

// Replaces any factory registered for clsid; an empty factory removes the class.
void RegisterClass(const Guid& clsid, ClassFactory factory);

// CLASS_E_CLASSNOTAVAILABLE for a class nobody registered; otherwise the factory's result.
HRESULT CreateInstance(const Guid& clsid, const Guid& iid, void** out);

// A factory for a class whose objects are made with `new T()` and start at count 0.
template <class T>
ClassFactory FactoryOf()
{
    return [](const Guid& iid, void** out) -> HRESULT {
        T* object = new T();
        object->AddRef(); // holds the object across a failed QueryInterface
        HRESULT hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    };
}

} // namespace LumoCom
