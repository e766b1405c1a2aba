#pragma once
// The one way the rest of the system fetches a remote file by URL, whatever the protocol: ftp, http
// or https. Failed attempts are repeated on a fixed schedule, with a pause of one second between
// attempts (during which the cancel check is asked every 100 ms):
//
//   DownloadURL      ftp, http, https   1 + 10 retries
//   GetURLFileSize   ftp                1 + 4 retries
//   GetURLFileSize   http, https        1 + 10 retries
//
// An answer another attempt cannot change ends the schedule at once: a final answer of the server
// (platform::InternetOutcome::IsFinal: an HTTP client error, a missing remote file, a refused
// login, a malformed URL), or a destination that refused a block (a full disk, a buffer at its
// limit); the destination's code is then the result. A host name that does not resolve is
// retried like any transfer error: the resolver may be coming up or failing for a while.
//
// Stalls follow the rule of lumo/net/TransferStall.h: an attempt that moves less than 1 KiB in 60 s
// is ended ("<url>: less than 1024 bytes moved in 60 s; attempt ended"); the time
// attempts end below that floor is added to their server's account for the whole run (every
// call, the size query included); a server at 3 minutes is given up: no further attempt on it
// starts in this run, and every later call on that server fails at once (LUMORESULT_NETWORK_ERROR, with the line
// "<url>: the server <host:port> has stalled for <n> s in all; giving up on it" on
// standard error). A transfer above the floor is never ended, however long it takes. The
// caller's cancel check is asked throughout, every 100 ms while waiting.
//
// Results: LUMORESULT_INVALID_ARGUMENT for a URL without host or with a password but no user,
// LUMORESULT_BAD_FORMAT for another scheme, LUMORESULT_ABORTED for a cancel, else the last
// attempt's code. The FTP road resumes a transfer that broke off where the destination ends; the
// HTTP road starts every attempt over at the destination's starting position, and cuts away
// whatever lay beyond it before the first, so no stale tail of an earlier file stays behind.

#include <cstdint>
#include <functional>
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

// The server of url as the run's stall account keys it ("host:port", the scheme's port when none is
// given); empty when url cannot be parsed. Two URLs of one server give the same key.
std::string GetURLServerKey(const std::string& url);

namespace LumoInetInternal
{
// Test hook: the pause between attempts (1000 ms unless changed). The stall rule's own seams are
// LumoNet::SetStallRule and the run's ServerStallLedger.
void SetDownloadRetryPause(uint32_t milliseconds);
// Test hook: hook runs on the downloading thread as each pause between attempts begins (after a
// failed attempt, before the pause's first cancel check); null removes it. Set it only while no
// download runs.
void SetDownloadRetryPauseHook(std::function<void()> hook);
}
