#include "webview/BrowserSetup.h"

#include <gtest/gtest.h>

#include "webview/LoadTracker.h"
#include "webview/WebCtrlInterface.h"

using namespace LumoCom;

namespace
{

// A browser that records its calls; its document and body exist as the test says.
class FakeWebBrowser2 final : public NoAutomation<IWebBrowser2>,
                              public IOleObject,
                              public NoAutomation<IHTMLDocument2>,
                              public NoAutomation<IHTMLBodyElement>,
                              public NoAutomation<IHTMLElement>,
                              public LiveCounter<FakeWebBrowser2>
{
public:
    HRESULT QueryInterface(const Guid& iid, void** out) override
    {
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IWebBrowser2::kIid)
            return Answer(static_cast<IWebBrowser2*>(this), out);
        if (iid == IOleObject::kIid && withOleObject)
            return Answer(static_cast<IOleObject*>(this), out);
        if (iid == IHTMLDocument2::kIid)
            return Answer(static_cast<IHTMLDocument2*>(this), out);
        if (iid == IHTMLElement::kIid)
            return Answer(static_cast<IHTMLElement*>(this), out);
        if (iid == IHTMLBodyElement::kIid)
            return Answer(static_cast<IHTMLBodyElement*>(this), out);
        return E_NOINTERFACE;
    }
    LUMOCOM_REFCOUNTED

