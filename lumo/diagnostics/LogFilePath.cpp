#include "lumo/diagnostics/LogFilePath.h"

#include <atomic>
#include <mutex>

#include "lumo/files/FileUtil.h"

namespace
{
std::mutex g_foldersLock;
std::wstring g_logFolder;
std::wstring g_defaultSubfolder;
std::atomic<bool> g_keepOld{false};

std::wstring Limited(std::wstring text)
{
    if (text.size() > LOG_PATH_MAX)
        text.resize(LOG_PATH_MAX);
    return text;
}

// The extension of the last component, without its dot; npos when there is none.
size_t ExtensionDot(const std::wstring& name)
{
    const size_t dot = name.rfind(L'.');
    const size_t slash = name.find_last_of(L"/\\");
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash))
        return std::wstring::npos;
    return dot;
}
}

void SetLogFolders(const wchar_t* logFolder, const wchar_t* defaultSubfolder)
{
    std::lock_guard<std::mutex> lock(g_foldersLock);
    g_logFolder = Limited(logFolder ? logFolder : L"");
    g_defaultSubfolder = Limited(defaultSubfolder ? defaultSubfolder : L"");
}

void SetKeepOldLogFiles(bool on)
{
    g_keepOld = on;
}

bool GetKeepOldLogFiles()
{
    return g_keepOld.load();
}

void MakeLogFilePath(const std::wstring& name, const wchar_t* subfolder, std::wstring& path)
{
    std::wstring folder;
    {
        std::lock_guard<std::mutex> lock(g_foldersLock);
        folder = g_logFolder;
        folder = Limited(folder + (subfolder && *subfolder ? std::wstring(subfolder) : g_defaultSubfolder));
    }
    for (wchar_t& c : folder)
    {
        if (c == L'\\')
            c = L'/';
    }
    if (!folder.empty() && folder.back() != L'/' && folder.size() < LOG_PATH_MAX)
        folder += L'/';
    if (!folder.empty())
        MakeDirectory(folder);

    path = Limited(folder + name);
    if (g_keepOld)
    {
        if (LumoUtil::FileExists(path))
            LumoUtil::DeleteFile(path);
        return;
    }
    const size_t dot = ExtensionDot(name);
    const std::wstring stem = dot == std::wstring::npos ? name : name.substr(0, dot);
    const std::wstring extension = dot == std::wstring::npos ? std::wstring() : name.substr(dot);
    // Bounded, so that a folder we cannot see into still yields a name.
    for (int i = 1; i < 100000 && LumoUtil::FileExists(path); ++i)
        path = Limited(folder + stem + L"_" + std::to_wstring(i) + extension);
}
