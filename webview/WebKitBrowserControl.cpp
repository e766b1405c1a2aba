#include "webview/WebKitBrowserControl.h"

#include <mutex>
#include <string>

#include <wx/app.h>
#include <wx/weakref.h>
#include <wx/webview.h>

#include "platform/ComClassRegistry.h"
#include "platform/ComConnectionPoint.h"
#include "webview/LoadTracker.h"
#include "webview/OleInterfaces.h"
#include "webview/VariantConversion.h"
#include "webview/WebKitNative.h"

using namespace LumoCom;

namespace
{

constexpr Guid kClassId = Guid::Parse("8856F961-340A-11D0-A96B-00C04FD705A2");
constexpr Guid kEventsIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000100");

const wchar_t kBlank[] = L"about:blank";

ElemDesc In(VarType vt)
{
    return {{vt, VT_EMPTY}, PARAMFLAG_FIN};
}

ElemDesc InPtr(VarType pointee, uint16_t flags = PARAMFLAG_FIN)
{
    return {{VT_PTR, pointee}, flags};
}

const InterfaceDesc& EventsDesc()
{
    static const InterfaceDesc desc{
        kEventsIid,
        TKIND_DISPATCH,
        {
            FuncDesc{DISPID_BEFORENAVIGATE2,
                     INVOKE_FUNC,
                     {{VT_VOID, VT_EMPTY}, 0},
                     {In(VT_DISPATCH), InPtr(VT_VARIANT), InPtr(VT_VARIANT), InPtr(VT_VARIANT), InPtr(VT_VARIANT),
                      InPtr(VT_VARIANT), InPtr(VT_BOOL, PARAMFLAG_FIN | PARAMFLAG_FOUT)},
                     {L"BeforeNavigate2", L"pDisp", L"URL", L"Flags", L"TargetFrameName", L"PostData", L"Headers",
                      L"Cancel"}},
            FuncDesc{DISPID_PROGRESSCHANGE,
                     INVOKE_FUNC,
                     {{VT_VOID, VT_EMPTY}, 0},
                     {In(VT_I4), In(VT_I4)},
                     {L"ProgressChange", L"Progress", L"ProgressMax"}},
        }};
    return desc;
}

const InterfaceDesc& BrowserDesc()
{
    static const InterfaceDesc desc{IWebBrowser2::kIid, TKIND_DISPATCH, {}};
    return desc;
}

// Runs script on the page without waiting for it. The toolkit's own asynchronous call hands WebKit
// a callback into the view object, which crashes when the view is destroyed before the script has
// finished (a window closed while a page loads); so the script goes to WebKit with no callback,
// where WebKit offers that. Never the synchronous call: it spins a nested event loop inside our
// callers. Our scripts run even where the page's own may not.
void RunPageScript(wxWebView* view, const wxString& script)
{
    if (!webkit::RunScript(view->GetNativeBackend(), script.utf8_str()))
        view->RunScriptAsync(script);
}

// What a navigation's flags forbid, in WebKit's terms.
webkit::Restrictions RestrictionsOf(int32_t flags)
{
    webkit::Restrictions restrictions;
    restrictions.pageScript = (flags & navEnforceRestricted) != 0;
    restrictions.downloads = (flags & navUntrustedForDownload) != 0;
    restrictions.cache = (flags & (navNoReadFromCache | navNoWriteToCache)) != 0;
    return restrictions;
}

bool Any(const webkit::Restrictions& r)
{
    return r.pageScript || r.downloads || r.cache;
}

wxString OverflowScript(const wxString& overflow)
{
    return "if (document.body) { document.documentElement.style.overflow = '" + overflow +
           "'; document.body.style.overflow = '" + overflow + "'; }";
}

// url as a script string literal: every character but letters and digits escaped, so no quote,
// backslash, line end or separator of the URL can end the literal.
std::string ScriptStringLiteral(const std::wstring& text)
{
    std::string literal = "'";
    const auto escape = [&literal](uint32_t unit) {
        static const char kHex[] = "0123456789ABCDEF";
        literal += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            literal += kHex[(unit >> shift) & 0xF];
    };
    for (wchar_t c : text)
    {
        const auto code = static_cast<uint32_t>(c);
        if ((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'))
            literal += static_cast<char>(c);
        else if (code > 0xFFFF)  // script strings are UTF-16: a surrogate pair
        {
            escape(0xD800 + ((code - 0x10000) >> 10));
            escape(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
        else
            escape(code);
    }
    return literal + "'";
}

std::wstring SchemeOf(const std::wstring& url)
{
    const size_t colon = url.find(L':');
    if (colon == std::wstring::npos)
        return L"";
    std::wstring scheme = url.substr(0, colon);
    for (wchar_t& c : scheme)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return scheme;
}

// Whether WebKit lets a page at `from` lead its own frame to `to`: web pages and the blank page from
// anywhere, a local file only from another local file (WebKit refuses the rest, data: included).
bool ScriptMayNavigate(const std::wstring& from, const std::wstring& to)
{
    const std::wstring scheme = SchemeOf(to);
    if (scheme == L"http" || scheme == L"https" || to == kBlank)
        return true;
    return scheme == L"file" && SchemeOf(from) == L"file";
}

wxString ReplaceLocationScript(const std::wstring& url)
{
    return "location.replace(" + ScriptStringLiteral(url) + ");";
}

const char kNoSelectionScript[] =
    "(function () { var s = document.createElement('style');"
    " s.textContent = '* { -webkit-user-select: none; user-select: none; }';"
    " (document.head || document.documentElement).appendChild(s); })();";

class WebKitBrowserControl;

// The page's body: its scroll attribute is the only thing the window sets.
class HtmlBody final : public NoAutomation<IHTMLBodyElement>, public NoAutomation<IHTMLElement>,
                       LiveCounter<HtmlBody>
{
public:
    explicit HtmlBody(wxWebView* view) : m_view(view) {}
    HRESULT QueryInterface(const Guid& iid, void** out) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IDispatch::kIid || iid == IHTMLElement::kIid)
            return Answer(static_cast<NoAutomation<IHTMLElement>*>(this), out);
        if (iid == IHTMLBodyElement::kIid)
            return Answer(static_cast<NoAutomation<IHTMLBodyElement>*>(this), out);
        return E_NOINTERFACE;
    }
    LUMOCOM_REFCOUNTED

    HRESULT put_scroll(const std::wstring& value) override
    {
        if (!m_view)
            return E_UNEXPECTED;
        RunPageScript(m_view.get(), OverflowScript(value == L"no" ? "hidden" : value == L"yes" ? "scroll" : "auto"));
        return S_OK;
    }

private:
    ~HtmlBody() = default;
    wxWeakRef<wxWebView> m_view;
};

class HtmlDocument final : public NoAutomation<IHTMLDocument2>, LiveCounter<HtmlDocument>
{
public:
    explicit HtmlDocument(wxWebView* view) : m_view(view) {}
    HRESULT QueryInterface(const Guid& iid, void** out) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IDispatch::kIid || iid == IHTMLDocument2::kIid)
            return Answer(static_cast<IHTMLDocument2*>(this), out);
        return E_NOINTERFACE;
    }
    LUMOCOM_REFCOUNTED

    HRESULT get_body(IHTMLElement** body) override
    {
        if (!body)
            return E_INVALIDARG;
        *body = nullptr;
        if (!m_view)
            return E_FAIL;
        *body = static_cast<NoAutomation<IHTMLElement>*>(new HtmlBody(m_view.get()));
        (*body)->AddRef();
        return S_OK;
    }

private:
    ~HtmlDocument() = default;
    wxWeakRef<wxWebView> m_view;
};

class WebKitBrowserControl final : public NoAutomation<IWebBrowser2>,
                                   public IOleObject,
                                   public IOleInPlaceObject,
                                   public IOleInPlaceActiveObject,
                                   public IViewObject,
                                   public IConnectionPointContainer,
                                   public IProvideClassInfo,
                                   public IPersistStreamInit,
                                   LiveCounter<WebKitBrowserControl>
{
public:
    WebKitBrowserControl() : m_events(new ConnectionPoint(kEventsIid)) {}

    HRESULT QueryInterface(const Guid& iid, void** out) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IDispatch::kIid || iid == IWebBrowser2::kIid)
            return Answer(static_cast<IWebBrowser2*>(this), out);
        if (iid == IOleObject::kIid)
            return Answer(static_cast<IOleObject*>(this), out);
        if (iid == IOleWindow::kIid || iid == IOleInPlaceObject::kIid)
            return Answer(static_cast<IOleInPlaceObject*>(this), out);
        if (iid == IOleInPlaceActiveObject::kIid)
            return Answer(static_cast<IOleInPlaceActiveObject*>(this), out);
        if (iid == IViewObject::kIid)
            return Answer(static_cast<IViewObject*>(this), out);
        if (iid == IConnectionPointContainer::kIid)
            return Answer(static_cast<IConnectionPointContainer*>(this), out);
        if (iid == IProvideClassInfo::kIid)
            return Answer(static_cast<IProvideClassInfo*>(this), out);
        if (iid == IPersistStreamInit::kIid)
            return Answer(static_cast<IPersistStreamInit*>(this), out);
        return E_NOINTERFACE;
    }
    LUMOCOM_REFCOUNTED

    // IWebBrowser2
    HRESULT get_ReadyState(int32_t* state) override
    {
        if (!state)
            return E_INVALIDARG;
        // WebKit takes navigations at once; without a view there is nothing to wait for either.
        *state = m_view || m_activationFailed ? int32_t(READYSTATE_COMPLETE) : int32_t(READYSTATE_UNINITIALIZED);
        return S_OK;
    }
    // No furniture exists; the settings are kept only to answer for them.
    HRESULT put_MenuBar(VariantBool value) override { return Store(m_menuBar, value); }
    HRESULT put_AddressBar(VariantBool value) override { return Store(m_addressBar, value); }
    HRESULT put_StatusBar(VariantBool value) override { return Store(m_statusBar, value); }
    HRESULT put_ToolBar(VariantBool value) override { return Store(m_toolBar, value); }
    HRESULT put_RegisterAsBrowser(VariantBool value) override { return Store(m_registerAsBrowser, value); }
    // WebKit sets its drop destination up only when the view is made: once refused, drops stay
    // refused for the life of the view.
    HRESULT put_RegisterAsDropTarget(VariantBool value) override
    {
        if (value != VARIANT_FALSE && !m_registerAsDropTarget)
            return E_FAIL;
        Store(m_registerAsDropTarget, value);
        return ApplyDropTarget();
    }
    HRESULT put_Offline(VariantBool value) override { return Store(m_offline, value); }

    // The flags are honoured through WebKit (see Restrict); a target frame loads in the one view;
    // post data and headers are never used.
    HRESULT Navigate(const std::wstring& url, const Variant* flags, const Variant*, const Variant*,
                     const Variant*) override
    {
        int32_t navFlags = 0;
        if (!NavigationFlags(flags, navFlags))
            return E_INVALIDARG;
        m_pendingUrl = url;
        m_pendingFlags = navFlags;
        if (!m_view)
            return m_activationFailed ? E_FAIL : S_OK; // loaded at activation
        // A navigation whose restrictions WebKit cannot be made to keep does not happen.
        const webkit::Restrictions restrictions = RestrictionsOf(navFlags);
        if (!webkit::Restrict(m_view->GetNativeBackend(), restrictions) && Any(restrictions))
            return E_FAIL;
        m_tracker.OnNavigateRequested(url);
        // WebKit's back-forward list cannot be kept out of, but a navigation the page makes with
        // location.replace takes the place of the current entry instead of adding one: what the
        // flag asks. The script runs as ours, so a restricted page's script being off does not stop
        // it. Where WebKit lets no page's script lead, the view loads the page itself and the page
        // before stays in the list.
        m_replaceUrl.clear();
        if ((navFlags & navNoHistory) && ScriptMayNavigate(m_view->GetCurrentURL().ToStdWstring(), url))
        {
            m_replaceUrl = url;
            m_replaceTries = 0;
            ReplaceWhenIdle();
        }
        else
            LoadInView(url);
        return S_OK;
    }

    HRESULT get_Document(IDispatch** document) override
    {
        if (!document)
            return E_INVALIDARG;
        *document = nullptr;
        if (!m_view || !m_committed)
            return S_FALSE;
        *document = new HtmlDocument(m_view.get());
        (*document)->AddRef();
        return S_OK;
    }

    // IOleObject
    HRESULT SetClientSite(IOleClientSite* site) override
    {
        m_clientSite = ComPtr<IOleClientSite>(site);
        m_uiHandler = QueryAs<IDocHostUIHandler>(site);
        // A replacement site that is only a host-UI handler leaves the in-place site as it was.
        if (auto inPlace = QueryAs<IOleInPlaceSite>(site))
            m_inPlaceSite = inPlace;
        return S_OK;
    }
    HRESULT GetClientSite(IOleClientSite** site) override
    {
        if (!site)
            return E_INVALIDARG;
        *site = m_clientSite.Get();
        if (!*site)
            return E_FAIL;
        (*site)->AddRef();
        return S_OK;
    }
    HRESULT SetHostNames(const wchar_t*, const wchar_t*) override { return S_OK; }
    HRESULT Close(uint32_t) override
    {
        InPlaceDeactivate();
        m_clientSite.Reset();
        m_uiHandler.Reset();
        m_adviseSink.Reset();
        return S_OK;
    }
    HRESULT DoVerb(int32_t verb, const Msg*, IOleClientSite*, int32_t, wxWindow* parent, const Rect* pos) override
    {
        switch (verb)
        {
        case OLEIVERB_INPLACEACTIVATE: return Activate(parent, pos);
        case OLEIVERB_SHOW:
        case OLEIVERB_HIDE:
            if (m_view)
                m_view->Show(verb == OLEIVERB_SHOW);
            return S_OK;
        default: return E_NOTIMPL;
        }
    }
    HRESULT GetExtent(uint32_t, SizeL* size) override
    {
        if (!size)
            return E_INVALIDARG;
        *size = m_extent;
        return S_OK;
    }
    HRESULT SetExtent(uint32_t, const SizeL* size) override
    {
        if (!size)
            return E_INVALIDARG;
        m_extent = *size;
        return S_OK;
    }
    HRESULT Advise(IAdviseSink* sink, uint32_t* cookie) override
    {
        if (!sink || !cookie)
            return E_INVALIDARG;
        m_adviseSink = ComPtr<IAdviseSink>(sink);
        *cookie = 1;
        return S_OK;
    }
    HRESULT Unadvise(uint32_t cookie) override
    {
        if (cookie != 1 || !m_adviseSink)
            return CONNECT_E_NOCONNECTION;
        m_adviseSink.Reset();
        return S_OK;
    }
    HRESULT GetMiscStatus(uint32_t, uint32_t* status) override
    {
        if (!status)
            return E_INVALIDARG;
        *status = OLEMISC_SETCLIENTSITEFIRST;
        return S_OK;
    }

    // IOleWindow of the in-place object and the active object
    HRESULT GetWindow(wxWindow** window) override
    {
        if (!window)
            return E_INVALIDARG;
        *window = m_view.get();
        return m_view ? S_OK : E_FAIL;
    }
    HRESULT ContextSensitiveHelp(bool) override { return E_NOTIMPL; }

    // IOleInPlaceObject
    HRESULT InPlaceDeactivate() override
    {
        if (m_view)
            DestroyView();
        if (auto site = std::move(m_inPlaceSite))
            site->OnInPlaceDeactivate();
        return S_OK;
    }
    HRESULT UIDeactivate() override { return S_OK; }
    HRESULT SetObjectRects(const Rect* pos, const Rect*) override
    {
        if (!pos)
            return E_INVALIDARG;
        if (m_view)
            m_view->SetSize(pos->left, pos->top, pos->right - pos->left, pos->bottom - pos->top);
        return S_OK;
    }

    // IOleInPlaceActiveObject: WebKit takes its keys straight from the toolkit.
    HRESULT TranslateAccelerator(Msg*) override { return S_FALSE; }
    HRESULT OnFrameWindowActivate(bool) override { return S_OK; }

    // IViewObject: WebKit paints itself.
    HRESULT Draw(uint32_t, int32_t, wxDC*, const Rect*) override { return S_OK; }

    // IConnectionPointContainer
    HRESULT FindConnectionPoint(const Guid& iid, IConnectionPoint** out) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = nullptr;
        if (iid != kEventsIid)
            return CONNECT_E_NOCONNECTION;
        return Answer(static_cast<IConnectionPoint*>(m_events.Get()), reinterpret_cast<void**>(out));
    }

    // IProvideClassInfo
    HRESULT GetClassInfo(const CoClassDesc** out) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = &WebBrowserClassDesc();
        return S_OK;
    }

    // IPersistStreamInit
    HRESULT InitNew() override { return S_OK; }

