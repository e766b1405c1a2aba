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
LUMORESULT GetURLFileSize(const std::string& url, uint64_t* size);

namespace LumoInetInternal
{
// Test hook: the pause between attempts (1000 ms unless changed).
void SetDownloadRetryPause(uint32_t milliseconds);
}
