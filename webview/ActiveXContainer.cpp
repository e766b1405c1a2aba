#include "webview/ActiveXContainer.h"

#include <cmath>

#include "platform/ComClassRegistry.h"
#include "webview/ActiveXEvent.h"
#include "webview/ActiveXEvents.h"
#include "webview/FrameSite.h"
#include "webview/VariantConversion.h"

using namespace LumoCom;

namespace
{

ActiveXParamX ParamFrom(const ElemDesc& elem, const std::wstring& name)
{
    ActiveXParamX param;
    param.flags = elem.paramFlags;
    param.isPtr = elem.type.vt == VT_PTR;
    param.isSafeArray = elem.type.vt == VT_SAFEARRAY;
    param.vt = param.isPtr || param.isSafeArray ? elem.type.pointee : elem.type.vt;
    param.name = name;
    return param;
}

ActiveXFuncX FuncFrom(const FuncDesc& desc)
{
    ActiveXFuncX func;
    func.name = desc.names.empty() ? std::wstring() : desc.names[0];
    func.memid = desc.memid;
    func.invkind = desc.invkind;
    func.retType = ParamFrom(desc.result, std::wstring());
    for (size_t i = 0; i < desc.params.size(); ++i)
    {
        func.params.push_back(ParamFrom(desc.params[i], i + 1 < desc.names.size() ? desc.names[i + 1] : L""));
        func.hasOut = func.hasOut || func.params.back().IsOut() || func.params.back().isPtr;
    }
    return func;
}

} // namespace

int32_t MulDivRound(int32_t x, int32_t numerator, int32_t denominator)
{
    if (denominator == 0)
        return -1;
    int64_t product = int64_t(x) * numerator;
    int64_t magnitude = (std::llabs(product) + std::llabs(denominator) / 2) / std::llabs(denominator);
    int64_t result = (product < 0) != (denominator < 0) ? -magnitude : magnitude;
    return result < INT32_MIN || result > INT32_MAX ? -1 : int32_t(result);
}

ActiveXContainer::~ActiveXContainer()
{
    DestroyActiveX();
}

void ActiveXContainer::CreateActiveX(const Guid& clsid)
{
    m_frameSite = new FrameSite(this);
    m_clientSite = ComPtr<IOleClientSite>(m_frameSite);
    auto adviseSink = m_clientSite.As<IAdviseSink>();

    if (Failed(CreateInstance(clsid, IID_IUnknown, m_control.PutVoid())) || !m_control)
        return;
    m_dispatch = m_control.As<IDispatch>();
    GetTypeInfo();
    m_oleObject = m_control.As<IOleObject>();
    m_viewObject = m_control.As<IViewObject>();
    if (!m_oleObject)
        return;

    m_oleObject->Advise(adviseSink.Get(), &m_docAdviseCookie);
    m_oleObject->SetHostNames(L"wxActiveXContainer", nullptr);
    OleSetContainedObject(m_oleObject.Get(), true);
    OleRun(m_oleObject.Get());
    m_inPlaceObject = m_control.As<IOleInPlaceObject>();

    uint32_t miscStatus = 0;
    m_oleObject->GetMiscStatus(DVASPECT_CONTENT, &miscStatus);
    if (miscStatus & OLEMISC_SETCLIENTSITEFIRST)
        m_oleObject->SetClientSite(m_clientSite.Get());
    if (auto persist = m_control.As<IPersistStreamInit>())
        persist->InitNew();
    if (!(miscStatus & OLEMISC_SETCLIENTSITEFIRST))
        m_oleObject->SetClientSite(m_clientSite.Get());

    wxSize size = HostClientSize();
    if (m_inPlaceObject && Failed(m_inPlaceObject->GetWindow(&m_controlHwnd)))
        m_controlHwnd = nullptr;

    if (!(miscStatus & OLEMISC_INVISIBLEATRUNTIME))
    {
        Rect rect{0, 0, size.x, size.y};
        if (size.x > 0 && size.y > 0 && m_inPlaceObject)
            m_inPlaceObject->SetObjectRects(&rect, &rect);
        m_oleObject->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, m_clientSite.Get(), 0, HostWindow(), &rect);
        m_oleObject->DoVerb(OLEIVERB_SHOW, nullptr, m_clientSite.Get(), 0, HostWindow(), &rect);
    }

    if (!m_controlHwnd && m_inPlaceObject && Failed(m_inPlaceObject->GetWindow(&m_controlHwnd)))
        m_controlHwnd = nullptr;
    if (m_controlHwnd)
        ControlWindowKnown(m_controlHwnd);
}

void ActiveXContainer::GetTypeInfo()
{
    auto classInfo = m_control.As<IProvideClassInfo>();
    const CoClassDesc* coClass = nullptr;
    if (!classInfo || Failed(classInfo->GetClassInfo(&coClass)) || !coClass)
        return;
    for (const ImplType& impl : coClass->implTypes)
    {
        if (!impl.iface)
            continue;
        bool isDefault = impl.flags & IMPLTYPEFLAG_FDEFAULT;
        bool isSource = impl.flags & IMPLTYPEFLAG_FSOURCE;
        bool restricted = impl.flags & IMPLTYPEFLAG_FRESTRICTED;
        ReadTypeInfo(*impl.iface, isDefault && !isSource, isDefault && isSource && !restricted);
    }
}

