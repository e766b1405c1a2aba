#include "app/core/StringTable.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

// Written by the patch thread, read by the GUI thread.
std::atomic<uint16_t> g_resourceLanguage{kLanguageNeutral};

const StringTableEntry kTable[] = {
#define LUMO_STRING(id, text) {id, kLanguageEnglish, text},
#include "app/resources/StringsEnglish.inc"
#undef LUMO_STRING
#define LUMO_STRING(id, text) {id, kLanguageGerman, text},
#include "app/resources/StringsGerman.inc"
#undef LUMO_STRING
#define LUMO_STRING(id, text) {id, kLanguageFrench, text},
#include "app/resources/StringsFrench.inc"
#undef LUMO_STRING
#define LUMO_STRING(id, text) {id, kLanguageRussian, text},
#include "app/resources/StringsRussian.inc"
#undef LUMO_STRING
};

bool EntryBefore(const StringTableEntry& a, const StringTableEntry& b)
{
    return a.id != b.id ? a.id < b.id : a.language < b.language;
}

// The table sorted by (id, language), built once.
const std::vector<StringTableEntry>& SortedTable()
{
    static const std::vector<StringTableEntry> sorted = [] {
        std::vector<StringTableEntry> entries(std::begin(kTable), std::end(kTable));
        std::stable_sort(entries.begin(), entries.end(), EntryBefore);
        return entries;
    }();
    return sorted;
}

uint16_t LanguageOfName(const std::string& entry)
{
    const std::string name = entry.substr(0, entry.find_first_of("_.@"));
    if (name == "de")
        return kLanguageGerman;
    if (name == "fr")
        return kLanguageFrench;
    if (name == "ru")
        return kLanguageRussian;
    if (name == "en")
        return kLanguageEnglish;
    return kLanguageNeutral;
}

}  // namespace

void SetResourceLanguageEnglish()
{
    g_resourceLanguage.store(kLanguageEnglish);
}

uint16_t GetResourceLanguage()
{
    return g_resourceLanguage.load();
}

uint16_t ResolveUiLanguage(const EnvLookup& env)
{
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = env(name);
        if (value != nullptr && *value != '\0') {
            locale = value;
            break;
        }
    }
    const bool plainLocale = locale.empty() || locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0;
    if (const char* list = env("LANGUAGE"); list != nullptr && !plainLocale) {
        std::string rest = list;
        while (!rest.empty()) {
            const size_t colon = rest.find(':');
            const uint16_t language = LanguageOfName(rest.substr(0, colon));
            if (language != kLanguageNeutral)
                return language;
            rest = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
        }
    }
    const uint16_t language = LanguageOfName(locale);
    return language != kLanguageNeutral ? language : uint16_t{kLanguageEnglish};
}

const wchar_t* FindTableString(uint32_t id, uint16_t language)
{
    const std::vector<StringTableEntry>& table = SortedTable();
    const StringTableEntry key{id, language, nullptr};
    const auto found = std::lower_bound(table.begin(), table.end(), key, EntryBefore);
    if (found == table.end() || found->id != id || found->language != language)
        return nullptr;
    return found->text;
}

std::wstring LoadResString(uint32_t id)
{
    uint16_t language = g_resourceLanguage.load();
    if (language == kLanguageNeutral)
        language = ResolveUiLanguage([](const char* name) { return getenv(name); });
    const wchar_t* text = FindTableString(id, language);
    if (text == nullptr)
        text = FindTableString(id, kLanguageEnglish);
    return text != nullptr ? std::wstring(text) : std::wstring();
}

void LoadResString(uint32_t id, std::wstring& result)
{
    result = LoadResString(id);
}

wchar_t* LoadResStringToBuffer(uint32_t id, wchar_t* buffer, size_t capacity)
{
    if (buffer == nullptr || capacity == 0)
        return buffer;
    const std::wstring text = LoadResString(id);
    const size_t length = std::min(text.size(), capacity - 1);
    std::wmemcpy(buffer, text.data(), length);
    buffer[length] = L'\0';
    return buffer;
}

const StringTableEntry* StringTableBegin()
{
    return std::begin(kTable);
}

const StringTableEntry* StringTableEnd()
{
    return std::end(kTable);
}
