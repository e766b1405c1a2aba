#include "app/core/InstallLocation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>

#include "platform/LastError.h"
#include "platform/Registry.h"
#include "tests/fixtures/ScopedEnv.h"
#include "tests/fixtures/ScratchFolder.h"
#include "tests/fixtures/UnprivilegedChild.h"

namespace {

using platform::kErrorSuccess;

struct Edition {
    std::wstring name;
    std::optional<std::wstring> productClass;
    std::optional<std::wstring> path;  // nullopt: no value
    bool pathAsDWord = false;
};

class InstallLocationTest : public ::testing::Test {
protected:
    void Write(const std::vector<Edition>& editions)
    {
        for (const Edition& edition : editions) {
            platform::RegistryKey key;
            ASSERT_EQ(kErrorSuccess, key.Create(platform::RegistryHive::LocalMachine,
                                                L"SOFTWARE\\Kestin\\Products\\SollexSimulator\\" + edition.name,
                                                platform::kKeyAllAccess));
            if (edition.productClass) {
                ASSERT_EQ(kErrorSuccess, key.SetString(L"ProductClass", *edition.productClass));
            }
            if (edition.pathAsDWord) {
                ASSERT_EQ(kErrorSuccess, key.SetDWord(L"ProductInstallPath", 7));
            } else if (edition.path) {
                ASSERT_EQ(kErrorSuccess, key.SetString(L"ProductInstallPath", *edition.path));
            }
        }
    }

    fixtures::ScratchFolder m_scratch;
    fixtures::ScopedEnv m_root{"LUMO_REGISTRY_ROOT", (m_scratch / "registry").c_str()};
};

TEST_F(InstallLocationTest, LastMatchingEditionWins)
{
    const std::wstring longPath = L"/games/" + std::wstring(300, L'x') + L"/";
    struct Case {
        const char* name;
        std::vector<Edition> editions;
        const wchar_t* productClass;
        std::wstring expected;
    };
    const std::vector<Case> cases = {
        {"no product key", {}, L"Sollex", L""},
        {"later name wins", {{L"b", L"Sollex", L"/b/"}, {L"A", L"Sollex", L"/a/"}}, L"Sollex", L"/b/"},
        {"empty path keeps the earlier match", {{L"a", L"Sollex", L"/a/"}, {L"b", L"Sollex", L""}}, L"Sollex", L"/a/"},
        {"class ignores case", {{L"a", L"SOLLEX", L"/a/"}}, L"Sollex", L"/a/"},
        {"other class or none never matches", {{L"a", L"Other", L"/a/"}, {L"b", std::nullopt, L"/b/"}}, L"Sollex", L""},
        {"empty class matches any edition", {{L"a", L"Other", L"/a/"}, {L"b", std::nullopt, L"/b/"}}, L"", L"/b/"},
        {"a number is no path", {{L"a", L"Sollex", L"/a/"}, {L"b", L"Sollex", std::nullopt, true}}, L"Sollex", L"/a/"},
        {"long and non-ASCII paths whole", {{L"a", L"Sollex", longPath}, {L"b", L"Sollex", L"/home/j\u00fcrgen/\u0418\u0433\u0440\u0430/"}},
         L"Sollex", L"/home/j\u00fcrgen/\u0418\u0433\u0440\u0430/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::RemoveTree(m_scratch / "registry");
        Write(c.editions);
        EXPECT_EQ(c.expected, ReadProductInstallPath(kSollexProduct, c.productClass));
    }
    fixtures::RemoveTree(m_scratch / "registry");
    Write({{L"a", L"Sollex", longPath}});
    EXPECT_EQ(longPath, ReadProductInstallPath(kSollexProduct, kSollexProductClass));
    EXPECT_EQ(L"", ReadProductInstallPath(nullptr, kSollexProductClass));
}

TEST_F(InstallLocationTest, ReadsWithoutTheRightToWrite)
{
    Write({{L"a", L"Sollex", L"/opt/sollex/"}});
    ASSERT_EQ(0, chmod(m_scratch.Path().c_str(), 0755));
    std::string whyNot;
    const int status = fixtures::RunUnprivileged(
        [] { return ReadProductInstallPath(kSollexProduct, kSollexProductClass) == L"/opt/sollex/" ? 0 : 1; }, &whyNot);
    if (status == -1)
        GTEST_SKIP() << whyNot;
    EXPECT_EQ(0, status);
}

}  // namespace
