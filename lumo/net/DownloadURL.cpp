#include "lumo/net/DownloadURL.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "lumo/net/LumoFTP.h"
#include "lumo/net/LumoInternet.h"
#include "lumo/net/LumoURL.h"
#include "lumo/net/TransferStall.h"

namespace
{

constexpr int kDownloadRetries = 10;
constexpr int kFtpSizeRetries = 4;
constexpr int kHttpSizeRetries = 10;
constexpr uint32_t kPauseSlice = 100;

std::atomic<uint32_t> g_retryPause{1000};
// Test hook: run on the downloading thread as each pause between attempts begins.
std::function<void()> g_pauseBegins;

bool IsCancelled(DownloadURLCallback* callback)
{
    return callback != nullptr && callback->IsCancelled();
}

// The destination as the attempts see it: it counts the bytes that reach it (the stall watch's
// measure of progress) and keeps the first refusal, which no further attempt can change.
class CountingBuffer : public LumoDataBuffer
{
public:
    CountingBuffer(LumoDataBuffer* inner, LumoNet::TransferStallWatch& watch) : m_inner(inner), m_watch(watch) {}
    uint64_t GetSize() const override { return m_inner->GetSize(); }
    LUMORESULT SetSize(uint64_t size) override { return m_inner->SetSize(size); }
    uint64_t GetPosition() const override { return m_inner->GetPosition(); }
    LUMORESULT SetPosition(uint64_t position) override { return m_inner->SetPosition(position); }
    LUMORESULT WriteData(const void* data, uint32_t length) override
    {
        const LUMORESULT result = m_inner->WriteData(data, length);
        if (result == LUMORESULT_OK)
            m_watch.Moved(length);
        else if (m_refused == LUMORESULT_OK)
            m_refused = result;
        return result;
    }
    LUMORESULT ReadData(void* data, uint32_t length) override { return m_inner->ReadData(data, length); }
    void Flush() override { m_inner->Flush(); }
    // The destination refused a block (its code), LUMORESULT_OK while it has taken them all.
    LUMORESULT Refused() const { return m_refused; }

private:
    LumoDataBuffer* m_inner;
    LumoNet::TransferStallWatch& m_watch;
    LUMORESULT m_refused = LUMORESULT_OK;
};

// The cancel check every attempt on one server is given: the caller's, plus the stall rule
// (lumo/net/TransferStall.h). An attempt that moves less than the floor within the window is
// ended; the time each failed attempt spent below the floor goes to the server's account for the
// run, and a server whose account is full is given up.
class AttemptWatch : public DownloadURLCallback
{
public:
    AttemptWatch(DownloadURLCallback* caller, std::string url, std::string server)
        : m_caller(caller), m_url(LumoInetInternal::RedactURL(url)), m_server(std::move(server))
    {
    }

    bool IsCancelled() override
    {
        if (::IsCancelled(m_caller))
            return true;
        if (!m_stalled && m_watch.IsStalled())
        {
            m_stalled = true;
            m_stalledFor = m_watch.QuietFor();
        }
        return m_stalled;
    }

    LumoNet::TransferStallWatch& Watch() { return m_watch; }

    // True (with its line) when the server has been given up in this run: no attempt starts.
    bool ServerGivenUp() const
    {
        const auto stalled = LumoNet::ServerStallLedger::ForRun().Stalled(m_server);
        if (stalled < m_watch.GetPolicy().giveUpAfter)
            return false;
        LumoInetInternal::PrintLine("%s: the server %s has stalled for %lld s in all; giving up on it",
                                    m_url.c_str(), m_server.c_str(), LumoNet::WholeSeconds(stalled));
        return true;
    }

    void StartAttempt()
    {
        m_stalled = false;
        m_watch.Restart();
    }

    // After a failed attempt that the caller did not cancel: the time it ended below the floor
    // goes to the server's account.
    void EndFailedAttempt()
    {
        if (m_stalled)
        {
            const StallPolicy& policy = m_watch.GetPolicy();
            LumoInetInternal::PrintLine("%s: less than %llu bytes moved in %lld s; attempt ended",
                                        m_url.c_str(), static_cast<unsigned long long>(policy.floorBytes),
                                        LumoNet::WholeSeconds(policy.window));
        }
        // A stalled attempt counts what it had stalled when it was ended, not its winding down.
        LumoNet::ServerStallLedger::ForRun().Add(m_server, m_stalled ? m_stalledFor : m_watch.QuietFor());
    }

