#include "lumo/net/DownloadURL.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "lumo/net/LumoFTP.h"
#include "lumo/net/LumoInternet.h"
#include "lumo/net/LumoURL.h"

namespace
{

constexpr int kDownloadRetries = 10;
constexpr int kFtpSizeRetries = 4;
constexpr int kHttpSizeRetries = 10;
constexpr uint32_t kPauseSlice = 100;
constexpr uint32_t kServerWaitLimitMs = 180000;
// Gaps between blocks shorter than this are the pace of a slow line, not waiting.
constexpr auto kWaitingGap = std::chrono::seconds(1);

std::atomic<uint32_t> g_retryPause{1000};
std::atomic<uint32_t> g_serverWaitLimit{kServerWaitLimitMs};

bool IsCancelled(DownloadURLCallback* callback)
{
    return callback != nullptr && callback->IsCancelled();
}

// The destination as the attempts see it, counting the bytes that reach it: the server clock's
// measure of progress (positions repeat when an attempt starts over).
class CountingBuffer : public LumoDataBuffer
{
public:
    explicit CountingBuffer(LumoDataBuffer* inner) : m_inner(inner) {}
    uint64_t GetSize() const override { return m_inner->GetSize(); }
    LUMORESULT SetSize(uint64_t size) override { return m_inner->SetSize(size); }
    uint64_t GetPosition() const override { return m_inner->GetPosition(); }
    LUMORESULT SetPosition(uint64_t position) override { return m_inner->SetPosition(position); }
    LUMORESULT WriteData(const void* data, uint32_t length) override
    {
        const LUMORESULT result = m_inner->WriteData(data, length);
        if (result == LUMORESULT_OK)
            m_written += length;
        return result;
    }
    LUMORESULT ReadData(void* data, uint32_t length) override { return m_inner->ReadData(data, length); }
    void Flush() override { m_inner->Flush(); }
    const uint64_t* Written() const { return &m_written; }

private:
    LumoDataBuffer* m_inner;
    uint64_t m_written = 0;
};

// The cancel check every attempt of one URL is given: the caller's, plus the server's allowance
// of waiting. Waiting is every stretch of a second or more in which no byte reached the
// destination (connecting, a server that says nothing or stalls, the pauses between attempts),
// summed over all attempts; a transfer that keeps moving data never uses it up.
class ServerClock : public DownloadURLCallback
{
public:
    using Clock = std::chrono::steady_clock;

    // moved: the count of bytes received so far (null: nothing is received, as for a size).
    ServerClock(DownloadURLCallback* caller, const uint64_t* moved)
        : m_caller(caller), m_moved(moved), m_limit(std::chrono::milliseconds(g_serverWaitLimit.load())),
          m_lastMove(Clock::now()), m_lastCount(Moved())
    {
    }

    bool IsCancelled() override
    {
        if (::IsCancelled(m_caller))
            return true;
        const Clock::time_point now = Clock::now();
        const uint64_t moved = Moved();
        if (moved != m_lastCount)
        {
            if (now - m_lastMove >= kWaitingGap)
                m_waited += now - m_lastMove;
            m_lastCount = moved;
            m_lastMove = now;
        }
        const Clock::duration stretch = now - m_lastMove;
        if (m_waited + (stretch >= kWaitingGap ? stretch : Clock::duration::zero()) >= m_limit)
            m_spent = true;
        return m_spent;
    }

    // The allowance is used up (known once IsCancelled said so).
    bool Spent() const { return m_spent; }

    // The result of a URL whose server used up its allowance: a network failure (a transfer that
    // was cut for it reports a cancel), with one line saying so.
    LUMORESULT GiveUp(const std::string& url, LUMORESULT last) const
    {
        LumoInetInternal::PrintLine("DownloadURL> %s kept us waiting for %u s in all; giving up on it",
                                    LumoInetInternal::RedactURL(url).c_str(),
                                    static_cast<unsigned>(std::chrono::duration_cast<std::chrono::seconds>(m_limit).count()));
        return last == LUMORESULT_ABORTED || last == LUMORESULT_OK ? LUMORESULT_NETWORK_ERROR : last;
    }

private:
    uint64_t Moved() const { return m_moved ? *m_moved : 0; }

