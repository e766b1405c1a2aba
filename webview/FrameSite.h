#pragma once
// The site through which a hosted control talks to its container: client site, in-place site and
// frame, item container, ambient properties, command target, document site, advise sink and
// control site, all one object with one reference count. Most answers are constant; the rest
// report the container's window, size and activation state.
//
// The container is not owned. It detaches the site when it goes away; a control that keeps the
// site longer then gets E_UNEXPECTED (or nothing done) instead of reaching a dead window.

#include "webview/OleInterfaces.h"

class ActiveXContainer;

// Ambient property ids answered by the site.
enum : LumoCom::DispId
{
    DISPID_AMBIENT_BACKCOLOR = -701,
    DISPID_AMBIENT_FORECOLOR = -704,
    DISPID_AMBIENT_LOCALEID = -705,
    DISPID_AMBIENT_MESSAGEREFLECT = -706,
    DISPID_AMBIENT_USERMODE = -709,
    DISPID_AMBIENT_SHOWGRABHANDLES = -711,
    DISPID_AMBIENT_SHOWHATCHING = -712,
    DISPID_AMBIENT_DISPLAYASDEFAULT = -713,
    DISPID_AMBIENT_APPEARANCE = -716,
    DISPID_AMBIENT_OFFLINEIFNOTCONNECTED = -5501,
    DISPID_AMBIENT_SILENT = -5502,
};

