#include "webview/WebKitNative.h"

#include <dlfcn.h>
#include <strings.h>

#include <string_view>

namespace webkit
{
namespace
{

// The few C types of GLib that cross the calls below, as their ABI has them.
using gboolean = int;
using GCallback = void (*)();

// WebKitGTK's enumerations, as its API documents them.
constexpr int kPolicyResponse = 2;      // WEBKIT_POLICY_DECISION_TYPE_RESPONSE
constexpr int kCacheDocumentViewer = 0; // WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER: no cache at all

// Where a view keeps its restrictions (a GObject data key).
const char kRestrictionsKey[] = "lumo-navigation-restrictions";

struct Api
{
    // GLib and GObject
    unsigned long (*signalConnect)(void* instance, const char* signal, GCallback handler, void* data,
                                   void* destroy, int flags);
    void* (*objectGetData)(void* object, const char* key);
    void (*objectSetData)(void* object, const char* key, void* data);
    // GTK
    void (*dragDestUnset)(void* widget);
    void* (*dragDestGetTargetList)(void* widget);
    // WebKitGTK
    void* (*webViewGetSettings)(void* view);
    void* (*webViewGetContext)(void* view);
    void (*runJavascript)(void* view, const char* script, void* cancellable, void* callback, void* data);
    gboolean (*isLoading)(void* view);
    void (*setEnableJavascriptMarkup)(void* settings, gboolean enabled);
    int (*getCacheModel)(void* context);
    void (*setCacheModel)(void* context, int model);
    void (*policyDecisionIgnore)(void* decision);
    gboolean (*responseMimeTypeSupported)(void* decision);
    void* (*responseDecisionGetResponse)(void* decision);
    void* (*responseGetHeaders)(void* response);
    const char* (*headersGetOne)(void* headers, const char* name);
    void* (*downloadGetWebView)(void* download);
    void (*downloadCancel)(void* download);
};

template <class F>
bool Find(F& function, const char* name)
{
    function = reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
    return function != nullptr;
}

const Api* LoadApi()
{
    static Api api;
    static const bool found = Find(api.signalConnect, "g_signal_connect_data") &&
                              Find(api.objectGetData, "g_object_get_data") &&
                              Find(api.objectSetData, "g_object_set_data") &&
                              Find(api.dragDestUnset, "gtk_drag_dest_unset") &&
                              Find(api.dragDestGetTargetList, "gtk_drag_dest_get_target_list") &&
                              Find(api.webViewGetSettings, "webkit_web_view_get_settings") &&
                              Find(api.webViewGetContext, "webkit_web_view_get_context") &&
                              Find(api.runJavascript, "webkit_web_view_run_javascript") &&
                              Find(api.isLoading, "webkit_web_view_is_loading") &&
                              Find(api.setEnableJavascriptMarkup, "webkit_settings_set_enable_javascript_markup") &&
                              Find(api.getCacheModel, "webkit_web_context_get_cache_model") &&
                              Find(api.setCacheModel, "webkit_web_context_set_cache_model") &&
                              Find(api.policyDecisionIgnore, "webkit_policy_decision_ignore") &&
                              Find(api.responseMimeTypeSupported,
                                   "webkit_response_policy_decision_is_mime_type_supported") &&
                              Find(api.responseDecisionGetResponse, "webkit_response_policy_decision_get_response") &&
                              Find(api.responseGetHeaders, "webkit_uri_response_get_http_headers") &&
                              Find(api.headersGetOne, "soup_message_headers_get_one") &&
                              Find(api.downloadGetWebView, "webkit_download_get_web_view") &&
                              Find(api.downloadCancel, "webkit_download_cancel");
    return found ? &api : nullptr;
}

// Restrictions travel as bits of one pointer-sized GObject datum.
constexpr uintptr_t kPageScript = 1, kDownloads = 2, kCache = 4;

uintptr_t Bits(const Api& api, void* view)
{
    return reinterpret_cast<uintptr_t>(api.objectGetData(view, kRestrictionsKey));
}

// True when the response names itself an attachment, which WebKit downloads rather than shows.
bool IsAttachment(const Api& api, void* decision)
{
    void* response = api.responseDecisionGetResponse(decision);
    void* headers = response ? api.responseGetHeaders(response) : nullptr;
    const char* disposition = headers ? api.headersGetOne(headers, "Content-Disposition") : nullptr;
    if (!disposition)
        return false;
    std::string_view type(disposition);
    type = type.substr(0, type.find(';'));
    const auto first = type.find_first_not_of(" \t");
    const auto last = type.find_last_not_of(" \t");
    if (first == std::string_view::npos)
        return false;
    type = type.substr(first, last - first + 1);
    return type.size() == 10 && strncasecmp(type.data(), "attachment", 10) == 0;
}

// A response that would become a download (an attachment, or a type WebKit cannot show) is
// refused on a view that may not download. Runs after the toolkit's own handler, which leaves
// responses alone, and before WebKit's, which would start the download.
gboolean OnDecidePolicy(void* view, void* decision, int type, void*)
{
    const Api& api = *LoadApi();
    if (type != kPolicyResponse || !(Bits(api, view) & kDownloads))
        return 0;
    if (api.responseMimeTypeSupported(decision) && !IsAttachment(api, decision))
        return 0;
    api.policyDecisionIgnore(decision);
    return 1;
}

// Downloads that start without a response decision (a link with the download attribute, or a
// download asked for by the toolkit) are cancelled at once.
void OnDownloadStarted(void*, void* download, void*)
{
    const Api& api = *LoadApi();
    if (void* view = api.downloadGetWebView(download); view && (Bits(api, view) & kDownloads))
        api.downloadCancel(download);
}

// Connects what watches a view, once per view; its context once.
void Watch(const Api& api, void* view)
{
    const char watchedKey[] = "lumo-watched";
    if (api.objectGetData(view, watchedKey))
        return;
    api.objectSetData(view, watchedKey, reinterpret_cast<void*>(uintptr_t(1)));
    api.signalConnect(view, "decide-policy", reinterpret_cast<GCallback>(OnDecidePolicy), nullptr, nullptr, 0);
    void* context = api.webViewGetContext(view);
    const char contextKey[] = "lumo-watched-downloads";
    if (context && !api.objectGetData(context, contextKey))
    {
        api.objectSetData(context, contextKey, reinterpret_cast<void*>(uintptr_t(1)));
        api.signalConnect(context, "download-started", reinterpret_cast<GCallback>(OnDownloadStarted), nullptr,
                          nullptr, 0);
    }
}

} // namespace

bool Restrict(void* view, const Restrictions& restrictions)
{
    const Api* api = LoadApi();
    if (!api || !view)
        return false;
    Watch(*api, view);
    const uintptr_t bits = (restrictions.pageScript ? kPageScript : 0) | (restrictions.downloads ? kDownloads : 0) |
                           (restrictions.cache ? kCache : 0);
    api->objectSetData(view, kRestrictionsKey, reinterpret_cast<void*>(bits));

    // Without script markup the parser drops script elements and handler attributes, so nothing
    // of the page runs; script that we run through WebKit's call still does.
    if (void* settings = api->webViewGetSettings(view))
        api->setEnableJavascriptMarkup(settings, restrictions.pageScript ? 0 : 1);
    else
        return false;

    // The cache model belongs to the view's context: the model it had before is restored when a
    // navigation allows caching again.
    void* context = api->webViewGetContext(view);
    if (!context)
        return false;
    static int modelBefore = -1;
    const int model = api->getCacheModel(context);
    if (restrictions.cache && model != kCacheDocumentViewer)
    {
        modelBefore = model;
        api->setCacheModel(context, kCacheDocumentViewer);
    }
    else if (!restrictions.cache && model == kCacheDocumentViewer && modelBefore >= 0)
        api->setCacheModel(context, modelBefore);
    return true;
}

Restrictions CurrentRestrictions(void* view)
{
    const Api* api = LoadApi();
    if (!api || !view)
        return {};
    const uintptr_t bits = Bits(*api, view);
    return {(bits & kPageScript) != 0, (bits & kDownloads) != 0, (bits & kCache) != 0};
}

bool RunScript(void* view, const char* script)
{
    const Api* api = LoadApi();
    if (!api || !view)
        return false;
    api->runJavascript(view, script, nullptr, nullptr, nullptr);
    return true;
}

bool IsLoading(void* view)
{
    const Api* api = LoadApi();
    return api && view && api->isLoading(view);
}

bool RefuseDrops(void* view)
{
    const Api* api = LoadApi();
    if (!api || !view)
        return false;
    api->dragDestUnset(view);
    return true;
}

bool AcceptsDrops(void* view)
{
    const Api* api = LoadApi();
    return api && view && api->dragDestGetTargetList(view) != nullptr;
}

} // namespace webkit
