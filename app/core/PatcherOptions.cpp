#include "app/core/PatcherOptions.h"

#include "app/core/FileBytes.h"

#include <wx/convauto.h>
#include <wx/string.h>

#include <algorithm>

PatcherOptions& PatcherOptions::Instance()
{
    // Never destroyed: worker threads may still read it while the process ends.
    static PatcherOptions* const options = new PatcherOptions;
    return *options;
}

std::string PatcherOptions::GetCurrentBuild() const
{
    return builds.empty() ? std::string() : builds.front();
}

bool PatcherOptions::PopCurrentBuild()
{
    if (builds.empty())
        return false;
    builds.erase(builds.begin());
    return !builds.empty();
}

void PatcherOptions::SetCurrentBuild(const std::string& build)
{
    builds.erase(std::remove(builds.begin(), builds.end(), build), builds.end());
    builds.insert(builds.begin(), build);
}

void PatcherOptions::AddBuild(const std::string& build)
{
    if (std::find(builds.begin(), builds.end(), build) == builds.end())
        builds.push_back(build);
}

bool AddPatchServer(const std::wstring& server)
{
    PatcherOptions::Instance().patchServers.push_back(server);
    return true;
}

std::vector<std::wstring> ParsePatchServerList(const std::string& bytes)
{
    std::vector<std::wstring> servers;
    if (bytes.empty())
        return servers;
    // A byte-order mark decides the encoding; without one UTF-8, and Latin-1 when that fails.
    const wxString text(bytes.data(), wxConvAuto(wxFONTENCODING_ISO8859_1), bytes.size());
    const std::wstring wide = text.ToStdWstring();

    size_t start = 0;
    while (start < wide.size()) {
        size_t end = wide.find_first_of(L"\r\n", start);
        if (end == std::wstring::npos)
            end = wide.size();
        std::wstring line = wide.substr(start, end - start);
        if (line.find_first_not_of(L" \t") != std::wstring::npos)
            servers.push_back(std::move(line));
        // CR LF is one line end.
        start = end + (wide.compare(end, 2, L"\r\n") == 0 ? 2 : 1);
    }
    return servers;
}

bool ReadPatchServerList(const std::wstring& fileName, std::wstring* why)
{
    std::wstring reason;
    std::string bytes;
    std::vector<std::wstring> servers;
    if (ReadFileBytes(fileName, bytes, reason))
    {
        servers = ParsePatchServerList(bytes);
        if (servers.empty())
            reason = bytes.empty() ? L"the file is empty" : L"the file names no server";
    }
    for (const std::wstring& server : servers)
        AddPatchServer(server);
    if (why)
        *why = reason;
    return !servers.empty();
}

std::string MakePatchName()
{
    const PatcherOptions& options = PatcherOptions::Instance();
    return options.GetCurrentBuild() + "_to_" + options.targetVersion;
}
