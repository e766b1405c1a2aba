#include "webview/BrowserSetup.h"

#include <thread>

#include "webview/WebCtrlInterface.h"

using namespace LumoCom;

bool WaitForReadyState(IWebBrowser2* browser, const ReadyStateWait& wait)
{
    std::chrono::milliseconds waited{0};
    for (;;)
    {
        int32_t state = READYSTATE_UNINITIALIZED;
        if (Succeeded(browser->get_ReadyState(&state)) && state == int32_t(READYSTATE_COMPLETE))
            return true;
        if (waited >= wait.limit)
            return false;
        if (wait.sleep)
            wait.sleep(wait.step);
        else
            std::this_thread::sleep_for(wait.step);
        waited += wait.step;
    }
}

ComPtr<CWebCtrlInterFace> SetupBrowserOn(IUnknown* control, ComPtr<IWebBrowser2>& browser,
                                         const ReadyStateWait& wait)
{
    browser = QueryAs<IWebBrowser2>(control);
    if (!browser)
        return {};
    WaitForReadyState(browser.Get(), wait);

    browser->put_MenuBar(VARIANT_FALSE);
    browser->put_AddressBar(VARIANT_FALSE);
    browser->put_StatusBar(VARIANT_FALSE);
    browser->put_ToolBar(VARIANT_FALSE);
    browser->put_RegisterAsBrowser(VARIANT_FALSE);
    browser->put_RegisterAsDropTarget(VARIANT_FALSE);
    browser->Navigate(L"about:blank", nullptr, nullptr, nullptr, nullptr);

    auto handler = ComPtr<CWebCtrlInterFace>(new CWebCtrlInterFace());
    if (auto object = browser.As<IOleObject>())
    {
        ComPtr<IOleClientSite> oldSite;
        if (object->GetClientSite(oldSite.Put()) == S_OK && oldSite)
            handler->SetPreviousClientSite(oldSite.Get());
        object->SetClientSite(handler.Get());
    }
    handler->SetContextMenuMode(CWebCtrlInterFace::kMenuNone);
    return handler;
}

void LoadUrlOn(IWebBrowser2* browser, const std::wstring& url, const std::wstring& target)
{
    if (!browser)
        return;
    browser->put_Offline(VARIANT_FALSE);
    Variant flags = Variant::Short(kPageNavigationFlags);
    Variant frame = target.empty() ? Variant() : Variant::String(target);
    Variant empty;
    browser->Navigate(url, &flags, &frame, &empty, &empty);
}

void HideScrollbarsOn(IWebBrowser2* browser, bool hide)
{
    if (!browser)
        return;
    ComPtr<IDispatch> document;
    if (Failed(browser->get_Document(document.Put())) || !document)
        return;
    auto html = document.As<IHTMLDocument2>();
    ComPtr<IHTMLElement> body;
    if (!html || Failed(html->get_body(body.Put())) || !body)
        return;
    if (auto bodyElement = body.As<IHTMLBodyElement>())
        bodyElement->put_scroll(hide ? L"no" : L"yes");
}
