#include "webview/FrameSite.h"

#include <wx/window.h>

#include "webview/ActiveXContainer.h"

using namespace LumoCom;

namespace
{

// A system colour as the ambient colour properties carry it: 0x00BBGGRR.
uint32_t PackedColour(const ActiveXContainer* container, wxSystemColour which)
{
    if (!container)
        return 0;
    wxColour colour = container->SystemColour(which);
    return uint32_t(colour.Red()) | uint32_t(colour.Green()) << 8 | uint32_t(colour.Blue()) << 16;
}

} // namespace

FrameSite::FrameSite(ActiveXContainer* container)
    : m_container(container), m_hostWindow(container ? container->HostWindow() : nullptr),
      m_clrAmbientForeColor(PackedColour(container, wxSYS_COLOUR_WINDOWTEXT)),
      m_clrAmbientBackColor(PackedColour(container, wxSYS_COLOUR_WINDOW))
{
}

HRESULT FrameSite::QueryInterface(const Guid& iid, void** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IOleClientSite::kIid)
        return Answer(static_cast<IOleClientSite*>(this), out);
    if (iid == IOleWindow::kIid || iid == IOleInPlaceSite::kIid || iid == IOleInPlaceSiteEx::kIid)
        return Answer(static_cast<IOleInPlaceSiteEx*>(this), out);
    if (iid == IOleInPlaceUIWindow::kIid || iid == IOleInPlaceFrame::kIid)
        return Answer(static_cast<IOleInPlaceFrame*>(this), out);
    if (iid == IParseDisplayName::kIid || iid == IOleContainer::kIid || iid == IOleItemContainer::kIid)
        return Answer(static_cast<IOleItemContainer*>(this), out);
    if (iid == IDispatch::kIid)
        return Answer(static_cast<IDispatch*>(this), out);
    if (iid == IOleCommandTarget::kIid)
        return Answer(static_cast<IOleCommandTarget*>(this), out);
    if (iid == IOleDocumentSite::kIid)
        return Answer(static_cast<IOleDocumentSite*>(this), out);
    if (iid == IAdviseSink::kIid)
        return Answer(static_cast<IAdviseSink*>(this), out);
    if (iid == IOleControlSite::kIid)
        return Answer(static_cast<IOleControlSite*>(this), out);
    return E_NOINTERFACE;
}

HRESULT FrameSite::GetMoniker(uint32_t, uint32_t, IUnknown** moniker)
{
    if (moniker)
        *moniker = nullptr;
    return E_FAIL;
}

HRESULT FrameSite::GetContainer(IOleContainer** container)
{
    if (!container)
        return E_INVALIDARG;
    return QueryInterface(IOleContainer::kIid, reinterpret_cast<void**>(container));
}

HRESULT FrameSite::ShowObject()
{
    if (m_container && m_container->m_controlHwnd)
        m_container->m_controlHwnd->Show();
    return S_OK;
}

HRESULT FrameSite::GetWindow(wxWindow** window)
{
    if (!window)
        return E_INVALIDARG;
    *window = nullptr;
    if (!m_container)
        return E_UNEXPECTED;
    *window = m_hostWindow;
    return S_OK;
}

HRESULT FrameSite::OnInPlaceActivate()
{
    m_bInPlaceActive = true;
    return S_OK;
}

HRESULT FrameSite::OnUIActivate()
{
    m_bUIActive = true;
    return S_OK;
}

HRESULT FrameSite::OnUIDeactivate(bool)
{
    m_bUIActive = false;
    return S_OK;
}

HRESULT FrameSite::OnInPlaceDeactivate()
{
    m_bInPlaceActive = false;
    return S_OK;
}

HRESULT FrameSite::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, Rect* pos, Rect* clip,
                                    OleInPlaceFrameInfo* info)
{
    if (!frame || !doc || !pos || !clip || !info)
        return E_INVALIDARG;
    *frame = nullptr;
    *doc = nullptr;
    if (!m_container)
        return E_UNEXPECTED;
    if (Failed(QueryInterface(IOleInPlaceFrame::kIid, reinterpret_cast<void**>(frame))))
        return E_UNEXPECTED;
    if (Failed(QueryInterface(IOleInPlaceUIWindow::kIid, reinterpret_cast<void**>(doc))))
    {
        (*frame)->Release();
        *frame = nullptr;
        return E_UNEXPECTED;
    }
    wxSize size = m_container->HostClientSize();
    *pos = {0, 0, size.x, size.y};
    *clip = *pos;
    info->cb = 20;
    info->fMDIApp = false;
    info->hwndFrame = m_hostWindow;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
}

HRESULT FrameSite::OnPosRectChange(const Rect* pos)
{
    if (pos && m_container && m_container->m_inPlaceObject)
        m_container->m_inPlaceObject->SetObjectRects(pos, pos);
    return S_OK;
}

HRESULT FrameSite::OnInPlaceActivateEx(bool* noRedraw, uint32_t)
{
    if (m_container)
        OleLockRunning(m_container->m_control.Get(), true, false);
    if (noRedraw)
        *noRedraw = false;
    return S_OK;
}

