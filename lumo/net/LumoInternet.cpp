#include "lumo/net/LumoInternet.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "lumo/net/LumoURL.h"
#include "lumo/net/MultipartForm.h"
#include "lumo/text/StringUtil.h"
#include "platform/DebugOutput.h"
#include "platform/Internet.h"

InternetSession* g_internetSession = nullptr;

namespace
{
std::once_flag g_sessionOnce;

using platform::InternetFailure;
using LumoInetInternal::PrintLine;

} // namespace

namespace LumoInetInternal
{
void PrintLine(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    // Diagnostics, never a program's output.
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void PrintFailure(const std::string& forUser, const char* format, ...)
{
    if (platform::DebugOutputHasReader())
    {
        va_list args;
        va_start(args, format);
        platform::WriteDebugOutput(LumoUtil::FormatStringV(format, args) + "\n");
        va_end(args);
    }
    PrintLine("%s", forUser.c_str());
}

std::string Placed(const std::string& where, const std::string& what)
{
    if (!where.empty())
        return where + ": " + what;
    std::string line = what;
    if (!line.empty() && line[0] >= 'a' && line[0] <= 'z')
        line[0] = static_cast<char>(line[0] - 'a' + 'A');
    return line;
}

void PrintDebug(const char* format, ...)
{
    if (!platform::DebugOutputHasReader())
        return;
    va_list args;
    va_start(args, format);
    platform::WriteDebugOutput(LumoUtil::FormatStringV(format, args) + "\n");
    va_end(args);
}

std::string Meaning(const platform::InternetOutcome& outcome)
{
    return outcome.text.empty() ? std::string() : " (" + outcome.text + ")";
}

InternetSession* CreateInternetSession()
{
    if (!platform::InternetStartup())
    {
        PrintFailure("The internet layer cannot start: nothing can be downloaded",
                     "InternetOpen failed with error %d", 2 /* CURLE_FAILED_INIT */);
        return nullptr;
    }
    return new InternetSession{"Lumo"};
}
} // namespace LumoInetInternal

InternetSession* GetInternetSession()
{
    std::call_once(g_sessionOnce, [] {
        g_internetSession = LumoInetInternal::CreateInternetSession();
        if (g_internetSession)
            std::atexit(&CloseInternetSession);
    });
    return g_internetSession;
}

void ReleaseInternetSession(InternetSession*)
{
}

void CloseInternetSession()
{
    if (!g_internetSession)
        return;
    delete g_internetSession;
    g_internetSession = nullptr;
    platform::InternetShutdown();
}

LUMORESULT InternetReadChunk(const void* block, uint32_t length, LumoDataBuffer* destination, const std::string& where)
{
    if (!block || !destination)
        return LUMORESULT_NETWORK_ERROR;
    // A file destination leaves the system's reason in errno; a buffer in memory leaves none.
    errno = 0;
    const LUMORESULT result = destination->WriteData(block, length);
    const int reason = errno;
    if (result == LUMORESULT_OK)
        return result;
    LumoInetInternal::PrintFailure(
        LumoInetInternal::Placed(where, "the downloaded data cannot be written: " +
                                            (reason != 0 ? std::string(std::strerror(reason))
                                                         : LumoUtil::DescribeResult(result))),
        "WriteData returned %" PRIu32 " (%s)", result,
        reason != 0 ? std::strerror(reason) : LumoUtil::GetResultName(result).c_str());
    // A full disk is named as such: another attempt would only fill it again.
    return reason == ENOSPC || reason == EDQUOT ? LUMORESULT_OUT_OF_SPACE : result;
}

LUMORESULT InternetReadAll(platform::InternetRequest& request, LumoDataBuffer* destination,
                           DownloadURLCallback* callback, platform::InternetOutcome& outcome,
                           const std::function<void(const std::string&)>& lines, const std::string& where)
{
    LUMORESULT writeResult = LUMORESULT_OK;
    auto sink = [&](const char* data, size_t length) {
        writeResult = InternetReadChunk(data, static_cast<uint32_t>(length), destination, where);
        return writeResult == LUMORESULT_OK;
    };
    auto cancel = [callback] { return callback != nullptr && callback->IsCancelled(); };
    outcome = request.Perform(sink, lines, cancel);
    switch (outcome.failure)
    {
    case InternetFailure::None:
        return LUMORESULT_OK;
    case InternetFailure::Cancelled:
        return LUMORESULT_ABORTED;
    case InternetFailure::SinkRefused:
        return writeResult != LUMORESULT_OK ? writeResult : LUMORESULT_NETWORK_ERROR;
    default:
        break;
    }
    // A body that broke off is this reader's failure; the stages before it are the caller's to report.
    if (outcome.bodyBytes > 0 || outcome.failure == InternetFailure::Receive)
        LumoInetInternal::PrintFailure(LumoInetInternal::Placed(where, "the server's answer was cut off after " +
                                                                           std::to_string(outcome.bodyBytes) + " bytes") +
                                           LumoInetInternal::Meaning(outcome),
                                       "InternetReadFile returned %d%s with actualByteCount=%" PRIu64, outcome.code,
                                       LumoInetInternal::Meaning(outcome).c_str(), outcome.bodyBytes);
    return LUMORESULT_NETWORK_ERROR;
}

namespace
{

struct HttpTarget
{
    std::string requestUrl;
    std::string shownUrl;
    std::string user;
    std::string password;
};

// Parses url into target; LUMORESULT_NETWORK_ERROR after a good parse when there is no session.
LUMORESULT PrepareHttp(const std::string& url, const InternetSession* session, HttpTarget& target)
{
    std::string scheme, host, path;
    int port = 0;
    const LUMORESULT parsed = ParseURL(url, scheme, host, port, target.user, target.password, path);
    if (parsed != LUMORESULT_OK)
        return parsed;
    GetSchemeForPort(scheme, host, port);
    GetDefaultPort(scheme, port);
    target.requestUrl = LumoInetInternal::BuildRequestURL(scheme, host, port, path, false);
    target.shownUrl = LumoInetInternal::RedactURL(url);
    return session ? LUMORESULT_OK : LUMORESULT_NETWORK_ERROR;
}

void SetUpRequest(platform::InternetRequest& request, const InternetSession* session, const HttpTarget& target)
{
    request.SetUserAgent(session->agent);
    request.SetUrl(target.requestUrl);
    request.SetCredentials(target.user, target.password);
}

// The diagnostic of a request that failed before its body: which call of the request's road it
// stands for.
void ReportRequestFailure(const platform::InternetOutcome& outcome, const std::string& shownUrl)
{
    switch (outcome.failure)
    {
    case InternetFailure::Connect:
        LumoInetInternal::PrintFailure(shownUrl + ": no connection to the server" + LumoInetInternal::Meaning(outcome),
                                       "InternetConnect returned %d%s for url %s", outcome.code,
                                       LumoInetInternal::Meaning(outcome).c_str(), shownUrl.c_str());
        break;
    case InternetFailure::BadUrl:
        LumoInetInternal::PrintFailure(shownUrl + ": the address cannot be used" + LumoInetInternal::Meaning(outcome),
                                       "HttpOpenRequest returned %d%s for url %s", outcome.code,
                                       LumoInetInternal::Meaning(outcome).c_str(), shownUrl.c_str());
        break;
    case InternetFailure::HttpStatus:
        PrintLine("HTTP status %ld for url %s", outcome.status, shownUrl.c_str());
        break;
    default:
        LumoInetInternal::PrintFailure(shownUrl + ": no usable answer came from the server" +
                                           LumoInetInternal::Meaning(outcome),
                                       "HttpSendRequest returned %d%s for url %s", outcome.code,
                                       LumoInetInternal::Meaning(outcome).c_str(), shownUrl.c_str());
        break;
    }
}

bool IsReportedByReader(const platform::InternetOutcome& outcome)
{
    switch (outcome.failure)
    {
    case InternetFailure::None:
    case InternetFailure::Cancelled:
    case InternetFailure::SinkRefused:
        return true;
    case InternetFailure::Connect:
    case InternetFailure::BadUrl:
    case InternetFailure::HttpStatus:
        return false;
    default:
        return outcome.bodyBytes > 0 || outcome.failure == InternetFailure::Receive;
    }
}

} // namespace

InternetSessionHolder::InternetSessionHolder() : m_session(GetInternetSession())
{
}

InternetSessionHolder::~InternetSessionHolder()
{
    ReleaseInternetSession(m_session);
}

LUMORESULT InternetSessionHolder::HttpGet(const std::string& url, LumoDataBuffer* destination, bool reload,
                                          DownloadURLCallback* callback)
{
    HttpTarget target;
    const LUMORESULT prepared = PrepareHttp(url, m_session, target);
    if (prepared != LUMORESULT_OK)
        return prepared;
    platform::InternetRequest request;
    SetUpRequest(request, m_session, target);
    if (reload)
        request.SetNoCache();
    platform::InternetOutcome& outcome = m_lastOutcome;
    outcome = platform::InternetOutcome();
    const LUMORESULT result = InternetReadAll(request, destination, callback, outcome, nullptr, target.shownUrl);
    if (!IsReportedByReader(outcome))
        ReportRequestFailure(outcome, target.shownUrl);
    return result;
}

LUMORESULT InternetSessionHolder::HttpGetFileSize(const std::string& url, uint64_t& size, DownloadURLCallback* callback)
{
    size = 0;
    HttpTarget target;
    const LUMORESULT prepared = PrepareHttp(url, m_session, target);
    if (prepared != LUMORESULT_OK)
        return prepared;
    // A GET whose body is dropped at its first block: some servers refuse HEAD on what they serve.
    platform::InternetRequest request;
    SetUpRequest(request, m_session, target);
    request.SetStopAfterHeaders();
    const platform::InternetOutcome& outcome = m_lastOutcome =
        request.Perform(nullptr, nullptr, [callback] { return callback != nullptr && callback->IsCancelled(); });
    if (outcome.failure == InternetFailure::Cancelled)
        return LUMORESULT_ABORTED;
    if (!outcome.Ok())
    {
        ReportRequestFailure(outcome, target.shownUrl);
        return LUMORESULT_NETWORK_ERROR;
    }
    const int64_t length = request.ContentLength();
    if (length < 0)
    {
        LumoInetInternal::PrintFailure(target.shownUrl + ": the server did not say how long the file is",
                                       "HttpQueryInfo returned %d (no length was announced)", -1);
        return LUMORESULT_NETWORK_ERROR;
    }
    size = static_cast<uint64_t>(length);
    return LUMORESULT_OK;
}

LUMORESULT InternetSessionHolder::HttpPostMultipart(const std::string& url, LumoDataBuffer& body,
                                                    const std::string& boundary, LumoDataBuffer* response)
{
    HttpTarget target;
    const LUMORESULT prepared = PrepareHttp(url, m_session, target);
    if (prepared != LUMORESULT_OK)
        return prepared;
    const uint64_t size = body.GetSize(), position = body.GetPosition();
    const uint64_t length = size > position ? size - position : 0;
    if (length > 0xFFFFFFFFu)
        return LUMORESULT_OUT_OF_SPACE;
    std::string bytes;
    try
    {
        bytes.resize(static_cast<size_t>(length));
    }
    catch (const std::bad_alloc&)
    {
        return LUMORESULT_OUT_OF_SPACE;
    }
    const LUMORESULT read = body.ReadData(bytes.data(), static_cast<uint32_t>(length));
    if (read != LUMORESULT_OK)
        return read;
    platform::InternetRequest request;
    SetUpRequest(request, m_session, target);
    request.SetPost(bytes.data(), bytes.size(), MultipartContentType(boundary));
    platform::InternetOutcome outcome;
    LUMORESULT result = LUMORESULT_OK;
    if (response)
        result = InternetReadAll(request, response, nullptr, outcome);
    else
    {
        outcome = request.Perform([](const char*, size_t) { return true; }, nullptr, nullptr);
        result = outcome.Ok() ? LUMORESULT_OK : LUMORESULT_NETWORK_ERROR;
    }
    if (outcome.Ok() || (response && IsReportedByReader(outcome)))
        return result;
    switch (outcome.failure)
    {
    case InternetFailure::Connect:
        LumoInetInternal::PrintFailure("No connection to the server" + LumoInetInternal::Meaning(outcome),
                                       "InternetConnect returned %d%s", outcome.code,
                                       LumoInetInternal::Meaning(outcome).c_str());
        break;
    case InternetFailure::BadUrl:
        LumoInetInternal::PrintFailure("The address cannot be used" + LumoInetInternal::Meaning(outcome),
                                       "HttpOpenRequest returned %d%s", outcome.code,
                                       LumoInetInternal::Meaning(outcome).c_str());
        break;
    case InternetFailure::HttpStatus:
        PrintLine("HTTP status %ld", outcome.status);
        break;
    default:
        LumoInetInternal::PrintFailure("No usable answer came from the server" + LumoInetInternal::Meaning(outcome),
                                       "HttpSendRequest returned %d%s", outcome.code,
                                       LumoInetInternal::Meaning(outcome).c_str());
        break;
    }
    return result;
}
