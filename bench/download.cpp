// bench-download: fetching a 1 GiB file over loopback through DownloadURL into a file stream,
// against `curl -o` of the same URL, from nginx over HTTP and from the FTP test server over FTP.
// Rounds alternate which side goes first; the median of each counts, and every copy must
// equal the source. Destinations lie in /dev/shm when it exists, so that no disk flush is timed.
// Optional argument: the file size in MiB (default 1024).
// Last lines: download-ftp: ours <MiB/s>, curl <MiB/s>, ratio <ours/curl>
//             download: ours <MiB/s>, curl <MiB/s>, ratio <ours/curl>   (HTTP)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "BuildConfig.h"
#include "bench/BenchSupport.h"
#include "lumo/buffers/LumoDataBufferFile.h"
#include "lumo/net/DownloadURL.h"
#include "platform/Spawn.h"
#include "tests/fixtures/LoopbackPort.h"
#include "tests/fixtures/SystemProgram.h"

namespace
{
constexpr int kRounds = 5;

std::wstring Wide(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

std::unique_ptr<platform::SpawnedChild> StartNginx(const std::string& folder, const std::string& root, int& port)
{
    port = fixtures::FreeLoopbackPort();
    std::ofstream conf(folder + "/nginx.conf");
    if (geteuid() == 0)
        conf << "user root;\n";
    conf << "worker_processes 1;\nmaster_process off;\npid " << folder << "/nginx.pid;\nerror_log " << folder
         << "/error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n  sendfile on;\n"
         << "  default_type application/octet-stream;\n  client_body_temp_path " << folder << "/b;\n"
         << "  proxy_temp_path " << folder << "/p;\n  fastcgi_temp_path " << folder << "/f;\n  uwsgi_temp_path "
         << folder << "/u;\n  scgi_temp_path " << folder << "/s;\n  server { listen 127.0.0.1:" << port << "; root "
         << root << "; }\n}\n";
    conf.close();
    platform::SpawnRequest request;
    request.argv = {fixtures::SystemProgram("nginx"), "-p", folder + "/", "-c", folder + "/nginx.conf", "-e", folder + "/error.log",
                    "-g", "daemon off;"};
    auto child = platform::SpawnedChild::Spawn(request, nullptr);
    for (int i = 0; child && i < 500 && !fixtures::LoopbackAccepts(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return child;
}

std::unique_ptr<platform::SpawnedChild> StartFtp(const std::string& folder, const std::string& root, int& port)
{
    platform::SpawnRequest request;
    request.argv = {"/usr/bin/python3", std::string(LUMO_SOURCE_DIR) + "/tests/doubles/ftp_server.py", "--root", root,
                    "--log", folder + "/ftp.log"};
    request.captureOutput = true;
    auto child = platform::SpawnedChild::Spawn(request, nullptr);
    std::string line;
    char byte = 0;
    port = 0;
    while (child && port == 0 && child->ReadOutput(&byte, 1) == 1)
    {
        if (byte != '\n')
            line.push_back(byte);
        else if (line.rfind("PORT ", 0) == 0)
            port = std::atoi(line.c_str() + 5);
        else
            line.clear();
    }
    return child;
}

bool SameFile(const std::string& a, const std::string& b)
{
    return bench::RunCommand({"cmp", "-s", a, b});
}

double Ours(const std::string& url, const std::string& to)
{
    const auto start = std::chrono::steady_clock::now();
    LumoDataBufferFile file(Wide(to), LumoDataBufferFile::MODE_WRITE);
    if (!file.IsOpen() || DownloadURL(url, &file, 0, nullptr) != LUMORESULT_OK || file.Close() != LUMORESULT_OK)
        return -1;
    return bench::SecondsSince(start);
}

double Curl(const std::string& url, const std::string& to)
{
    const auto start = std::chrono::steady_clock::now();
    if (!bench::RunCommand({"curl", "-s", "-f", "-o", to, url}))
        return -1;
    return bench::SecondsSince(start);
}

// Median MiB/s of each side, in rounds that alternate which side goes first; false when a
// download failed or differs.
bool Compare(const char* name, const std::string& url, const std::string& source, const std::string& outFolder,
             uint64_t size, double& ours, double& curl)
{
    const double mib = static_cast<double>(size) / (1 << 20);
    auto checked = [&](double seconds, const std::string& file) {
        const bool same = seconds > 0 && SameFile(source, file);
        unlink(file.c_str());
        if (!same)
            std::fprintf(stderr, "%s: a download failed or differs from the source\n", name);
        return same ? mib / seconds : -1.0;
    };
    const std::string oursFile = outFolder + "/ours.bin", curlFile = outFolder + "/curl.bin";
    const auto result = bench::Alternate(
        name, "curl", "MiB/s", kRounds, [&] { return checked(Ours(url, oursFile), oursFile); },
        [&] { return checked(Curl(url, curlFile), curlFile); });
    ours = result.ours.median;
    curl = result.anchor.median;
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    const uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024) << 20;
    char pattern[] = "/tmp/bench-download.XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    const std::string folder = pattern;
    std::string outFolder = folder;
    char shmPattern[] = "/dev/shm/bench-download.XXXXXX";
    if (access("/dev/shm", W_OK) == 0 && mkdtemp(shmPattern))
        outFolder = shmPattern;
    mkdir((folder + "/www").c_str(), 0700);
    const std::string source = folder + "/www/big.bin";
    int status = 1;
    if (bench::WritePseudoRandomFile(source, size))
    {
        int httpPort = 0, ftpPort = 0;
        auto nginx = StartNginx(folder, folder + "/www", httpPort);
        auto ftp = StartFtp(folder, folder + "/www", ftpPort);
        double oursFtp = 0, curlFtp = 0, oursHttp = 0, curlHttp = 0;
        const bool ok =
            nginx && ftp && ftpPort != 0 &&
            Compare("download-ftp", "ftp://127.0.0.1:" + std::to_string(ftpPort) + "/big.bin", source, outFolder, size,
                    oursFtp, curlFtp) &&
            Compare("download", "http://127.0.0.1:" + std::to_string(httpPort) + "/big.bin", source, outFolder, size,
                    oursHttp, curlHttp);
        for (auto* child : {nginx.get(), ftp.get()})
            if (child)
            {
                child->Terminate(1);
                child->Wait(10000);
            }
        if (ok)
        {
            std::printf("download-ftp: ours %.1f MiB/s, curl %.1f MiB/s, ratio %.2f\n", oursFtp, curlFtp,
                        oursFtp / curlFtp);
            std::printf("download: ours %.1f MiB/s, curl %.1f MiB/s, ratio %.2f\n", oursHttp, curlHttp,
                        oursHttp / curlHttp);
            status = 0;
        }
    }
    bench::RunCommand({"rm", "-rf", folder});
    if (outFolder != folder)
        bench::RunCommand({"rm", "-rf", outFolder});
    return status;
}