private:
    ~WebKitBrowserControl()
    {
        Close(OLECLOSE_NOSAVE);
        m_events->Clear();
    }

    static HRESULT Store(bool& field, VariantBool value)
    {
        field = value != VARIANT_FALSE;
        return S_OK;
    }

    // The flags argument of Navigate: empty, or any integer variant, by value or by reference.
    static bool NavigationFlags(const Variant* flags, int32_t& out)
    {
        out = 0;
        if (!flags || flags->vt == VT_EMPTY)
            return true;
        wxVariant value;
        if (!MSWVariantToVariant(*flags, value) || value.GetType() != "long")
            return false;
        out = int32_t(value.GetLong());
        return true;
    }

    HRESULT ApplyDropTarget()
    {
        if (!m_view || m_registerAsDropTarget)
            return S_OK;
        return webkit::RefuseDrops(m_view->GetNativeBackend()) ? S_OK : E_FAIL;
    }

    HRESULT Activate(wxWindow* parent, const Rect* pos)
    {
        if (!m_view)
        {
            if (!parent || !wxWebView::IsBackendAvailable(wxWebViewBackendWebKit))
            {
                m_activationFailed = true;
                return E_FAIL;
            }
            wxPoint at = pos ? wxPoint(pos->left, pos->top) : wxDefaultPosition;
            wxSize size = pos ? wxSize(pos->right - pos->left, pos->bottom - pos->top) : wxDefaultSize;
            wxWebView* view = wxWebView::New(parent, wxID_ANY, kBlank, at, size, wxWebViewBackendWebKit, wxNO_BORDER);
            if (!view)
            {
                m_activationFailed = true;
                return E_FAIL;
            }
            m_view = view;
            m_loadsUndecided = 1;  // the blank page the view starts with
            view->Bind(wxEVT_WEBVIEW_NAVIGATING, &WebKitBrowserControl::OnNavigating, this);
            view->Bind(wxEVT_WEBVIEW_NAVIGATED, &WebKitBrowserControl::OnNavigated, this);
            view->Bind(wxEVT_WEBVIEW_LOADED, &WebKitBrowserControl::OnLoaded, this);
            view->Bind(wxEVT_WEBVIEW_ERROR, &WebKitBrowserControl::OnError, this);
            ApplyDropTarget();
            if (!m_pendingUrl.empty())
            {
                Variant flags = Variant::Long(m_pendingFlags);
                Navigate(m_pendingUrl, &flags, nullptr, nullptr, nullptr);
            }
        }
        if (m_inPlaceSite)
        {
            m_inPlaceSite->OnInPlaceActivate();
            ComPtr<IOleInPlaceFrame> frame;
            ComPtr<IOleInPlaceUIWindow> doc;
            Rect position, clip;
            OleInPlaceFrameInfo info;
            if (Succeeded(m_inPlaceSite->GetWindowContext(frame.Put(), doc.Put(), &position, &clip, &info)) && frame)
                frame->SetActiveObject(this, nullptr);
        }
        return S_OK;
    }

    void DestroyView()
    {
        wxWebView* view = m_view.get();
        view->Unbind(wxEVT_WEBVIEW_NAVIGATING, &WebKitBrowserControl::OnNavigating, this);
        view->Unbind(wxEVT_WEBVIEW_NAVIGATED, &WebKitBrowserControl::OnNavigated, this);
        view->Unbind(wxEVT_WEBVIEW_LOADED, &WebKitBrowserControl::OnLoaded, this);
        view->Unbind(wxEVT_WEBVIEW_ERROR, &WebKitBrowserControl::OnError, this);
        m_view = nullptr;
        if (m_inWebKitCallback > 0 && wxTheApp)
        {
            // Destroying the view inside its own signal hangs WebKit; finish once the loop is back.
            view->Hide();
            wxWeakRef<wxWebView> later(view);
            wxTheApp->CallAfter([later] {
                if (later)
                    later->Destroy();
            });
        }
        else
            view->Destroy();
    }

    // Counts the WebKit callbacks on the stack for the duration of one.
    struct InCallback
    {
        explicit InCallback(int& depth) : m_depth(depth) { ++m_depth; }
        ~InCallback() { --m_depth; }
        int& m_depth;
    };

    void OnNavigating(wxWebViewEvent& event)
    {
        InCallback scope(m_inWebKitCallback);
        auto keepAlive = ComPtr<IWebBrowser2>(this);
        Variant url = Variant::String(event.GetURL().ToStdWstring());
        Variant flags = Variant::Long(0);
        Variant target = Variant::String(event.GetTarget().ToStdWstring());
        Variant postData, headers;
        VariantBool cancel = VARIANT_FALSE;

        DispParams params; // last argument first
        params.args.push_back(Variant::Ref(VT_BOOL, &cancel));
        params.args.push_back(Variant::Ref(VT_VARIANT, &headers));
        params.args.push_back(Variant::Ref(VT_VARIANT, &postData));
        params.args.push_back(Variant::Ref(VT_VARIANT, &target));
        params.args.push_back(Variant::Ref(VT_VARIANT, &flags));
        params.args.push_back(Variant::Ref(VT_VARIANT, &url));
        params.args.push_back(Variant::Object(static_cast<IWebBrowser2*>(this), VT_DISPATCH));
        m_events->Fire(DISPID_BEFORENAVIGATE2, params);

        bool allowed = cancel == VARIANT_FALSE;
        if (!allowed)
            event.Veto();
        if (event.GetTarget().empty())
        {
            m_tracker.OnNavigating(allowed);
            // The oldest load the view was asked for has reached its decision, or the script's
            // navigation has: either way one less that could still replace the page.
            if (m_loadsUndecided > 0)
                --m_loadsUndecided;
            else if (m_replaceSent)
                m_replaceUrl.clear();
            m_replaceSent = false;
        }
    }

    void OnNavigated(wxWebViewEvent&)
    {
        InCallback scope(m_inWebKitCallback);
        auto keepAlive = ComPtr<IWebBrowser2>(this);
        m_committed = true;
        ApplyHostUI();
        FireProgress(0, 100);
    }

    void OnLoaded(wxWebViewEvent& event)
    {
        InCallback scope(m_inWebKitCallback);
        auto keepAlive = ComPtr<IWebBrowser2>(this);
        if (m_tracker.OnLoaded(event.GetURL().ToStdWstring()))
            FireProgress(100, 100);
        ReplaceWhenIdle();
    }

    void OnError(wxWebViewEvent& event)
    {
        m_tracker.OnError(event.GetInt() == wxWEBVIEW_NAV_ERR_USER_CANCELLED);
        ReplaceWhenIdle();
    }

    void LoadInView(const std::wstring& url)
    {
        ++m_loadsUndecided;
        m_view->LoadURL(url);
    }

    // The no-history navigation asked for last, made by the page's frame once no load the view was
    // asked for is still on its way: such a load commits a new page after the script has run, and
    // WebKit then drops the navigation the script scheduled in the old one. A navigation that
    // still went missing (no decision came for it before the next load ended) is asked again; one
    // that goes missing twice is loaded by the view, so the page shows in any case.
    void ReplaceWhenIdle()
    {
        if (m_replaceUrl.empty() || !m_view || m_loadsUndecided > 0 || webkit::IsLoading(m_view->GetNativeBackend()))
            return;
        if (m_replaceTries == 2)
        {
            const std::wstring url = std::move(m_replaceUrl);
            m_replaceUrl.clear();
            m_replaceSent = false;
            LoadInView(url);
            return;
        }
        ++m_replaceTries;
        m_replaceSent = true;
        RunPageScript(m_view.get(), ReplaceLocationScript(m_replaceUrl));
    }

    void FireProgress(int32_t progress, int32_t progressMax)
    {
        DispParams params;
        params.args.push_back(Variant::Long(progressMax));
        params.args.push_back(Variant::Long(progress));
        m_events->Fire(DISPID_PROGRESSCHANGE, params);
    }

    void ApplyHostUI()
    {
        if (!m_view || !m_uiHandler)
            return;
        DocHostUIInfo info;
        if (Succeeded(m_uiHandler->GetHostInfo(&info)))
        {
            if (info.dwFlags & DOCHOSTUIFLAG_DIALOG)
            {
                if (!m_selectionScriptAdded)
                    m_selectionScriptAdded = m_view->AddUserScript(kNoSelectionScript);
                RunPageScript(m_view.get(), kNoSelectionScript); // the page already committed
            }
            if (info.dwFlags & DOCHOSTUIFLAG_SCROLL_NO)
                RunPageScript(m_view.get(), OverflowScript("hidden"));
        }
        // A handler that takes the default menu over (S_OK) means: no menu. Safe as a probe here
        // because the handler's previous site never shows a menu of its own.
        bool suppressed = m_uiHandler->ShowContextMenu(CONTEXT_MENU_DEFAULT, nullptr, nullptr, nullptr) == S_OK;
        m_view->EnableContextMenu(!suppressed);
    }

    ComPtr<ConnectionPoint> m_events;
    ComPtr<IOleClientSite> m_clientSite;
    ComPtr<IOleInPlaceSite> m_inPlaceSite;
    ComPtr<IDocHostUIHandler> m_uiHandler;
    ComPtr<IAdviseSink> m_adviseSink;
    wxWeakRef<wxWebView> m_view;
    LoadTracker m_tracker;
    std::wstring m_pendingUrl;
    std::wstring m_replaceUrl;  // a no-history navigation waiting for the view to be idle, or sent
    int m_replaceTries = 0;
    bool m_replaceSent = false;  // its script has run; no main-frame decision has come since
    int m_loadsUndecided = 0;    // loads asked of the view whose navigation decision has not come
    int32_t m_pendingFlags = 0;
    SizeL m_extent;
    int m_inWebKitCallback = 0;
    bool m_activationFailed = false;
    bool m_committed = false;
    bool m_selectionScriptAdded = false;
    bool m_menuBar = true, m_addressBar = true, m_statusBar = true, m_toolBar = true;
    bool m_registerAsBrowser = true, m_registerAsDropTarget = true, m_offline = false;
};

} // namespace

const CoClassDesc& WebBrowserClassDesc()
{
    static const CoClassDesc desc{kClassId,
                                  {{&BrowserDesc(), IMPLTYPEFLAG_FDEFAULT},
                                   {&EventsDesc(), IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}}};
    return desc;
}

const Guid& WebBrowserClassId()
{
    static std::once_flag registered;
    std::call_once(registered, [] { RegisterClass(kClassId, FactoryOf<WebKitBrowserControl>()); });
    return kClassId;
}

int LiveWebBrowserObjects()
{
    return LiveCounter<WebKitBrowserControl>::Live() + LiveCounter<HtmlDocument>::Live() +
           LiveCounter<HtmlBody>::Live();
}
