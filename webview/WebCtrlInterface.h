#pragma once
// The client site and document-host handler the browser control is given in place of the
// container's own site. Every method first forwards to the site (or that site's handler) it
// replaced; only without one does it answer itself. Two never simply forward: ShowContextMenu,
// which suppresses the menu by mode, and GetHostInfo, which answers from the three host flags.

#include <atomic>

#include "webview/OleInterfaces.h"

class CWebCtrlInterFace final : public LumoCom::IOleClientSite,
                                public LumoCom::IDocHostUIHandler,
                                LumoCom::LiveCounter<CWebCtrlInterFace>
{
    using HRESULT = LumoCom::HRESULT;

public:
    // Context-menu modes: 0 forward, 1 none at all, 2 only for selected text, 3 and 4 as 0.
    enum : uint32_t
    {
        kMenuForward = 0,
        kMenuNone = 1,
        kMenuTextSelectionOnly = 2,
        kMenuModeCount = 5,
    };

    CWebCtrlInterFace() = default;

    // Keeps site (and its handler, when it has one) to forward to; a later call releases the pair
    // kept before, so does null.
    void SetPreviousClientSite(LumoCom::IOleClientSite* site);
    // Ignores modes above 4.
    void SetContextMenuMode(uint32_t mode);
    uint32_t ContextMenuMode() const { return m_contextMenuMode; }

    bool m_bNo3DBorder = false;
    bool m_bDialog = false;
    bool m_bNoScroll = false;

    HRESULT QueryInterface(const LumoCom::Guid& iid, void** out) override;
    LUMOCOM_REFCOUNTED

    // IOleClientSite
    HRESULT SaveObject() override;
    HRESULT GetMoniker(uint32_t assign, uint32_t which, LumoCom::IUnknown** moniker) override;
    HRESULT GetContainer(LumoCom::IOleContainer** container) override;
    HRESULT ShowObject() override;
    HRESULT OnShowWindow(bool show) override;
    HRESULT RequestNewObjectLayout() override;

    // IDocHostUIHandler
    HRESULT ShowContextMenu(uint32_t id, const LumoCom::PointL* pt, LumoCom::IUnknown* commandTarget,
                            LumoCom::IDispatch* object) override;
    HRESULT GetHostInfo(LumoCom::DocHostUIInfo* info) override;
    HRESULT ShowUI(uint32_t id, LumoCom::IOleInPlaceActiveObject* active, LumoCom::IOleCommandTarget* target,
                   LumoCom::IOleInPlaceFrame* frame, LumoCom::IOleInPlaceUIWindow* doc) override;
    HRESULT HideUI() override;
    HRESULT UpdateUI() override;
    HRESULT EnableModeless(bool enable) override;
    HRESULT OnDocWindowActivate(bool activate) override;
    HRESULT OnFrameWindowActivate(bool activate) override;
    HRESULT ResizeBorder(const LumoCom::Rect* border, LumoCom::IOleInPlaceUIWindow* window, bool frameWindow) override;
    HRESULT TranslateAccelerator(LumoCom::Msg* msg, const LumoCom::Guid* group, uint32_t id) override;
    HRESULT GetOptionKeyPath(wchar_t** key, uint32_t reserved) override;
    HRESULT GetDropTarget(LumoCom::IUnknown* dropTarget, LumoCom::IUnknown** replacement) override;
    HRESULT GetExternal(LumoCom::IDispatch** external) override;
    HRESULT TranslateUrl(uint32_t translate, const wchar_t* url, wchar_t** translated) override;
    HRESULT FilterDataObject(LumoCom::IUnknown* object, LumoCom::IUnknown** replacement) override;

private:
    ~CWebCtrlInterFace() = default;

    std::atomic<uint32_t> m_contextMenuMode{kMenuForward};
    LumoCom::ComPtr<LumoCom::IOleClientSite> m_prevClientSite;
    LumoCom::ComPtr<LumoCom::IDocHostUIHandler> m_prevUIHandler;
};
