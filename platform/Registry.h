#pragma once
// The machine-wide registry, stood in for by a directory tree.
//
// Root: the environment variable LUMO_REGISTRY_ROOT (an absolute path: a relative one would move
// with the working folder), else ${XDG_DATA_HOME:-$HOME/.local/share}/lumo/registry (a game
// installed in the user's home must not need root). The hive
// HKEY_LOCAL_MACHINE is the folder of that name below the root. A key is a folder; a value is a
// file in its key's folder that holds its type and data as readable text:
//
//   REG_SZ\n<the string, UTF-8>\n        REG_DWORD\n<decimal value>\n
//
// (the data is everything after the first line end up to the one final line end, so a string may
// itself hold line ends).
//
// Names ignore case on lookup (ASCII, Latin-1, Greek and Cyrillic letters fold) and keep their
// spelling on creation; where two names on disk differ only in case the lookup is refused as
// ambiguous. Values are replaced atomically: a temporary file beside them, fsync, rename. Opening
// a key with write access fails where its folder is not writable (tested by creating and removing
// a probe entry, so a read-only file system counts as well).
//
// Results are Windows error numbers (platform/LastError.h) and are also left as the thread's last
// error.

#include <cstdint>
#include <string>

namespace platform
{

enum : uint32_t
{
    kErrorInvalidData = 13,      // a value file that cannot be read as a value; an ambiguous name
    kErrorMoreData = 234,
    kErrorNoMoreItems = 259,     // enumeration index past the last subkey
    kErrorUnsupportedType = 1630 // the value exists with another type than asked
};

// Access masks in the Windows numbering.
enum : uint32_t
{
    kKeyQueryValue = 0x0001,
    kKeySetValue = 0x0002,
    kKeyCreateSubKey = 0x0004,
    kKeyEnumerateSubKeys = 0x0008,
    kKeyNotify = 0x0010,
    kKeyRead = 0x20019,
    kKeyWrite = 0x20006,
    kKeyAllAccess = 0xF003F,
};

enum class RegistryHive
{
    LocalMachine, // HKEY_LOCAL_MACHINE
};

// The registry's root folder as this process resolves it (native path, no trailing "/"). An
// elevated copy of the program is handed this so that both see the same registry. Empty when
// neither LUMO_REGISTRY_ROOT nor a home folder is known.
std::string GetRegistryRoot();

// One open key. Subkey paths separate their levels with "\" (a trailing or doubled "\" is
// ignored); a name holding "/", NUL or another control character, or being "." or "..", is
// refused with kErrorInvalidParameter.
class RegistryKey
{
public:
    RegistryKey() = default;
    RegistryKey(RegistryKey&& other) noexcept;
    RegistryKey& operator=(RegistryKey&& other) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() = default;

    // Opens an existing key. kErrorFileNotFound when a level is missing; kErrorAccessDenied when
    // the access asked for cannot be had (read: the folder is not readable; write: not writable).
    uint32_t Open(RegistryHive hive, const std::wstring& subKey, uint32_t access);
    uint32_t Open(const RegistryKey& parent, const std::wstring& subKey, uint32_t access);

    // Opens a key, creating every missing level (the root and hive folders included) with the
    // spelling given. *created (when given) tells whether the last level was made now. Access 0
    // asks for no rights beyond the key's existence.
    uint32_t Create(RegistryHive hive, const std::wstring& subKey, uint32_t access, bool* created = nullptr);

    void Close();
    bool IsOpen() const { return !m_folder.empty(); }
    // The key's folder (native path); empty when closed.
    const std::string& GetFolder() const { return m_folder; }

    // Number of subkeys and the length of the longest subkey name (in characters).
    uint32_t QueryInfo(uint32_t& subKeyCount, uint32_t& maxSubKeyLength) const;
    // The name of subkey number index in the order of their names, case ignored;
    // kErrorNoMoreItems when index is past the last.
    uint32_t EnumSubKey(uint32_t index, std::wstring& name) const;

    // kErrorFileNotFound when the value is missing, kErrorUnsupportedType when it holds the other
    // type, kErrorInvalidData when its file cannot be read as a value.
    uint32_t GetString(const std::wstring& name, std::wstring& value) const;
    uint32_t GetDWord(const std::wstring& name, uint32_t& value) const;

    // Writes the value atomically, keeping the spelling of an existing value of that name. A string
    // holding NUL or a character that UTF-8 cannot carry is refused with kErrorInvalidParameter.
    uint32_t SetString(const std::wstring& name, const std::wstring& value);
    uint32_t SetDWord(const std::wstring& name, uint32_t value);
    uint32_t DeleteValue(const std::wstring& name);

private:
    uint32_t OpenBelow(std::string folder, const std::wstring& subKey, uint32_t access, bool create,
                       bool* created);
    // kErrorSuccess when the key is open with right, else the error to fail with.
    uint32_t CheckAccess(uint32_t right) const;
    // CheckAccess, then the value called name: encoded receives its UTF-8, found its spelling on
    // disk (empty when there is no such value).
    uint32_t LocateValue(uint32_t right, const std::wstring& name, std::string& encoded, std::string& found) const;
    uint32_t ReadValue(const std::wstring& name, std::string& type, std::string& data) const;
    uint32_t WriteValue(const std::wstring& name, const std::string& text);

    std::string m_folder;
    uint32_t m_access = 0;
};

} // namespace platform