    HRESULT Log(std::string call)
    {
        calls.push_back(std::move(call));
        return S_OK;
    }
    HRESULT get_ReadyState(int32_t* state) override
    {
        ++polls;
        *state = polls >= readyAfter ? int32_t(READYSTATE_COMPLETE) : 1;
        return S_OK;
    }
    HRESULT put_MenuBar(VariantBool v) override { return Log("MenuBar=" + std::to_string(v)); }
    HRESULT put_AddressBar(VariantBool v) override { return Log("AddressBar=" + std::to_string(v)); }
    HRESULT put_StatusBar(VariantBool v) override { return Log("StatusBar=" + std::to_string(v)); }
    HRESULT put_ToolBar(VariantBool v) override { return Log("ToolBar=" + std::to_string(v)); }
    HRESULT put_RegisterAsBrowser(VariantBool v) override { return Log("RegisterAsBrowser=" + std::to_string(v)); }
    HRESULT put_RegisterAsDropTarget(VariantBool v) override
    {
        return Log("RegisterAsDropTarget=" + std::to_string(v));
    }
    HRESULT put_Offline(VariantBool v) override { return Log("Offline=" + std::to_string(v)); }
    HRESULT Navigate(const std::wstring& url, const Variant* flags, const Variant* target, const Variant*,
                     const Variant*) override
    {
        std::string call = "Navigate " + std::string(url.begin(), url.end());
        if (flags)
            call += " flags=" + std::to_string(flags->vt) + ":" + std::to_string(flags->i2);
        if (target)
            call += " target=" + std::to_string(target->vt) + ":" + std::string(target->bstr.begin(), target->bstr.end());
        return Log(call);
    }
    HRESULT get_Document(IDispatch** document) override
    {
        *document = nullptr;
        if (!withDocument)
            return S_FALSE;
        *document = static_cast<IWebBrowser2*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT get_body(IHTMLElement** body) override
    {
        *body = nullptr;
        if (withBody)
        {
            *body = this;
            AddRef();
        }
        return S_OK;
    }
    HRESULT put_scroll(const std::wstring& value) override
    {
        return Log("scroll=" + std::string(value.begin(), value.end()));
    }

    // IOleObject: only the client-site pair is used.
    HRESULT SetClientSite(IOleClientSite* site) override
    {
        m_site = ComPtr<IOleClientSite>(site);
        return Log("SetClientSite");
    }
    HRESULT GetClientSite(IOleClientSite** site) override
    {
        *site = m_site.Get();
        if (*site)
            (*site)->AddRef();
        return *site ? S_OK : E_FAIL;
    }
    HRESULT SetHostNames(const wchar_t*, const wchar_t*) override { return S_OK; }
    HRESULT Close(uint32_t) override { return S_OK; }
    HRESULT DoVerb(int32_t, const Msg*, IOleClientSite*, int32_t, wxWindow*, const Rect*) override { return S_OK; }
    HRESULT GetExtent(uint32_t, SizeL*) override { return S_OK; }
    HRESULT SetExtent(uint32_t, const SizeL*) override { return S_OK; }
    HRESULT Advise(IAdviseSink*, uint32_t*) override { return S_OK; }
    HRESULT Unadvise(uint32_t) override { return S_OK; }
    HRESULT GetMiscStatus(uint32_t, uint32_t*) override { return S_OK; }

    std::vector<std::string> calls;
    int polls = 0;
    int readyAfter = 1;
    bool withOleObject = true;
    bool withDocument = false;
    bool withBody = false;
    ComPtr<IOleClientSite> m_site;
};

ComPtr<FakeWebBrowser2> NewBrowser()
{
    return ComPtr<FakeWebBrowser2>(new FakeWebBrowser2());
}

TEST(BrowserSetupTest, SetupSwitchesFurnitureOffAndInstallsTheHandlerOverTheOldSite)
{
    auto browser = NewBrowser();
    auto oldSite = ComPtr<CWebCtrlInterFace>(new CWebCtrlInterFace()); // any client site will do
    browser->SetClientSite(oldSite.Get());
    browser->calls.clear();
    ComPtr<IWebBrowser2> kept;
    auto handler = SetupBrowserOn(static_cast<IWebBrowser2*>(browser.Get()), kept);
    ASSERT_TRUE(handler);
    EXPECT_EQ((std::vector<std::string>{"MenuBar=0", "AddressBar=0", "StatusBar=0", "ToolBar=0", "RegisterAsBrowser=0",
                                        "RegisterAsDropTarget=0", "Navigate about:blank", "SetClientSite"}),
              browser->calls);
    EXPECT_EQ(static_cast<IOleClientSite*>(handler.Get()), browser->m_site.Get());
    EXPECT_EQ(1u, handler->ContextMenuMode());
    EXPECT_EQ(S_OK, handler->ShowObject());
    browser->m_site.Reset();
    handler.Reset();
    oldSite.Reset();
    EXPECT_EQ(0, LiveCounter<CWebCtrlInterFace>::Live()); // the old site was released once, not leaked
}

TEST(BrowserSetupTest, SetupWithoutABrowserInstallsNothing)
{
    auto handler = ComPtr<CWebCtrlInterFace>(new CWebCtrlInterFace());
    ComPtr<IWebBrowser2> kept;
    EXPECT_FALSE(SetupBrowserOn(static_cast<IOleClientSite*>(handler.Get()), kept));
    EXPECT_FALSE(kept);
}

TEST(BrowserSetupTest, ReadyStateWaitIsBounded)
{
    auto browser = NewBrowser();
    browser->readyAfter = 1000000;
    std::chrono::milliseconds slept{0};
    ReadyStateWait wait{std::chrono::milliseconds(5000), std::chrono::milliseconds(10),
                        [&](std::chrono::milliseconds step) { slept += step; }};
    EXPECT_FALSE(WaitForReadyState(browser.Get(), wait));
    EXPECT_EQ(5000, slept.count());
    EXPECT_EQ(501, browser->polls);

    browser->polls = 0;
    browser->readyAfter = 3;
    slept = {};
    EXPECT_TRUE(WaitForReadyState(browser.Get(), wait));
    EXPECT_EQ(20, slept.count());
}

TEST(BrowserSetupTest, LoadUrlGoesOnlineThenNavigatesWithThePageFlags)
{
    auto browser = NewBrowser();
    LoadUrlOn(browser.Get(), L"http://127.0.0.1/p.html", L"");
    LoadUrlOn(browser.Get(), L"http://127.0.0.1/p.html", L"side");
    EXPECT_EQ((std::vector<std::string>{"Offline=0", "Navigate http://127.0.0.1/p.html flags=2:654 target=0:",
                                        "Offline=0", "Navigate http://127.0.0.1/p.html flags=2:654 target=8:side"}),
              browser->calls);
}

TEST(BrowserSetupTest, ScrollbarsOnlyWhereADocumentBodyExists)
{
    auto browser = NewBrowser();
    HideScrollbarsOn(browser.Get(), true); // no document
    browser->withDocument = true;
    HideScrollbarsOn(browser.Get(), true); // a document without a body
    EXPECT_TRUE(browser->calls.empty());
    browser->withBody = true;
    HideScrollbarsOn(browser.Get(), true);
    HideScrollbarsOn(browser.Get(), false);
    HideScrollbarsOn(browser.Get(), true);
    EXPECT_EQ((std::vector<std::string>{"scroll=no", "scroll=yes", "scroll=no"}), browser->calls);
    HideScrollbarsOn(nullptr, true);
}

TEST(LoadTrackerTest, OnlyAnErrorFreeLoadOfTheAskedPageCompletes)
{
    // Each step: 'R' url = load requested, 'N' = allowed navigation, 'V' = vetoed one,
    // 'E' = error, 'C' = cancelled error, 'L' url = loaded (the expected answer follows).
    struct Step
    {
        char kind;
        const wchar_t* url = L"";
        bool complete = false;
    };
    struct Case
    {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"start-up with the stale blank page",
         {{'R', L"about:blank"}, {'R', L"http://p/"}, {'L', L"about:blank", false}, {'N'}, {'N'},
          {'L', L"http://p/", true}}},
        {"refused, then WebKit's error page", {{'R', L"http://p/"}, {'N'}, {'E'}, {'L', L"about:blank", false},
                                               {'L', L"http://p/", false}}},
        {"restricted port turned into blank", {{'R', L"http://p:9/"}, {'N'}, {'L', L"about:blank", false}}},
        {"an HTTP error page still counts", {{'R', L"http://p/404"}, {'N'}, {'L', L"http://p/404", true}}},
        {"vetoed link keeps the failure", {{'R', L"http://p/"}, {'E'}, {'V'}, {'L', L"http://p/", false}}},
        {"link after a failed load", {{'R', L"http://p/"}, {'E'}, {'N'}, {'L', L"http://p/other", true}}},
        {"cancelled error, then the page", {{'R', L"http://p/"}, {'N'}, {'C'}, {'L', L"http://p/", true}}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        LoadTracker tracker;
        for (const Step& step : c.steps)
        {
            switch (step.kind)
            {
            case 'R': tracker.OnNavigateRequested(step.url); break;
            case 'N': tracker.OnNavigating(true); break;
            case 'V': tracker.OnNavigating(false); break;
            case 'E': tracker.OnError(false); break;
            case 'C': tracker.OnError(true); break;
            case 'L': EXPECT_EQ(step.complete, tracker.OnLoaded(step.url)) << std::string(step.url, step.url + 3); break;
            }
        }
    }
}

TEST(LoadTrackerTest, NeverCompleteAfterAnErrorUntilANewAllowedNavigation)
{
    uint32_t seed = 12345;
    auto next = [&] { return (seed = seed * 1103515245 + 12345) >> 16; };
    LoadTracker tracker;
    bool failed = false;
    for (int i = 0; i < 20000; ++i)
    {
        switch (next() % 5)
        {
        case 0: tracker.OnNavigateRequested(L"http://p/"), failed = false; break;
        case 1: tracker.OnNavigating(true), failed = false; break;
        case 2: tracker.OnNavigating(false); break;
        case 3: tracker.OnError(false), failed = true; break;
        case 4:
            if (failed)
            {
                ASSERT_FALSE(tracker.OnLoaded(next() % 2 ? L"http://p/" : L"about:blank")) << i;
            }
            break;
        }
    }
}

} // namespace
