// The repair-server double as a child process for the repair tests: its output goes to a log file
// (it writes a line per record, more than a pipe holds), its port is read from the first line.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BuildConfig.h"
#include "platform/Spawn.h"
#include "tests/fixtures/ScratchFolder.h"

namespace repairtest
{

class RepairServer
{
public:
    // Serves root with the given extra arguments ("--fault", "short", ...); Port() is 0 on failure.
    RepairServer(const std::string& root, const std::string& logFile, const std::vector<std::string>& arguments = {})
        : m_log(logFile)
    {
        std::string command = "exec '" + std::string(LUMO_BIN_DIR) + "/repair-server' '" + root + "'";
        for (const std::string& argument : arguments)
            command += " '" + argument + "'";
        fixtures::RemoveTree(logFile); // a log left by an earlier server names its port
        platform::SpawnRequest request;
        request.argv = {"/bin/sh", "-c", command + " > '" + logFile + "' 2>&1"};
        m_child = platform::SpawnedChild::Spawn(request, nullptr);
        // It checksums ROOT before it listens: a slow machine (or a sanitizer build) may take a while.
        for (int i = 0; m_child && i < 12000 && m_port == 0; ++i)
        {
            const std::string log = Log();
            const size_t at = log.find("listening on port ");
            if (at != std::string::npos && log.find('\n', at) != std::string::npos)
                m_port = std::stoi(log.substr(at + 18));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~RepairServer()
    {
        if (m_child)
        {
            m_child->Terminate(1);
            m_child->Wait(10000);
        }
    }
    RepairServer(const RepairServer&) = delete;
    RepairServer& operator=(const RepairServer&) = delete;

    int Port() const { return m_port; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string Log() const { return fixtures::PathExists(m_log) ? fixtures::ReadFile(m_log) : ""; }

private:
    std::string m_log;
    std::unique_ptr<platform::SpawnedChild> m_child;
    int m_port = 0;
};

} // namespace repairtest
