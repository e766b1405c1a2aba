#pragma once
// The patch engine does not know the window it reports to. The application hands it three plain
// function pointers once at start-up (SetPatchCallbacks): one told how many list records a patch
// will process, one asked before every record whether to keep going (the cancel check), and one
// that receives every user-visible line with its level. Any of them may be null.
//
// The pointers are set on the GUI thread before any engine thread exists and only read
// afterwards; they are atomics all the same, so that a test that sets them again never races a
// reader. The message callback is called from worker threads: the application's implementation
// must be callable from any thread.

#include <atomic>
#include <string>

// Message levels, the int passed to the message callback.
enum PatchMessageLevel : int
{
    PATCH_LEVEL_DETAIL = 0,  // nothing in the engine uses it
    PATCH_LEVEL_STATUS = 1,  // progress lines, and the "Failed adding" / "Failed patch command" lines
    PATCH_LEVEL_WARNING = 2, // a file already removed or already patched
    PATCH_LEVEL_ERROR = 3,   // every failure that makes a stage or operation fail
};

typedef void (*PatchSetTotalFunc)(int total);
typedef bool (*PatchKeepGoingFunc)();
typedef void (*PatchMessageFunc)(int level, const std::wstring& text);

// The three process-wide pointers, null until set.
extern std::atomic<PatchSetTotalFunc> PatchSetTotalCallback;
extern std::atomic<PatchKeepGoingFunc> PatchKeepGoingCallback;
extern std::atomic<PatchMessageFunc> PatchMessageCallback;

// Stores the three pointers (any may be null), replacing all three; always true.
bool SetPatchCallbacks(PatchSetTotalFunc setTotal, PatchKeepGoingFunc keepGoing, PatchMessageFunc message);

// The engine's ways of calling them, each handling the null case as the engine must:
// no set-total callback: skipped; no keep-going callback: keep going; no message callback: the
// message is dropped. A message is always one whole line, composed before the call.
void PatchSetTotal(int total);
bool PatchKeepGoing();
void PatchSendMessage(int level, const std::wstring& text);
