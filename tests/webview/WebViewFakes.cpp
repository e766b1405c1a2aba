#include "tests/webview/WebViewFakes.h"

using namespace LumoCom;

namespace fakes
{

std::vector<std::string>& CallLog()
{
    static std::vector<std::string> log;
    return log;
}

FakeControlConfig& ControlConfig()
{
    static FakeControlConfig config;
    return config;
}

namespace
{

FakeControl* g_last = nullptr;

const CoClassDesc& FakeClass()
{
    static const InterfaceDesc events{
        kFakeEventsIid,
        TKIND_DISPATCH,
        {FuncDesc{kNavigate,
                  INVOKE_FUNC,
                  {},
                  {{{VT_PTR, VT_VARIANT}, PARAMFLAG_FIN}, {{VT_PTR, VT_BOOL}, PARAMFLAG_FIN | PARAMFLAG_FOUT}},
                  {L"TestNavigate", L"URL", L"Cancel"}},
         FuncDesc{kProgress, INVOKE_FUNC, {}, {{{VT_I4, 0}, PARAMFLAG_FIN}, {{VT_I4, 0}, PARAMFLAG_FIN}},
                  {L"TestProgress", L"Progress", L"ProgressMax"}},
         FuncDesc{kUnregistered, INVOKE_FUNC, {}, {}, {L"TestNobodyRegistersThis"}}}};
    static const InterfaceDesc automation{
        IDispatch::kIid,
        TKIND_DISPATCH,
        {FuncDesc{10, INVOKE_FUNC, {}, {}, {L"GoHome"}},
         FuncDesc{11, INVOKE_PROPERTYGET, {{VT_BSTR, 0}, 0}, {}, {L"Title"}},
         FuncDesc{11, INVOKE_PROPERTYPUTREF, {}, {{{VT_BSTR, 0}, PARAMFLAG_FIN}}, {L"Title", L"value"}}}};
    static const CoClassDesc desc{kFakeControlClsid,
                                  {{&automation, IMPLTYPEFLAG_FDEFAULT},
                                   {&events, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}}};
    return desc;
}

} // namespace

class FakeControl final : public IOleObject,
                          public IOleInPlaceObject,
                          public IConnectionPointContainer,
                          public IProvideClassInfo,
                          public IPersistStreamInit,
                          public LiveCounter<FakeControl>
{
public:
    FakeControl() : m_events(new ConnectionPoint(kFakeEventsIid)) { g_last = this; }

    HRESULT QueryInterface(const Guid& iid, void** out) override
    {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IOleObject::kIid)
            return Answer(static_cast<IOleObject*>(this), out);
        if (iid == IOleInPlaceObject::kIid)
            return Answer(static_cast<IOleInPlaceObject*>(this), out);
        if (iid == IConnectionPointContainer::kIid && ControlConfig().connectionPoints)
            return Answer(static_cast<IConnectionPointContainer*>(this), out);
        if (iid == IProvideClassInfo::kIid && ControlConfig().classInfo)
            return Answer(static_cast<IProvideClassInfo*>(this), out);
        if (iid == IPersistStreamInit::kIid)
            return Answer(static_cast<IPersistStreamInit*>(this), out);
        return E_NOINTERFACE;
    }
    LUMOCOM_REFCOUNTED

    HRESULT SetClientSite(IOleClientSite* site) override
    {
        Log(site ? "SetClientSite" : "SetClientSite(null)");
        m_site = ComPtr<IOleClientSite>(site);
        return S_OK;
    }
    HRESULT GetClientSite(IOleClientSite** site) override
    {
        *site = m_site.Get();
        if (*site)
            (*site)->AddRef();
        return *site ? S_OK : E_FAIL;
    }
    HRESULT SetHostNames(const wchar_t*, const wchar_t*) override { return Log("SetHostNames"); }
    HRESULT Close(uint32_t) override
    {
        m_site.Reset();
        return Log("Close");
    }
    HRESULT DoVerb(int32_t verb, const Msg*, IOleClientSite*, int32_t, wxWindow*, const Rect* rect) override
    {
        if (rect)
            lastRect = *rect;
        return Log("DoVerb(" + std::to_string(verb) + ")");
    }
    HRESULT GetExtent(uint32_t, SizeL* size) override
    {
        *size = extent;
        return S_OK;
    }
    HRESULT SetExtent(uint32_t, const SizeL* size) override
    {
        extent = *size;
        return Log("SetExtent");
    }
    HRESULT Advise(IAdviseSink* sink, uint32_t* cookie) override
    {
        m_advise = ComPtr<IAdviseSink>(sink);
        *cookie = 5;
        return Log("Advise");
    }
    HRESULT Unadvise(uint32_t) override
    {
        m_advise.Reset();
        return Log("Unadvise");
    }
    HRESULT GetMiscStatus(uint32_t, uint32_t* status) override
    {
        *status = ControlConfig().miscStatus;
        return S_OK;
    }
    HRESULT GetWindow(wxWindow** window) override
    {
        *window = nullptr;
        return E_FAIL;
    }
    HRESULT ContextSensitiveHelp(bool) override { return S_OK; }
    HRESULT InPlaceDeactivate() override { return Log("InPlaceDeactivate"); }
    HRESULT UIDeactivate() override { return Log("UIDeactivate"); }
    HRESULT SetObjectRects(const Rect* pos, const Rect*) override
    {
        lastRect = *pos;
        return Log("SetObjectRects");
    }
    HRESULT FindConnectionPoint(const Guid& iid, IConnectionPoint** out) override
    {
        *out = nullptr;
        if (iid != kFakeEventsIid)
            return E_NOINTERFACE;
        if (ControlConfig().failAdvise)
            return E_FAIL;
        return Answer(static_cast<IConnectionPoint*>(m_events.Get()), reinterpret_cast<void**>(out));
    }
    HRESULT GetClassInfo(const CoClassDesc** out) override
    {
        *out = &FakeClass();
        return S_OK;
    }
    HRESULT InitNew() override { return Log("InitNew"); }

    void Fire(DispId dispid, DispParams& params) { m_events->Fire(dispid, params); }

    Rect lastRect;
    SizeL extent;

private:
    ~FakeControl()
    {
        if (g_last == this)
            g_last = nullptr;
        m_events->Clear();
    }
    HRESULT Log(std::string call)
    {
        CallLog().push_back(std::move(call));
        return S_OK;
    }

    ComPtr<ConnectionPoint> m_events;
    ComPtr<IOleClientSite> m_site;
    ComPtr<IAdviseSink> m_advise;
};

FakeControl* LastControl()
{
    return g_last;
}

void FireOnLastControl(DispId dispid, DispParams& params)
{
    g_last->Fire(dispid, params);
}

Rect LastControlRect()
{
    return g_last->lastRect;
}

void RegisterFakeControl()
{
    RegisterClass(kFakeControlClsid, FactoryOf<FakeControl>());
    ControlConfig() = {};
    CallLog().clear();
}

int LiveFakeControls()
{
    return LiveCounter<FakeControl>::Live();
}

} // namespace fakes
