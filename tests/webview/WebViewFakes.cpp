#include "tests/webview/WebViewFakes.h"

#include <algorithm>

namespace fakes
{

namespace
{

FakeObject* g_lastControl = nullptr;

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
    static const InterfaceDesc automation{IDispatch::kIid, TKIND_DISPATCH, {}};
    static const CoClassDesc desc{kFakeControlClsid,
                                  {{&automation, IMPLTYPEFLAG_FDEFAULT},
                                   {&events, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}}};
    return desc;
}

std::vector<Guid> ControlInterfaces()
{
    std::vector<Guid> answers{IOleObject::kIid, IOleInPlaceObject::kIid, IPersistStreamInit::kIid};
    if (ControlConfig().connectionPoints)
        answers.push_back(IConnectionPointContainer::kIid);
    if (ControlConfig().classInfo)
        answers.push_back(IProvideClassInfo::kIid);
    return answers;
}

} // namespace

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

void RegisterFakeControl()
{
    RegisterClass(kFakeControlClsid, FactoryOf<FakeObject>());
    ControlConfig() = {};
    CallLog().clear();
}

FakeObject* LastControl()
{
    return g_lastControl;
}

FakeObject::FakeObject() : FakeObject(ControlInterfaces())
{
    g_lastControl = this;
}

FakeObject::FakeObject(std::vector<Guid> answers)
    : m_answers(std::move(answers)), m_events(new ConnectionPoint(kFakeEventsIid))
{
}

FakeObject::~FakeObject()
{
    if (g_lastControl == this)
        g_lastControl = nullptr;
    m_events->Clear();
}

HRESULT FakeObject::Called(std::string call)
{
    CallLog().push_back(std::move(call));
    return result;
}

#define FAKE_ANSWER(Interface, Path)                                                                                 \
    if (iid == Interface::kIid)                                                                                      \
        return Answer(static_cast<Interface*>(static_cast<Path*>(this)), out);

HRESULT FakeObject::QueryInterface(const Guid& iid, void** out)
{
    *out = nullptr;
    if (iid == IID_IUnknown)
        return Answer(static_cast<IOleObject*>(this), out);
    if (std::find(m_answers.begin(), m_answers.end(), iid) == m_answers.end())
        return E_NOINTERFACE;
    FAKE_ANSWER(IOleObject, IOleObject)
    FAKE_ANSWER(IOleInPlaceObject, IOleInPlaceObject)
    FAKE_ANSWER(IOleInPlaceActiveObject, IOleInPlaceActiveObject)
    FAKE_ANSWER(IConnectionPointContainer, IConnectionPointContainer)
    FAKE_ANSWER(IProvideClassInfo, IProvideClassInfo)
    FAKE_ANSWER(IPersistStreamInit, IPersistStreamInit)
    FAKE_ANSWER(IOleClientSite, IOleClientSite)
    FAKE_ANSWER(IDocHostUIHandler, IDocHostUIHandler)
    FAKE_ANSWER(IWebBrowser2, NoAutomation<IWebBrowser2>)
    FAKE_ANSWER(IHTMLDocument2, NoAutomation<IHTMLDocument2>)
    FAKE_ANSWER(IHTMLElement, NoAutomation<IHTMLElement>)
    FAKE_ANSWER(IHTMLBodyElement, NoAutomation<IHTMLBodyElement>)
    return E_NOINTERFACE;
}

HRESULT FakeObject::SetClientSite(IOleClientSite* newSite)
{
    site = ComPtr<IOleClientSite>(newSite);
    return Called(newSite ? "SetClientSite" : "SetClientSite(null)");
}

HRESULT FakeObject::GetClientSite(IOleClientSite** out)
{
    *out = site.Get();
    if (!*out)
        return E_FAIL;
    (*out)->AddRef();
    return S_OK;
}

HRESULT FakeObject::Close(uint32_t)
{
    site.Reset();
    return Called("Close");
}

HRESULT FakeObject::DoVerb(int32_t verb, const Msg*, IOleClientSite*, int32_t, wxWindow*, const Rect* rect)
{
    if (rect)
        lastRect = *rect;
    return Called("DoVerb(" + std::to_string(verb) + ")");
}

HRESULT FakeObject::GetExtent(uint32_t, SizeL* size)
{
    *size = extent;
    return S_OK;
}

HRESULT FakeObject::SetExtent(uint32_t, const SizeL* size)
{
    extent = *size;
    return Called("SetExtent");
}

HRESULT FakeObject::Advise(IAdviseSink* sink, uint32_t* cookie)
{
    m_advise = ComPtr<IAdviseSink>(sink);
    *cookie = 5;
    return Called("Advise");
}

HRESULT FakeObject::Unadvise(uint32_t)
{
    m_advise.Reset();
    return Called("Unadvise");
}

HRESULT FakeObject::GetMiscStatus(uint32_t, uint32_t* status)
{
    *status = ControlConfig().miscStatus;
    return S_OK;
}

HRESULT FakeObject::GetWindow(wxWindow** window)
{
    *window = nullptr;
    return E_FAIL;
}

HRESULT FakeObject::SetObjectRects(const Rect* pos, const Rect*)
{
    lastRect = *pos;
    return Called("SetObjectRects");
}

HRESULT FakeObject::FindConnectionPoint(const Guid& iid, IConnectionPoint** out)
{
    *out = nullptr;
    if (iid != kFakeEventsIid || ControlConfig().failAdvise)
        return E_FAIL;
    return Answer(static_cast<IConnectionPoint*>(m_events.Get()), reinterpret_cast<void**>(out));
}

HRESULT FakeObject::GetClassInfo(const CoClassDesc** out)
{
    *out = &FakeClass();
    return S_OK;
}

HRESULT FakeObject::get_ReadyState(int32_t* state)
{
    ++polls;
    *state = polls >= readyAfter ? int32_t(READYSTATE_COMPLETE) : 1;
    return S_OK;
}

HRESULT FakeObject::Navigate(const std::wstring& url, const Variant* flags, const Variant* target, const Variant*,
                             const Variant*)
{
    std::string call = "Navigate " + std::string(url.begin(), url.end());
    if (flags)
        call += " flags=" + std::to_string(flags->vt) + ":" + std::to_string(flags->i2);
    if (target)
        call += " target=" + std::to_string(target->vt) + ":" + std::string(target->bstr.begin(), target->bstr.end());
    return Called(call);
}

HRESULT FakeObject::get_Document(IDispatch** document)
{
    *document = withDocument ? static_cast<NoAutomation<IHTMLDocument2>*>(this) : nullptr;
    if (*document)
        AddRef();
    return withDocument ? S_OK : S_FALSE;
}

HRESULT FakeObject::get_body(IHTMLElement** body)
{
    *body = withBody ? static_cast<NoAutomation<IHTMLElement>*>(this) : nullptr;
    if (*body)
        AddRef();
    return S_OK;
}

HRESULT FakeObject::put_scroll(const std::wstring& value)
{
    return Called("scroll=" + std::string(value.begin(), value.end()));
}

} // namespace fakes
