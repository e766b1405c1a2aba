#include "webview/LoadTracker.h"

namespace
{
const std::wstring kBlank = L"about:blank";
}

void LoadTracker::OnNavigateRequested(const std::wstring& url)
{
    m_target = url;
    m_failed = false;
}

void LoadTracker::OnNavigating(bool allowed)
{
    if (allowed)
        m_failed = false;
}

void LoadTracker::OnError(bool userCancelled)
{
    if (!userCancelled)
        m_failed = true;
}

bool LoadTracker::OnLoaded(const std::wstring& url) const
{
    return !m_failed && !(url == kBlank && m_target != kBlank);
}