    bool Stalled() const { return m_stalled; }

private:
    using StallPolicy = LumoNet::StallPolicy;

    DownloadURLCallback* m_caller;
    std::string m_url;
    std::string m_server;
    LumoNet::TransferStallWatch m_watch;
    bool m_stalled = false;
    LumoNet::TransferStallWatch::Duration m_stalledFor{};
};

// The pause between attempts, in slices so that a cancel is heard within 100 ms. False when the
// callback asked to stop.
bool Pause(DownloadURLCallback* callback)
{
    if (g_pauseBegins)
        g_pauseBegins();
    uint32_t left = g_retryPause.load();
    while (left > 0)
    {
        if (IsCancelled(callback))
            return false;
        const uint32_t slice = std::min(left, kPauseSlice);
        std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        left -= slice;
    }
    return !IsCancelled(callback);
}

enum class Road
{
    Ftp,
    Http,
};

struct Target
{
    Road road = Road::Http;
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
    std::string path;
    std::string server; // "host:port", the stall account's key
};

LUMORESULT Split(const std::string& url, Target& target)
{
    std::string scheme;
    const LUMORESULT parsed = ParseURL(url, scheme, target.host, target.port, target.user, target.password, target.path);
    if (parsed != LUMORESULT_OK)
        return parsed;
    GetSchemeForPort(scheme, target.host, target.port);
    if (scheme == "ftp")
        target.road = Road::Ftp;
    else if (scheme == "http" || scheme == "https")
        target.road = Road::Http;
    else
        return LUMORESULT_BAD_FORMAT;
    int port = target.port;
    GetDefaultPort(scheme, port);
    target.server = LumoNet::ServerKey(target.host, port);
    return LUMORESULT_OK;
}

}  // namespace

std::string GetURLServerKey(const std::string& url)
{
    Target target;
    return Split(url, target) == LUMORESULT_OK ? target.server : std::string();
}

namespace
{

// Back to where the download started, with nothing beyond it. A buffer of fixed size cannot
// shrink; it is only rewound.
LUMORESULT StartOver(LumoDataBuffer* destination, uint64_t start)
{
    if (destination->GetSize() > start)
        destination->SetSize(start);
    return destination->SetPosition(start);
}

// After an attempt that failed: the result to end with, or nothing when another attempt may follow
// (after the pause). refused: the destination refused a block, which no attempt can change (a full
// disk, a list over its limit).
std::optional<LUMORESULT> AfterFailedAttempt(LUMORESULT result, int retries, bool final, LUMORESULT refused,
                                             DownloadURLCallback* callback, AttemptWatch& watch)
{
    if (IsCancelled(callback))
        return result == LUMORESULT_OK ? LUMORESULT_ABORTED : result;
    if (refused != LUMORESULT_OK)
        return result != LUMORESULT_OK ? result : refused;
    watch.EndFailedAttempt();
    const bool stalled = watch.Stalled();
    if (watch.ServerGivenUp())
        return result == LUMORESULT_ABORTED || result == LUMORESULT_OK || stalled ? LUMORESULT_NETWORK_ERROR : result;
    // A stall ends the attempt through the cancel check: it is a network failure, not a cancel.
    const LUMORESULT failure = stalled ? LUMORESULT_NETWORK_ERROR : result;
    if (retries == 0 || final)
        return failure;
    if (!Pause(callback))
        return LUMORESULT_ABORTED;
    return std::nullopt;
}

LUMORESULT DownloadFtp(const std::string& url, const Target& target, LumoDataBuffer* destination,
                       DownloadURLCallback* callback)
{
    AttemptWatch watch(callback, url, target.server);
    if (watch.ServerGivenUp())
        return LUMORESULT_NETWORK_ERROR;
    LumoFTP ftp;
    CountingBuffer counted(destination, watch.Watch());
    ftp.SetCancelCheck(&watch);
    LUMORESULT result = LUMORESULT_OK;
    for (int retries = kDownloadRetries;; --retries)
    {
        watch.StartAttempt();
        result = ftp.Open(target.host, target.user, target.password, 1, target.port);
        if (result == LUMORESULT_OK)
        {
            result = ftp.GetFileAtPath(target.path, &counted, &watch);
            if (result == LUMORESULT_OK)
                break;
        }
        if (const auto end =
                AfterFailedAttempt(result, retries, ftp.LastFailureIsFinal(), counted.Refused(), callback, watch))
        {
            result = *end;
            break;
        }
    }
    ftp.Close();
    return result;
}

LUMORESULT DownloadHttp(const std::string& url, const Target& target, LumoDataBuffer* destination, uint32_t flags,
                        DownloadURLCallback* callback)
{
    AttemptWatch watch(callback, url, target.server);
    if (watch.ServerGivenUp())
        return LUMORESULT_NETWORK_ERROR;
    InternetSessionHolder session;
    const bool reload = (flags & DOWNLOAD_URL_RELOAD) != 0;
    const uint64_t start = destination->GetPosition();
    LUMORESULT result = StartOver(destination, start);
    if (result != LUMORESULT_OK)
        return result;
    CountingBuffer counted(destination, watch.Watch());
    for (int retries = kDownloadRetries;; --retries)
    {
        watch.StartAttempt();
        result = session.HttpGet(url, &counted, reload, &watch);
        if (result == LUMORESULT_OK)
            return result;
        if (const auto end = AfterFailedAttempt(result, retries, session.LastFailureIsFinal(), counted.Refused(),
                                                callback, watch))
            return *end;
        // The HTTP road never resumes: the next attempt starts the destination over.
        const LUMORESULT reset = StartOver(destination, start);
        if (reset != LUMORESULT_OK)
            return reset;
    }
}

} // namespace

