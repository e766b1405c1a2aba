#include "platform/Internet.h"

#include <curl/curl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <signal.h>

#include <atomic>
#include <mutex>

namespace platform
{
namespace
{

std::once_flag g_startOnce;
bool g_started = false;
std::mutex g_settingsLock;
std::string g_trustFile;
std::atomic<long> g_stallSeconds{60};

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kBlockSize = 16384;
// How often a transfer that waits asks its cancel check: a stop asked for is heard within this.
constexpr int kCancelPollMs = 100;

CURL* Handle(void* h)
{
    return static_cast<CURL*>(h);
}

// What one Perform call saw, shared with the library's callbacks.
struct Transfer
{
    const InternetRequest::DataSink* body = nullptr;
    const InternetRequest::LineSink* lines = nullptr;
    const InternetRequest::CancelCheck* cancel = nullptr;
    const InternetRequest::UploadSource* upload = nullptr;
    bool stopAfterHeaders = false;
    bool cancelled = false;
    bool sinkRefused = false;
    bool stopped = false;
    bool gotResponse = false;
    bool connected = false;
    uint64_t bodyBytes = 0;

    bool AskCancel()
    {
        if (!cancelled && cancel && *cancel && (*cancel)())
            cancelled = true;
        return cancelled;
    }
};

size_t OnBody(char* data, size_t size, size_t count, void* user)
{
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    if (transfer->AskCancel())
        return 0;
    if (transfer->stopAfterHeaders)
    {
        transfer->stopped = true;
        return 0;
    }
    if (transfer->body && *transfer->body && !(*transfer->body)(data, length))
    {
        transfer->sinkRefused = true;
        return 0;
    }
    transfer->bodyBytes += length;
    return length;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user)
{
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    std::string line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    // An HTTP status line, or a three-digit FTP reply.
    if (line.rfind("HTTP/", 0) == 0 ||
        (line.size() >= 3 && line[0] >= '1' && line[0] <= '5' && line[1] >= '0' && line[1] <= '9'))
        transfer->gotResponse = true;
    if (transfer->lines && *transfer->lines)
        (*transfer->lines)(line);
    return length;
}

size_t OnUpload(char* data, size_t size, size_t count, void* user)
{
    auto* transfer = static_cast<Transfer*>(user);
    if (transfer->AskCancel())
        return CURL_READFUNC_ABORT;
    size_t filled = 0;
    if (!transfer->upload || !*transfer->upload || !(*transfer->upload)(data, size * count, filled))
    {
        transfer->sinkRefused = true;
        return CURL_READFUNC_ABORT;
    }
    return filled;
}

// Called about once a second even while nothing moves: the cancel check of an idle transfer.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Transfer*>(user)->AskCancel() ? 1 : 0;
}

InternetFailure Classify(CURLcode code, const Transfer& transfer)
{
    if (transfer.cancelled)
        return InternetFailure::Cancelled;
    if (transfer.sinkRefused)
        return InternetFailure::SinkRefused;
    switch (code)
    {
    case CURLE_OK:
        return InternetFailure::None;
    case CURLE_WRITE_ERROR:
        return transfer.stopped ? InternetFailure::None : InternetFailure::Other;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return InternetFailure::BadUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
        return InternetFailure::Connect;
    case CURLE_OPERATION_TIMEDOUT:
        // A server that took the connection and then said nothing is no connection failure.
        if (transfer.gotResponse)
            return InternetFailure::Receive;
        return transfer.connected ? InternetFailure::Send : InternetFailure::Connect;
    case CURLE_HTTP_RETURNED_ERROR:
        return InternetFailure::HttpStatus;
    case CURLE_PARTIAL_FILE:
        return InternetFailure::Receive;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return InternetFailure::Dropped;
    case CURLE_FTP_COULDNT_USE_REST:
        return InternetFailure::ResumeRefused;
    case CURLE_BAD_DOWNLOAD_RESUME:
        return InternetFailure::ResumeBeyondEnd;
    case CURLE_QUOTE_ERROR:
        return InternetFailure::CommandRejected;
    case CURLE_LOGIN_DENIED:
        return InternetFailure::LoginFailed;
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
        return InternetFailure::RemoteMissing;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
        return InternetFailure::Send;
    default:
        return InternetFailure::Other;
    }
}

} // namespace

bool InternetOutcome::IsFinal() const
{
    switch (failure)
    {
    case InternetFailure::BadUrl:
    case InternetFailure::LoginFailed:
    case InternetFailure::RemoteMissing:
        return true;
    case InternetFailure::HttpStatus:
        return status >= 400 && status < 500 && status != 408 && status != 429;
    default:
        // Connect failures included: a name that does not resolve may resolve once the resolver
        // is up or its server answers again (SERVFAIL looks the same to the library).
        return false;
    }
}

