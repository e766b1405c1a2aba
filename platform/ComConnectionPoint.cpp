#include "platform/ComConnectionPoint.h"

#include <vector>

namespace LumoCom
{

HRESULT ConnectionPoint::QueryInterface(const Guid& iid, void** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IConnectionPoint::kIid)
        return Answer(static_cast<IConnectionPoint*>(this), out);
    return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(Guid* iid)
{
    if (!iid)
        return E_INVALIDARG;
    *iid = m_iid;
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, uint32_t* cookie)
{
    if (!sink || !cookie)
        return E_INVALIDARG;
    *cookie = 0;
    ComPtr<IDispatch> dispatch;
    if (Failed(sink->QueryInterface(m_iid, dispatch.PutVoid())) &&
        Failed(sink->QueryInterface(IDispatch::kIid, dispatch.PutVoid())))
        return CONNECT_E_CANNOTCONNECT;
    *cookie = m_nextCookie++;
    m_sinks.emplace(*cookie, std::move(dispatch));
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(uint32_t cookie)
{
    return m_sinks.erase(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
}

void ConnectionPoint::Fire(DispId dispid, DispParams& params)
{
    std::vector<ComPtr<IDispatch>> sinks;
    for (auto& [cookie, sink] : m_sinks)
        sinks.push_back(sink);
    for (auto& sink : sinks)
        sink->Invoke(dispid, DISPATCH_METHOD, &params, nullptr);
}

void ConnectionPoint::Clear()
{
    auto sinks = std::move(m_sinks); // released after the map is empty, so a sink may re-enter
    m_sinks.clear();
}

} // namespace LumoCom
