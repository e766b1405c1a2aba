#include "app/LogToFrame.h"

#include "app/MainFrame.h"
#include "lumo/diagnostics/SystemLog.h"

#include <mutex>
#include <utility>
#include <vector>

namespace LumoPatch {

namespace {

std::mutex g_lock;  // orders posting against registration, so early lines stay first
std::vector<std::pair<int, std::wstring>> g_early;

}  // namespace

void PostLogLine(MainFrame& frame, int level, const std::wstring& text)
{
    auto* event = new wxThreadEvent(wxEVT_THREAD, kEventLogMessage);
    event->SetString(text);  // wxThreadEvent copies the string deeply for the other thread
    event->SetInt(level);
    wxQueueEvent(&frame, event);
}

void LogToFrame(int level, const std::wstring& text)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (MainFrame* frame = g_mainFrame.load()) {
        PostLogLine(*frame, level, text);
        return;
    }
    SystemLogPrintfW(L"%s", text.c_str());
    if (g_early.size() < kEarlyLogLines)
        g_early.emplace_back(level, text);
}

void RegisterLogFrame(MainFrame* frame)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_mainFrame = frame;
    if (!frame)
        return;
    for (const auto& [level, text] : g_early)
        PostLogLine(*frame, level, text);
    g_early.clear();
}

}  // namespace LumoPatch
