// The shared recording host, with what whole-run tests also need: a hook on every line as it
// arrives (to cancel at a chosen moment) and the whole log as text for failure messages.
#pragma once

#include <functional>
#include <string>

#include "tests/fixtures/RecordingHost.h"

namespace apprun {

class ObservedHost : public fixtures::RecordingHost
{
public:
    void Log(int level, const std::wstring& text) override
    {
        fixtures::RecordingHost::Log(level, text);
        if (onLine)
            onLine(level, text);
    }

    bool Has(const std::wstring& text, int level = -1) const
    {
        for (const std::wstring& line : Texts(level))
            if (line.find(text) != std::wstring::npos)
                return true;
        return false;
    }

    size_t Count(const std::wstring& text) const
    {
        size_t count = 0;
        for (const std::wstring& line : Texts())
            count += line.find(text) != std::wstring::npos;
        return count;
    }

    std::wstring Dump() const
    {
        std::wstring all;
        for (const Line& line : Lines())
            all += std::to_wstring(line.level) + L"\t" + line.text + L"\n";
        return all;
    }

    // Called for every line as it arrives, on the thread that logs it; set before the run starts.
    std::function<void(int level, const std::wstring& text)> onLine;
};

}  // namespace apprun
