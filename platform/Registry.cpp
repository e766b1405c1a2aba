#include "platform/Registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/LastError.h"
#include "platform/NativePath.h"
#include "platform/Utf8.h"
#include "platform/WriteFully.h"

namespace platform
{
namespace
{

constexpr char kHiveLocalMachine[] = "HKEY_LOCAL_MACHINE";
// Temporary and probe entries start with this; such names are never keys or values.
constexpr char kScratchPrefix[] = ".lumo-tmp-";
// A value file larger than this is not one of ours.
constexpr off_t kMaxValueFileSize = 1 << 20;

constexpr uint32_t kReadRights = kKeyQueryValue | kKeyEnumerateSubKeys | kKeyNotify;
constexpr uint32_t kWriteRights = kKeySetValue | kKeyCreateSubKey;

uint32_t Fail(uint32_t code)
{
    SetLastError(code);
    return code;
}

uint32_t FailErrno(int errnoValue)
{
    return Fail(ErrorFromErrno(errnoValue));
}

uint32_t Succeed()
{
    SetLastError(kErrorSuccess);
    return kErrorSuccess;
}

// Simple case folding for the scripts whose names we may meet: ASCII, Latin-1, Greek, Cyrillic.
wchar_t FoldCase(wchar_t c)
{
    if (c >= L'A' && c <= L'Z')
        return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return c + 32;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2)
        return c + 32;
    if (c >= 0x410 && c <= 0x42F)
        return c + 32;
    if (c >= 0x400 && c <= 0x40F)
        return c + 80;
    return c;
}

std::wstring Fold(const std::wstring& s)
{
    std::wstring out(s);
    for (wchar_t& c : out)
        c = FoldCase(c);
    return out;
}

// UTF-8 of text; false for NUL and for values that are no Unicode scalar.
bool EncodeUtf8(const std::wstring& text, std::string& out)
{
    return text.find(L'\0') == std::wstring::npos && platform::WideToUtf8Checked(text, out);
}

bool IsScratchName(const std::string& name)
{
    return name.compare(0, sizeof(kScratchPrefix) - 1, kScratchPrefix) == 0;
}

// A key or value name as it may stand on disk; out receives its UTF-8 form.
bool IsValidName(const std::wstring& name, std::string& out)
{
    if (name.empty() || name == L"." || name == L"..")
        return false;
    for (wchar_t c : name)
    {
        if (c < 0x20 || c == 0x7F || c == L'/' || c == L'\\')
            return false;
    }
    return EncodeUtf8(name, out) && !IsScratchName(out);
}

// Splits a "\"-separated subkey path into validated UTF-8 names; empty levels are skipped.
bool SplitSubKey(const std::wstring& subKey, std::vector<std::string>& names)
{
    names.clear();
    size_t start = 0;
    while (start <= subKey.size())
    {
        size_t end = subKey.find(L'\\', start);
        if (end == std::wstring::npos)
            end = subKey.size();
        const std::wstring part = subKey.substr(start, end - start);
        if (!part.empty())
        {
            std::string name;
            if (!IsValidName(part, name))
                return false;
            names.push_back(name);
        }
        start = end + 1;
    }
    return true;
}

std::string Join(const std::string& folder, const std::string& name)
{
    return folder + "/" + name;
}

bool IsKind(const std::string& path, bool wantFolder)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    return wantFolder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

// The names of one kind (folders or files) in folder, scratch entries left out.
uint32_t ListEntries(const std::string& folder, bool wantFolders, std::vector<std::string>& names)
{
    names.clear();
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return ErrorFromErrno(errno);
    while (dirent* entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || IsScratchName(name))
            continue;
        if (IsKind(Join(folder, name), wantFolders))
            names.push_back(name);
    }
    closedir(dir);
    return kErrorSuccess;
}