bool InternetStartup()
{
    std::call_once(g_startOnce, [] {
        // A peer that closes its end must give an error, not end the process (TLS writes can raise
        // SIGPIPE); a handler someone installed stays.
        struct sigaction current = {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            signal(SIGPIPE, SIG_IGN);
        g_started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    });
    return g_started;
}

void InternetShutdown()
{
    if (g_started)
        curl_global_cleanup();
}

void SetInternetTrustFile(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_settingsLock);
    g_trustFile = path;
}

void SetInternetStallSeconds(long seconds)
{
    g_stallSeconds = seconds > 0 ? seconds : 60;
}

bool IsNetworkInterfaceUp()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool up = false;
    for (ifaddrs* entry = list; entry && !up; entry = entry->ifa_next)
    {
        if (!entry->ifa_addr || (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        const int family = entry->ifa_addr->sa_family;
        up = family == AF_INET || family == AF_INET6;
    }
    freeifaddrs(list);
    return up;
}

InternetRequest::InternetRequest()
{
    if (InternetStartup())
    {
        m_handle = curl_easy_init();
        m_multi = curl_multi_init();
    }
    if (m_handle && !m_multi)
    {
        curl_easy_cleanup(Handle(m_handle));
        m_handle = nullptr;
    }
    if (m_handle)
        ApplyDefaults();
}

InternetRequest::~InternetRequest()
{
    if (m_handle)
        curl_easy_cleanup(Handle(m_handle));
    // After the easy handle: the connections it kept open live in the multi handle's cache.
    if (m_multi)
        curl_multi_cleanup(static_cast<CURLM*>(m_multi));
    curl_slist_free_all(static_cast<curl_slist*>(m_headerList));
    curl_slist_free_all(static_cast<curl_slist*>(m_quoteList));
}

void InternetRequest::Reset()
{
    if (!m_handle)
        return;
    curl_easy_reset(Handle(m_handle));
    curl_slist_free_all(static_cast<curl_slist*>(m_headerList));
    curl_slist_free_all(static_cast<curl_slist*>(m_quoteList));
    m_headerList = nullptr;
    m_quoteList = nullptr;
    m_upload = nullptr;
    m_stopAfterHeaders = false;
    ApplyDefaults();
}

void InternetRequest::ApplyDefaults()
{
    CURL* h = Handle(m_handle);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https,ftp");
    // Redirects are followed, as the system's internet library does, but never off the web.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // An error page is never a download.
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kBlockSize);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    // No byte moved for the stall time fails the transfer, also while an FTP server keeps a reply.
    const long stallSeconds = g_stallSeconds.load();
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, stallSeconds);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    // Paths are given whole: the client keeps the FTP folder itself, so a reused connection
    // never depends on where the previous request left the server.
    curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    if (!m_userAgent.empty())
        curl_easy_setopt(h, CURLOPT_USERAGENT, m_userAgent.c_str());
    std::lock_guard<std::mutex> lock(g_settingsLock);
    if (!g_trustFile.empty())
        curl_easy_setopt(h, CURLOPT_CAINFO, g_trustFile.c_str());
}

void InternetRequest::SetUrl(const std::string& url)
{
    curl_easy_setopt(Handle(m_handle), CURLOPT_URL, url.c_str());
}

void InternetRequest::SetUserAgent(const std::string& agent)
{
    m_userAgent = agent;
    curl_easy_setopt(Handle(m_handle), CURLOPT_USERAGENT, m_userAgent.c_str());
}

void InternetRequest::SetCredentials(const std::string& user, const std::string& password)
{
    if (user.empty() && password.empty())
        return;
    curl_easy_setopt(Handle(m_handle), CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(Handle(m_handle), CURLOPT_PASSWORD, password.c_str());
}

void InternetRequest::SetNoCache()
{
    auto* list = static_cast<curl_slist*>(m_headerList);
    list = curl_slist_append(list, "Pragma: no-cache");
    list = curl_slist_append(list, "Cache-Control: no-cache");
    m_headerList = list;
    curl_easy_setopt(Handle(m_handle), CURLOPT_HTTPHEADER, list);
}

void InternetRequest::SetResumeFrom(uint64_t offset)
{
    curl_easy_setopt(Handle(m_handle), CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset));
}

void InternetRequest::SetNoBody()
{
    curl_easy_setopt(Handle(m_handle), CURLOPT_NOBODY, 1L);
}

void InternetRequest::SetFtpCommands(const std::vector<std::string>& commands)
{
    curl_slist* list = nullptr;
    for (const std::string& command : commands)
        list = curl_slist_append(list, command.c_str());
    curl_slist_free_all(static_cast<curl_slist*>(m_quoteList));
    m_quoteList = list;
    curl_easy_setopt(Handle(m_handle), CURLOPT_QUOTE, list);
}

