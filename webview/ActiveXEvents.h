#pragma once
// The event sink connected to a hosted control's default source interface: each call the control
// makes becomes a toolkit event through the container. Once detached (the container is going
// away) it acknowledges every call and does nothing.

#include "platform/ComDispatch.h"

class ActiveXContainer;

class wxActiveXEvents final : public LumoCom::IDispatch, LumoCom::LiveCounter<wxActiveXEvents>
{
public:
    wxActiveXEvents(ActiveXContainer* container, const LumoCom::Guid& iid) : m_container(container), m_iid(iid) {}

    void Detach() { m_container = nullptr; }

    LumoCom::HRESULT QueryInterface(const LumoCom::Guid& iid, void** out) override;
    LUMOCOM_REFCOUNTED

    LumoCom::HRESULT GetTypeInfoCount(uint32_t* count) override;
    LumoCom::HRESULT GetTypeInfo(uint32_t index, LumoCom::IUnknown** info) override;
    LumoCom::HRESULT GetIDsOfNames(const std::wstring* names, uint32_t count, LumoCom::DispId* ids) override;
    LumoCom::HRESULT Invoke(LumoCom::DispId dispid, uint16_t flags, LumoCom::DispParams* params,
                            LumoCom::Variant* result) override;

private:
    ~wxActiveXEvents() = default;

    ActiveXContainer* m_container;
    LumoCom::Guid m_iid;
};
