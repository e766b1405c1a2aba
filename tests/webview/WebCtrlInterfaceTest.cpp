#include "webview/WebCtrlInterface.h"

#include <gtest/gtest.h>

#include <functional>

using namespace LumoCom;

namespace
{

constexpr HRESULT kScripted = 0x1234;

// A client site with (optionally) a host-UI handler, answering kScripted to everything.
class FakeSite final : public IOleClientSite, public IDocHostUIHandler, public LiveCounter<FakeSite>
{
public:
    explicit FakeSite(bool withHandler) : m_withHandler(withHandler) {}
    HRESULT QueryInterface(const Guid& iid, void** out) override
    {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IOleClientSite::kIid)
            return Answer(static_cast<IOleClientSite*>(this), out);
        if (iid == IDocHostUIHandler::kIid && m_withHandler)
            return Answer(static_cast<IDocHostUIHandler*>(this), out);
        return E_NOINTERFACE;
    }
    LUMOCOM_REFCOUNTED
    HRESULT Called() { return ++calls, dropTargetAnswer; }
    HRESULT SaveObject() override { return Called(); }
    HRESULT GetMoniker(uint32_t, uint32_t, IUnknown**) override { return Called(); }
    HRESULT GetContainer(IOleContainer**) override { return Called(); }
    HRESULT ShowObject() override { return Called(); }
    HRESULT OnShowWindow(bool) override { return Called(); }
    HRESULT RequestNewObjectLayout() override { return Called(); }
    HRESULT ShowContextMenu(uint32_t, const PointL*, IUnknown*, IDispatch*) override { return Called(); }
    HRESULT GetHostInfo(DocHostUIInfo*) override { return Called(); }
    HRESULT ShowUI(uint32_t, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                   IOleInPlaceUIWindow*) override
    {
        return Called();
    }
    HRESULT HideUI() override { return Called(); }
    HRESULT UpdateUI() override { return Called(); }
    HRESULT EnableModeless(bool) override { return Called(); }
    HRESULT OnDocWindowActivate(bool) override { return Called(); }
    HRESULT OnFrameWindowActivate(bool) override { return Called(); }
    HRESULT ResizeBorder(const Rect*, IOleInPlaceUIWindow*, bool) override { return Called(); }
    HRESULT TranslateAccelerator(Msg*, const Guid*, uint32_t) override { return Called(); }
    HRESULT GetOptionKeyPath(wchar_t**, uint32_t) override { return Called(); }
    HRESULT GetDropTarget(IUnknown*, IUnknown**) override { return Called(); }
    HRESULT GetExternal(IDispatch**) override { return Called(); }
    HRESULT TranslateUrl(uint32_t, const wchar_t*, wchar_t**) override { return Called(); }
    HRESULT FilterDataObject(IUnknown*, IUnknown**) override { return Called(); }

    int32_t Count() { return m_refCount.Value(); }
    int calls = 0;
    HRESULT dropTargetAnswer = kScripted;

private:
    bool m_withHandler;
};

ComPtr<CWebCtrlInterFace> NewHandler()
{
    return ComPtr<CWebCtrlInterFace>(new CWebCtrlInterFace());
}

