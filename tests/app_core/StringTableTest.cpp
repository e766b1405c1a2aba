#include "app/core/StringTable.h"

#include <gtest/gtest.h>

#include "tests/fixtures/ScopedEnv.h"

#include <map>
#include <regex>
#include <set>
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

// The printf conversions of a text in order; a "%" that starts no conversion shows as "%?".
std::vector<std::wstring> Conversions(const std::wstring& text)
{
    static const std::wregex conversion(L"^%[-+ #0]*(\\*|[0-9]+)?(\\.(\\*|[0-9]+))?(hh|h|ll|l|I64|I|z|t|j|L|w)?[diuxXoeEfFgGaAcCsSp%]");
    std::vector<std::wstring> found;
    for (size_t at = text.find(L'%'); at != std::wstring::npos; at = text.find(L'%', at)) {
        std::wsmatch match;
        const std::wstring rest = text.substr(at);
        if (std::regex_search(rest, match, conversion)) {
            found.push_back(match.str());
            at += match.length();
        } else {
            found.push_back(L"%?");
            ++at;
        }
    }
    return found;
}

// The ids without a text in any language.
bool IsEmptyId(uint32_t id)
{
    static const std::set<uint32_t> empty = {133, 155, 156, 180, 182, 183, 186};
    return empty.count(id) != 0 || (id >= 245 && id <= 254);
}

TEST(StringTableData, EveryLanguageCompleteWithTheEnglishPlaceholders)
{
    const uint16_t languages[] = {kLanguageEnglish, kLanguageGerman, kLanguageFrench, kLanguageRussian};
    std::set<std::pair<uint32_t, uint16_t>> seen;
    for (const StringTableEntry* entry = StringTableBegin(); entry != StringTableEnd(); ++entry) {
        SCOPED_TRACE(::testing::Message() << "id " << entry->id << " language " << entry->language);
        EXPECT_TRUE(entry->id >= 121 && entry->id <= 255);
        EXPECT_FALSE(IsEmptyId(entry->id));
        EXPECT_TRUE(std::count(std::begin(languages), std::end(languages), entry->language));
        EXPECT_TRUE(seen.insert({entry->id, entry->language}).second) << "twice";
        const std::wstring text = entry->text;
        EXPECT_FALSE(text.empty());
        // The callers' old buffers: 256 characters, 64 for the command-line descriptions.
        EXPECT_LE(text.size(), entry->id <= 130 ? 63u : 255u);
        const wchar_t* english = FindTableString(entry->id, kLanguageEnglish);
        ASSERT_NE(nullptr, english);
        EXPECT_EQ(Conversions(english), Conversions(text));
    }
    for (uint32_t id = 121; id <= 255; ++id) {
        for (const uint16_t language : languages) {
            const bool expected = !IsEmptyId(id) && !(id == 233 && language == kLanguageGerman);
            EXPECT_EQ(expected, FindTableString(id, language) != nullptr) << id << " " << language;
        }
        if (id == 176) {
            for (const uint16_t language : languages)
                EXPECT_STREQ(L"about:blank", FindTableString(id, language));
        }
    }
    EXPECT_EQ((std::vector<std::wstring>{L"%lu", L"%lu", L"%lu", L"%lu"}), Conversions(FindTableString(174, kLanguageRussian)));
    EXPECT_EQ((std::vector<std::wstring>{L"%d", L"%?"}), Conversions(L"%d%"));
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
