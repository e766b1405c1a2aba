// adb-peer (tests/doubles) as a child we talk to: one command a line in, one answer a line out.
// It stands for a game tool that has the asset database open.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "BuildConfig.h"

namespace apprun {

class PeerProcess
{
public:
    PeerProcess()
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const std::string program = std::string(LUMO_BIN_DIR) + "/adb-peer";
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv, environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_to = fdopen(in[1], "w");
        m_from = fdopen(out[0], "r");
        Read();  // "ready <pid>"
    }
    ~PeerProcess()
    {
        if (m_to)
            fclose(m_to);  // the end of input: it detaches and exits
        if (m_from)
            fclose(m_from);
        if (m_pid > 0)
            waitpid(m_pid, nullptr, 0);
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Sends one command and returns its answer line (without the line end).
    std::string Ask(const std::string& command)
    {
        fprintf(m_to, "%s\n", command.c_str());
        fflush(m_to);
        return Read();
    }

private:
    std::string Read()
    {
        std::string line;
        for (int c; m_from && (c = fgetc(m_from)) != EOF && c != '\n';)
            line += static_cast<char>(c);
        return line;
    }

    pid_t m_pid = -1;
    FILE* m_to = nullptr;
    FILE* m_from = nullptr;
};

}  // namespace apprun