LUMORESULT DownloadURL(const std::string& url, LumoDataBuffer* destination, uint32_t flags,
                       DownloadURLCallback* callback)
{
    Target target;
    const LUMORESULT split = Split(url, target);
    if (split != LUMORESULT_OK)
        return split;
    if (!destination)
        return LUMORESULT_INVALID_ARGUMENT;
    if (target.road == Road::Ftp)
        return DownloadFtp(url, target, destination, callback);
    return DownloadHttp(url, target, destination, flags, callback);
}

LUMORESULT GetURLFileSize(const std::string& url, uint64_t* size, DownloadURLCallback* callback)
{
    if (size)
        *size = 0;
    Target target;
    const LUMORESULT split = Split(url, target);
    if (split != LUMORESULT_OK)
        return split;
    if (!size)
        return LUMORESULT_INVALID_ARGUMENT;
    AttemptWatch watch(callback, url, target.server);
    if (watch.ServerGivenUp())
        return LUMORESULT_NETWORK_ERROR;
    LUMORESULT result = LUMORESULT_OK;
    if (target.road == Road::Ftp)
    {
        LumoFTP ftp;
        ftp.SetCancelCheck(&watch);
        for (int retries = kFtpSizeRetries;; --retries)
        {
            watch.StartAttempt();
            result = ftp.Open(target.host, target.user, target.password, 1, target.port);
            if (result == LUMORESULT_OK)
                result = ftp.GetFileSize(target.path, *size);
            if (result == LUMORESULT_OK)
                break;
            if (const auto end =
                    AfterFailedAttempt(result, retries, ftp.LastFailureIsFinal(), LUMORESULT_OK, callback, watch))
            {
                result = *end;
                break;
            }
        }
        ftp.Close();
        return result;
    }
    InternetSessionHolder session;
    for (int retries = kHttpSizeRetries;; --retries)
    {
        watch.StartAttempt();
        result = session.HttpGetFileSize(url, *size, &watch);
        if (result == LUMORESULT_OK)
            return result;
        if (const auto end =
                AfterFailedAttempt(result, retries, session.LastFailureIsFinal(), LUMORESULT_OK, callback, watch))
            return *end;
    }
}

namespace LumoInetInternal
{
void SetDownloadRetryPause(uint32_t milliseconds)
{
    g_retryPause = milliseconds;
}

void SetDownloadRetryPauseHook(std::function<void()> hook)
{
    g_pauseBegins = std::move(hook);
}
} // namespace LumoInetInternal
