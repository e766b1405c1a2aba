#pragma once
// The internet layer: HTTP, HTTPS and FTP requests over libcurl, shaped after what the internet
// client calls. One InternetRequest is one library handle; it may be reused for several requests
// in a row (an FTP client keeps its control connection that way), but it belongs to one thread at
// a time.
//
// A request is described by setters, then run by Perform, which blocks until the transfer ends.
// The body arrives through a sink in blocks of at most 16,384 bytes; the server's header lines
// (HTTP headers, FTP control replies) through a line sink; a cancel check is asked before every
// block and every 100 ms while the transfer waits, so a stop is heard at once. The outcome says
// what kind of failure happened, so that callers map it onto their own result codes without
// knowing the library.
//
// Time-outs: a connection must be made within 30 s, and a transfer that moves no byte for 60 s is
// a failure, also while an FTP server keeps back a reply (a stalled server is retried by the
// caller, never waited for without end).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform
{

// Starts the library once per process (thread-safe). False when it cannot start.
bool InternetStartup();
// Releases the library; for the exit path, after the last request.
void InternetShutdown();

// Test hooks. The file of trusted certificates used in place of the system's store, empty for the
// system's; and the seconds without progress after which a transfer fails (0 restores 60 s).
void SetInternetTrustFile(const std::string& path);
void SetInternetStallSeconds(long seconds);

// True when some network interface other than loopback is up and has an address.
bool IsNetworkInterfaceUp();

enum class InternetFailure
{
    None,
    Cancelled,       // the cancel check said stop
    SinkRefused,     // the body sink or upload source refused to go on
    BadUrl,          // the library refused the address
    Connect,         // name resolution or the connection failed (or timed out)
    Send,            // no usable response arrived (also: connected, then no answer in time)
    HttpStatus,      // the server answered with a status of 400 or more
    Receive,         // the body broke off (short, reset, stalled)
    Dropped,         // the connection was closed under us (reset, or closed before a reply)
    ResumeRefused,   // the server cannot restart at the offset asked for
    ResumeBeyondEnd, // the offset asked for lies beyond the remote file's end
    CommandRejected, // an FTP command of the request was refused
    LoginFailed,     // the FTP server refused the user
    RemoteMissing,   // the FTP server has no such file
    Other,
};

struct InternetOutcome
{
    InternetFailure failure = InternetFailure::None;
    int code = 0;          // the library's error number, 0 on success
    long status = 0;       // the last response code (HTTP status or FTP reply)
    bool gotResponse = false; // a status line or reply was received
    uint64_t bodyBytes = 0;   // body bytes handed to the sink
    std::string text;      // the library's description of the failure

    bool Ok() const { return failure == InternetFailure::None; }
    // An answer another attempt cannot change: a client error from the HTTP server (but 408 and
    // 429, which ask to come back later), a missing remote file, a refused login, an address the
    // library refuses (a malformed URL). A host name that does not resolve is not final: the
    // library cannot tell a name that does not exist from a resolver still coming up or failing.
    bool IsFinal() const;
};

class InternetRequest
{
public:
    // Returns false to stop the transfer (SinkRefused).
    using DataSink = std::function<bool(const char* data, size_t length)>;
    // One line without its line end.
    using LineSink = std::function<void(const std::string& line)>;
    // True asks the transfer to stop (Cancelled).
    using CancelCheck = std::function<bool()>;
    // Fills up to `capacity` bytes and returns the count (0 at the end); false aborts (SinkRefused).
    using UploadSource = std::function<bool(char* data, size_t capacity, size_t& filled)>;

    InternetRequest();
    ~InternetRequest();
    InternetRequest(const InternetRequest&) = delete;
    InternetRequest& operator=(const InternetRequest&) = delete;

    bool IsValid() const { return m_handle != nullptr; }

    // Back to a plain GET of nothing, keeping the open connections for reuse.
    void Reset();

    void SetUrl(const std::string& url);
    void SetUserAgent(const std::string& agent);
    // Both empty: no credentials (FTP logs in as anonymous).
    void SetCredentials(const std::string& user, const std::string& password);
    // Asks proxies and caches on the way for a fresh copy.
    void SetNoCache();
    void SetResumeFrom(uint64_t offset);
    // Ask for the headers (HTTP) or the size (FTP) only; no body is moved.
    void SetNoBody();
    // FTP commands sent after the login, before the request's own transfer.
    void SetFtpCommands(const std::vector<std::string>& commands);
    // Replaces the request's command (an FTP listing command such as "NLST").
    void SetCustomCommand(const std::string& command);
    void SetFtpPassive(bool passive);
    // A new connection instead of a cached one.
    void SetFreshConnection();
    // Neither asks for nor relies on the size the server announces (HTTP Content-Length, FTP SIZE):
    // the body ends where the server ends it.
    void SetIgnoreSize();
    void SetUpload(UploadSource source, uint64_t size);
    void SetPost(const void* body, size_t length, const std::string& contentType);
    // Stop quietly once the header block of the first body-bearing response has arrived.
    void SetStopAfterHeaders();

    InternetOutcome Perform(const DataSink& body, const LineSink& lines, const CancelCheck& cancel);

    // After Perform: the announced length of the body, or -1 when none was announced.
    int64_t ContentLength() const;
    // After Perform: the folder an FTP server put us in at login ("" when unknown).
    std::string FtpEntryPath() const;

private:
    void ApplyDefaults();
    // Drives the transfer to its end; the library's result code.
    int Run(void* transfer);

    void* m_handle = nullptr;      // the library's handle
    void* m_multi = nullptr;       // drives m_handle; keeps its connections between requests
    void* m_headerList = nullptr;  // request headers
    void* m_quoteList = nullptr;   // FTP commands
    std::string m_userAgent;
    UploadSource m_upload;
    bool m_stopAfterHeaders = false;
};

} // namespace platform
