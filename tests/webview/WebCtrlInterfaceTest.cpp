#include "webview/WebCtrlInterface.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/webview/WebViewFakes.h"

using namespace LumoCom;
using namespace fakes;

namespace
{

constexpr HRESULT kScripted = 0x1234;

ComPtr<FakeObject> NewSite(bool withHandler)
{
    auto site = withHandler ? MakeFake<IOleClientSite, IDocHostUIHandler>() : MakeFake<IOleClientSite>();
    site->result = kScripted;
    CallLog().clear();
    return site;
}

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
        {"ShowObject", S_OK, [](auto& h, void**) { return h.ShowObject(); }},
        {"ShowUI", S_FALSE, [](auto& h, void**) { return h.ShowUI(0, nullptr, nullptr, nullptr, nullptr); }},
        {"HideUI", E_NOTIMPL, [](auto& h, void**) { return h.HideUI(); }},
        {"GetDropTarget", E_NOTIMPL, [](auto& h, void** o) { return h.GetDropTarget(nullptr, (IUnknown**)o); }},
        {"TranslateUrl", S_FALSE, [](auto& h, void** o) { return h.TranslateUrl(0, L"u", (wchar_t**)o); }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        auto alone = NewHandler();
        void* out = junk;
        EXPECT_EQ(c.alone, c.call(*alone, &out));
        EXPECT_TRUE(out == nullptr || out == junk);
        EXPECT_EQ(c.alone, c.call(*alone, nullptr)); // null out-pointers are never written

        auto site = NewSite(true);
        auto forwarding = NewHandler();
        forwarding->SetPreviousClientSite(site.Get());
        EXPECT_EQ(kScripted, c.call(*forwarding, &out));
        EXPECT_EQ(1u, CallLog().size());
    }
    // The previous handler's "no drop target of mine" is a failure to the browser.
    auto site = NewSite(true);
    site->result = S_FALSE;
    auto handler = NewHandler();
    handler->SetPreviousClientSite(site.Get());
    IUnknown* out = nullptr;
    EXPECT_EQ(E_FAIL, handler->GetDropTarget(nullptr, &out));
}

TEST(WebCtrlInterfaceTest, ContextMenuModes)
{
    auto site = NewSite(true);
    auto handler = NewHandler();
    handler->SetPreviousClientSite(site.Get());
    struct Case { uint32_t mode, menuId; HRESULT expected; } cases[] = {
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
    auto site = NewSite(true);
    auto handler = NewHandler();
    handler->SetPreviousClientSite(site.Get());
    handler->m_bDialog = true;
    handler->m_bNo3DBorder = true;
    DocHostUIInfo info{0, 0x100, 7};
    ASSERT_EQ(S_OK, handler->GetHostInfo(&info));
    EXPECT_EQ(20u, info.cbSize);
    EXPECT_EQ(0x100u | DOCHOSTUIFLAG_DIALOG | DOCHOSTUIFLAG_NO3DBORDER, info.dwFlags);
    EXPECT_EQ(0u, info.dwDoubleClick);
    EXPECT_TRUE(CallLog().empty());
    EXPECT_EQ(E_INVALIDARG, handler->GetHostInfo(nullptr));
}

TEST(WebCtrlInterfaceTest, SitesAreReleasedOnReplacementAndAtTheEnd)
{
    auto first = NewSite(true);
    auto second = NewSite(false);
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
    EXPECT_EQ(0, LiveCounter<FakeObject>::Live());
}

} // namespace
