// Which failures of the internet layer are final answers (no further attempt) and which are retried.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include "platform/Internet.h"

namespace
{
using platform::InternetFailure;

TEST(InternetOutcome, OnlyAnswersAnotherAttemptCannotChangeAreFinal)
{
    const struct { InternetFailure failure; int code; long status; bool final; const char* what; } cases[] = {
        // A name that does not resolve may resolve once the resolver is up or its server answers
        // again (SERVFAIL reads the same), as a proxy name may.
        {InternetFailure::Connect, CURLE_COULDNT_RESOLVE_HOST, 0, false, "unresolved host"},
        {InternetFailure::Connect, CURLE_COULDNT_RESOLVE_PROXY, 0, false, "unresolved proxy"},
        {InternetFailure::Connect, CURLE_COULDNT_CONNECT, 0, false, "refused connection"},
        {InternetFailure::Connect, CURLE_OPERATION_TIMEDOUT, 0, false, "connect timed out"},
        {InternetFailure::BadUrl, CURLE_URL_MALFORMAT, 0, true, "malformed URL"},
        {InternetFailure::BadUrl, CURLE_UNSUPPORTED_PROTOCOL, 0, true, "unsupported scheme"},
        {InternetFailure::HttpStatus, CURLE_HTTP_RETURNED_ERROR, 404, true, "404"},
        {InternetFailure::HttpStatus, CURLE_HTTP_RETURNED_ERROR, 429, false, "429"},
        {InternetFailure::HttpStatus, CURLE_HTTP_RETURNED_ERROR, 503, false, "503"},
        {InternetFailure::RemoteMissing, CURLE_REMOTE_FILE_NOT_FOUND, 550, true, "missing FTP file"},
        {InternetFailure::LoginFailed, CURLE_LOGIN_DENIED, 530, true, "refused login"},
        {InternetFailure::Receive, CURLE_PARTIAL_FILE, 200, false, "broken body"},
    };
    for (const auto& c : cases)
    {
        platform::InternetOutcome outcome;
        outcome.failure = c.failure;
        outcome.code = c.code;
        outcome.status = c.status;
        EXPECT_EQ(c.final, outcome.IsFinal()) << c.what;
    }
}
} // namespace