class FrameSite final : public LumoCom::IOleClientSite,
                        public LumoCom::IOleInPlaceSiteEx,
                        public LumoCom::IOleInPlaceFrame,
                        public LumoCom::IOleItemContainer,
                        public LumoCom::IDispatch,
                        public LumoCom::IOleCommandTarget,
                        public LumoCom::IOleDocumentSite,
                        public LumoCom::IAdviseSink,
                        public LumoCom::IOleControlSite,
                        LumoCom::LiveCounter<FrameSite>
{
    using HRESULT = LumoCom::HRESULT;

public:
    explicit FrameSite(ActiveXContainer* container);

    void Detach() { m_container = nullptr; }

    bool IsInPlaceActive() const { return m_bInPlaceActive; }
    bool IsUIActive() const { return m_bUIActive; }
    bool IsInPlaceLocked() const { return m_bInPlaceLocked; }

    // IUnknown, one for all nine parts.
    HRESULT QueryInterface(const LumoCom::Guid& iid, void** out) override;
    LUMOCOM_REFCOUNTED

    // IOleClientSite
    HRESULT SaveObject() override { return LumoCom::S_OK; }
    HRESULT GetMoniker(uint32_t assign, uint32_t which, LumoCom::IUnknown** moniker) override;
    HRESULT GetContainer(LumoCom::IOleContainer** container) override;
    HRESULT ShowObject() override;
    HRESULT OnShowWindow(bool) override { return LumoCom::S_OK; }
    HRESULT RequestNewObjectLayout() override { return LumoCom::E_NOTIMPL; }

    // IOleWindow (of both the in-place site and the frame)
    HRESULT GetWindow(wxWindow** window) override;
    HRESULT ContextSensitiveHelp(bool) override { return LumoCom::S_OK; }

    // IOleInPlaceSite(Ex)
    HRESULT CanInPlaceActivate() override { return LumoCom::S_OK; }
    HRESULT OnInPlaceActivate() override;
    HRESULT OnUIActivate() override;
    HRESULT GetWindowContext(LumoCom::IOleInPlaceFrame** frame, LumoCom::IOleInPlaceUIWindow** doc,
                             LumoCom::Rect* pos, LumoCom::Rect* clip, LumoCom::OleInPlaceFrameInfo* info) override;
    HRESULT Scroll(LumoCom::SizeL) override { return LumoCom::S_OK; }
    HRESULT OnUIDeactivate(bool) override;
    HRESULT OnInPlaceDeactivate() override;
    HRESULT DiscardUndoState() override { return LumoCom::S_OK; }
    HRESULT DeactivateAndUndo() override { return LumoCom::S_OK; }
    HRESULT OnPosRectChange(const LumoCom::Rect* pos) override;
    HRESULT OnInPlaceActivateEx(bool* noRedraw, uint32_t flags) override;
    HRESULT OnInPlaceDeactivateEx(bool noRedraw) override;
    HRESULT RequestUIActivate() override { return LumoCom::S_OK; }

    // IOleInPlaceUIWindow, IOleInPlaceFrame
    HRESULT GetBorder(LumoCom::Rect* border) override;
    HRESULT RequestBorderSpace(const LumoCom::Rect* widths) override;
    HRESULT SetBorderSpace(const LumoCom::Rect*) override { return LumoCom::S_OK; }
    HRESULT SetActiveObject(LumoCom::IOleInPlaceActiveObject* object, const wchar_t* name) override;
    HRESULT InsertMenus(void*, void*) override { return LumoCom::S_OK; }
    HRESULT SetMenu(void*, void*, wxWindow*) override { return LumoCom::S_OK; }
    HRESULT RemoveMenus(void*) override { return LumoCom::S_OK; }
    HRESULT SetStatusText(const wchar_t*) override { return LumoCom::S_OK; }
    HRESULT EnableModeless(bool) override { return LumoCom::S_OK; }
    HRESULT TranslateAccelerator(LumoCom::Msg* msg, uint16_t id) override;

    // IParseDisplayName, IOleContainer, IOleItemContainer
    HRESULT ParseDisplayName(LumoCom::IUnknown*, const wchar_t*, uint32_t*, LumoCom::IUnknown**) override
    {
        return LumoCom::E_NOTIMPL;
    }
    HRESULT EnumObjects(uint32_t, LumoCom::IUnknown**) override { return LumoCom::E_NOTIMPL; }
    HRESULT LockContainer(bool) override { return LumoCom::S_OK; }
    HRESULT GetObject(const wchar_t* item, uint32_t speed, LumoCom::IUnknown* bindContext, const LumoCom::Guid& iid,
                      void** out) override;
    HRESULT GetObjectStorage(const wchar_t* item, LumoCom::IUnknown* bindContext, const LumoCom::Guid& iid,
                             void** out) override;
    HRESULT IsRunning(const wchar_t* item) override;

    // IDispatch: the ambient properties
    HRESULT GetTypeInfoCount(uint32_t*) override { return LumoCom::E_NOTIMPL; }
    HRESULT GetTypeInfo(uint32_t, LumoCom::IUnknown**) override { return LumoCom::E_NOTIMPL; }
    HRESULT GetIDsOfNames(const std::wstring*, uint32_t, LumoCom::DispId*) override { return LumoCom::E_NOTIMPL; }
    HRESULT Invoke(LumoCom::DispId dispid, uint16_t flags, LumoCom::DispParams* params,
                   LumoCom::Variant* result) override;

    // IOleCommandTarget
    HRESULT QueryStatus(const LumoCom::Guid* group, uint32_t count, LumoCom::OleCmd* commands, void* text) override;
    HRESULT Exec(const LumoCom::Guid*, uint32_t, uint32_t, LumoCom::Variant*, LumoCom::Variant*) override
    {
        return LumoCom::OLECMDERR_E_NOTSUPPORTED;
    }

    // IOleDocumentSite
    HRESULT ActivateMe(LumoCom::IOleDocumentView* view) override;

    // IAdviseSink
    void OnDataChange() override {}
    void OnViewChange(uint32_t, int32_t) override {}
    void OnRename(LumoCom::IUnknown*) override {}
    void OnSave() override {}
    void OnClose() override {}

    // IOleControlSite
    HRESULT OnControlInfoChanged() override { return LumoCom::S_OK; }
    HRESULT LockInPlaceActive(bool lock) override;
    HRESULT GetExtendedControl(LumoCom::IDispatch**) override { return LumoCom::E_NOTIMPL; }
    HRESULT TransformCoords(LumoCom::PointL* himetric, LumoCom::PointF* container, uint32_t flags) override;
    HRESULT TranslateAccelerator(LumoCom::Msg*, uint32_t) override { return LumoCom::E_NOTIMPL; }
    HRESULT OnFocus(bool) override { return LumoCom::S_OK; }
    HRESULT ShowPropertyFrame() override { return LumoCom::E_NOTIMPL; }

private:
    ~FrameSite() = default;

    // No lock count and no windowless activation: nothing here ever reads them.
    ActiveXContainer* m_container;
    wxWindow* m_hostWindow;
    bool m_bInPlaceLocked = false;
    bool m_bInPlaceActive = false;
    bool m_bUIActive = false;
    uint32_t m_nAmbientLocale = 0;
    uint32_t m_clrAmbientForeColor;
    uint32_t m_clrAmbientBackColor;
    bool m_bAmbientShowHatching = true;
    bool m_bAmbientShowGrabHandles = true;
    bool m_bAmbientAppearance = true;
};
