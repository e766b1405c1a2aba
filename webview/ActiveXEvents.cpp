#include "webview/ActiveXEvents.h"

#include "webview/ActiveXContainer.h"
#include "webview/ActiveXEvent.h"

using namespace LumoCom;

HRESULT wxActiveXEvents::QueryInterface(const Guid& iid, void** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IDispatch::kIid || iid == m_iid)
        return Answer(static_cast<IDispatch*>(this), out);
    return E_NOINTERFACE;
}

HRESULT wxActiveXEvents::GetTypeInfoCount(uint32_t*)
{
    return E_NOTIMPL;
}

HRESULT wxActiveXEvents::GetTypeInfo(uint32_t, IUnknown**)
{
    return E_NOTIMPL;
}

HRESULT wxActiveXEvents::GetIDsOfNames(const std::wstring*, uint32_t, DispId*)
{
    return E_NOTIMPL;
}

HRESULT wxActiveXEvents::Invoke(DispId dispid, uint16_t flags, DispParams* params, Variant*)
{
    if (flags & (DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
        return E_NOTIMPL;
    if (!m_container)
        return S_OK;
    auto keepAlive = ComPtr<IDispatch>(this); // a handler may drop the control's last reference to us

    auto found = m_container->m_eventMemberIds.find(dispid);
    if (found == m_container->m_eventMemberIds.end() || found->second >= m_container->m_events.size())
        return S_OK;
    const ActiveXFuncX func = m_container->m_events[found->second]; // a copy: handlers may reset tables
    wxEventType type = wxEVT_NULL;
    if (!FindActiveXEvent(func.name, type))
        return S_OK;
    m_container->DispatchEvent(func, type, params);
    return S_OK;
}
