#pragma once
// What hosts one control object: creates it from its class id, activates it in place through a
// frame site, reads its type description into tables of events, properties and methods, connects
// an event sink to its default source interface and turns its events into toolkit events.
//
// The window side (the host window, its size, how events reach handlers) is left to the derived
// class: wxActiveX for a real window, a test double without a display. Members are shared with the
// frame site and the event sink, as the component model's container shares them.

#include <map>
#include <string>
#include <vector>

#include <wx/event.h>
#include <wx/gdicmn.h>
#include <wx/settings.h>
#include <wx/window.h>

#include "webview/ActiveXEvents.h"
#include "webview/OleInterfaces.h"

class FrameSite;

namespace LumoCom
{
struct CoClassDesc;
}

// One parameter of an event or method: flags, whether declared as a pointer or a safe array, the
// value type (the pointed-to type for those) and the name.
struct ActiveXParamX
{
    uint16_t flags = 0;
    bool isPtr = false;
    bool isSafeArray = false;
    LumoCom::VarType vt = LumoCom::VT_EMPTY;
    std::wstring name;

    bool IsIn() const { return flags & LumoCom::PARAMFLAG_FIN; }
    bool IsOut() const { return flags & LumoCom::PARAMFLAG_FOUT; }
};

struct ActiveXFuncX
{
    std::wstring name;
    LumoCom::DispId memid = 0;
    bool hasOut = false; // a parameter is [out] or a pointer: the event is handled at once
    LumoCom::InvokeKind invkind = LumoCom::INVOKE_FUNC;
    ActiveXParamX retType;
    std::vector<ActiveXParamX> params;
};

struct ActiveXPropX
{
    std::wstring name;
    LumoCom::DispId memid = 0;
    ActiveXParamX type;
    ActiveXParamX arg;
    bool putByRef = false;
};

// x * numerator / denominator rounded half away from zero, in 64 bits; -1 when denominator is 0
// or the result does not fit 32 bits.
int32_t MulDivRound(int32_t x, int32_t numerator, int32_t denominator);

class ActiveXContainer
{
public:
    ActiveXContainer() = default;
    ActiveXContainer(const ActiveXContainer&) = delete;
    ActiveXContainer& operator=(const ActiveXContainer&) = delete;
    virtual ~ActiveXContainer(); // the derived class calls DestroyActiveX first

    void CreateActiveX(const LumoCom::Guid& clsid);
    // Disconnects, deactivates and closes the control, then releases everything. Idempotent.
    void DestroyActiveX();

    void GetTypeInfo();
    void ReadTypeInfo(const LumoCom::InterfaceDesc& type, bool defInterface, bool defEventSource);
    LumoCom::HRESULT ConnectAdvise(const LumoCom::Guid& iid, LumoCom::IUnknown* sink);

    // Builds the toolkit event of one control event and delivers it: at once when the event has
    // [out] or pointer parameters (then written back), otherwise queued.
    void DispatchEvent(const ActiveXFuncX& func, wxEventType type, LumoCom::DispParams* params);

    // Window plumbing the derived class forwards.
    void ResizeControl(int width, int height);
    void FocusChanged(bool gotFocus);
    LumoCom::SizeL PixelsToHimetric(const LumoCom::SizeL& pixels);

    // True while a synchronous event is being handled (inside the control's own call).
    bool InSynchronousEvent() const { return m_syncDepth > 0; }

    // --- the window side ---
    virtual wxWindow* HostWindow() = 0;
    virtual wxSize HostClientSize() const = 0;
    virtual int HostWindowId() const = 0;
    virtual wxSize ScreenPpi() = 0;
    virtual wxColour SystemColour(wxSystemColour which) const = 0;
    virtual void ProcessNow(wxEvent& event) = 0;
    virtual void Queue(wxEvent* event) = 0;
    // The control's window is known: show it and lay it out once the event loop runs.
    virtual void ControlWindowKnown(wxWindow* window) = 0;

    LumoCom::ComPtr<LumoCom::IDispatch> m_dispatch;
    LumoCom::ComPtr<LumoCom::IOleClientSite> m_clientSite;
    LumoCom::ComPtr<LumoCom::IUnknown> m_control;
    LumoCom::ComPtr<LumoCom::IOleObject> m_oleObject;
    LumoCom::ComPtr<LumoCom::IOleInPlaceObject> m_inPlaceObject;
    LumoCom::ComPtr<LumoCom::IOleInPlaceActiveObject> m_inPlaceActiveObject;
    LumoCom::ComPtr<LumoCom::IOleDocumentView> m_docView;
    LumoCom::ComPtr<LumoCom::IViewObject> m_viewObject;
    wxWindow* m_controlHwnd = nullptr;
    bool m_bAmbientUserMode = true;
    uint32_t m_docAdviseCookie = 0;
    std::vector<std::pair<LumoCom::ComPtr<LumoCom::IConnectionPoint>, uint32_t>> m_connections;
    std::vector<ActiveXFuncX> m_events;
    std::map<LumoCom::DispId, size_t> m_eventMemberIds;
    std::vector<ActiveXPropX> m_props;
    std::map<std::wstring, size_t> m_propNames;
    std::vector<ActiveXFuncX> m_methods;
    std::map<std::wstring, size_t> m_methodNames;
    FrameSite* m_frameSite = nullptr; // one reference through m_clientSite

private:
    std::vector<LumoCom::ComPtr<wxActiveXEvents>> m_sinks; // detached at teardown
    wxSize m_ppi;
    int m_syncDepth = 0;
};
