#include "platform/Elevator.h"

#include "platform/Registry.h"
#include "platform/Spawn.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform
{
namespace
{

constexpr char kEnvProgram[] = "/usr/bin/env";

class NoElevator : public Elevator
{
public:
    explicit NoElevator(std::string reason) : m_reason(std::move(reason)) {}

    ElevationResult RunElevatedAndWait(const std::string&, const std::vector<std::string>&) override
    {
        return ElevationResult{ElevationResult::Outcome::CouldNotStart, 0, 0, m_reason};
    }

private:
    std::string m_reason;
};

// Runs `launcher /usr/bin/env NAME=value... program arguments...` and waits for it.
class LauncherElevator : public Elevator
{
public:
    explicit LauncherElevator(std::string launcher) : m_launcher(std::move(launcher)) {}

    ElevationResult RunElevatedAndWait(const std::string& program, const std::vector<std::string>& arguments) override
    {
        SpawnRequest request;
        request.argv = {m_launcher, kEnvProgram};
        for (const std::string& setting : ElevationEnvironment())
            request.argv.push_back(setting);
        request.argv.push_back(program);
        request.argv.insert(request.argv.end(), arguments.begin(), arguments.end());

        std::string error;
        std::unique_ptr<SpawnedChild> child = SpawnedChild::Spawn(request, &error);
        if (!child)
            return ElevationResult{ElevationResult::Outcome::CouldNotStart, 0, errno, error};
        child->Wait(0xFFFFFFFF);
        const int status = child->ExitCode();
        if (status == 126 || status == 127)
            return ElevationResult{ElevationResult::Outcome::Refused, status, 0, std::string()};
        return ElevationResult{ElevationResult::Outcome::Ran, status, 0, std::string()};
    }

private:
    std::string m_launcher;
};

// The first executable "name" on PATH; empty when there is none.
std::string FindOnPath(const std::string& name)
{
    const char* path = getenv("PATH");
    std::string rest = path != nullptr ? path : "/usr/bin:/bin";
    while (!rest.empty())
    {
        const size_t colon = rest.find(':');
        const std::string folder = rest.substr(0, colon);
        rest = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

void AddSetting(std::vector<std::string>& settings, const char* name, const std::string& value)
{
    if (!value.empty())
        settings.push_back(std::string(name) + "=" + value);
}

std::string Variable(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::vector<std::string> ElevationEnvironment()
{
    std::string registryRoot = GetRegistryRoot();
    if (!registryRoot.empty() && registryRoot[0] != '/')
    {
        // Resolved here: the copy starts in another folder.
        if (char* cwd = getcwd(nullptr, 0))
        {
            registryRoot = std::string(cwd) + "/" + registryRoot;
            free(cwd);
        }
    }
    std::string temp = Variable("TMPDIR");
    if (temp.empty())
        temp = Variable("TEMP");
    if (temp.empty())
        temp = "/tmp";

    std::vector<std::string> settings;
    AddSetting(settings, "DISPLAY", Variable("DISPLAY"));
    AddSetting(settings, "XAUTHORITY", Variable("XAUTHORITY"));
    AddSetting(settings, "LUMO_REGISTRY_ROOT", registryRoot);
    AddSetting(settings, "TMPDIR", temp);
    AddSetting(settings, "LANG", Variable("LANG"));
    return settings;
}

std::unique_ptr<Elevator> MakeElevator()
{
    const std::string choice = Variable("LUMO_ELEVATOR");
    if (choice == "none")
        return std::make_unique<NoElevator>(std::string());
    if (!choice.empty())
        return std::make_unique<LauncherElevator>(choice);
    const std::string pkexec = FindOnPath("pkexec");
    if (pkexec.empty())
        return std::make_unique<NoElevator>("\"pkexec\" cannot be started: it is not on PATH");
    return std::make_unique<LauncherElevator>(pkexec);
}

}  // namespace platform
