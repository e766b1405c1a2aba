#include "lumo/net/LumoFTP.h"

#include <cinttypes>
#include <cstdio>

#include "lumo/net/LumoURL.h"

namespace
{

using platform::InternetFailure;

constexpr uint32_t kBlockSize = 16384;
// A listing larger than this is not a folder of patches.
constexpr size_t kMaxListingBytes = 16u << 20;

using LumoInetInternal::PrintFailure;
using LumoInetInternal::Meaning;

// Where a line about a transfer points the user: the path as the caller gave it and the server,
// with its port when that is not the usual one.
std::string FtpPlace(const std::string& host, int port, const std::string& path)
{
    const std::string server = port == 21 ? host : host + ":" + std::to_string(port);
    return "\"" + path + "\" on the FTP server \"" + server + "\"";
}

// A path or name that would end the command it is sent in.
bool BreaksCommand(const std::string& text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

} // namespace

FtpSizeReply ParseFtpSizeReply(const std::string& line, uint64_t& size)
{
    size = 0;
    if (line.rfind("213", 0) != 0 || (line.size() > 3 && line[3] != ' '))
        return FtpSizeReply::None;
    size_t end = line.size();
    while (end > 4 && (line[end - 1] == ' ' || line[end - 1] == '\t'))
        --end;
    if (end <= 4)
        return FtpSizeReply::NotANumber;
    uint64_t value = 0;
    for (size_t i = 4; i < end; ++i)
    {
        const char c = line[i];
        if (c < '0' || c > '9')
            return FtpSizeReply::NotANumber;
        const uint64_t digit = uint64_t(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return FtpSizeReply::NotANumber;
        value = value * 10 + digit;
    }
    size = value;
    return FtpSizeReply::Plain;
}

bool ParseFtpDirectoryReply(const std::string& line, std::string& folder)
{
    if (line.rfind("257", 0) != 0)
        return false;
    const size_t open = line.find('"');
    if (open == std::string::npos)
        return false;
    std::string result;
    for (size_t i = open + 1; i < line.size(); ++i)
    {
        if (line[i] != '"')
        {
            result.push_back(line[i]);
            continue;
        }
        // A doubled quote stands for one quote inside the name.
        if (i + 1 < line.size() && line[i + 1] == '"')
        {
            result.push_back('"');
            ++i;
            continue;
        }
        folder = result;
        return true;
    }
    return false;
}

LumoFTP::LumoFTP() = default;

LumoFTP::~LumoFTP()
{
    Close();
    ReleaseInternetSession(m_session);
    m_session = nullptr;
    m_host.clear();
    m_user.clear();
    m_password.clear();
    m_currentDirectory.clear();
}

void LumoFTP::Close()
{
    m_connection.reset();
}

std::string LumoFTP::Resolve(const std::string& path) const
{
    if (!path.empty() && path[0] == '/')
        return path;
    const std::string& base = m_currentDirectory.empty() ? m_entryPath : m_currentDirectory;
    if (base.empty())
        return path;
    if (path.empty())
        return base;
    return base.back() == '/' ? base + path : base + "/" + path;
}

void LumoFTP::Prepare(const std::string& serverPath)
{
    const bool absolute = !serverPath.empty() && serverPath[0] == '/';
    std::string url = LumoInetInternal::BuildRequestURL("ftp", m_host, m_port, absolute ? serverPath.substr(1) : serverPath,
                                                        true);
    if (absolute)
    {
        // "%2F" after the host's slash makes the path absolute on the server.
        const size_t pathStart = url.find('/', url.find("://") + 3) + 1;
        url.insert(pathStart, "%2F");
    }
    m_connection->Reset();
    m_connection->SetUrl(url);
    m_connection->SetCredentials(m_user, m_password);
    m_connection->SetFtpPassive((m_passive & 1) != 0);
}

platform::InternetOutcome LumoFTP::Run(const platform::InternetRequest::DataSink& body,
                                       const platform::InternetRequest::LineSink& lines,
                                       const platform::InternetRequest::CancelCheck& cancel)
{
    if (cancel)
        m_lastOutcome = m_connection->Perform(body, lines, cancel);
    else
        m_lastOutcome = m_connection->Perform(body, lines, [this] { return m_cancelCheck && m_cancelCheck->IsCancelled(); });
    return m_lastOutcome;
}

LUMORESULT LumoFTP::Open(const std::string& host, const std::string& user, const std::string& password, int passive,
                         int port)
{
    m_host = host;
    m_user = user;
    m_password = password;
    m_passive = passive;
    m_port = port > 0 ? port : 21;
    Close();
    ReleaseInternetSession(m_session);
    m_session = GetInternetSession();
    if (!m_session || BreaksCommand(host) || BreaksCommand(user) || BreaksCommand(password))
    {
        const char* why = m_session ? "a line break in the host, user or password" : "the internet layer did not start";
        LumoInetInternal::PrintFailure("No connection to the FTP server \"" + host + "\" (" + why + ")",
                                       "LumoFTP::Open> Connection to \"%s\" failed with error %d (%s)", host.c_str(),
                                       3 /* CURLE_URL_MALFORMAT */, why);
        return LUMORESULT_NETWORK_ERROR;
    }
    m_connection = std::make_unique<platform::InternetRequest>();
    if (!m_connection->IsValid())
    {
        m_connection.reset();
        LumoInetInternal::PrintFailure("No connection to the FTP server \"" + host +
                                           "\" (the internet layer did not start)",
                                       "LumoFTP::Open> Connection to \"%s\" failed with error %d (the internet layer "
                                       "did not start)",
                                       host.c_str(), 2 /* CURLE_FAILED_INIT */);
        return LUMORESULT_NETWORK_ERROR;
    }
    Prepare("");
    m_connection->SetNoBody();
    const platform::InternetOutcome outcome = Run(nullptr, nullptr, nullptr);
    if (!outcome.Ok())
    {
        LumoInetInternal::PrintFailure("No connection to the FTP server \"" + host + "\"" +
                                           LumoInetInternal::Meaning(outcome),
                                       "LumoFTP::Open> Connection to \"%s\" failed with error %d%s", host.c_str(),
                                       outcome.code, LumoInetInternal::Meaning(outcome).c_str());
        m_connection.reset();
        return LUMORESULT_NETWORK_ERROR;
    }
    m_entryPath = m_connection->FtpEntryPath();
    return LUMORESULT_OK;
}

LUMORESULT LumoFTP::OpenURL(const std::string& url, int passive)
{
    static const std::string kPrefix = "ftp://";
    if (url.compare(0, kPrefix.size(), kPrefix) != 0)
        return LUMORESULT_INVALID_ARGUMENT;
    std::string user = "anonymous";
    std::string password;
    std::string server = url.substr(kPrefix.size());
    const size_t at = server.find('@');
    if (at != std::string::npos)
    {
        const std::string userPart = server.substr(0, at);
        const size_t colon = userPart.find(':');
        if (colon != std::string::npos)
        {
            user = userPart.substr(0, colon);
            password = userPart.substr(colon + 1);
        }
        else
            user = userPart;
        server = server.substr(at + 1);
    }
    return Open(server, user, password, passive);
}

LUMORESULT LumoFTP::HandleError(bool restoreDirectory)
{
    if (m_lastOutcome.failure != InternetFailure::Dropped)
        return LUMORESULT_NETWORK_ERROR;
    const std::string host = m_host, user = m_user, password = m_password, folder = m_currentDirectory;
    if (Open(host, user, password, m_passive, m_port) == LUMORESULT_OK && restoreDirectory && !folder.empty())
        SetCurrentDirectory(folder);
    return LUMORESULT_NETWORK_ERROR;
}

LUMORESULT LumoFTP::SetCurrentDirectory(const std::string& folder)
{
    if (!m_connection)
        return LUMORESULT_INVALID_STATE;
    if (BreaksCommand(folder))
        return LUMORESULT_INVALID_ARGUMENT;
    const std::string target = Resolve(folder);
    for (int attempt = 0; attempt < 2 && m_connection; ++attempt)
    {
        Prepare("");
        m_connection->SetFtpCommands({"CWD " + target, "PWD"});
        m_connection->SetNoBody();
        // The last "257" reply is ours: a new connection also answers the login's own PWD.
        std::string current;
        bool found = false;
        auto lines = [&](const std::string& line) {
            std::string parsed;
            if (ParseFtpDirectoryReply(line, parsed))
            {
                current = parsed;
                found = true;
            }
        };
        if (Run(nullptr, lines, nullptr).Ok())
        {
            m_currentDirectory = found ? current : std::string();
            return found ? LUMORESULT_OK : LUMORESULT_NOT_FOUND;
        }
        HandleError(false);
    }
    m_currentDirectory.clear();
    return LUMORESULT_NOT_FOUND;
}

LUMORESULT LumoFTP::GetFileSize(const std::string& path, uint64_t& size)
{
    size = 0;
    if (!m_connection)
        return LUMORESULT_INVALID_STATE;
    if (BreaksCommand(path))
        return LUMORESULT_INVALID_ARGUMENT;
    m_sizeNotANumber = false;
    for (int attempt = 0; attempt < 2 && m_connection; ++attempt)
    {
        Prepare(Resolve(path));
        m_connection->SetNoBody();
        // The library reads the digits at the end of the reply ("-5" as 5): the reply is read here.
        FtpSizeReply reply = FtpSizeReply::None;
        std::string replyLine;
        uint64_t announced = 0;
        auto lines = [&](const std::string& line) {
            uint64_t value = 0;
            const FtpSizeReply kind = ParseFtpSizeReply(line, value);
            if (kind == FtpSizeReply::None)
                return;
            reply = kind;
            replyLine = line;
            announced = value;
        };
        if (Run(nullptr, lines, nullptr).Ok())
        {
            if (reply == FtpSizeReply::NotANumber)
            {
                PrintFailure(FtpPlace(m_host, m_port, path) + ": the server gives its size as \"" + replyLine.substr(4) +
                                 "\", which is not a number",
                             "LumoFTP::GetFileSize> the size of \"%s\" is not a number: \"%s\"", path.c_str(),
                             replyLine.substr(4).c_str());
                m_sizeNotANumber = true;
                return LUMORESULT_BAD_FORMAT;
            }
            if (reply == FtpSizeReply::Plain)
            {
                size = announced;
                return LUMORESULT_OK;
            }
            const int64_t length = m_connection->ContentLength();
            if (length < 0)
                return LUMORESULT_NETWORK_ERROR; // the server cannot tell the size
            size = static_cast<uint64_t>(length);
            return LUMORESULT_OK;
        }
        HandleError(true);
    }
    return LUMORESULT_NETWORK_ERROR;
}

LUMORESULT LumoFTP::GetFileAtPath(const std::string& path, LumoDataBuffer* destination, DownloadURLCallback* callback)
{
    if (!m_connection)
        return LUMORESULT_INVALID_STATE;
    if (!destination)
        return LUMORESULT_NETWORK_ERROR;
    if (BreaksCommand(path))
        return LUMORESULT_INVALID_ARGUMENT;
    bool mayResume = true;
    // Set once the server gave the file's size as something other than a number: the library
    // would end the transfer at the digits it found, so the size is neither asked nor used.
    bool ignoreSize = false;
    int failedOpens = 0;
    for (;;)
    {
        if (!m_connection)
            return LUMORESULT_INVALID_STATE;
        // Each request sends its own restart offset, so a new connection resumes as well as the old.
        const uint64_t offset = mayResume ? destination->GetSize() : 0;
        const LUMORESULT placed = destination->SetPosition(offset);
        if (placed != LUMORESULT_OK)
            return placed;
        Prepare(Resolve(path));
        if (offset > 0)
            m_connection->SetResumeFrom(offset);
        if (ignoreSize)
            m_connection->SetIgnoreSize();
        bool announced = false;
        std::string sizeNotANumber;
        auto lines = [&](const std::string& line) {
            if (offset > 0 && !announced && line.rfind("350", 0) == 0)
            {
                announced = true;
                PrintFailure(FtpPlace(m_host, m_port, path) + ": resuming the download at byte " + std::to_string(offset),
                             "LumoFTP::GetFileAtPath> resuming download of \"%s\" at byte %" PRIu64 ".", path.c_str(),
                             offset);
            }
            uint64_t size = 0;
            if (ParseFtpSizeReply(line, size) == FtpSizeReply::NotANumber)
                sizeNotANumber = line.substr(4);
        };
        const LUMORESULT result =
            InternetReadAll(*m_connection, destination, callback ? callback : m_cancelCheck, m_lastOutcome, lines,
                            FtpPlace(m_host, m_port, path));
        if (!sizeNotANumber.empty() && !ignoreSize && m_lastOutcome.failure != InternetFailure::Cancelled &&
            m_lastOutcome.failure != InternetFailure::SinkRefused)
        {
            // Whatever arrived was cut at a size that is none: the file is fetched again, whole, to
            // the end the server gives it (without a size the library cannot resume either).
            PrintFailure(FtpPlace(m_host, m_port, path) + ": the server gives its size as \"" + sizeNotANumber +
                             "\", which is not a number; the file is fetched to its end",
                         "LumoFTP::GetFileAtPath> the size of \"%s\" is not a number: \"%s\"; fetching it to its end",
                         path.c_str(), sizeNotANumber.c_str());
            destination->SetSize(0);
            destination->SetPosition(0);
            mayResume = false;
            ignoreSize = true;
            continue;
        }
        if (result == LUMORESULT_OK)
            return LUMORESULT_OK;
        const InternetFailure failure = m_lastOutcome.failure;
        if (failure == InternetFailure::ResumeRefused || failure == InternetFailure::ResumeBeyondEnd)
        {
            // The file starts over: what the destination holds cannot be continued.
            PrintFailure(FtpPlace(m_host, m_port, path) + ": the download cannot go on where it broke off" +
                             Meaning(m_lastOutcome) + "; it starts over",
                         "LumoFTP::GetFileAtPath> unable to resume download of \"%s\" (error %d%s).", path.c_str(),
                         m_lastOutcome.code, Meaning(m_lastOutcome).c_str());
            destination->SetSize(0);
            destination->SetPosition(0);
            mayResume = false;
            continue;
        }
        if (failure == InternetFailure::Cancelled || failure == InternetFailure::SinkRefused ||
            m_lastOutcome.bodyBytes > 0 || failure == InternetFailure::Receive)
            return result;
        if (++failedOpens >= 2)
        {
            PrintFailure(FtpPlace(m_host, m_port, path) + ": the file cannot be fetched" + Meaning(m_lastOutcome),
                         "FtpOpenFile returned %d%s.", m_lastOutcome.code, Meaning(m_lastOutcome).c_str());
            return LUMORESULT_NETWORK_ERROR;
        }
        HandleError(true);
    }
}

LUMORESULT LumoFTP::FindFiles(const std::string& pattern, LumoDataBuffer* listing)
{
    if (!m_connection)
        return LUMORESULT_INVALID_STATE;
    if (!listing)
        return LUMORESULT_OUT_OF_SPACE;
    if (BreaksCommand(pattern))
        return LUMORESULT_INVALID_ARGUMENT;
    listing->SetSize(0);
    listing->SetPosition(0);
    const std::string argument = Resolve(pattern);
    for (int attempt = 0; attempt < 2 && m_connection; ++attempt)
    {
        Prepare("");
        m_connection->SetCustomCommand(argument.empty() ? std::string("NLST") : "NLST " + argument);
        std::string names;
        auto body = [&](const char* data, size_t length) {
            names.append(data, length);
            return names.size() <= kMaxListingBytes;
        };
        const platform::InternetOutcome outcome = Run(body, nullptr, nullptr);
        if (outcome.failure == InternetFailure::SinkRefused)
            return LUMORESULT_OUT_OF_SPACE;
        if (!outcome.Ok())
        {
            HandleError(true);
            continue;
        }
        size_t start = 0;
        while (start < names.size())
        {
            size_t end = names.find('\n', start);
            if (end == std::string::npos)
                end = names.size();
            std::string name = names.substr(start, end - start);
            start = end + 1;
            if (!name.empty() && name.back() == '\r')
                name.pop_back();
            const size_t slash = name.find_last_of('/');
            if (slash != std::string::npos)
                name = name.substr(slash + 1);
            if (name.empty())
                continue;
            name.push_back('\n');
            const LUMORESULT written = listing->WriteData(name.data(), static_cast<uint32_t>(name.size()));
            if (written != LUMORESULT_OK)
                return written;
        }
        listing->SetPosition(0);
        return LUMORESULT_OK;
    }
    return LUMORESULT_NETWORK_ERROR;
}

LUMORESULT LumoFTP::CreateDirectory(const std::string& path)
{
    if (!m_connection)
        return LUMORESULT_INVALID_STATE;
    if (BreaksCommand(path))
        return LUMORESULT_INVALID_ARGUMENT;
    for (int attempt = 0; attempt < 2 && m_connection; ++attempt)
    {
        Prepare("");
        m_connection->SetFtpCommands({"MKD " + Resolve(path)});
        m_connection->SetNoBody();
        if (Run(nullptr, nullptr, nullptr).Ok())
            return LUMORESULT_OK;
        if (attempt == 0)
            HandleError(true);
    }
    PrintFailure(FtpPlace(m_host, m_port, path) + ": the folder cannot be made on the server" + Meaning(m_lastOutcome),
                 "FtpCreateDirectory returned %d%s.", m_lastOutcome.code, Meaning(m_lastOutcome).c_str());
    return LUMORESULT_NETWORK_ERROR;
}

LUMORESULT LumoFTP::PutFile(const std::string& remotePath, LumoDataBuffer* source)
{
    if (!m_connection)
        return LUMORESULT_INVALID_STATE;
    if (!source)
        return LUMORESULT_INVALID_ARGUMENT;
    if (BreaksCommand(remotePath))
        return LUMORESULT_INVALID_ARGUMENT;
    const uint64_t start = source->GetPosition();
    const uint64_t total = source->GetSize() > start ? source->GetSize() - start : 0;
    bool parentTried = false;
    for (int attempt = 0; attempt < 3 && m_connection; ++attempt)
    {
        source->SetPosition(start);
        uint64_t remaining = total;
        bool started = false;
        LUMORESULT readResult = LUMORESULT_OK;
        auto reader = [&](char* data, size_t capacity, size_t& filled) {
            started = true;
            const uint64_t n = std::min<uint64_t>({remaining, kBlockSize, capacity});
            filled = static_cast<size_t>(n);
            if (n == 0)
                return true;
            readResult = source->ReadData(data, static_cast<uint32_t>(n));
            if (readResult != LUMORESULT_OK)
                return false;
            remaining -= n;
            return true;
        };
        Prepare(Resolve(remotePath));
        m_connection->SetUpload(reader, total);
        const platform::InternetOutcome outcome = Run(nullptr, nullptr, nullptr);
        if (outcome.Ok())
            return LUMORESULT_OK;
        if (readResult != LUMORESULT_OK)
        {
            PrintFailure(FtpPlace(m_host, m_port, remotePath) + ": the data to upload cannot be read: " +
                             LumoUtil::DescribeResult(readResult),
                         "ReadData returned %" PRIu32 " (%s)", readResult, LumoUtil::GetResultName(readResult).c_str());
            return readResult;
        }
        if (started)
        {
            PrintFailure(FtpPlace(m_host, m_port, remotePath) + ": the upload broke off" + Meaning(outcome),
                         "InternetWriteFile failed with error %d%s", outcome.code, Meaning(outcome).c_str());
            return LUMORESULT_NETWORK_ERROR;
        }
        HandleError(true);
        if (!parentTried)
        {
            parentTried = true;
            // Only the immediate parent is made; deeper missing folders stay missing.
            const size_t separator = remotePath.find_last_of("/\\");
            if (separator != std::string::npos && separator > 0)
                CreateDirectory(remotePath.substr(0, separator));
        }
    }
    PrintFailure(FtpPlace(m_host, m_port, remotePath) + ": the file cannot be created on the server" + Meaning(m_lastOutcome),
                 "FtpOpenFile returned %d%s.", m_lastOutcome.code, Meaning(m_lastOutcome).c_str());
    return LUMORESULT_NETWORK_ERROR;
}