HRESULT FrameSite::OnInPlaceDeactivateEx(bool)
{
    if (m_container)
        OleLockRunning(m_container->m_control.Get(), false, false);
    return S_OK;
}

HRESULT FrameSite::GetBorder(Rect* border)
{
    return border ? INPLACE_E_NOTOOLSPACE : E_INVALIDARG;
}

HRESULT FrameSite::RequestBorderSpace(const Rect* widths)
{
    return widths ? INPLACE_E_NOTOOLSPACE : E_INVALIDARG;
}

HRESULT FrameSite::SetActiveObject(IOleInPlaceActiveObject* object, const wchar_t*)
{
    if (!m_container)
        return E_UNEXPECTED;
    // The new reference is taken before the old one goes, so setting the same object is safe.
    m_container->m_inPlaceActiveObject = ComPtr<IOleInPlaceActiveObject>(object);
    return S_OK;
}

HRESULT FrameSite::TranslateAccelerator(Msg* msg, uint16_t)
{
    if (m_container && m_container->m_inPlaceActiveObject)
        return m_container->m_inPlaceActiveObject->TranslateAccelerator(msg);
    return S_FALSE;
}

HRESULT FrameSite::GetObject(const wchar_t* item, uint32_t, IUnknown*, const Guid&, void** out)
{
    if (!item || !out)
        return E_INVALIDARG;
    *out = nullptr;
    return MK_E_NOOBJECT;
}

HRESULT FrameSite::GetObjectStorage(const wchar_t* item, IUnknown*, const Guid&, void** out)
{
    if (!item || !out)
        return E_INVALIDARG;
    *out = nullptr;
    return MK_E_NOOBJECT;
}

HRESULT FrameSite::IsRunning(const wchar_t* item)
{
    return item ? MK_E_NOOBJECT : E_INVALIDARG;
}

HRESULT FrameSite::Invoke(DispId dispid, uint16_t flags, DispParams*, Variant* result)
{
    if (!(flags & DISPATCH_PROPERTYGET))
        return S_OK;
    if (!result)
        return E_INVALIDARG;
    switch (dispid)
    {
    case DISPID_AMBIENT_SILENT:
    case DISPID_AMBIENT_OFFLINEIFNOTCONNECTED:
    case DISPID_AMBIENT_DISPLAYASDEFAULT: *result = Variant::Bool(true); break;
    case DISPID_AMBIENT_APPEARANCE: *result = Variant::Bool(m_bAmbientAppearance); break;
    case DISPID_AMBIENT_SHOWHATCHING: *result = Variant::Bool(m_bAmbientShowHatching); break;
    case DISPID_AMBIENT_SHOWGRABHANDLES: *result = Variant::Bool(m_bAmbientShowGrabHandles); break;
    case DISPID_AMBIENT_USERMODE: *result = Variant::Bool(m_container && m_container->m_bAmbientUserMode); break;
    case DISPID_AMBIENT_MESSAGEREFLECT: *result = Variant::Bool(false); break;
    case DISPID_AMBIENT_LOCALEID: *result = Variant::Long(int32_t(m_nAmbientLocale)); break;
    case DISPID_AMBIENT_FORECOLOR: *result = Variant::Long(int32_t(m_clrAmbientForeColor)); break;
    case DISPID_AMBIENT_BACKCOLOR: *result = Variant::Long(int32_t(m_clrAmbientBackColor)); break;
    default: return DISP_E_MEMBERNOTFOUND;
    }
    return S_OK;
}

HRESULT FrameSite::QueryStatus(const Guid*, uint32_t count, OleCmd* commands, void*)
{
    if (!commands)
        return E_INVALIDARG;
    for (uint32_t i = 0; i < count; ++i)
        commands[i].cmdf = 0;
    return S_OK;
}

HRESULT FrameSite::ActivateMe(IOleDocumentView* view)
{
    ComPtr<IOleInPlaceSite> site;
    if (Failed(QueryInterface(IOleInPlaceSite::kIid, site.PutVoid())) || !site)
        return E_FAIL;
    if (!m_container)
        return E_UNEXPECTED;
    if (view)
    {
        m_container->m_docView = ComPtr<IOleDocumentView>(view);
        view->SetInPlaceSite(site.Get());
    }
    else
    {
        auto document = m_container->m_oleObject.As<IOleDocument>();
        if (!document || Failed(document->CreateView(site.Get(), nullptr, 0, m_container->m_docView.Put())) ||
            !m_container->m_docView)
        {
            m_container->m_docView.Reset();
            return E_FAIL;
        }
        m_container->m_docView->SetInPlaceSite(site.Get());
    }
    m_container->m_docView->UIActivate(true);
    return S_OK;
}

HRESULT FrameSite::LockInPlaceActive(bool lock)
{
    m_bInPlaceLocked = lock;
    return S_OK;
}

HRESULT FrameSite::TransformCoords(PointL* himetric, PointF* container, uint32_t)
{
    return himetric && container ? E_NOTIMPL : E_INVALIDARG;
}
