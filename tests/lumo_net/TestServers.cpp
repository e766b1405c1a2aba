#include "tests/lumo_net/TestServers.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "BuildConfig.h"
#include "tests/fixtures/LoopbackPort.h"
#include "tests/fixtures/ScratchFolder.h"

namespace nettest
{
namespace
{

constexpr int kRunning = 259;

void StopChild(std::unique_ptr<platform::SpawnedChild>& child)
{
    if (!child)
        return;
    child->Terminate(1);
    child->Wait(10000);
    child.reset();
}

// Runs a short program to its end; true when it exited with 0.
bool RunTool(const std::vector<std::string>& argv, const std::string& folder)
{
    platform::SpawnRequest request;
    request.argv = argv;
    request.workingFolder = folder;
    request.captureOutput = true;
    auto child = platform::SpawnedChild::Spawn(request, nullptr);
    if (!child)
        return false;
    char buffer[4096];
    std::string output;
    ssize_t n = 0;
    while ((n = child->ReadOutput(buffer, sizeof buffer)) > 0)
        output.append(buffer, static_cast<size_t>(n));
    child->Wait(60000);
    if (child->ExitCode() != 0)
    {
        std::fprintf(stderr, "%s failed:\n%s\n", argv[0].c_str(), output.c_str());
        return false;
    }
    return true;
}

} // namespace

ServerProcess::~ServerProcess()
{
    Stop();
}

bool ServerProcess::Start(const std::vector<std::string>& argv)
{
    platform::SpawnRequest request;
    request.argv = argv;
    request.captureOutput = true;
    m_child = platform::SpawnedChild::Spawn(request, nullptr);
    if (!m_child)
        return false;
    // A child that never reports is stopped, so the read below ends.
    std::mutex lock;
    std::condition_variable reported;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!reported.wait_for(guard, std::chrono::seconds(20), [&] { return done; }))
            m_child->Terminate(1);
    });
    std::string output;
    char byte = 0;
    while (m_port == 0 && m_child->ReadOutput(&byte, 1) == 1)
    {
        if (byte != '\n')
        {
            output.push_back(byte);
            continue;
        }
        if (output.rfind("PORT ", 0) == 0)
            m_port = std::stoi(output.substr(5));
        else
            std::fprintf(stderr, "%s: %s\n", argv[0].c_str(), output.c_str());
        output.clear();
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    reported.notify_all();
    watchdog.join();
    if (m_port == 0)
        Stop();
    return m_port != 0;
}

void ServerProcess::Stop()
{
    StopChild(m_child);
}

