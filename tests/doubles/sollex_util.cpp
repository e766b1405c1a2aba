// Stand-in for the game's command-line utility. Tests copy this program into an installation's
// "bin" folder as "SollexUtil.exe". It accepts exactly the three command lines the patcher uses:
//
//   SollexUtil.exe listbuilds <list file> norender
//   SollexUtil.exe closeadbdaemon -nostartadbdaemon norender
//   SollexUtil.exe repairdatabase patcher
//
// Anything else is written to standard error and ends with exit code 2, so that a wrong command
// line fails loudly.
//
// Configuration: the file "fake_util.conf" in the folder this program lies in (a file rather than
// the environment, so that it also reaches a copy started by an elevated or crashed patcher), one
// key=value a line, "#" starts a comment line. Values may hold \n \r \0 \\ escapes. Keys:
//
//   builds=<text>        what listbuilds writes into the list file, exactly (e.g. 43434,44088,)
//                        without it: the first line of ../version.txt and a comma when that file
//                        exists, else an empty file
//   write_list=0         listbuilds writes no list file
//   daemon=1             listbuilds leaves a background process behind that keeps our standard
//                        output open until closeadbdaemon stops it (or 60 seconds pass)
//   <command>.lines=K    print K lines "<command> line <i>" to standard output, flushed one by one
//   <command>.delay_ms=D pause D ms before each of those lines
//   <command>.stderr=T   write T to standard error
//   <command>.owner_db=P attach to the asset-database owner block of database path P and log
//                        whether that was possible (an exclusive holder refuses it)
//   <command>.hang=1     then sleep until killed
//   <command>.exit=N     exit code (default 0)
// where <command> is listbuilds, closeadbdaemon or repairdatabase.
//
// Call log: every call appends to "fake_util.log" beside this program, first one record written
// in one piece:
//
//   CALL <pid>
//   PPID <parent pid>
//   ARG <argument>        one line per argv entry, argv[0] first
//   CWD <folder>
//
// and later single lines "EVENT <pid> <what>": "DAEMON <pid>", "STOPPED <pid>", "OWNER 1|0",
// "EXIT <code>".

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "sollex/IPCDatabase.h"

namespace
{

std::string g_folder;  // where this program lies, with a final "/"

std::string OwnFolder()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "./";
    const std::string whole(path, static_cast<size_t>(length));
    return whole.substr(0, whole.rfind('/') + 1);
}

void Append(const std::string& fileName, const std::string& text)
{
    const int fd = open((g_folder + fileName).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, text.data(), text.size()) < 0)
        perror("fake_util.log");
    close(fd);
}

void Event(const std::string& what)
{
    Append("fake_util.log", "EVENT " + std::to_string(getpid()) + " " + what + "\n");
}

