// adb-peer: another process on the asset-database owner block, as the game and its tools are.
// It reads one command a line on standard input and answers one line on standard output; lines
// the "Sollex" log writes come out as "log <text>". It starts by printing "ready <pid>".
//
//   attach <database path> [suspended]   attach <1|0> <attach count>   (suspended: a suspended
//                                        exclusive holder does not keep it out)
//   enter | leave                        enter <1|0> | left            (exclusive holding)
//   suspend | resume                     suspend <1|0> | resume <1|0>
//   acquire | release                    acquired | released           (acquire waits)
//   idle                                 idled
//   block                                block <creator> <owner> <requester> <change counter>
//                                              <layout> <attach count> <holder> <suspended> <value>
//   lock | unlock                        locked | unlocked             (the named mutex)
//   spawn <seconds>                      spawned <pid>                 (a child that sleeps)
//   detach                               detached
//   die                                  (ends by SIGKILL, detaching nothing)
//   exit, or the end of input            detaches and exits 0

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/Spawn.h"
#include "sollex/IPCDatabase.h"
#include "sollex/SollexLog.h"

namespace
{

std::mutex g_outputLock;

void Answer(const std::string& line)
{
    std::lock_guard<std::mutex> hold(g_outputLock);
    std::cout << line << std::endl;
}

void AnswerFlag(const char* word, bool flag)
{
    Answer(std::string(word) + (flag ? " 1" : " 0"));
}

}  // namespace

int main()
{
    platform::SetDebugOutputHook([](const std::string& text) {
        std::string line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        Answer("log " + line);
    });
    std::vector<std::unique_ptr<platform::SpawnedChild>> children;
    Answer("ready " + std::to_string(getpid()));

    std::string line;
    while (std::getline(std::cin, line))
    {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "attach")
        {
            std::string path, option;
            words >> path >> option;
            const bool attached = IPCInit(path.c_str(), option == "suspended");
            Answer(std::string("attach ") + (attached ? "1 " : "0 ") + std::to_string(IPCGetAttachCount()));
        }
        else if (command == "enter")
            AnswerFlag("enter", IPCEnterExclusive());
        else if (command == "leave")
        {
            IPCLeaveExclusive();
            Answer("left");
        }
        else if (command == "suspend")
            AnswerFlag("suspend", IPCSuspendExclusive());
        else if (command == "resume")
            AnswerFlag("resume", IPCResumeExclusive());
        else if (command == "acquire")
        {
            IPCAcquire();
            Answer("acquired");
        }
        else if (command == "release")
        {
            IPCRelease();
            Answer("released");
        }
        else if (command == "idle")
        {
            IPCIdle();
            Answer("idled");
        }
        else if (command == "block")
        {
            IPCDatabaseBlock block{};
            if (!IPCReadBlock(block))
            {
                Answer("block none");
                continue;
            }
            std::ostringstream text;
            text << "block " << block.creator << ' ' << block.owner << ' ' << block.requester << ' '
                 << block.changeCounter << ' ' << block.layout << ' ' << int(block.attachCount) << ' '
                 << block.exclusiveHolder << ' ' << int(block.exclusiveSuspended) << ' ' << block.ownerValue;
            Answer(text.str());
        }
        else if (command == "lock")
        {
            IPCLock();
            Answer("locked");
        }
        else if (command == "lockwait")
        {
            uint32_t milliseconds = 0;
            words >> milliseconds;
            IPCSetLockWait(milliseconds);
            Answer("lockwait " + std::to_string(milliseconds));
        }
        else if (command == "unlock")
        {
            IPCUnlock();
            Answer("unlocked");
        }
        else if (command == "spawn")
        {
            std::string seconds;
            words >> seconds;
            platform::SpawnRequest request;
            request.argv = {"sleep", seconds};
            std::string error;
            auto child = platform::SpawnedChild::Spawn(request, &error);
            Answer(child ? "spawned " + std::to_string(child->Pid()) : "spawn failed: " + error);
            if (child)
                children.push_back(std::move(child));
        }
        else if (command == "detach")
        {
            IPCShutdown();
            Answer("detached");
        }
        else if (command == "die")
        {
            raise(SIGKILL);
        }
        else if (command == "exit")
        {
            break;
        }
        else
        {
            Answer("unknown command: " + line);
        }
    }
    IPCShutdown();
    return 0;
}
