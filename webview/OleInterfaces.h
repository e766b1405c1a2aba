#pragma once
// The document-embedding interfaces through which the web view's container, its sites and the
// browser control talk: only the methods that code calls or implements, with the component
// model's method names and result conventions. A window handle is the toolkit window; rectangles,
// messages and the info blocks are small structs of our own.

#include <cstdint>

#include "platform/ComDispatch.h"

class wxWindow;
class wxDC;

namespace LumoCom
{

struct Rect
{
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct SizeL
{
    int32_t cx = 0, cy = 0;
    friend bool operator==(const SizeL&, const SizeL&) = default;
};

struct PointL
{
    int32_t x = 0, y = 0;
};

struct PointF
{
    float x = 0, y = 0;
};

// A keyboard message as a control's accelerator translation sees it.
struct Msg
{
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

struct OleInPlaceFrameInfo
{
    uint32_t cb = 0;
    bool fMDIApp = false;
    wxWindow* hwndFrame = nullptr;
    void* haccel = nullptr;
    uint32_t cAccelEntries = 0;
};

struct OleCmd
{
    uint32_t cmdID = 0;
    uint32_t cmdf = 0;
};

struct DocHostUIInfo
{
    uint32_t cbSize = 0;
    uint32_t dwFlags = 0;
    uint32_t dwDoubleClick = 0;
};

enum : uint32_t
{
    DOCHOSTUIFLAG_DIALOG = 1,
    DOCHOSTUIFLAG_NO3DBORDER = 4,
    DOCHOSTUIFLAG_SCROLL_NO = 8,
    DOCHOSTUIDBLCLK_DEFAULT = 0,
    CONTEXT_MENU_DEFAULT = 0,
    CONTEXT_MENU_TEXTSELECT = 4,
    DVASPECT_CONTENT = 1,
    OLEMISC_INVISIBLEATRUNTIME = 0x400,
    OLEMISC_SETCLIENTSITEFIRST = 0x20000,
    OLECLOSE_NOSAVE = 1,
    READYSTATE_UNINITIALIZED = 0,
    READYSTATE_COMPLETE = 4,
};

enum : int32_t
{
    OLEIVERB_SHOW = -1,
    OLEIVERB_HIDE = -3,
    OLEIVERB_INPLACEACTIVATE = -5,
};

class IOleContainer;
class IOleInPlaceActiveObject;
class IOleInPlaceFrame;
class IOleInPlaceUIWindow;
class IOleInPlaceSite;
class IOleDocumentView;
class IAdviseSink;

class IOleClientSite : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000006");
    virtual HRESULT SaveObject() = 0;
    virtual HRESULT GetMoniker(uint32_t assign, uint32_t which, IUnknown** moniker) = 0;
    virtual HRESULT GetContainer(IOleContainer** container) = 0;
    virtual HRESULT ShowObject() = 0;
    virtual HRESULT OnShowWindow(bool show) = 0;
    virtual HRESULT RequestNewObjectLayout() = 0;
};

class IOleWindow : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000007");
    virtual HRESULT GetWindow(wxWindow** window) = 0;
    virtual HRESULT ContextSensitiveHelp(bool enterMode) = 0;
};

class IOleInPlaceSite : public IOleWindow
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000008");
    virtual HRESULT CanInPlaceActivate() = 0;
    virtual HRESULT OnInPlaceActivate() = 0;
    virtual HRESULT OnUIActivate() = 0;
    virtual HRESULT GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, Rect* pos, Rect* clip,
                                     OleInPlaceFrameInfo* info) = 0;
    virtual HRESULT Scroll(SizeL extent) = 0;
    virtual HRESULT OnUIDeactivate(bool undoable) = 0;
    virtual HRESULT OnInPlaceDeactivate() = 0;
    virtual HRESULT DiscardUndoState() = 0;
    virtual HRESULT DeactivateAndUndo() = 0;
    virtual HRESULT OnPosRectChange(const Rect* pos) = 0;
};

class IOleInPlaceSiteEx : public IOleInPlaceSite
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000009");
    virtual HRESULT OnInPlaceActivateEx(bool* noRedraw, uint32_t flags) = 0;
    virtual HRESULT OnInPlaceDeactivateEx(bool noRedraw) = 0;
    virtual HRESULT RequestUIActivate() = 0;
};

class IOleInPlaceUIWindow : public IOleWindow
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000000A");
    virtual HRESULT GetBorder(Rect* border) = 0;
    virtual HRESULT RequestBorderSpace(const Rect* widths) = 0;
    virtual HRESULT SetBorderSpace(const Rect* widths) = 0;
    virtual HRESULT SetActiveObject(IOleInPlaceActiveObject* object, const wchar_t* name) = 0;
};

