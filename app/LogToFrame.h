// The patch engine's message callback as the application installs it: a line and its level
// (0 detail, 1 status, 2 a child's error output, 3 error) from any thread, queued to the main
// frame's log view. Lines logged while no frame exists (during start-up, before the window) are
// kept, up to a bound, and shown once the frame registers; they also go to the system log at once.
#pragma once

#include <string>

namespace LumoPatch {

class MainFrame;

void LogToFrame(int level, const std::wstring& text);

// Queues one line to frame's log view (the event with id 3); any thread.
void PostLogLine(MainFrame& frame, int level, const std::wstring& text);

// The frame becomes g_mainFrame (frame) or stops being it (null); lines kept so far are queued
// to a registered frame in their order.
void RegisterLogFrame(MainFrame* frame);

// How many lines are kept while no frame exists; later ones reach only the system log.
constexpr size_t kEarlyLogLines = 64;

}  // namespace LumoPatch