std::string Unescape(const std::string& value)
{
    std::string out;
    for (size_t i = 0; i < value.size(); ++i)
    {
        if (value[i] != '\\' || i + 1 == value.size())
        {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == '0' ? '\0' : next;
    }
    return out;
}

std::map<std::string, std::string> ReadConfig()
{
    std::map<std::string, std::string> config;
    FILE* file = fopen((g_folder + "fake_util.conf").c_str(), "re");
    if (file == nullptr)
        return config;
    char line[4096];
    while (fgets(line, sizeof line, file) != nullptr)
    {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        const size_t equals = text.find('=');
        if (text.empty() || text[0] == '#' || equals == std::string::npos)
            continue;
        config[text.substr(0, equals)] = Unescape(text.substr(equals + 1));
    }
    fclose(file);
    return config;
}

std::string ReadFirstLine(const std::string& path)
{
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr)
        return std::string();
    char line[256] = {};
    const bool got = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    std::string text = got ? line : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool WriteWhole(const std::string& path, const std::string& bytes)
{
    FILE* file = fopen(path.c_str(), "wbe");
    if (file == nullptr)
        return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

void SleepMs(long ms)
{
    timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR)
    {
    }
}

// A process that inherits our standard output and keeps it open, as a database service would.
void StartDaemon()
{
    const pid_t pid = fork();
    if (pid != 0)
    {
        // The parent records the daemon before it exits, so a closeadbdaemon started right after
        // listbuilds always finds it.
        if (pid > 0)
        {
            WriteWhole(g_folder + "fake_util.daemon", std::to_string(pid));
            Event("DAEMON " + std::to_string(pid));
        }
        return;
    }
    SleepMs(60000);
    _exit(0);
}

void StopDaemon()
{
    const std::string pidText = ReadFirstLine(g_folder + "fake_util.daemon");
    if (pidText.empty())
        return;
    unlink((g_folder + "fake_util.daemon").c_str());
    const pid_t pid = static_cast<pid_t>(atoi(pidText.c_str()));
    if (pid > 0 && kill(pid, SIGTERM) == 0)
        Event("STOPPED " + pidText);
}

int Fail(const std::vector<std::string>& arguments)
{
    std::string line = "SollexUtil (test double): unknown command line:";
    for (size_t i = 1; i < arguments.size(); ++i)
        line += " [" + arguments[i] + "]";
    fprintf(stderr, "%s\n", line.c_str());
    Event("EXIT 2");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    g_folder = OwnFolder();
    const std::vector<std::string> arguments(argv, argv + argc);

    std::string record = "CALL " + std::to_string(getpid()) + "\nPPID " + std::to_string(getppid()) + "\n";
    for (const std::string& argument : arguments)
        record += "ARG " + argument + "\n";
    char cwd[PATH_MAX];
    record += std::string("CWD ") + (getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?") + "\n";
    Append("fake_util.log", record);

    const std::map<std::string, std::string> config = ReadConfig();
    const auto value = [&config](const std::string& key, const std::string& otherwise = "") {
        const auto found = config.find(key);
        return found == config.end() ? otherwise : found->second;
    };

    std::string command;
    if (argc == 4 && arguments[1] == "listbuilds" && arguments[3] == "norender")
        command = "listbuilds";
    else if (argc == 4 && arguments[1] == "closeadbdaemon" && arguments[2] == "-nostartadbdaemon" &&
             arguments[3] == "norender")
        command = "closeadbdaemon";
    else if (argc == 3 && arguments[1] == "repairdatabase" && arguments[2] == "patcher")
        command = "repairdatabase";
    else
        return Fail(arguments);

    if (const std::string database = value(command + ".owner_db"); !database.empty())
    {
        const bool attached = IPCInit(database.c_str(), false);
        Event(std::string("OWNER ") + (attached ? "1" : "0"));
        if (attached)
            IPCShutdown();
    }

    if (command == "listbuilds")
    {
        if (value("write_list", "1") != "0")
        {
            std::string builds = value("builds", "\x01");
            if (builds == "\x01")
            {
                const std::string version = ReadFirstLine(g_folder + "../version.txt");
                builds = version.empty() ? "" : version + ",";
            }
            if (!WriteWhole(arguments[2], builds))
                fprintf(stderr, "SollexUtil (test double): cannot write %s: %s\n", arguments[2].c_str(), strerror(errno));
        }
        if (value("daemon") == "1")
            StartDaemon();
    }
    else if (command == "closeadbdaemon")
        StopDaemon();

    const int lines = atoi(value(command + ".lines", "0").c_str());
    const long delay = atol(value(command + ".delay_ms", "0").c_str());
    for (int i = 1; i <= lines; ++i)
    {
        SleepMs(delay);
        printf("%s line %d\n", command.c_str(), i);
        fflush(stdout);
    }
    if (const std::string text = value(command + ".stderr"); !text.empty())
        fprintf(stderr, "%s", text.c_str());

    if (value(command + ".hang") == "1")
    {
        for (;;)
            pause();
    }
    const int code = atoi(value(command + ".exit", "0").c_str());
    Event("EXIT " + std::to_string(code));
    return code;
}