TEST(WebCtrlInterfaceTest, ForwardsOrGivesItsOwnAnswerWithOutCleared)
{
    void* junk = reinterpret_cast<void*>(0x1);
    struct Case
    {
        const char* name;
        HRESULT alone;
        std::function<HRESULT(CWebCtrlInterFace&, void**)> call;
    } cases[] = {
        {"SaveObject", E_FAIL, [](auto& h, void**) { return h.SaveObject(); }},
        {"GetMoniker", E_NOTIMPL, [](auto& h, void** o) { return h.GetMoniker(0, 0, (IUnknown**)o); }},
        {"GetContainer", E_NOINTERFACE, [](auto& h, void** o) { return h.GetContainer((IOleContainer**)o); }},
        {"ShowObject", S_OK, [](auto& h, void**) { return h.ShowObject(); }},
        {"OnShowWindow", S_OK, [](auto& h, void**) { return h.OnShowWindow(true); }},
        {"RequestNewObjectLayout", E_NOTIMPL, [](auto& h, void**) { return h.RequestNewObjectLayout(); }},
        {"ShowUI", S_FALSE, [](auto& h, void**) { return h.ShowUI(0, nullptr, nullptr, nullptr, nullptr); }},
        {"HideUI", E_NOTIMPL, [](auto& h, void**) { return h.HideUI(); }},
        {"UpdateUI", E_NOTIMPL, [](auto& h, void**) { return h.UpdateUI(); }},
        {"EnableModeless", E_NOTIMPL, [](auto& h, void**) { return h.EnableModeless(true); }},
        {"OnDocWindowActivate", E_NOTIMPL, [](auto& h, void**) { return h.OnDocWindowActivate(true); }},
        {"OnFrameWindowActivate", E_NOTIMPL, [](auto& h, void**) { return h.OnFrameWindowActivate(true); }},
        {"ResizeBorder", E_NOTIMPL, [](auto& h, void**) { return h.ResizeBorder(nullptr, nullptr, true); }},
        {"TranslateAccelerator", E_NOTIMPL, [](auto& h, void**) { return h.TranslateAccelerator(nullptr, nullptr, 0); }},
        {"GetOptionKeyPath", E_NOTIMPL, [](auto& h, void** o) { return h.GetOptionKeyPath((wchar_t**)o, 0); }},
        {"GetDropTarget", E_NOTIMPL, [](auto& h, void** o) { return h.GetDropTarget(nullptr, (IUnknown**)o); }},
        {"GetExternal", E_NOTIMPL, [](auto& h, void** o) { return h.GetExternal((IDispatch**)o); }},
        {"TranslateUrl", S_FALSE, [](auto& h, void** o) { return h.TranslateUrl(0, L"u", (wchar_t**)o); }},
        {"FilterDataObject", S_FALSE, [](auto& h, void** o) { return h.FilterDataObject(nullptr, (IUnknown**)o); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        auto alone = NewHandler();
        void* out = junk;
        EXPECT_EQ(c.alone, c.call(*alone, &out));
        EXPECT_TRUE(out == nullptr || out == junk);
        EXPECT_EQ(c.alone, c.call(*alone, nullptr)); // null out-pointers are never written

        auto site = ComPtr<FakeSite>(new FakeSite(true));
        auto forwarding = NewHandler();
        forwarding->SetPreviousClientSite(site.Get());
        EXPECT_EQ(kScripted, c.call(*forwarding, &out));
        EXPECT_EQ(1, site->calls);
    }
}

TEST(WebCtrlInterfaceTest, ContextMenuModes)
{
    auto site = ComPtr<FakeSite>(new FakeSite(true));
    auto handler = NewHandler();
    handler->SetPreviousClientSite(site.Get());
    struct Case
    {
        uint32_t mode, menuId;
        HRESULT expected;
    } cases[] = {
        {0, 0, kScripted}, {1, 0, S_OK},         {1, CONTEXT_MENU_TEXTSELECT, S_OK}, {2, 0, S_OK},
        {2, CONTEXT_MENU_TEXTSELECT, kScripted}, {3, 1, kScripted},                 {4, 1, kScripted},
    };
    for (const Case& c : cases)
    {
        handler->SetContextMenuMode(c.mode);
        EXPECT_EQ(c.expected, handler->ShowContextMenu(c.menuId, nullptr, nullptr, nullptr)) << c.mode;
    }
    handler->SetContextMenuMode(1);
    handler->SetContextMenuMode(5);
    EXPECT_EQ(1u, handler->ContextMenuMode());
    handler->SetContextMenuMode(0);
    handler->SetPreviousClientSite(nullptr);
    EXPECT_EQ(S_FALSE, handler->ShowContextMenu(0, nullptr, nullptr, nullptr));
}

TEST(WebCtrlInterfaceTest, HostInfoAddsFlagsAndNeverForwards)
{
    auto site = ComPtr<FakeSite>(new FakeSite(true));
    auto handler = NewHandler();
    handler->SetPreviousClientSite(site.Get());
    handler->m_bDialog = true;
    handler->m_bNo3DBorder = true;
    DocHostUIInfo info{0, 0x100, 7};
    ASSERT_EQ(S_OK, handler->GetHostInfo(&info));
    EXPECT_EQ(20u, info.cbSize);
    EXPECT_EQ(0x100u | DOCHOSTUIFLAG_DIALOG | DOCHOSTUIFLAG_NO3DBORDER, info.dwFlags);
    EXPECT_EQ(0u, info.dwDoubleClick);
    EXPECT_EQ(0, site->calls);
    EXPECT_EQ(E_INVALIDARG, handler->GetHostInfo(nullptr));
}

TEST(WebCtrlInterfaceTest, DropTargetSFalseFromThePreviousHandlerFails)
{
    auto site = ComPtr<FakeSite>(new FakeSite(true));
    site->dropTargetAnswer = S_FALSE;
    auto handler = NewHandler();
    handler->SetPreviousClientSite(site.Get());
    IUnknown* out = nullptr;
    EXPECT_EQ(E_FAIL, handler->GetDropTarget(nullptr, &out));
}

TEST(WebCtrlInterfaceTest, SitesAreReleasedOnReplacementAndAtTheEnd)
{
    auto first = ComPtr<FakeSite>(new FakeSite(true));
    auto second = ComPtr<FakeSite>(new FakeSite(false));
    auto* handler = new CWebCtrlInterFace();
    handler->AddRef();
    handler->SetPreviousClientSite(first.Get());
    handler->SetPreviousClientSite(first.Get()); // the same site again
    EXPECT_EQ(3, first->Count());                // ours, the handler's site and handler references
    handler->SetPreviousClientSite(second.Get()); // releases the first pair
    EXPECT_EQ(1, first->Count());
    EXPECT_EQ(2, second->Count()); // a site without a handler
    void* out = nullptr;
    EXPECT_EQ(S_OK, handler->QueryInterface(IDocHostUIHandler::kIid, &out));
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(E_INVALIDARG, handler->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(0u, handler->Release());
    EXPECT_EQ(0, LiveCounter<CWebCtrlInterFace>::Live());
    EXPECT_EQ(1, second->Count());
    first.Reset();
    second.Reset();
    EXPECT_EQ(0, LiveCounter<FakeSite>::Live());
}

} // namespace
