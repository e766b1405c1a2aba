#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>

#include "platform/LastError.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UnprivilegedChild.h"

using namespace platform;
using fixtures::PathExists;
using fixtures::ReadFile;

namespace
{

// Restores one environment variable when it goes out of scope.
class EnvGuard
{
public:
    explicit EnvGuard(const char* name) : m_name(name)
    {
        if (const char* value = getenv(name))
            m_old = value;
    }
    ~EnvGuard()
    {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

class RegistryTest : public ::testing::Test
{
protected:
    void SetUp() override { setenv("LUMO_REGISTRY_ROOT", (m_scratch / "registry").c_str(), 1); }

    std::string Hive() const { return m_scratch / "registry/HKEY_LOCAL_MACHINE"; }

    fixtures::ScratchFolder m_scratch;
    EnvGuard m_rootGuard{"LUMO_REGISTRY_ROOT"};
};

TEST_F(RegistryTest, ValuesAreReadableFilesFoundWhateverTheCase)
{
    RegistryKey key;
    bool created = false;
    ASSERT_EQ(kErrorSuccess,
              key.Create(RegistryHive::LocalMachine, L"Software\\Kestin\\Products\\SollexSimulator", kKeyAllAccess,
                         &created));
    EXPECT_TRUE(created);
    const std::wstring path = L"/home/zoë/Игры/Sollex\\odd\nline";
    ASSERT_EQ(kErrorSuccess, key.SetString(L"ProductInstallPath", path));
    ASSERT_EQ(kErrorSuccess, key.SetDWord(L"IsPatching", 1));

    const std::string folder = Hive() + "/Software/Kestin/Products/SollexSimulator";
    EXPECT_EQ("REG_DWORD\n1\n", ReadFile(folder + "/IsPatching"));
    EXPECT_EQ("REG_SZ\n/home/zo\xC3\xAB/\xD0\x98\xD0\xB3\xD1\x80\xD1\x8B/Sollex\\odd\nline\n",
              ReadFile(folder + "/ProductInstallPath"));

    RegistryKey again;
    ASSERT_EQ(kErrorSuccess, again.Open(RegistryHive::LocalMachine, L"SOFTWARE\\KESTIN\\products\\", kKeyRead));
    RegistryKey product;
    ASSERT_EQ(kErrorSuccess, product.Open(again, L"sollexsimulator", kKeyRead));
    std::wstring text;
    uint32_t number = 0;
    EXPECT_EQ(kErrorSuccess, product.GetString(L"PRODUCTINSTALLPATH", text));
    EXPECT_EQ(path, text);
    EXPECT_EQ(kErrorSuccess, product.GetDWord(L"ispatching", number));
    EXPECT_EQ(1u, number);

    ASSERT_EQ(kErrorSuccess, again.Create(RegistryHive::LocalMachine, L"software\\kestin", 0, &created));
    EXPECT_FALSE(created);
    EXPECT_EQ(m_scratch / "registry/HKEY_LOCAL_MACHINE/Software/Kestin", again.GetFolder());
}

TEST_F(RegistryTest, ReplacingKeepsTheFirstSpellingAndLeavesNoTemporaryFiles)
{
    RegistryKey key;
    ASSERT_EQ(kErrorSuccess, key.Create(RegistryHive::LocalMachine, L"K", kKeyAllAccess));
    ASSERT_EQ(kErrorSuccess, key.SetDWord(L"IsPatching", 1));
    ASSERT_EQ(kErrorSuccess, key.SetDWord(L"ISPATCHING", 4294967295u));
    EXPECT_EQ("REG_DWORD\n4294967295\n", ReadFile(Hive() + "/K/IsPatching"));
    EXPECT_FALSE(PathExists(Hive() + "/K/ISPATCHING"));
    ASSERT_EQ(kErrorSuccess, key.DeleteValue(L"isPatching"));
    EXPECT_FALSE(PathExists(Hive() + "/K/IsPatching"));
    EXPECT_EQ(kErrorFileNotFound, key.DeleteValue(L"IsPatching"));
    EXPECT_EQ(kErrorFileNotFound, GetLastError());

    uint32_t count = 99, longest = 99;
    ASSERT_EQ(kErrorSuccess, key.QueryInfo(count, longest));
    EXPECT_EQ(0u, count);
    ASSERT_EQ(0, system(("test -z \"$(ls -A '" + Hive() + "/K')\"").c_str())) << "scratch files left behind";
}

TEST_F(RegistryTest, BadNamesDataAndRightsAreRefused)
{
    RegistryKey key;
    ASSERT_EQ(kErrorSuccess, key.Create(RegistryHive::LocalMachine, L"K", kKeyAllAccess));
    ASSERT_EQ(kErrorSuccess, key.SetString(L"Text", L"x"));
    mkdir((Hive() + "/Twin").c_str(), 0755);
    mkdir((Hive() + "/TWIN").c_str(), 0755);
    fixtures::WriteFile(Hive() + "/K/Broken", "REG_DWORD\n12x\n");
    fixtures::WriteFile(Hive() + "/K/Huge", "REG_DWORD\n4294967296\n");
    fixtures::WriteFile(Hive() + "/K/NoEnd", "REG_SZ\nabc");
    fixtures::WriteFile(Hive() + "/K/Alien", "REG_BINARY\n00\n");

    RegistryKey other;
    std::wstring text;
    uint32_t number = 0;
    struct Case
    {
        const char* what;
        uint32_t result;
        uint32_t expected;
    } cases[] = {
        {"missing key", other.Open(RegistryHive::LocalMachine, L"K\\Missing", kKeyRead), kErrorFileNotFound},
        {"value is no key", other.Open(RegistryHive::LocalMachine, L"K\\Text", kKeyRead), kErrorFileNotFound},
        {"dot-dot level", other.Open(RegistryHive::LocalMachine, L"K\\..\\K", kKeyRead), kErrorInvalidParameter},
        {"slash in name", other.Create(RegistryHive::LocalMachine, L"K\\a/b", 0), kErrorInvalidParameter},
        {"control char", other.Create(RegistryHive::LocalMachine, L"K\\a\x01", 0), kErrorInvalidParameter},
        {"scratch name", other.Create(RegistryHive::LocalMachine, L"K\\.lumo-tmp-x", 0), kErrorInvalidParameter},
        {"ambiguous case", other.Open(RegistryHive::LocalMachine, L"twin", kKeyRead), kErrorInvalidData},
        {"exact spelling wins", other.Open(RegistryHive::LocalMachine, L"TWIN", kKeyRead), kErrorSuccess},
        {"empty value name", key.SetDWord(L"", 1), kErrorInvalidParameter},
        {"NUL in string", key.SetString(L"v", std::wstring(L"a\0b", 3)), kErrorInvalidParameter},
        {"lone surrogate", key.SetString(L"v", std::wstring(1, static_cast<wchar_t>(0xD800))),
         kErrorInvalidParameter},
        {"string read as number", key.GetDWord(L"Text", number), kErrorUnsupportedType},
        {"not a number", key.GetDWord(L"Broken", number), kErrorInvalidData},
        {"number too big", key.GetDWord(L"Huge", number), kErrorInvalidData},
        {"no final line end", key.GetString(L"NoEnd", text), kErrorInvalidData},
        {"unknown type", key.GetString(L"Alien", text), kErrorInvalidData},
        {"missing value", key.GetString(L"Missing", text), kErrorFileNotFound},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, c.result) << c.what;

    RegistryKey readOnly;
    ASSERT_EQ(kErrorSuccess, readOnly.Open(RegistryHive::LocalMachine, L"K", kKeyQueryValue));
    EXPECT_EQ(kErrorAccessDenied, readOnly.SetDWord(L"v", 1));
    EXPECT_EQ(kErrorAccessDenied, readOnly.DeleteValue(L"Text"));
    EXPECT_EQ(kErrorAccessDenied, readOnly.EnumSubKey(0, text));
    RegistryKey closed;
    EXPECT_EQ(kErrorInvalidHandle, closed.GetString(L"Text", text));
}

TEST_F(RegistryTest, WriteAccessNeedsAWritableFolder)
{
    {
        RegistryKey key;
        ASSERT_EQ(kErrorSuccess, key.Create(RegistryHive::LocalMachine, L"Software\\Kestin", kKeyAllAccess));
        ASSERT_EQ(kErrorSuccess, key.SetDWord(L"v", 7));
    }
    chmod(m_scratch.Path().c_str(), 0755);
    chmod((Hive() + "/Software/Kestin").c_str(), 0555);
    std::string whyNot;
    const int status = fixtures::RunUnprivileged(
        [] {
            RegistryKey key;
            if (key.Open(RegistryHive::LocalMachine, L"software\\kestin", kKeyWrite) != kErrorAccessDenied)
                return 1;
            if (key.Create(RegistryHive::LocalMachine, L"software\\kestin", kKeyAllAccess) != kErrorAccessDenied)
                return 2;
            uint32_t value = 0;
            if (key.Open(RegistryHive::LocalMachine, L"software\\kestin", kKeyRead) != kErrorSuccess ||
                key.GetDWord(L"V", value) != kErrorSuccess || value != 7)
                return 3;
            return 0;
        },
        &whyNot);
    if (status < 0)
        GTEST_SKIP() << whyNot;
    EXPECT_EQ(0, status);
}

} // namespace