void ActiveXContainer::ReadTypeInfo(const InterfaceDesc& type, bool defInterface, bool defEventSource)
{
    if (type.kind != TKIND_DISPATCH)
        return;
    if (defEventSource)
    {
        // Held here across the connect: a failed connect then frees the sink instead of leaking it.
        auto sink = ComPtr<wxActiveXEvents>(new wxActiveXEvents(this, type.iid));
        if (Succeeded(ConnectAdvise(type.iid, sink.Get())))
            m_sinks.push_back(sink);
        else
            sink->Detach();
    }
    if (!defInterface && !defEventSource)
        return;
    for (const FuncDesc& desc : type.funcs)
    {
        ActiveXFuncX func = FuncFrom(desc);
        if (defEventSource)
        {
            m_eventMemberIds[func.memid] = m_events.size();
            m_events.push_back(std::move(func));
        }
        else if (func.invkind == INVOKE_FUNC)
        {
            m_methodNames[func.name] = m_methods.size();
            m_methods.push_back(std::move(func));
        }
        else
        {
            auto [entry, added] = m_propNames.try_emplace(func.name, m_props.size());
            if (added)
            {
                m_props.emplace_back();
                m_props.back().name = func.name;
                m_props.back().memid = func.memid;
            }
            ActiveXPropX& prop = m_props[entry->second];
            if (func.invkind == INVOKE_PROPERTYGET)
                prop.type = func.retType;
            else if (!func.params.empty())
            {
                prop.arg = func.params[0];
                prop.putByRef = func.invkind == INVOKE_PROPERTYPUTREF;
            }
        }
    }
}

HRESULT ActiveXContainer::ConnectAdvise(const Guid& iid, IUnknown* sink)
{
    auto points = m_control.As<IConnectionPointContainer>();
    if (!points)
        return E_FAIL;
    ComPtr<IConnectionPoint> point;
    HRESULT hr = points->FindConnectionPoint(iid, point.Put());
    if (Failed(hr) || !point)
        return Failed(hr) ? hr : E_FAIL;
    uint32_t cookie = 0;
    hr = point->Advise(sink, &cookie);
    if (Succeeded(hr))
        m_connections.emplace_back(point, cookie);
    return hr;
}

void ActiveXContainer::DispatchEvent(const ActiveXFuncX& func, wxEventType type, DispParams* params)
{
    wxActiveXEvent event(type, HostWindowId());
    event.SetEventObject(HostWindow());
    event.m_params.SetName(func.name);

    // Arguments arrive last first; with more arguments passed than described, the described ones
    // are the first passed, so parameter k is argument (passed - 1 - k).
    const size_t passed = params ? params->args.size() : 0;
    const size_t count = std::min(func.params.size(), passed);
    for (size_t k = 0; k < count; ++k)
    {
        wxVariant value;
        value.SetName(func.params[k].name);
        MSWVariantToVariant(params->args[passed - 1 - k], value);
        event.m_params.Append(value);
    }

    if (!func.hasOut)
    {
        Queue(event.Clone());
        return;
    }
    ++m_syncDepth;
    ProcessNow(event);
    --m_syncDepth;
    for (size_t k = 0; k < std::min(count, event.ParamCount()); ++k)
        if (func.params[k].IsOut())
            VariantToMSWVariant(event[k], params->args[passed - 1 - k]);
}

void ActiveXContainer::ResizeControl(int width, int height)
{
    if (width < 1 && height < 1)
        return;
    if (m_oleObject)
    {
        SizeL himetric = PixelsToHimetric({width, height});
        SizeL current;
        m_oleObject->GetExtent(DVASPECT_CONTENT, &current);
        if (current != himetric)
            m_oleObject->SetExtent(DVASPECT_CONTENT, &himetric);
    }
    if (m_inPlaceObject)
    {
        Rect rect{0, 0, width, height};
        m_inPlaceObject->SetObjectRects(&rect, &rect);
    }
}

void ActiveXContainer::FocusChanged(bool gotFocus)
{
    if (m_inPlaceActiveObject)
        m_inPlaceActiveObject->OnFrameWindowActivate(gotFocus);
}

SizeL ActiveXContainer::PixelsToHimetric(const SizeL& pixels)
{
    if (m_ppi.x <= 0 || m_ppi.y <= 0)
        m_ppi = ScreenPpi();
    return {MulDivRound(2540, pixels.cx, m_ppi.x), MulDivRound(2540, pixels.cy, m_ppi.y)};
}

void ActiveXContainer::DestroyActiveX()
{
    // The control may still hold the sinks and the site after this; they must not reach us.
    for (auto& sink : m_sinks)
        sink->Detach();
    m_sinks.clear();
    for (auto& [point, cookie] : m_connections)
        point->Unadvise(cookie);
    m_connections.clear();

    if (m_inPlaceObject)
    {
        m_inPlaceObject->InPlaceDeactivate();
        m_inPlaceObject->UIDeactivate();
    }
    if (m_oleObject)
    {
        if (m_docAdviseCookie)
            m_oleObject->Unadvise(m_docAdviseCookie);
        m_docAdviseCookie = 0;
        m_oleObject->DoVerb(OLEIVERB_HIDE, nullptr, m_clientSite.Get(), 0, HostWindow(), nullptr);
        m_oleObject->Close(OLECLOSE_NOSAVE);
        m_oleObject->SetClientSite(nullptr);
    }

    m_events.clear();
    m_eventMemberIds.clear();
    m_props.clear();
    m_propNames.clear();
    m_methods.clear();
    m_methodNames.clear();
    if (m_frameSite)
        m_frameSite->Detach();
    m_frameSite = nullptr;
    m_docView.Reset();
    m_inPlaceActiveObject.Reset();
    m_inPlaceObject.Reset();
    m_viewObject.Reset();
    m_oleObject.Reset();
    m_dispatch.Reset();
    m_control.Reset();
    m_clientSite.Reset();
    m_controlHwnd = nullptr;
}
