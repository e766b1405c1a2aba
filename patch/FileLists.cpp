#include "patch/FileLists.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "lumo/text/PathUtil.h"
#include "lumo/text/TextConversion.h"
#include "patch/InstallFileOps.h"
#include "patch/PatchCallbacks.h"
#include "patch/PatchFileNames.h"
#include "patch/PatchMessages.h"
#include "platform/NativePath.h"

namespace {

bool ReadWholeFile(const std::string& nativePath, std::string& bytes)
{
    const int fd = open(nativePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bytes.clear();
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false; // EISDIR for a folder, or an I/O error
            break;
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

// Lines as the text-file reader of the lists' writers splits them: CR LF, LF or CR end a line,
// and a final line end adds no empty line.
std::vector<std::string> SplitLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

} // namespace

PatchFileRecordArray ParseFileList(const std::string& bytes, int& paddedLines)
{
    std::vector<std::string> lines = SplitLines(bytes);
    paddedLines = static_cast<int>((3 - lines.size() % 3) % 3);
    lines.resize(lines.size() + static_cast<size_t>(paddedLines));
    PatchFileRecordArray records;
    records.reserve(lines.size() / 3);
    for (size_t i = 0; i + 2 < lines.size(); i += 3)
        records.push_back({ToWide(lines[i]), ToWide(lines[i + 1]), ToWide(lines[i + 2])});
    return records;
}

bool ReadFileList(const std::wstring& listPath, PatchFileRecordArray& records, int& paddedLines)
{
    records.clear();
    paddedLines = 0;
    std::string bytes;
    if (!ReadWholeFile(ToNativePath(listPath), bytes))
        return false;
    records = ParseFileList(bytes, paddedLines);
    return true;
}

bool FindFileList(const std::wstring& packageDir, const wchar_t* listName, std::wstring& path, std::wstring& error)
{
    // A package folder that is not there has no lists: said as a list that does not open.
    struct stat st;
    if (stat(ToNativePath(packageDir).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        path = LumoUtil::JoinPath(packageDir, listName);
        return true;
    }
    return FindFixedName(packageDir, listName, path, error);
}

void ReportUnreadableList(const std::wstring& listPath)
{
    PatchSendMessage(PATCH_LEVEL_ERROR,
                     PatchMessages::kCouldNotOpen + listPath + PatchMessages::kForReadingMightBeMissing);
}

PatchFileRecordArray ReadAddedFileList(const std::wstring& packageDir)
{
    std::wstring path, error;
    if (!FindFileList(packageDir, kAddedFilesList, path, error)) {
        PatchSendMessage(PATCH_LEVEL_ERROR, error);
        return {};
    }
    PatchFileRecordArray records;
    int padded = 0;
    if (!ReadFileList(path, records, padded)) {
        ReportUnreadableList(path);
        return {};
    }
    for (PatchFileRecord& record : records) {
        record.newChecksum.clear();
        record.oldChecksum.clear();
    }
    return records;
}
