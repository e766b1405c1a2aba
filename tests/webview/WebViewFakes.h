#pragma once
// Test doubles of the web view's unit tests: one object that can play the hosted control, the
// browser, a client site with its host-UI handler or an active object (it
// answers the interfaces it is told to, logs every call and gives a scripted result), and a
// container without a window.

#include <memory>
#include <string>
#include <vector>

#include "platform/ComClassRegistry.h"
#include "platform/ComConnectionPoint.h"
#include "webview/ActiveXContainer.h"

namespace fakes
{

using namespace LumoCom;

inline constexpr Guid kFakeControlClsid = Guid::Parse("0F0F0F0F-0000-4000-8000-00000000C0DE");
inline constexpr Guid kFakeEventsIid = Guid::Parse("0F0F0F0F-0000-4000-8000-00000000E7E7");

// Event ids of the fake control's source interface: TestNavigate(URL*, [in,out] Cancel*),
// TestProgress(long Progress, long ProgressMax) and one event no test registers.
enum : DispId
{
    kNavigate = 1,
    kProgress = 2,
    kUnregistered = 3,
};

// How the next fake control is made (the registry's factory takes no arguments).
struct FakeControlConfig
{
    uint32_t miscStatus = 0;
    bool classInfo = true;
    bool connectionPoints = true;
    bool failAdvise = false;
};

// Every call any fake receives, in order: the method's name, sometimes with its arguments.
std::vector<std::string>& CallLog();
FakeControlConfig& ControlConfig();
// Registers the fake control under kFakeControlClsid, resets its config and the log.
void RegisterFakeControl();

class FakeObject final : public IOleObject,
                         public IOleInPlaceObject,
                         public IOleInPlaceActiveObject,
                         public IConnectionPointContainer,
                         public IProvideClassInfo,
                         public IPersistStreamInit,
                         public IOleClientSite,
                         public IDocHostUIHandler,
                         public NoAutomation<IWebBrowser2>,
                         public NoAutomation<IHTMLDocument2>,
                         public NoAutomation<IHTMLElement>,
                         public NoAutomation<IHTMLBodyElement>,
                         public LiveCounter<FakeObject>
{
public:
    FakeObject(); // the control: answers what ControlConfig() allows
    explicit FakeObject(std::vector<Guid> answers);

    HRESULT QueryInterface(const Guid& iid, void** out) override;
    LUMOCOM_REFCOUNTED
    int32_t Count() const { return m_refCount.Value(); }
    HRESULT Called(std::string call);

    // IOleObject
    HRESULT SetClientSite(IOleClientSite* site) override;
    HRESULT GetClientSite(IOleClientSite** site) override;
    HRESULT SetHostNames(const wchar_t*, const wchar_t*) override { return Called("SetHostNames"); }
    HRESULT Close(uint32_t) override;
    HRESULT DoVerb(int32_t verb, const Msg*, IOleClientSite*, int32_t, wxWindow*, const Rect* rect) override;
    HRESULT GetExtent(uint32_t, SizeL* size) override;
    HRESULT SetExtent(uint32_t, const SizeL* size) override;
    HRESULT Advise(IAdviseSink* sink, uint32_t* cookie) override;
    HRESULT Unadvise(uint32_t) override;
    HRESULT GetMiscStatus(uint32_t, uint32_t* status) override;
    // IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject
    HRESULT GetWindow(wxWindow** window) override;
    HRESULT ContextSensitiveHelp(bool) override { return Called("ContextSensitiveHelp"); }
    HRESULT InPlaceDeactivate() override { return Called("InPlaceDeactivate"); }
    HRESULT UIDeactivate() override { return Called("UIDeactivate"); }
    HRESULT SetObjectRects(const Rect* pos, const Rect*) override;
    HRESULT TranslateAccelerator(Msg*) override { return Called("TranslateAccelerator"); }
    HRESULT OnFrameWindowActivate(bool) override { return Called("OnFrameWindowActivate"); }
    // IConnectionPointContainer, IProvideClassInfo, IPersistStreamInit
    HRESULT FindConnectionPoint(const Guid& iid, IConnectionPoint** out) override;
    HRESULT GetClassInfo(const CoClassDesc** out) override;
    HRESULT InitNew() override { return Called("InitNew"); }
    // IOleClientSite
    HRESULT SaveObject() override { return Called("SaveObject"); }
    HRESULT GetMoniker(uint32_t, uint32_t, IUnknown**) override { return Called("GetMoniker"); }
    HRESULT GetContainer(IOleContainer**) override { return Called("GetContainer"); }
    HRESULT ShowObject() override { return Called("ShowObject"); }
    HRESULT OnShowWindow(bool) override { return Called("OnShowWindow"); }
    HRESULT RequestNewObjectLayout() override { return Called("RequestNewObjectLayout"); }
    // IDocHostUIHandler
    HRESULT ShowContextMenu(uint32_t, const PointL*, IUnknown*, IDispatch*) override { return Called("ShowContextMenu"); }
    HRESULT GetHostInfo(DocHostUIInfo*) override { return Called("GetHostInfo"); }
    HRESULT ShowUI(uint32_t, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                   IOleInPlaceUIWindow*) override
    {
        return Called("ShowUI");
    }
    HRESULT HideUI() override { return Called("HideUI"); }
    HRESULT UpdateUI() override { return Called("UpdateUI"); }
    HRESULT EnableModeless(bool) override { return Called("EnableModeless"); }
    HRESULT OnDocWindowActivate(bool) override { return Called("OnDocWindowActivate"); }
    HRESULT ResizeBorder(const Rect*, IOleInPlaceUIWindow*, bool) override { return Called("ResizeBorder"); }
    HRESULT TranslateAccelerator(Msg*, const Guid*, uint32_t) override { return Called("TranslateAccelerator"); }
    HRESULT GetOptionKeyPath(wchar_t**, uint32_t) override { return Called("GetOptionKeyPath"); }
    HRESULT GetDropTarget(IUnknown*, IUnknown**) override { return Called("GetDropTarget"); }
    HRESULT GetExternal(IDispatch**) override { return Called("GetExternal"); }
    HRESULT TranslateUrl(uint32_t, const wchar_t*, wchar_t**) override { return Called("TranslateUrl"); }
    HRESULT FilterDataObject(IUnknown*, IUnknown**) override { return Called("FilterDataObject"); }
    // IWebBrowser2, the document and its body
    HRESULT get_ReadyState(int32_t* state) override;
    HRESULT put_MenuBar(VariantBool v) override { return Put("MenuBar", v); }
    HRESULT put_AddressBar(VariantBool v) override { return Put("AddressBar", v); }
    HRESULT put_StatusBar(VariantBool v) override { return Put("StatusBar", v); }
    HRESULT put_ToolBar(VariantBool v) override { return Put("ToolBar", v); }
    HRESULT put_RegisterAsBrowser(VariantBool v) override { return Put("RegisterAsBrowser", v); }
    HRESULT put_RegisterAsDropTarget(VariantBool v) override { return Put("RegisterAsDropTarget", v); }
    HRESULT put_Offline(VariantBool v) override { return Put("Offline", v); }
    HRESULT Navigate(const std::wstring& url, const Variant* flags, const Variant* target, const Variant*,
                     const Variant*) override;
    HRESULT get_Document(IDispatch** document) override;
    HRESULT get_body(IHTMLElement** body) override;
    HRESULT put_scroll(const std::wstring& value) override;

    void Fire(DispId dispid, DispParams& params) { m_events->Fire(dispid, params); }

    HRESULT result = S_OK; // what the logging methods answer
    Rect lastRect;
    SizeL extent;
    int polls = 0;
    int readyAfter = 1;
    bool withDocument = false;
    bool withBody = false;
    ComPtr<IOleClientSite> site;

private:
    ~FakeObject();
    HRESULT Put(const char* name, VariantBool value) { return Called(std::string(name) + "=" + std::to_string(value)); }

    std::vector<Guid> m_answers;
    ComPtr<ConnectionPoint> m_events;
    ComPtr<IAdviseSink> m_advise;
};

// The fake control the registry made last (null once it is gone).
FakeObject* LastControl();

template <class... Interfaces>
ComPtr<FakeObject> MakeFake()
{
    return ComPtr<FakeObject>(new FakeObject({IidOf<Interfaces>()...}));
}

class TestContainer final : public ActiveXContainer
{
public:
    explicit TestContainer(wxSize client = wxSize(200, 100)) : m_client(client) {}
    ~TestContainer() override { DestroyActiveX(); }

    wxWindow* HostWindow() override { return nullptr; }
    wxSize HostClientSize() const override { return m_client; }
    int HostWindowId() const override { return 77; }
    wxSize ScreenPpi() override { return wxSize(96, 96); }
    wxColour SystemColour(wxSystemColour which) const override
    {
        return which == wxSYS_COLOUR_WINDOW ? wxColour(0x11, 0x22, 0x33) : wxColour(1, 2, 3);
    }
    void ProcessNow(wxEvent& event) override { handler.ProcessEvent(event); }
    void Queue(wxEvent* event) override { m_queued.emplace_back(event); }
    void ControlWindowKnown(wxWindow*) override { CallLog().push_back("ControlWindowKnown"); }
    // What the event loop would do with the queued events, in their order.
    void ProcessQueued()
    {
        for (auto& event : m_queued)
            handler.ProcessEvent(*event);
        m_queued.clear();
    }

    wxEvtHandler handler;
    wxSize m_client;
    std::vector<std::unique_ptr<wxEvent>> m_queued;
};

} // namespace fakes