    DownloadURLCallback* m_caller;
    const uint64_t* m_moved;
    Clock::duration m_limit;
    Clock::duration m_waited{};
    Clock::time_point m_lastMove;
    uint64_t m_lastCount;
    bool m_spent = false;
};

// The pause between attempts, in slices so that a cancel is heard within 100 ms. False when the
// callback asked to stop.
bool Pause(DownloadURLCallback* callback)
{
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
    return LUMORESULT_OK;
}

// Back to where the download started, with nothing beyond it. A buffer of fixed size cannot
// shrink; it is only rewound.
LUMORESULT StartOver(LumoDataBuffer* destination, uint64_t start)
{
    if (destination->GetSize() > start)
        destination->SetSize(start);
    return destination->SetPosition(start);
}

// After an attempt that failed: the result to end with, or nothing when another attempt may follow
// (after the pause, which the clock also watches).
std::optional<LUMORESULT> AfterFailedAttempt(const std::string& url, LUMORESULT result, int retries, bool final,
                                             DownloadURLCallback* callback, ServerClock& clock)
{
    if (IsCancelled(callback))
        return result == LUMORESULT_OK ? LUMORESULT_ABORTED : result;
    if (clock.Spent())
        return clock.GiveUp(url, result);
    if (retries == 0 || final)
        return result;
    if (!Pause(&clock))
        return IsCancelled(callback) ? LUMORESULT_ABORTED : clock.GiveUp(url, result);
    return std::nullopt;
}

LUMORESULT DownloadFtp(const std::string& url, const Target& target, LumoDataBuffer* destination,
                       DownloadURLCallback* callback)
{
    LumoFTP ftp;
    CountingBuffer counted(destination);
    ServerClock clock(callback, counted.Written());
    ftp.SetCancelCheck(&clock);
    LUMORESULT result = LUMORESULT_OK;
    for (int retries = kDownloadRetries;; --retries)
    {
        result = ftp.Open(target.host, target.user, target.password, 1, target.port);
        if (result == LUMORESULT_OK)
        {
            result = ftp.GetFileAtPath(target.path, &counted, &clock);
            if (result == LUMORESULT_OK)
                break;
        }
        if (const auto end = AfterFailedAttempt(url, result, retries, ftp.LastFailureIsFinal(), callback, clock))
        {
            result = *end;
            break;
        }
    }
    ftp.Close();
    return result;
}

LUMORESULT DownloadHttp(const std::string& url, LumoDataBuffer* destination, uint32_t flags,
                        DownloadURLCallback* callback)
{
    InternetSessionHolder session;
    const bool reload = (flags & DOWNLOAD_URL_RELOAD) != 0;
    const uint64_t start = destination->GetPosition();
    LUMORESULT result = StartOver(destination, start);
    if (result != LUMORESULT_OK)
        return result;
    CountingBuffer counted(destination);
    ServerClock clock(callback, counted.Written());
    for (int retries = kDownloadRetries;; --retries)
    {
        result = session.HttpGet(url, &counted, reload, &clock);
        if (result == LUMORESULT_OK)
            return result;
        if (const auto end = AfterFailedAttempt(url, result, retries, session.LastFailureIsFinal(), callback, clock))
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
    return DownloadHttp(url, destination, flags, callback);
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
    LUMORESULT result = LUMORESULT_OK;
    ServerClock clock(callback, nullptr);
    if (target.road == Road::Ftp)
    {
        LumoFTP ftp;
        ftp.SetCancelCheck(&clock);
        for (int retries = kFtpSizeRetries;; --retries)
        {
            result = ftp.Open(target.host, target.user, target.password, 1, target.port);
            if (result == LUMORESULT_OK)
                result = ftp.GetFileSize(target.path, *size);
            if (result == LUMORESULT_OK)
                break;
            if (const auto end = AfterFailedAttempt(url, result, retries, ftp.LastFailureIsFinal(), callback, clock))
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
        result = session.HttpGetFileSize(url, *size, &clock);
        if (result == LUMORESULT_OK)
            return result;
        if (const auto end = AfterFailedAttempt(url, result, retries, session.LastFailureIsFinal(), callback, clock))
            return *end;
    }
}

namespace LumoInetInternal
{
void SetDownloadRetryPause(uint32_t milliseconds)
{
    g_retryPause = milliseconds;
}

void SetServerWaitLimit(uint32_t milliseconds)
{
    g_serverWaitLimit = milliseconds > 0 ? milliseconds : kServerWaitLimitMs;
}
} // namespace LumoInetInternal
