#pragma once
// The one way the rest of the system fetches a remote file by URL, whatever the protocol: ftp, http
// or https. Failed attempts are repeated on a fixed schedule, with a pause of one second between
// attempts (during which the cancel check is asked every 100 ms):
//
//   DownloadURL      ftp, http, https   1 + 10 retries
//   GetURLFileSize   ftp                1 + 4 retries
//   GetURLFileSize   http, https        1 + 10 retries
//
// An answer another attempt cannot change (platform::InternetOutcome::IsFinal: an HTTP client
// error, a missing remote file, a host name that does not resolve) ends the schedule at once.
//
// Each attempt fails once no byte has moved for 60 s (platform/Internet.h). Besides, the server
// of one URL may keep the caller waiting for 3 minutes in all, over all its attempts: every
// stretch of a second or more in which no byte arrives counts (connecting, a server that takes
// the connection and says nothing or stalls half-way, the pauses), while a slow transfer that
// keeps moving data never uses the allowance up. Once it is spent the running attempt is ended,
// no further one starts, and the call fails (LUMORESULT_NETWORK_ERROR, or the last attempt's
// failure) with the line "DownloadURL> <url> kept us waiting for <n> s in all; giving up on it"
// on standard error. The caller's cancel check is asked throughout, every 100 ms while waiting.
//
// Results: LUMORESULT_INVALID_ARGUMENT for a URL without host or with a password but no user,
// LUMORESULT_BAD_FORMAT for another scheme, LUMORESULT_ABORTED for a cancel, else the last
// attempt's code. The FTP road resumes a transfer that broke off where the destination ends; the
// HTTP road starts every attempt over at the destination's starting position, and cuts away
// whatever lay beyond it before the first, so no stale tail of an earlier file stays behind.

#include <cstdint>
#include <string>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"
#include "lumo/net/DownloadURLCallback.h"

// Download flags.
inline constexpr uint32_t DOWNLOAD_URL_RELOAD = 1; // bypass caches (HTTP only)

// The file at url into destination from its current position. callback may be null.
LUMORESULT DownloadURL(const std::string& url, LumoDataBuffer* destination, uint32_t flags,
                       DownloadURLCallback* callback);

// The size of the file at url, without fetching it; *size is 0 unless the server told it.
// callback may be null.
LUMORESULT GetURLFileSize(const std::string& url, uint64_t* size, DownloadURLCallback* callback = nullptr);

namespace LumoInetInternal
{
// Test hooks: the pause between attempts (1000 ms unless changed); how long one URL's server may
// keep a call waiting in all (0 restores 3 minutes).
void SetDownloadRetryPause(uint32_t milliseconds);
void SetServerWaitLimit(uint32_t milliseconds);
}
