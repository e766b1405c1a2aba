// A RunHost that remembers everything a run told it, from any thread, and can cancel the run when
// a chosen line appears.
#pragma once

#include "app/core/RunHost.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace apprun {

struct HostLine
{
    int level;
    std::wstring text;
};

class RecordingHost : public LumoPatch::RunHost
{
public:
    void Log(int level, const std::wstring& text) override
    {
        std::function<void(const HostLine&)> hook;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_lines.push_back({level, text});
            m_events.push_back(L"log");
            hook = onLine;
        }
        if (hook)
            hook({level, text});
    }
    void ClearLog() override { Record(L"clear"); }
    void SetGauge(int range, int value) override
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_gauge = {range, value};
    }
    void EnableApply() override { Record(L"enable"); }
    void SetPathText(const std::wstring& path) override { Record(L"path " + path); }
    void SetProgressDone(bool done) override { Record(done ? L"done 1" : L"done 0"); }
    void ShowMessage(const std::wstring& text, const std::wstring& caption) override
    {
        Record(L"box " + caption + L": " + text);
    }
    void PatchInstalled() override { Record(L"installed"); }
    void Finished() override { Record(L"finished"); }
    bool KeepGoing() override { return !cancelled; }

    std::vector<HostLine> Lines()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_lines;
    }
    // Every event but log lines, in order ("box caption: text", "installed", "enable", ...).
    std::vector<std::wstring> Events()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        std::vector<std::wstring> events;
        for (const std::wstring& event : m_events)
            if (event != L"log")
                events.push_back(event);
        return events;
    }
    size_t Count(const std::wstring& event)
    {
        size_t n = 0;
        for (const std::wstring& e : Events())
            n += e == event;
        return n;
    }
    std::pair<int, int> Gauge()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_gauge;
    }
    // The lines of one level, or all with -1, each "<level> <text>".
    std::vector<std::wstring> Texts(int level = -1)
    {
        std::vector<std::wstring> texts;
        for (const HostLine& line : Lines())
            if (level < 0 || line.level == level)
                texts.push_back(line.text);
        return texts;
    }
    bool Has(const std::wstring& text, int level = -1)
    {
        for (const HostLine& line : Lines())
            if ((level < 0 || line.level == level) && line.text.find(text) != std::wstring::npos)
                return true;
        return false;
    }
    std::wstring Dump()
    {
        std::wstring all;
        for (const HostLine& line : Lines())
            all += std::to_wstring(line.level) + L"\t" + line.text + L"\n";
        for (const std::wstring& event : Events())
            all += L"event\t" + event + L"\n";
        return all;
    }

    // Forgets everything, for the next run.
    void Reset()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_lines.clear();
        m_events.clear();
        m_gauge = {0, 0};
        cancelled = false;
        onLine = nullptr;
    }

    std::atomic<bool> cancelled{false};
    // Called (outside the lock) for every line as it arrives; set before the run starts.
    std::function<void(const HostLine&)> onLine;

private:
    void Record(const std::wstring& event)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_events.push_back(event);
    }

    std::mutex m_lock;
    std::vector<HostLine> m_lines;
    std::vector<std::wstring> m_events;
    std::pair<int, int> m_gauge{0, 0};
};

}  // namespace apprun
