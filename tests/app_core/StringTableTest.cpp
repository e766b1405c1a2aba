#include "app/core/StringTable.h"

#include <gtest/gtest.h>

#include "tests/fixtures/ScopedEnv.h"

#include <map>
#include <string>

namespace {

EnvLookup FakeEnv(std::map<std::string, std::string> values)
{
    return [values = std::move(values)](const char* name) -> const char* {
        const auto found = values.find(name);
        return found == values.end() ? nullptr : found->second.c_str();
    };
}

TEST(StringTableLanguage, ChosenFromTheEnvironment)
{
    struct Case {
        std::map<std::string, std::string> env;
        uint16_t language;
    };
    const std::vector<Case> cases = {
        {{{"LANG", "de_DE.UTF-8"}}, kLanguageGerman},
        {{{"LANG", "en_GB.UTF-8"}, {"LANGUAGE", "fr:de"}}, kLanguageFrench},
        {{{"LANG", "en_GB.UTF-8"}, {"LANGUAGE", "ja:pt_BR:ru"}}, kLanguageRussian},
        {{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "ja"}}, kLanguageGerman},
        {{{"LANG", "C"}, {"LANGUAGE", "de"}}, kLanguageEnglish},
        {{{"LANG", "C.UTF-8"}}, kLanguageEnglish},
        {{{"LANG", "ja_JP.UTF-8"}}, kLanguageEnglish},
        {{{"LANG", "ja_JP.UTF-8"}, {"LC_MESSAGES", "ru_RU"}}, kLanguageRussian},
        {{{"LC_ALL", "fr_FR@euro"}, {"LC_MESSAGES", "ru_RU"}, {"LANG", "de_DE"}}, kLanguageFrench},
        {{}, kLanguageEnglish},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.language, ResolveUiLanguage(FakeEnv(c.env))) << ::testing::PrintToString(c.env);
}

TEST(StringTableLoad, NeutralFollowsTheEnvironmentUntilEnglishIsSet)
{
    if (GetResourceLanguage() != kLanguageNeutral)
        GTEST_SKIP() << "the language was set to English earlier in this process";
    {
        fixtures::ScopedEnv all("LC_ALL", nullptr), messages("LC_MESSAGES", nullptr), list("LANGUAGE", nullptr);
        fixtures::ScopedEnv lang("LANG", "de_DE.UTF-8");
        ASSERT_NE(nullptr, FindTableString(132, kLanguageGerman));
        EXPECT_EQ(FindTableString(132, kLanguageGerman), LoadResString(132));
        // German has no 233: the English text stands in.
        EXPECT_EQ(nullptr, FindTableString(233, kLanguageGerman));
        EXPECT_EQ(FindTableString(233, kLanguageEnglish), LoadResString(233));
        EXPECT_EQ(L"", LoadResString(133));
    }
    SetResourceLanguageEnglish();
    EXPECT_EQ(kLanguageEnglish, GetResourceLanguage());
    fixtures::ScopedEnv lang("LANG", "ru_RU.UTF-8");
    EXPECT_EQ(L"Requires Administrator Privileges", LoadResString(134));
    EXPECT_EQ(L"", LoadResString(120));
    wchar_t small[8];
    EXPECT_EQ(L"Exit", std::wstring(LoadResStringToBuffer(192, small, 8)));
    EXPECT_EQ(L"Patchin", std::wstring(LoadResStringToBuffer(162, small, 8)));
}

}  // namespace
