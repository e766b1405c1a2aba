#include "webview/WebCtrlInterface.h"

using namespace LumoCom;

namespace
{

template <class T>
void ClearOut(T** out)
{
    if (out)
        *out = nullptr;
}

} // namespace

void CWebCtrlInterFace::SetPreviousClientSite(IOleClientSite* site)
{
    // Taking the new pair before dropping the old keeps a repeated site alive.
    auto previous = ComPtr<IOleClientSite>(site);
    auto handler = QueryAs<IDocHostUIHandler>(site);
    m_prevClientSite = std::move(previous);
    m_prevUIHandler = std::move(handler);
}

void CWebCtrlInterFace::SetContextMenuMode(uint32_t mode)
{
    if (mode < kMenuModeCount)
        m_contextMenuMode = mode;
}

HRESULT CWebCtrlInterFace::QueryInterface(const Guid& iid, void** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IOleClientSite::kIid)
        return Answer(static_cast<IOleClientSite*>(this), out);
    if (iid == IDocHostUIHandler::kIid)
        return Answer(static_cast<IDocHostUIHandler*>(this), out);
    return E_NOINTERFACE;
}

HRESULT CWebCtrlInterFace::SaveObject()
{
    return m_prevClientSite ? m_prevClientSite->SaveObject() : E_FAIL;
}

HRESULT CWebCtrlInterFace::GetMoniker(uint32_t assign, uint32_t which, IUnknown** moniker)
{
    if (m_prevClientSite)
        return m_prevClientSite->GetMoniker(assign, which, moniker);
    ClearOut(moniker);
    return E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::GetContainer(IOleContainer** container)
{
    if (m_prevClientSite)
        return m_prevClientSite->GetContainer(container);
    ClearOut(container);
    return E_NOINTERFACE;
}

HRESULT CWebCtrlInterFace::ShowObject()
{
    return m_prevClientSite ? m_prevClientSite->ShowObject() : S_OK;
}

HRESULT CWebCtrlInterFace::OnShowWindow(bool show)
{
    return m_prevClientSite ? m_prevClientSite->OnShowWindow(show) : S_OK;
}

HRESULT CWebCtrlInterFace::RequestNewObjectLayout()
{
    return m_prevClientSite ? m_prevClientSite->RequestNewObjectLayout() : E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::ShowContextMenu(uint32_t id, const PointL* pt, IUnknown* commandTarget, IDispatch* object)
{
    uint32_t mode = m_contextMenuMode;
    if (mode == kMenuNone || (mode == kMenuTextSelectionOnly && id != CONTEXT_MENU_TEXTSELECT))
        return S_OK;
    return m_prevUIHandler ? m_prevUIHandler->ShowContextMenu(id, pt, commandTarget, object) : S_FALSE;
}

HRESULT CWebCtrlInterFace::GetHostInfo(DocHostUIInfo* info)
{
    if (!info)
        return E_INVALIDARG;
    info->cbSize = 20;
    if (m_bNo3DBorder)
        info->dwFlags |= DOCHOSTUIFLAG_NO3DBORDER;
    if (m_bDialog)
        info->dwFlags |= DOCHOSTUIFLAG_DIALOG;
    if (m_bNoScroll)
        info->dwFlags |= DOCHOSTUIFLAG_SCROLL_NO;
    info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
    return S_OK;
}

HRESULT CWebCtrlInterFace::ShowUI(uint32_t id, IOleInPlaceActiveObject* active, IOleCommandTarget* target,
                                  IOleInPlaceFrame* frame, IOleInPlaceUIWindow* doc)
{
    return m_prevUIHandler ? m_prevUIHandler->ShowUI(id, active, target, frame, doc) : S_FALSE;
}

HRESULT CWebCtrlInterFace::HideUI()
{
    return m_prevUIHandler ? m_prevUIHandler->HideUI() : E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::UpdateUI()
{
    return m_prevUIHandler ? m_prevUIHandler->UpdateUI() : E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::EnableModeless(bool enable)
{
    return m_prevUIHandler ? m_prevUIHandler->EnableModeless(enable) : E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::OnDocWindowActivate(bool activate)
{
    return m_prevUIHandler ? m_prevUIHandler->OnDocWindowActivate(activate) : E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::OnFrameWindowActivate(bool activate)
{
    return m_prevUIHandler ? m_prevUIHandler->OnFrameWindowActivate(activate) : E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::ResizeBorder(const Rect* border, IOleInPlaceUIWindow* window, bool frameWindow)
{
    return m_prevUIHandler ? m_prevUIHandler->ResizeBorder(border, window, frameWindow) : E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::TranslateAccelerator(Msg* msg, const Guid* group, uint32_t id)
{
    return m_prevUIHandler ? m_prevUIHandler->TranslateAccelerator(msg, group, id) : E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::GetOptionKeyPath(wchar_t** key, uint32_t reserved)
{
    if (m_prevUIHandler)
        return m_prevUIHandler->GetOptionKeyPath(key, reserved);
    ClearOut(key);
    return E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::GetDropTarget(IUnknown* dropTarget, IUnknown** replacement)
{
    if (m_prevUIHandler)
    {
        HRESULT hr = m_prevUIHandler->GetDropTarget(dropTarget, replacement);
        return hr == S_FALSE ? E_FAIL : hr;
    }
    ClearOut(replacement);
    return E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::GetExternal(IDispatch** external)
{
    if (m_prevUIHandler)
        return m_prevUIHandler->GetExternal(external);
    ClearOut(external);
    return E_NOTIMPL;
}

HRESULT CWebCtrlInterFace::TranslateUrl(uint32_t translate, const wchar_t* url, wchar_t** translated)
{
    if (m_prevUIHandler)
        return m_prevUIHandler->TranslateUrl(translate, url, translated);
    ClearOut(translated);
    return S_FALSE;
}

HRESULT CWebCtrlInterFace::FilterDataObject(IUnknown* object, IUnknown** replacement)
{
    if (m_prevUIHandler)
        return m_prevUIHandler->FilterDataObject(object, replacement);
    ClearOut(replacement);
    return S_FALSE;
}
