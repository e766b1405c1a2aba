#include "app/OnExitProgram.h"

#include "app/core/StringTable.h"
#include "platform/LastError.h"
#include "platform/NativePath.h"
#include "platform/Spawn.h"
#include "platform/Utf8.h"
#include "platform/WriteFully.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <wx/cmdline.h>

namespace LumoPatch {

namespace {

bool IsExecutableFile(const std::string& path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

void StartOnExitProgram(const std::wstring& command, const std::wstring& programFolder, uint32_t waitMilliseconds)
{
    const wxArrayString words = wxCmdLineParser::ConvertStringToArgs(command, wxCMD_LINE_SPLIT_UNIX);
    if (words.empty())
        return;
    platform::SpawnRequest request;
    for (const wxString& word : words)
        request.argv.push_back(platform::WideToUtf8(word.ToStdWstring()));
    if (request.argv[0].find('/') == std::string::npos && !programFolder.empty()) {
        const std::string beside = ToNativePath(programFolder) + "/" + request.argv[0];
        if (IsExecutableFile(beside))
            request.argv[0] = beside;
    }
    std::string error;
    std::unique_ptr<platform::SpawnedChild> child = platform::SpawnedChild::Spawn(request, &error);
    if (!child) {
        const uint32_t code = platform::ErrorFromErrno(errno);
        // The code alone does not say which program or why: the start's own message follows.
        const std::string line =
            platform::WideToUtf8(LoadResString(138)) + std::to_string(code) + "\n" + error + "\n";
        platform::WriteFully(STDERR_FILENO, line.data(), line.size());
        return;
    }
    child->Wait(waitMilliseconds);
}

}  // namespace LumoPatch
