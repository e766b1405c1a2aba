#pragma once
// The internet client's process-wide session and its HTTP operations, over the internet layer
// (platform/Internet.h). Every HTTP request opens its own connection and closes it before it
// returns. Failures are LUMORESULT codes plus one diagnostic line on standard output:
//
//   "InternetConnect returned <err> for url <url>"      the server could not be reached
//   "HttpOpenRequest returned <err> for url <url>"      the address was refused
//   "HttpSendRequest returned <err>"                    no usable response (TLS, dropped)
//   "HTTP status <status> for url <url>"                the server answered 400 or more
//   "HttpQueryInfo returned <err>"                      no body length was announced (-1)
//   "InternetReadFile returned <err> with actualByteCount=<count>"   the body broke off
//   "WriteData returned <code>"                          the destination refused a block
//
// <err> is the internet layer's error number (libcurl's) followed by its meaning in parentheses,
// "HttpSendRequest returned 47 (Maximum (10) redirects followed)"; <code> a LUMORESULT followed by
// its name, or by the system's reason when the destination is a file the system refused ("WriteData
// returned 2 (No space left on device)"); <count> the body bytes received; a password inside <url>
// is shown as "***". An error status is a failure: its page is never delivered as the download.
// A destination that refused a block for want of space (ENOSPC, EDQUOT) gives
// LUMORESULT_OUT_OF_SPACE, whatever code the destination returned.

#include <cstdint>
#include <functional>
#include <string>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"
#include "lumo/net/DownloadURLCallback.h"
#include "platform/Internet.h"

namespace platform
{
class InternetRequest;
struct InternetOutcome;
}

// The session: the settings every request of the process shares (the agent name "Lumo").
struct InternetSession
{
    std::string agent;
};

// Null until first use; closed at process exit.
extern InternetSession* g_internetSession;

// The session, created on first use (thread-safe); null when the internet layer cannot start.
InternetSession* GetInternetSession();
// Does nothing: the session lives until the process exits.
void ReleaseInternetSession(InternetSession* session);
// Closes the session (run from the exit list).
void CloseInternetSession();

namespace LumoInetInternal
{
// Writes the session's failure line; used when the layer cannot start.
InternetSession* CreateInternetSession();
// Writes one diagnostic line (printf format, newline added) to standard error and flushes it.
void PrintLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A failure said twice: forUser (what failed and why, naming no function and no code, newline
// added) as PrintLine writes it, and the line in the client's own terms (printf format: which call
// failed, its error number) on the debug channel (platform/DebugOutput.h) only.
void PrintFailure(const std::string& forUser, const char* format, ...) __attribute__((format(printf, 2, 3)));
// "<where>: <what>", or what alone with its first letter made capital when where is "".
std::string Placed(const std::string& where, const std::string& what);
// A developer's line (printf format, newline added) on the debug channel only.
void PrintDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));
// " (<the failure's meaning>)" of a failed request's outcome, "" when the layer gave none.
std::string Meaning(const platform::InternetOutcome& outcome);
}

class InternetSessionHolder
{
public:
    InternetSessionHolder();
    ~InternetSessionHolder();
    InternetSessionHolder(const InternetSessionHolder&) = delete;
    InternetSessionHolder& operator=(const InternetSessionHolder&) = delete;

    // The body at url into destination from its current position. reload asks caches on the way for
    // a fresh copy. The callback (may be null) is asked before every block: LUMORESULT_ABORTED.
    LUMORESULT HttpGet(const std::string& url, LumoDataBuffer* destination, bool reload,
                       DownloadURLCallback* callback);
    // The announced length of the body at url; its body is never read. The callback (may be null)
    // is asked while the request waits: LUMORESULT_ABORTED.
    LUMORESULT HttpGetFileSize(const std::string& url, uint64_t& size, DownloadURLCallback* callback = nullptr);
    // POSTs the bytes of body from its position to its end as a multipart form with this boundary
    // (lumo/net/MultipartForm.h). The reply goes into response when one is given; without one it
    // is not kept and the result is 0 once the server has answered. Its failure lines carry no
    // url: "No connection to the server (<reason>)", "The address cannot be used (<reason>)", "No
    // usable answer came from the server (<reason>)", "HTTP status <status>".
    LUMORESULT HttpPostMultipart(const std::string& url, LumoDataBuffer& body, const std::string& boundary,
                                 LumoDataBuffer* response);

    InternetSession* GetSession() const { return m_session; }
    // The last request failed with an answer that another attempt cannot change.
    bool LastFailureIsFinal() const { return m_lastOutcome.IsFinal(); }

private:
    InternetSession* m_session;
    platform::InternetOutcome m_lastOutcome;
};

// Block adapters between the internet layer and a destination stream.
// Runs the prepared request, writing its body block by block into destination; asks the callback
// (may be null) before every block. The outcome tells the caller which stage failed.
// lines (may be empty) receives the server's header lines and replies. where names the transfer in
// the line of a body that broke off ("<where>: the server's answer was cut off after <n> bytes").
LUMORESULT InternetReadAll(platform::InternetRequest& request, LumoDataBuffer* destination,
                           DownloadURLCallback* callback, platform::InternetOutcome& outcome,
                           const std::function<void(const std::string&)>& lines = nullptr,
                           const std::string& where = std::string());
// Writes one received block; LUMORESULT_NETWORK_ERROR for a null block or destination (no line);
// LUMORESULT_OUT_OF_SPACE when the destination's disk is full. where names the transfer in the
// line of a write that failed ("<where>: the downloaded data cannot be written: <reason>").
LUMORESULT InternetReadChunk(const void* block, uint32_t length, LumoDataBuffer* destination,
                             const std::string& where = std::string());
