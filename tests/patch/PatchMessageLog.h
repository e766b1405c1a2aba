#pragma once
// Collects what the patch engine reports through its callbacks, for the tests of the stages and
// the driver. One instance at a time: it installs the callbacks when made and clears them when
// it goes.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "patch/PatchCallbacks.h"

class PatchMessageLog
{
public:
    PatchMessageLog()
    {
        s_current = this;
        SetPatchCallbacks(&OnTotal, &OnKeepGoing, &OnMessage);
    }
    ~PatchMessageLog()
    {
        SetPatchCallbacks(nullptr, nullptr, nullptr);
        s_current = nullptr;
    }
    PatchMessageLog(const PatchMessageLog&) = delete;
    PatchMessageLog& operator=(const PatchMessageLog&) = delete;

    std::vector<std::pair<int, std::wstring>> messages;
    std::vector<int> totals;
    int keepGoingCalls = 0;
    int stopAtCall = -1; // the keep-going call (counted from 0) that answers false, -1 never
    // Called with the call's number at every keep-going call, before it answers: a test's hook
    // into a point of the run (another program acting on the installation just then).
    std::function<void(int call)> onKeepGoing;

    bool Has(int level, const std::wstring& text) const
    {
        for (const auto& message : messages)
            if (message.first == level && message.second == text)
                return true;
        return false;
    }
    bool HasAtLevel(int level) const
    {
        for (const auto& message : messages)
            if (message.first == level)
                return true;
        return false;
    }
    std::string Dump() const
    {
        std::string text;
        for (const auto& [level, line] : messages)
            text += std::to_string(level) + "\t" + std::string(line.begin(), line.end()) + "\n";
        return text;
    }

private:
    static void OnTotal(int total) { s_current->totals.push_back(total); }
    static bool OnKeepGoing()
    {
        if (s_current->onKeepGoing)
            s_current->onKeepGoing(s_current->keepGoingCalls);
        return s_current->keepGoingCalls++ != s_current->stopAtCall;
    }
    static void OnMessage(int level, const std::wstring& text) { s_current->messages.emplace_back(level, text); }

    static inline PatchMessageLog* s_current = nullptr;
};
