// Reads arbitrary bytes as a package's file list and puts every path through the checks the patch
// engine makes before it touches an installation. Checks that the reader never loses or invents a
// line, and that every path the checks accept names a file strictly inside the installation and
// never one of the names kept for backups and the journal.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "patch/BackupJournal.h"
#include "patch/FileLists.h"
#include "lumo/files/InstallDoor.h"
#include "patch/InstallFileOps.h"
#include "platform/NativePath.h"

namespace
{
// A small installation, made once: a few folders and files, and a link that leads out of it.
const std::string& InstallFolder()
{
    static const std::string folder = [] {
        const std::string root = MakeFuzzFolder("fuzz-file-lists");
        mkdir((root + "/bin").c_str(), 0755);
        mkdir((root + "/Data").c_str(), 0755);
        mkdir((root + "/data2").c_str(), 0755);
        for (const char* file : {"/bin/x.dll", "/pack.ka", "/Data/a.txt"})
            close(open((root + file).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        symlink("/", (root + "/escape").c_str());
        return root;
    }();
    return folder;
}

size_t CountLines(const std::string& bytes)
{
    size_t lines = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n') {
            ++lines;
            if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        }
    }
    const char last = bytes.empty() ? '\n' : bytes.back();
    return lines + (last != '\r' && last != '\n' ? 1 : 0);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0x10000)
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    int padded = -1;
    const PatchFileRecordArray records = ParseFileList(bytes, padded);
    Check(padded >= 0 && padded <= 2);
    Check(records.size() * 3 == CountLines(bytes) + static_cast<size_t>(padded));

    const std::string& root = InstallFolder();
    const std::wstring wideRoot = FromNativePath(root);
    const std::filesystem::path realRoot = std::filesystem::canonical(root);
    std::wstring doorError;
    const std::shared_ptr<LumoUtil::InstallDoor> door = LumoUtil::InstallDoor::Open(wideRoot, doorError);
    Check(door != nullptr);
    for (const PatchFileRecord& record : records) {
        LumoUtil::InstallFile file;
        std::wstring error;
        if (!ResolvePatchTarget(*door, record.path, file, error)) {
            Check(!error.empty());
            continue;
        }
        Check(file.handle.Valid() || !file.folderPresent);
        const std::string native = ToNativePath(file.path);
        Check(native.size() > root.size() + 1 && native.compare(0, root.size() + 1, root + "/") == 0);
        Check(native.find("/../") == std::string::npos && native.find("/./") == std::string::npos);
        std::string lower = native;
        for (char& c : lower)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        Check(lower.size() < 4 || lower.compare(lower.size() - 4, 4, ".pbk") != 0);
        Check(lower != root + "/patch.journal");
        struct stat st;
        Check(lstat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode));
        // The deepest existing folder above the target stays inside the installation.
        std::filesystem::path parent = std::filesystem::path(native).parent_path();
        std::error_code ec;
        while (!std::filesystem::exists(parent, ec))
            parent = parent.parent_path();
        const std::filesystem::path realParent = std::filesystem::canonical(parent, ec);
        Check(!ec);
        const std::string a = realParent.string(), b = realRoot.string();
        Check(a == b || a.compare(0, b.size() + 1, b + "/") == 0);
    }
    return 0;
}
