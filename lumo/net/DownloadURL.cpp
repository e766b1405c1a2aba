#include "lumo/net/DownloadURL.h"

#include <algorithm>
#include <atomic>
#include <chrono>
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

std::atomic<uint32_t> g_retryPause{1000};

bool IsCancelled(DownloadURLCallback* callback)
{
    return callback != nullptr && callback->IsCancelled();
}

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

LUMORESULT DownloadFtp(const Target& target, LumoDataBuffer* destination, DownloadURLCallback* callback)
{
    LumoFTP ftp;
    LUMORESULT result = LUMORESULT_OK;
    for (int retries = kDownloadRetries;; --retries)
    {
        result = ftp.Open(target.host, target.user, target.password, 1, target.port);
        if (result == LUMORESULT_OK)
        {
            result = ftp.GetFileAtPath(target.path, destination, callback);
            if (result == LUMORESULT_OK || IsCancelled(callback))
                break;
        }
        if (retries == 0 || ftp.LastFailureIsFinal())
            break;
        if (!Pause(callback))
        {
            result = LUMORESULT_ABORTED;
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
    for (int retries = kDownloadRetries;; --retries)
    {
        result = session.HttpGet(url, destination, reload, callback);
        if (result == LUMORESULT_OK || IsCancelled(callback) || retries == 0 || session.LastFailureIsFinal())
            return result;
        if (!Pause(callback))
            return LUMORESULT_ABORTED;
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
        return DownloadFtp(target, destination, callback);
    return DownloadHttp(url, destination, flags, callback);
}

LUMORESULT GetURLFileSize(const std::string& url, uint64_t* size)
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
    if (target.road == Road::Ftp)
    {
        LumoFTP ftp;
        for (int retries = kFtpSizeRetries;; --retries)
        {
            result = ftp.Open(target.host, target.user, target.password, 1, target.port);
            if (result == LUMORESULT_OK)
                result = ftp.GetFileSize(target.path, *size);
            if (result == LUMORESULT_OK || retries == 0 || ftp.LastFailureIsFinal() || !Pause(nullptr))
                break;
        }
        ftp.Close();
        return result;
    }
    InternetSessionHolder session;
    for (int retries = kHttpSizeRetries;; --retries)
    {
        result = session.HttpGetFileSize(url, *size);
        if (result == LUMORESULT_OK || retries == 0 || session.LastFailureIsFinal() || !Pause(nullptr))
            return result;
    }
}

namespace LumoInetInternal
{
void SetDownloadRetryPause(uint32_t milliseconds)
{
    g_retryPause = milliseconds;
}
} // namespace LumoInetInternal
