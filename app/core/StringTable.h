// The application's texts (command-line help, message boxes, log lines, frame labels): ids 121 to
// 255 in English, German, French and Russian, compiled into the program from app/resources/ (one
// X-macro file per language), so there is no file to lose at run time.
//
// One process-wide language setting chooses among them. It starts neutral, which means the user's
// language as the environment gives it (ResolveUiLanguage); every patch run switches it to English
// so that the whole run logs English. A language that has no text for an id falls back to the
// English text of that id; an id without any text gives "".
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Windows language ids, as the setting holds them.
enum : uint16_t {
    kLanguageNeutral = 0,
    kLanguageEnglish = 9,
    kLanguageGerman = 0x0407,
    kLanguageFrench = 0x040C,
    kLanguageRussian = 0x0419,
};

// The setting := English. Safe from any thread.
void SetResourceLanguageEnglish();
// The setting as it stands (kLanguageNeutral until SetResourceLanguageEnglish).
uint16_t GetResourceLanguage();

// The text of id in the current language, "" when there is none.
std::wstring LoadResString(uint32_t id);
// The same, into result.
void LoadResString(uint32_t id, std::wstring& result);
// The same, copied into buffer of capacity wide characters (terminator included) and cut to fit;
// returns buffer. New code takes the std::wstring forms.
wchar_t* LoadResStringToBuffer(uint32_t id, wchar_t* buffer, size_t capacity);

// Looks an environment variable up; null when it is not set.
using EnvLookup = std::function<const char*(const char* name)>;

// The language "neutral" stands for: the first of LANGUAGE's colon-separated entries that names
// one of the table's languages (LANGUAGE counts only when the locale is set and is not C/POSIX),
// else the language of the locale (the first set of LC_ALL, LC_MESSAGES, LANG), else English.
// An entry's language is its part before "_", "." or "@": de, fr, ru, en.
uint16_t ResolveUiLanguage(const EnvLookup& env);

// The text of id in exactly that language (no fallback), null when the table has none. For
// checks of the table itself.
const wchar_t* FindTableString(uint32_t id, uint16_t language);

// Every (id, language, text) of the table, in table order, for its integrity test.
struct StringTableEntry {
    uint32_t id;
    uint16_t language;
    const wchar_t* text;
};
const StringTableEntry* StringTableBegin();
const StringTableEntry* StringTableEnd();
