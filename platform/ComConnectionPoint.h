#pragma once
// A connection point for one outgoing interface: the sinks its owner calls, by cookie.

#include <cstdint>
#include <map>

#include "platform/ComDispatch.h"

namespace LumoCom
{

class ConnectionPoint final : public IConnectionPoint, LiveCounter<ConnectionPoint>
{
public:
    explicit ConnectionPoint(const Guid& iid) : m_iid(iid) {}

    HRESULT QueryInterface(const Guid& iid, void** out) override;
    LUMOCOM_REFCOUNTED

    HRESULT GetConnectionInterface(Guid* iid) override;
    // The sink must answer the outgoing interface's id or IDispatch.
    HRESULT Advise(IUnknown* sink, uint32_t* cookie) override;
    HRESULT Unadvise(uint32_t cookie) override;

    // Calls Invoke on every sink connected when the call starts; a sink may disconnect itself or
    // others meanwhile. Sinks' results are not combined: events have no result.
    void Fire(DispId dispid, DispParams& params);
    // Drops every sink (the owner is going away).
    void Clear();
    size_t Count() const { return m_sinks.size(); }

private:
    ~ConnectionPoint() = default;

    Guid m_iid;
    uint32_t m_nextCookie = 1;
    std::map<uint32_t, ComPtr<IDispatch>> m_sinks;
};

} // namespace LumoCom
