#pragma once
// Servers for the internet client's tests, each on 127.0.0.1 at a free port, started by the test
// and stopped when the object goes: nginx for plain serving, the fault-injecting HTTP(S) double,
// and the FTP double. Also a throw-away certificate authority for HTTPS, and a capture of this
// process's standard output (where the client writes its diagnostic lines).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Spawn.h"

namespace nettest
{

// A child that prints "PORT <n>" when it listens.
class ServerProcess
{
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts argv; true once the child reported its port (within 20 s).
    bool Start(const std::vector<std::string>& argv);
    void Stop();
    int Port() const { return m_port; }

private:
    std::unique_ptr<platform::SpawnedChild> m_child;
    int m_port = 0;
};

class NginxServer
{
public:
    // Serves the files of root over plain HTTP.
    explicit NginxServer(const std::string& root);
    ~NginxServer();
    bool Ok() const { return m_port != 0; }
    int Port() const { return m_port; }
    std::string Url(const std::string& path) const;

private:
    std::string m_folder;
    std::unique_ptr<platform::SpawnedChild> m_child;
    int m_port = 0;
};

struct TestCertificates
{
    std::string caFile;     // the authority that signed the server's certificate
    std::string otherCa;    // an authority that signed nothing we serve
    std::string serverCert;
    std::string serverKey;
};
// Makes the certificates below folder with the openssl tool; false when it failed.
bool MakeTestCertificates(const std::string& folder, TestCertificates& out);

class FaultServer
{
public:
    // Plain HTTP; with certificates HTTPS.
    explicit FaultServer(const std::string& root, const TestCertificates* tls = nullptr);
    bool Ok() const { return m_process.Port() != 0; }
    std::string Url(const std::string& path) const;

private:
    ServerProcess m_process;
    bool m_tls = false;
};

class FtpServer
{
public:
    // extra: more options of the double (see tests/doubles/ftp_server.py).
    FtpServer(const std::string& root, const std::string& logFile, const std::vector<std::string>& extra = {});
    bool Ok() const { return m_process.Port() != 0; }
    int Port() const { return m_process.Port(); }
    std::string Url(const std::string& path) const;
    // The commands the server received so far, one per line.
    std::string Log() const;

private:
    ServerProcess m_process;
    std::string m_log;
};

// Collects what this process writes to its standard error (the network diagnostics) while it lives.
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture();
    // What was written so far (ends the capture).
    std::string Text();

private:
    void End();
    int m_saved = -1;
    std::string m_path;
    bool m_ended = false;
};

// Bytes that tell every offset apart.
std::string PatternBytes(size_t size, uint32_t seed = 1);

} // namespace nettest
