// What the drivers tell a user when a server or a file fails them: the server's address, the URL or
// the file, and the system's reason, on standard error; nothing made where nothing was.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "tests/fixtures/ScratchFolder.h"

namespace
{

using fixtures::ReadFile;
using fixtures::WriteFile;

struct ShellRun { int status = -1; std::string out; std::string err; };

// A port on the loopback that nothing listens on: bound by the system, then let go.
std::string ClosedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(fd);
    return std::to_string(ntohs(address.sin_port));
}

class DriverMessagesTest : public ::testing::Test
{
protected:
    // command: a shell command line run in the scratch folder with the drivers on PATH and the
    // registry in the scratch folder.
    ShellRun Shell(const std::string& command)
    {
        const std::string line = "cd '" + m_scratch.Path() + "' && LUMO_REGISTRY_ROOT='" + m_scratch.Path() +
                                 "/registry' PATH='" LUMO_BIN_DIR "':\"$PATH\" timeout 120 " + command +
                                 " >.stdout 2>.stderr";
        const int status = system(line.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(m_scratch / ".stdout"),
                ReadFile(m_scratch / ".stderr")};
    }

    fixtures::ScratchFolder m_scratch;
};

// repair-tool's stages are its output; every failure, with the address and the system's reason,
// goes to standard error.
TEST_F(DriverMessagesTest, RepairToolSaysItsFailuresOnStandardErrorWithTheServerAndReason)
{
    WriteFile(m_scratch / "install/a.txt", "a");
    const std::string port = ClosedLoopbackPort();
    const std::string stages = "Scanning installed files. This may take a while.\nConnecting to patch servers.\n";
    const struct { std::string arguments; std::string out; std::string err; bool errIsPrefix; } cases[] = {
        {"gone 127.0.0.1:" + port, "", "error: The installation folder does not exist: gone\n", false},
        {"install 127.0.0.1:" + port, stages,
         "error: The repair server at 127.0.0.1:" + port + " cannot be reached: Connection refused.\n"
         "error: Unable to connect to patch servers.\n(Error 12 in stage 3)\n", false},
        {"install nowhere.invalid:" + port, "",
         "error: Unable to contact repair server; check your network connection.\n"
         "error: The repair server nowhere.invalid:" + port + " cannot be found: ", true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.arguments);
        const ShellRun run = Shell("repair-tool " + c.arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, c.out);
        if (c.errIsPrefix)
        {
            EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
        }
        else
        {
            EXPECT_EQ(run.err, c.err);
        }
    }
}

// Without SOLLEX_REPAIR_SERVER the repair does not blame the network: the built-in name is
// reserved, and the variable is what names a server.
TEST_F(DriverMessagesTest, ARepairWithoutAServerSaysHowToNameOne)
{
    WriteFile(m_scratch / "install/a.txt", "a");
    const ShellRun run = Shell("env -u SOLLEX_REPAIR_SERVER patch-run -r install");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("3\tNo repair server is set: the built-in name repair.sollex.invalid is a reserved name "
                           "that no network answers. SOLLEX_REPAIR_SERVER=HOST:PORT names the repair server; "
                           "nothing was repaired.\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("check your network"), std::string::npos) << run.out;
}

// --resume continues a file over FTP only: with another URL it is a wrong command line, and
// nothing is made.
TEST_F(DriverMessagesTest, FetchToolTakesResumeForFtpOnly)
{
    for (const std::string url : {"http://127.0.0.1:1/x.zip", "https://127.0.0.1:1/x.zip", "www.example.invalid/x.zip"})
    {
        SCOPED_TRACE(url);
        const ShellRun run = Shell("fetch-tool --resume '" + url + "' dest");
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err.rfind("fetch-tool: wrong command line: --resume continues FTP downloads only, and \"" + url +
                                    "\" is not one\nusage: fetch-tool",
                                0),
                  0u)
            << run.err;
        EXPECT_FALSE(fixtures::PathExists(m_scratch / "dest"));
    }
}

// --resume over a server that fails: no DEST is left where there was none, and one that was there
// keeps what it held (it is what a later --resume continues).
TEST_F(DriverMessagesTest, FetchToolResumeOverAFailingServerMakesNothing)
{
    const std::string url = "ftp://127.0.0.1:" + ClosedLoopbackPort() + "/x.zip";
    WriteFile(m_scratch / "kept", "first half");
    for (const char* dest : {"dest", "kept"})
    {
        SCOPED_TRACE(dest);
        const ShellRun run = Shell("fetch-tool --resume " + url + " " + dest);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("fetch-tool: " + url + ": download failed"), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fixtures::PathExists(m_scratch / "dest"));
    EXPECT_EQ(ReadFile(m_scratch / "kept"), "first half");
    EXPECT_EQ(fixtures::ListFolder(m_scratch.Path()), (std::vector<std::string>{".stderr", ".stdout", "kept"}));
}

}  // namespace