class IOleInPlaceFrame : public IOleInPlaceUIWindow
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000000B");
    virtual HRESULT InsertMenus(void* menu, void* widths) = 0;
    virtual HRESULT SetMenu(void* menu, void* holeMenu, wxWindow* activeObject) = 0;
    virtual HRESULT RemoveMenus(void* menu) = 0;
    virtual HRESULT SetStatusText(const wchar_t* text) = 0;
    virtual HRESULT EnableModeless(bool enable) = 0;
    virtual HRESULT TranslateAccelerator(Msg* msg, uint16_t id) = 0;
};

class IParseDisplayName : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000000C");
    virtual HRESULT ParseDisplayName(IUnknown* bindContext, const wchar_t* name, uint32_t* eaten,
                                     IUnknown** moniker) = 0;
};

class IOleContainer : public IParseDisplayName
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000000D");
    virtual HRESULT EnumObjects(uint32_t flags, IUnknown** enumerator) = 0;
    virtual HRESULT LockContainer(bool lock) = 0;
};

class IOleItemContainer : public IOleContainer
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000000E");
    virtual HRESULT GetObject(const wchar_t* item, uint32_t speed, IUnknown* bindContext, const Guid& iid,
                              void** out) = 0;
    virtual HRESULT GetObjectStorage(const wchar_t* item, IUnknown* bindContext, const Guid& iid, void** out) = 0;
    virtual HRESULT IsRunning(const wchar_t* item) = 0;
};

class IOleCommandTarget : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000000F");
    virtual HRESULT QueryStatus(const Guid* group, uint32_t count, OleCmd* commands, void* text) = 0;
    virtual HRESULT Exec(const Guid* group, uint32_t id, uint32_t options, Variant* in, Variant* out) = 0;
};

class IOleDocumentSite : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000010");
    virtual HRESULT ActivateMe(IOleDocumentView* view) = 0;
};

class IOleDocumentView : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000011");
    virtual HRESULT SetInPlaceSite(IOleInPlaceSite* site) = 0;
    virtual HRESULT UIActivate(bool activate) = 0;
};

class IOleDocument : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000012");
    virtual HRESULT CreateView(IOleInPlaceSite* site, IUnknown* stream, uint32_t reserved,
                               IOleDocumentView** view) = 0;
};

class IAdviseSink : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000013");
    virtual void OnDataChange() = 0;
    virtual void OnViewChange(uint32_t aspect, int32_t index) = 0;
    virtual void OnRename(IUnknown* moniker) = 0;
    virtual void OnSave() = 0;
    virtual void OnClose() = 0;
};

class IOleControlSite : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000014");
    virtual HRESULT OnControlInfoChanged() = 0;
    virtual HRESULT LockInPlaceActive(bool lock) = 0;
    virtual HRESULT GetExtendedControl(IDispatch** control) = 0;
    virtual HRESULT TransformCoords(PointL* himetric, PointF* container, uint32_t flags) = 0;
    virtual HRESULT TranslateAccelerator(Msg* msg, uint32_t modifiers) = 0;
    virtual HRESULT OnFocus(bool gotFocus) = 0;
    virtual HRESULT ShowPropertyFrame() = 0;
};

class IOleObject : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000015");
    virtual HRESULT SetClientSite(IOleClientSite* site) = 0;
    virtual HRESULT GetClientSite(IOleClientSite** site) = 0;
    virtual HRESULT SetHostNames(const wchar_t* containerApp, const wchar_t* containerObject) = 0;
    virtual HRESULT Close(uint32_t saveOption) = 0;
    virtual HRESULT DoVerb(int32_t verb, const Msg* msg, IOleClientSite* site, int32_t index, wxWindow* parent,
                           const Rect* pos) = 0;
    virtual HRESULT GetExtent(uint32_t aspect, SizeL* size) = 0;
    virtual HRESULT SetExtent(uint32_t aspect, const SizeL* size) = 0;
    virtual HRESULT Advise(IAdviseSink* sink, uint32_t* cookie) = 0;
    virtual HRESULT Unadvise(uint32_t cookie) = 0;
    virtual HRESULT GetMiscStatus(uint32_t aspect, uint32_t* status) = 0;
};

class IOleInPlaceObject : public IOleWindow
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000016");
    virtual HRESULT InPlaceDeactivate() = 0;
    virtual HRESULT UIDeactivate() = 0;
    virtual HRESULT SetObjectRects(const Rect* pos, const Rect* clip) = 0;
};

class IOleInPlaceActiveObject : public IOleWindow
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000017");
    virtual HRESULT TranslateAccelerator(Msg* msg) = 0;
    virtual HRESULT OnFrameWindowActivate(bool activate) = 0;
};

class IViewObject : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000018");
    virtual HRESULT Draw(uint32_t aspect, int32_t index, wxDC* dc, const Rect* bounds) = 0;
};