void InternetRequest::SetCustomCommand(const std::string& command)
{
    curl_easy_setopt(Handle(m_handle), CURLOPT_CUSTOMREQUEST, command.c_str());
}

void InternetRequest::SetFtpPassive(bool passive)
{
    // Active mode: the server connects back to the address of our control connection.
    curl_easy_setopt(Handle(m_handle), CURLOPT_FTPPORT, passive ? nullptr : "-");
}

void InternetRequest::SetFreshConnection()
{
    curl_easy_setopt(Handle(m_handle), CURLOPT_FRESH_CONNECT, 1L);
}

void InternetRequest::SetIgnoreSize()
{
    curl_easy_setopt(Handle(m_handle), CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
}

void InternetRequest::SetUpload(UploadSource source, uint64_t size)
{
    m_upload = std::move(source);
    curl_easy_setopt(Handle(m_handle), CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(Handle(m_handle), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
}

void InternetRequest::SetPost(const void* body, size_t length, const std::string& contentType)
{
    CURL* h = Handle(m_handle);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body);
    auto* list = static_cast<curl_slist*>(m_headerList);
    list = curl_slist_append(list, ("Content-Type: " + contentType).c_str());
    list = curl_slist_append(list, "Expect:"); // the body goes at once, without a 100-continue wait
    m_headerList = list;
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
}

void InternetRequest::SetStopAfterHeaders()
{
    m_stopAfterHeaders = true;
}

InternetOutcome InternetRequest::Perform(const DataSink& body, const LineSink& lines, const CancelCheck& cancel)
{
    InternetOutcome outcome;
    if (!m_handle)
    {
        outcome.failure = InternetFailure::Other;
        outcome.code = CURLE_FAILED_INIT;
        outcome.text = curl_easy_strerror(CURLE_FAILED_INIT);
        return outcome;
    }
    CURL* h = Handle(m_handle);
    Transfer transfer;
    transfer.body = &body;
    transfer.lines = &lines;
    transfer.cancel = &cancel;
    transfer.upload = &m_upload;
    transfer.stopAfterHeaders = m_stopAfterHeaders;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &OnUpload);
    curl_easy_setopt(h, CURLOPT_READDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);

    const CURLcode code = transfer.AskCancel() ? CURLE_ABORTED_BY_CALLBACK : static_cast<CURLcode>(Run(&transfer));
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);

    outcome.failure = Classify(code, transfer);
    outcome.code = outcome.failure == InternetFailure::None ? 0 : static_cast<int>(code);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &outcome.status);
    outcome.gotResponse = transfer.gotResponse;
    outcome.bodyBytes = transfer.bodyBytes;
    if (!outcome.Ok())
        outcome.text = errorText[0] ? errorText : curl_easy_strerror(code);
    return outcome;
}

// The transfer driven through the request's multi handle rather than curl_easy_perform: the library
// calls the progress function only about once a second while nothing moves, and a stop must be
// heard sooner than that. The multi handle keeps the connections for the next request.
int InternetRequest::Run(void* transferState)
{
    Transfer& transfer = *static_cast<Transfer*>(transferState);
    CURL* h = Handle(m_handle);
    auto* multi = static_cast<CURLM*>(m_multi);
    if (curl_multi_add_handle(multi, h) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode code = CURLE_OK;
    for (bool done = false; !done;)
    {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
        {
            code = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued))
        {
            if (message->msg == CURLMSG_DONE && message->easy_handle == h)
            {
                code = message->data.result;
                done = true;
            }
        }
        if (done)
            break;
        if (running == 0)
        {
            code = CURLE_FAILED_INIT; // ended without saying how: never expected
            break;
        }
        if (transfer.AskCancel())
        {
            code = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        if (curl_multi_poll(multi, nullptr, 0, kCancelPollMs, nullptr) != CURLM_OK)
        {
            code = CURLE_FAILED_INIT;
            break;
        }
    }
    long connectedAt = 0;
    transfer.connected = curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connectedAt) == CURLE_OK && connectedAt > 0;
    curl_multi_remove_handle(multi, h);
    return code;
}

int64_t InternetRequest::ContentLength() const
{
    curl_off_t length = -1;
    if (!m_handle || curl_easy_getinfo(Handle(m_handle), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
        return -1;
    return length;
}

std::string InternetRequest::FtpEntryPath() const
{
    char* path = nullptr;
    if (!m_handle || curl_easy_getinfo(Handle(m_handle), CURLINFO_FTP_ENTRY_PATH, &path) != CURLE_OK || !path)
        return {};
    return path;
}

} // namespace platform