NginxServer::NginxServer(const std::string& root)
{
    char pattern[] = "/tmp/lumo-nginx.XXXXXX";
    if (!mkdtemp(pattern))
        return;
    m_folder = pattern;
    for (int attempt = 0; attempt < 5 && m_port == 0; ++attempt)
    {
        const int port = fixtures::FreeLoopbackPort();
        std::ostringstream conf;
        if (geteuid() == 0)
            conf << "user root;\n";
        conf << "worker_processes 1;\nmaster_process off;\npid " << m_folder << "/nginx.pid;\n"
             << "error_log " << m_folder << "/error.log;\nevents { worker_connections 64; }\n"
             << "http {\n  access_log off;\n  default_type application/octet-stream;\n"
             << "  client_body_temp_path " << m_folder << "/body;\n  proxy_temp_path " << m_folder << "/proxy;\n"
             << "  fastcgi_temp_path " << m_folder << "/fastcgi;\n  uwsgi_temp_path " << m_folder << "/uwsgi;\n"
             << "  scgi_temp_path " << m_folder << "/scgi;\n"
             << "  server { listen 127.0.0.1:" << port << "; root " << root << "; }\n}\n";
        fixtures::WriteFile(m_folder + "/nginx.conf", conf.str());
        platform::SpawnRequest request;
        request.argv = {"nginx", "-p", m_folder + "/", "-c", m_folder + "/nginx.conf", "-e", m_folder + "/error.log",
                        "-g", "daemon off;"};
        m_child = platform::SpawnedChild::Spawn(request, nullptr);
        if (!m_child)
            return;
        for (int wait = 0; wait < 500; ++wait)
        {
            if (m_child->ExitCode() != kRunning)
                break;
            if (fixtures::LoopbackAccepts(port))
            {
                m_port = port;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (m_port == 0)
            StopChild(m_child);
    }
}

NginxServer::~NginxServer()
{
    StopChild(m_child);
    if (!m_folder.empty())
        fixtures::RemoveTree(m_folder);
}

std::string NginxServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + "/" + path;
}

bool MakeTestCertificates(const std::string& folder, TestCertificates& out)
{
    const std::vector<std::string> ecKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    auto makeCa = [&](const std::string& name) {
        std::vector<std::string> argv = {"openssl", "req", "-x509"};
        argv.insert(argv.end(), ecKey.begin(), ecKey.end());
        argv.insert(argv.end(), {"-keyout", name + ".key", "-out", name + ".pem", "-subj", "/CN=" + name, "-days", "2",
                                 "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                                 "keyUsage=critical,keyCertSign,cRLSign"});
        return RunTool(argv, folder);
    };
    fixtures::WriteFile(folder + "/server.ext", "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n");
    std::vector<std::string> csr = {"openssl", "req"};
    csr.insert(csr.end(), ecKey.begin(), ecKey.end());
    csr.insert(csr.end(), {"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1"});
    const bool ok = makeCa("lumo-test-ca") && makeCa("lumo-other-ca") && RunTool(csr, folder) &&
                    RunTool({"openssl", "x509", "-req", "-in", "server.csr", "-CA", "lumo-test-ca.pem", "-CAkey",
                             "lumo-test-ca.key", "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile",
                             "server.ext"},
                            folder);
    out.caFile = folder + "/lumo-test-ca.pem";
    out.otherCa = folder + "/lumo-other-ca.pem";
    out.serverCert = folder + "/server.pem";
    out.serverKey = folder + "/server.key";
    return ok;
}

FaultServer::FaultServer(const std::string& root, const TestCertificates* tls) : m_tls(tls != nullptr)
{
    std::vector<std::string> argv = {"/usr/bin/python3", std::string(LUMO_SOURCE_DIR) + "/tests/doubles/http_fault_server.py",
                                     "--root", root};
    if (tls)
        argv.insert(argv.end(), {"--cert", tls->serverCert, "--key", tls->serverKey});
    m_process.Start(argv);
}

std::string FaultServer::Url(const std::string& path) const
{
    return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_process.Port()) + "/" + path;
}

FtpServer::FtpServer(const std::string& root, const std::string& logFile, const std::vector<std::string>& extra)
    : m_log(logFile)
{
    std::vector<std::string> argv = {"/usr/bin/python3", std::string(LUMO_SOURCE_DIR) + "/tests/doubles/ftp_server.py",
                                     "--root", root, "--log", logFile};
    argv.insert(argv.end(), extra.begin(), extra.end());
    m_process.Start(argv);
}

std::string FtpServer::Url(const std::string& path) const
{
    return "ftp://127.0.0.1:" + std::to_string(m_process.Port()) + "/" + path;
}

std::string FtpServer::Log() const
{
    std::ifstream in(m_log);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

StderrCapture::StderrCapture()
{
    char pattern[] = "/tmp/lumo-stderr.XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0)
        return;
    m_path = pattern;
    std::fflush(stderr);
    m_saved = dup(2);
    dup2(fd, 2);
    close(fd);
}

StderrCapture::~StderrCapture()
{
    End();
    if (!m_path.empty())
        unlink(m_path.c_str());
}

void StderrCapture::End()
{
    if (m_ended || m_saved < 0)
        return;
    m_ended = true;
    std::fflush(stderr);
    dup2(m_saved, 2);
    close(m_saved);
}

std::string StderrCapture::Text()
{
    End();
    std::ifstream in(m_path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string PatternBytes(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i)
    {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

} // namespace nettest
