#pragma once
// One FTP connection: download with resume, size, listing, folder creation and upload, reconnecting
// once when the server drops the connection. Every call blocks; one thread uses an object at a
// time. Results are LUMORESULT codes: LUMORESULT_INVALID_STATE when no connection is open,
// LUMORESULT_NOT_FOUND for a folder that cannot be entered, LUMORESULT_ABORTED for a cancel,
// LUMORESULT_NETWORK_ERROR for any other failure of the server or the connection.
//
// The server's current folder is kept here (currentDirectory, read back from the server after
// each change); every file is addressed by its full path, so a new connection continues where the
// old one stood.
//
// Diagnostic lines on standard output (<err> is the internet layer's error number):
//   LumoFTP::Open> Connection to "<host>" failed with error <err>
//   LumoFTP::GetFileAtPath> resuming download of "<path>" at byte <offset>.
//   LumoFTP::GetFileAtPath> unable to resume download of "<path>" (error <err>).
//   LumoFTP::GetFileSize> the size of "<path>" is not a number: "<reply>"
//   LumoFTP::GetFileAtPath> the size of "<path>" is not a number: "<reply>"; fetching it to its end
//   FtpOpenFile returned <err>.          FtpCreateDirectory returned <err>.
//   ReadData returned <code>             InternetWriteFile failed with error <err>

#include <cstdint>
#include <memory>
#include <string>

#include "lumo/buffers/LumoDataBuffer.h"
#include "lumo/buffers/LumoResult.h"
#include "lumo/net/DownloadURLCallback.h"
#include "lumo/net/LumoInternet.h"
#include "platform/Internet.h"

class LumoFTP
{
public:
    LumoFTP();
    ~LumoFTP();
    LumoFTP(const LumoFTP&) = delete;
    LumoFTP& operator=(const LumoFTP&) = delete;

    // Connects and logs in. Empty user and password log in as anonymous. port below 1 means 21.
    LUMORESULT Open(const std::string& host, const std::string& user, const std::string& password, int passive,
                    int port = 21);
    // "ftp://[user[:password]@]server": anonymous without a user part.
    LUMORESULT OpenURL(const std::string& url, int passive);
    // Closes the connection, keeping the stored parameters.
    void Close();
    // The cancel check of every request from now on (logging in, reconnecting, sizes, listings),
    // asked while it waits as well; a download's own callback takes its place for the transfer.
    // Null: never cancelled. The object does not own it.
    void SetCancelCheck(DownloadURLCallback* callback) { m_cancelCheck = callback; }

    LUMORESULT SetCurrentDirectory(const std::string& folder);
    LUMORESULT GetFileSize(const std::string& path, uint64_t& size);
    // Appends to what destination holds: a destination of n bytes resumes the file at byte n.
    LUMORESULT GetFileAtPath(const std::string& path, LumoDataBuffer* destination, DownloadURLCallback* callback);
    // The names matching pattern in the current folder, each followed by "\n", positioned at 0.
    LUMORESULT FindFiles(const std::string& pattern, LumoDataBuffer* listing);
    // The last request failed with an answer that another attempt cannot change (also a size the
    // server gave as something other than a number).
    bool LastFailureIsFinal() const { return m_lastOutcome.IsFinal() || m_sizeNotANumber; }
    LUMORESULT CreateDirectory(const std::string& path);
    // The source's bytes from its position to its end.
    LUMORESULT PutFile(const std::string& remotePath, LumoDataBuffer* source);
    // After a failed call: a dropped connection is opened again (and the folder restored when
    // asked). Always LUMORESULT_NETWORK_ERROR.
    LUMORESULT HandleError(bool restoreDirectory);

    bool IsOpen() const { return m_connection != nullptr; }
    const std::string& GetCurrentDirectory() const { return m_currentDirectory; }

private:
    // Readies the connection's handle for a request on url (a full path on the server).
    void Prepare(const std::string& serverPath);
    // The full path of path on the server: relative paths are taken from the current folder.
    std::string Resolve(const std::string& path) const;
    platform::InternetOutcome Run(const platform::InternetRequest::DataSink& body,
                                  const platform::InternetRequest::LineSink& lines,
                                  const platform::InternetRequest::CancelCheck& cancel);

    InternetSession* m_session = nullptr;
    std::unique_ptr<platform::InternetRequest> m_connection;
    std::string m_host;
    std::string m_user;
    std::string m_password;
    std::string m_currentDirectory;
    int m_passive = 0;
    int m_port = 21;
    std::string m_entryPath; // the folder the server put us in at login
    platform::InternetOutcome m_lastOutcome;
    DownloadURLCallback* m_cancelCheck = nullptr;
    bool m_sizeNotANumber = false;
};

// What an FTP control line says of a size: no "213" reply at all, a plain decimal size (digits
// only, trailing blanks allowed, within 64 bits), or a "213" reply whose size is no plain number
// ("-5", "5 bytes", "0x10"): no size.
enum class FtpSizeReply
{
    None,
    Plain,
    NotANumber,
};
FtpSizeReply ParseFtpSizeReply(const std::string& line, uint64_t& size);

// The folder of an FTP "257" reply ('257 "/a ""b""" is current' gives '/a "b"'); false when line
// holds none.
bool ParseFtpDirectoryReply(const std::string& line, std::string& folder);