class IPersistStreamInit : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-000000000019");
    virtual HRESULT InitNew() = 0;
};

// Optional on an embedded object; the running-state helpers are no-ops without it.
class IRunnableObject : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000001A");
    virtual HRESULT Run() = 0;
    virtual HRESULT LockRunning(bool lock, bool lastUnlockCloses) = 0;
    virtual HRESULT SetContainedObject(bool contained) = 0;
};

HRESULT OleRun(IUnknown* object);
HRESULT OleSetContainedObject(IUnknown* object, bool contained);
HRESULT OleLockRunning(IUnknown* object, bool lock, bool lastUnlockCloses);

class IDocHostUIHandler : public IUnknown
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000001B");
    virtual HRESULT ShowContextMenu(uint32_t id, const PointL* pt, IUnknown* commandTarget, IDispatch* object) = 0;
    virtual HRESULT GetHostInfo(DocHostUIInfo* info) = 0;
    virtual HRESULT ShowUI(uint32_t id, IOleInPlaceActiveObject* active, IOleCommandTarget* target,
                           IOleInPlaceFrame* frame, IOleInPlaceUIWindow* doc) = 0;
    virtual HRESULT HideUI() = 0;
    virtual HRESULT UpdateUI() = 0;
    virtual HRESULT EnableModeless(bool enable) = 0;
    virtual HRESULT OnDocWindowActivate(bool activate) = 0;
    virtual HRESULT OnFrameWindowActivate(bool activate) = 0;
    virtual HRESULT ResizeBorder(const Rect* border, IOleInPlaceUIWindow* window, bool frameWindow) = 0;
    virtual HRESULT TranslateAccelerator(Msg* msg, const Guid* group, uint32_t id) = 0;
    virtual HRESULT GetOptionKeyPath(wchar_t** key, uint32_t reserved) = 0;
    virtual HRESULT GetDropTarget(IUnknown* dropTarget, IUnknown** replacement) = 0;
    virtual HRESULT GetExternal(IDispatch** external) = 0;
    virtual HRESULT TranslateUrl(uint32_t translate, const wchar_t* url, wchar_t** translated) = 0;
    virtual HRESULT FilterDataObject(IUnknown* object, IUnknown** replacement) = 0;
};

// The browser's automation interface, as far as the web view uses it.
// Navigate's flags that the browser honours.
enum BrowserNavConstants : int32_t
{
    navNoHistory = 0x2,            // no back or forward step leads away from the page
    navNoReadFromCache = 0x4,
    navNoWriteToCache = 0x8,
    navEnforceRestricted = 0x80,   // the page's own script does not run
    navUntrustedForDownload = 0x200, // the page starts no download
};

class IWebBrowser2 : public IDispatch
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000001C");
    virtual HRESULT get_ReadyState(int32_t* state) = 0;
    virtual HRESULT put_MenuBar(VariantBool value) = 0;
    virtual HRESULT put_AddressBar(VariantBool value) = 0;
    virtual HRESULT put_StatusBar(VariantBool value) = 0;
    virtual HRESULT put_ToolBar(VariantBool value) = 0;
    virtual HRESULT put_RegisterAsBrowser(VariantBool value) = 0;
    virtual HRESULT put_RegisterAsDropTarget(VariantBool value) = 0;
    virtual HRESULT put_Offline(VariantBool value) = 0;
    virtual HRESULT Navigate(const std::wstring& url, const Variant* flags, const Variant* targetFrame,
                             const Variant* postData, const Variant* headers) = 0;
    virtual HRESULT get_Document(IDispatch** document) = 0;
};

class IHTMLElement : public IDispatch
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000001D");
};

class IHTMLDocument2 : public IDispatch
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000001E");
    virtual HRESULT get_body(IHTMLElement** body) = 0;
};

class IHTMLBodyElement : public IDispatch
{
public:
    static constexpr Guid kIid = Guid::Parse("4C554D4F-0C0B-4000-8000-00000000001F");
    virtual HRESULT put_scroll(const std::wstring& value) = 0;
};

// A dispatch part that describes no members: for objects that are reached only through their
// other interfaces.
template <class Base>
class NoAutomation : public Base
{
public:
    HRESULT GetTypeInfoCount(uint32_t* count) override
    {
        if (count)
            *count = 0;
        return E_NOTIMPL;
    }
    HRESULT GetTypeInfo(uint32_t, IUnknown** info) override
    {
        if (info)
            *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(const std::wstring*, uint32_t, DispId*) override { return E_NOTIMPL; }
    HRESULT Invoke(DispId, uint16_t, DispParams*, Variant*) override { return DISP_E_MEMBERNOTFOUND; }
};

} // namespace LumoCom