// Finds the entry of one kind that name (UTF-8) names in folder: the exact spelling, else the one
// entry equal to it with case ignored. found is empty when there is none.
uint32_t FindEntry(const std::string& folder, const std::string& name, bool wantFolder, std::string& found)
{
    found.clear();
    if (IsKind(Join(folder, name), wantFolder))
    {
        found = name;
        return kErrorSuccess;
    }
    std::vector<std::string> names;
    const uint32_t listed = ListEntries(folder, wantFolder, names);
    if (listed != kErrorSuccess)
        return listed == kErrorFileNotFound || listed == kErrorPathNotFound ? kErrorFileNotFound : listed;
    const std::wstring wanted = Fold(FromNativePath(name));
    int matches = 0;
    for (const std::string& candidate : names)
    {
        if (Fold(FromNativePath(candidate)) == wanted)
        {
            found = candidate;
            ++matches;
        }
    }
    if (matches > 1)
    {
        found.clear();
        return kErrorInvalidData;
    }
    return kErrorSuccess;
}

std::string UniqueScratchName(const char* kind)
{
    static std::atomic<unsigned> counter{0};
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        random = static_cast<uint64_t>(time(nullptr)) * 2654435761u;
    return std::string(kScratchPrefix) + kind + "-" + std::to_string(getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + "-" + std::to_string(random);
}

// Write access as the registry means it: entries can be created and removed in the folder.
bool CanWriteFolder(const std::string& folder)
{
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return false;
    const std::string probe = Join(folder, UniqueScratchName("probe"));
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    close(fd);
    return unlink(probe.c_str()) == 0;
}

bool MakeFolders(const std::string& path)
{
    std::string sofar;
    size_t start = 0;
    while (start <= path.size())
    {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        sofar = path.substr(0, end);
        if (!sofar.empty() && mkdir(sofar.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        start = end + 1;
    }
    return IsKind(path, true);
}

std::string FolderOf(RegistryHive hive)
{
    switch (hive)
    {
    case RegistryHive::LocalMachine:
        return kHiveLocalMachine;
    }
    return kHiveLocalMachine;
}

} // namespace

std::string GetRegistryRoot()
{
    std::string root;
    const char* explicitRoot = getenv("LUMO_REGISTRY_ROOT");
    const char* dataHome = getenv("XDG_DATA_HOME");
    const char* home = getenv("HOME");
    if (explicitRoot != nullptr && *explicitRoot != '\0')
        root = explicitRoot;
    else if (dataHome != nullptr && *dataHome == '/')
        root = std::string(dataHome) + "/lumo/registry";
    else
    {
        std::string homeFolder = home != nullptr ? home : "";
        if (homeFolder.empty())
        {
            if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
                homeFolder = entry->pw_dir;
        }
        if (homeFolder.empty())
            return std::string();
        root = homeFolder + "/.local/share/lumo/registry";
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept : m_folder(std::move(other.m_folder)), m_access(other.m_access)
{
    other.Close();
}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept
{
    if (this != &other)
    {
        m_folder = std::move(other.m_folder);
        m_access = other.m_access;
        other.Close();
    }
    return *this;
}

void RegistryKey::Close()
{
    m_folder.clear();
    m_access = 0;
}

uint32_t RegistryKey::Open(RegistryHive hive, const std::wstring& subKey, uint32_t access)
{
    Close();
    const std::string root = GetRegistryRoot();
    if (root.empty())
        return Fail(kErrorFileNotFound);
    std::string hiveFolder;
    const uint32_t found = FindEntry(root, FolderOf(hive), true, hiveFolder);
    if (found != kErrorSuccess)
        return Fail(found);
    if (hiveFolder.empty())
        return Fail(kErrorFileNotFound);
    return OpenBelow(Join(root, hiveFolder), subKey, access, false, nullptr);
}

uint32_t RegistryKey::Open(const RegistryKey& parent, const std::wstring& subKey, uint32_t access)
{
    if (!parent.IsOpen())
    {
        Close();
        return Fail(kErrorInvalidHandle);
    }
    // parent may be *this.
    std::string folder = parent.m_folder;
    Close();
    return OpenBelow(folder, subKey, access, false, nullptr);
}

uint32_t RegistryKey::Create(RegistryHive hive, const std::wstring& subKey, uint32_t access, bool* created)
{
    Close();
    if (created != nullptr)
        *created = false;
    const std::string root = GetRegistryRoot();
    if (root.empty())
        return Fail(kErrorFileNotFound);
    if (!MakeFolders(root))
        return FailErrno(errno);
    std::string hiveFolder;
    const uint32_t found = FindEntry(root, FolderOf(hive), true, hiveFolder);
    if (found != kErrorSuccess)
        return Fail(found);
    if (hiveFolder.empty())
    {
        hiveFolder = FolderOf(hive);
        if (mkdir(Join(root, hiveFolder).c_str(), 0755) != 0 && errno != EEXIST)
            return FailErrno(errno);
    }
    return OpenBelow(Join(root, hiveFolder), subKey, access, true, created);
}

uint32_t RegistryKey::OpenBelow(std::string folder, const std::wstring& subKey, uint32_t access, bool create,
                                bool* created)
{
    std::vector<std::string> names;
    if (!SplitSubKey(subKey, names))
        return Fail(kErrorInvalidParameter);
    bool madeLast = false;
    for (const std::string& name : names)
    {
        std::string found;
        const uint32_t result = FindEntry(folder, name, true, found);
        if (result != kErrorSuccess)
            return Fail(result);
        madeLast = false;
        if (found.empty())
        {
            if (!create)
                return Fail(kErrorFileNotFound);
            if (mkdir(Join(folder, name).c_str(), 0755) != 0)
                return FailErrno(errno);
            found = name;
            madeLast = true;
        }
        folder = Join(folder, found);
    }
    if ((access & kReadRights) != 0 && ::access(folder.c_str(), R_OK | X_OK) != 0)
        return Fail(kErrorAccessDenied);
    if ((access & kWriteRights) != 0 && !CanWriteFolder(folder))
        return Fail(kErrorAccessDenied);
    m_folder = folder;
    m_access = access;
    if (created != nullptr)
        *created = madeLast;
    return Succeed();
}

uint32_t RegistryKey::QueryInfo(uint32_t& subKeyCount, uint32_t& maxSubKeyLength) const
{
    subKeyCount = 0;
    maxSubKeyLength = 0;
    if (!IsOpen())
        return Fail(kErrorInvalidHandle);
    std::vector<std::string> names;
    const uint32_t listed = ListEntries(m_folder, true, names);
    if (listed != kErrorSuccess)
        return Fail(listed);
    subKeyCount = static_cast<uint32_t>(names.size());
    for (const std::string& name : names)
        maxSubKeyLength = std::max(maxSubKeyLength, static_cast<uint32_t>(FromNativePath(name).size()));
    return Succeed();
}

uint32_t RegistryKey::CheckAccess(uint32_t right) const
{
    if (!IsOpen())
        return kErrorInvalidHandle;
    if ((m_access & right) == 0)
        return kErrorAccessDenied;
    return kErrorSuccess;
}

uint32_t RegistryKey::LocateValue(uint32_t right, const std::wstring& name, std::string& encoded,
                                  std::string& found) const
{
    const uint32_t allowed = CheckAccess(right);
    if (allowed != kErrorSuccess)
        return allowed;
    if (!IsValidName(name, encoded))
        return kErrorInvalidParameter;
    return FindEntry(m_folder, encoded, false, found);
}

uint32_t RegistryKey::EnumSubKey(uint32_t index, std::wstring& name) const
{
    name.clear();
    const uint32_t allowed = CheckAccess(kKeyEnumerateSubKeys);
    if (allowed != kErrorSuccess)
        return Fail(allowed);
    std::vector<std::string> names;
    const uint32_t listed = ListEntries(m_folder, true, names);
    if (listed != kErrorSuccess)
        return Fail(listed);
    std::vector<std::wstring> wide;
    for (const std::string& entry : names)
        wide.push_back(FromNativePath(entry));
    std::sort(wide.begin(), wide.end(), [](const std::wstring& a, const std::wstring& b) {
        const std::wstring fa = Fold(a), fb = Fold(b);
        return fa != fb ? fa < fb : a < b;
    });
    if (index >= wide.size())
        return Fail(kErrorNoMoreItems);
    name = wide[index];
    return Succeed();
}

uint32_t RegistryKey::ReadValue(const std::wstring& name, std::string& type, std::string& data) const
{
    std::string encoded, found;
    const uint32_t located = LocateValue(kKeyQueryValue, name, encoded, found);
    if (located != kErrorSuccess)
        return Fail(located);
    if (found.empty())
        return Fail(kErrorFileNotFound);
    const int fd = open(Join(m_folder, found).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return FailErrno(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxValueFileSize)
    {
        close(fd);
        return Fail(kErrorInvalidData);
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < text.size())
    {
        const ssize_t n = read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    text.resize(done);
    const size_t lineEnd = text.find('\n');
    if (lineEnd == std::string::npos || text.back() != '\n' || text.size() < lineEnd + 2)
        return Fail(kErrorInvalidData);
    type = text.substr(0, lineEnd);
    data = text.substr(lineEnd + 1, text.size() - lineEnd - 2);
    return Succeed();
}

uint32_t RegistryKey::GetString(const std::wstring& name, std::wstring& value) const
{
    value.clear();
    std::string type, data;
    const uint32_t result = ReadValue(name, type, data);
    if (result != kErrorSuccess)
        return result;
    if (type == "REG_DWORD")
        return Fail(kErrorUnsupportedType);
    if (type != "REG_SZ")
        return Fail(kErrorInvalidData);
    value = FromNativePath(data);
    return Succeed();
}

uint32_t RegistryKey::GetDWord(const std::wstring& name, uint32_t& value) const
{
    value = 0;
    std::string type, data;
    const uint32_t result = ReadValue(name, type, data);
    if (result != kErrorSuccess)
        return result;
    if (type == "REG_SZ")
        return Fail(kErrorUnsupportedType);
    if (type != "REG_DWORD" || data.empty() || data.size() > 10)
        return Fail(kErrorInvalidData);
    uint64_t number = 0;
    for (char c : data)
    {
        if (c < '0' || c > '9')
            return Fail(kErrorInvalidData);
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    if (number > 0xFFFFFFFFu)
        return Fail(kErrorInvalidData);
    value = static_cast<uint32_t>(number);
    return Succeed();
}

uint32_t RegistryKey::WriteValue(const std::wstring& name, const std::string& text)
{
    std::string encoded, found;
    const uint32_t located = LocateValue(kKeySetValue, name, encoded, found);
    if (located != kErrorSuccess)
        return Fail(located);
    const std::string target = Join(m_folder, found.empty() ? encoded : found);
    const std::string temp = Join(m_folder, UniqueScratchName("value"));
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return FailErrno(errno);
    bool ok = WriteFully(fd, text.data(), text.size()) && fsync(fd) == 0;
    int savedErrno = errno;
    if (close(fd) != 0 && ok)
    {
        ok = false;
        savedErrno = errno;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0)
    {
        ok = false;
        savedErrno = errno;
    }
    if (!ok)
    {
        unlink(temp.c_str());
        return FailErrno(savedErrno);
    }
    // The rename itself reaches the disk with the folder.
    const int dirFd = open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0)
    {
        fsync(dirFd);
        close(dirFd);
    }
    return Succeed();
}

uint32_t RegistryKey::SetString(const std::wstring& name, const std::wstring& value)
{
    std::string data;
    if (!EncodeUtf8(value, data))
        return Fail(kErrorInvalidParameter);
    return WriteValue(name, "REG_SZ\n" + data + "\n");
}

uint32_t RegistryKey::SetDWord(const std::wstring& name, uint32_t value)
{
    return WriteValue(name, "REG_DWORD\n" + std::to_string(value) + "\n");
}

uint32_t RegistryKey::DeleteValue(const std::wstring& name)
{
    std::string encoded, found;
    const uint32_t located = LocateValue(kKeySetValue, name, encoded, found);
    if (located != kErrorSuccess)
        return Fail(located);
    if (found.empty())
        return Fail(kErrorFileNotFound);
    if (unlink(Join(m_folder, found).c_str()) != 0)
        return FailErrno(errno);
    return Succeed();
}

} // namespace platform
