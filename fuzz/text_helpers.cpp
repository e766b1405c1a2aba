// Outside text through the text layer: integer parsing (indexes from servers), the relative-path
// validator (package items, segment names) and the format dialect (string-table texts used as
// formats). Each is checked against an independent rule, not only for crashes.

#include "fuzz/FuzzCheck.h"
#include "lumo/text/FormatDialect.h"
#include "lumo/text/SafePath.h"
#include "lumo/text/StringUtil.h"
#include "lumo/text/TextConversion.h"
#include "lumo/text/Utf16.h"
#include "platform/NativePath.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Arguments of every kind, always valid, so any format can be formatted.
class FixedArgs final : public LumoUtil::FormatArgs {
public:
    int NextInt() override { return ++m_count % 2 ? -12345 : 0x201C; }
    long long NextLongLong() override { return LLONG_MIN + m_count++; }
    long NextLong() override { return LONG_MAX - m_count++; }
    size_t NextSize() override { return SIZE_MAX - m_count++; }
    const void* NextPointer() override { return this; }
    double NextDouble() override { return m_count++ % 2 ? -1.5e300 : 0.1; }
    long double NextLongDouble() override { return -1e4000L; }
    const char* NextNarrowString() override { return ++m_count % 3 ? "\x93narrow\x94" : nullptr; }
    const wchar_t* NextWideString() override { return ++m_count % 3 ? L"\u201Cwide\u201D\U0001F600" : nullptr; }

private:
    int m_count = 0;
};

int ReferenceParseInt(const char* s)
{
    errno = 0;
    const long v = std::strtol(s, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

bool HasDotDot(const std::wstring& p)
{
    size_t start = 0;
    for (size_t i = 0; i <= p.size(); ++i)
        if (i == p.size() || p[i] == L'/' || p[i] == L'\\') {
            if (p.compare(start, i - start, L"..") == 0 && i - start == 2)
                return true;
            start = i + 1;
        }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string cText = bytes.c_str(); // up to the first NUL

    Check(LumoUtil::ParseInt(cText.c_str()) == ReferenceParseInt(cText.c_str()));

    // Wide text two ways: the 8-bit table and UTF-16LE.
    const std::wstring fromNarrow = ToWide(bytes);
    const std::wstring fromUtf16 = LumoUtil::DecodeUtf16LE(data, size / 2);
    Check(LumoUtil::EncodeUtf16LE(fromUtf16) == std::vector<uint8_t>(data, data + size / 2 * 2));

    for (const std::wstring& text : {fromNarrow, fromUtf16}) {
        const int v = StringToInt(text.c_str());
        (void)v;

        std::wstring reason;
        if (LumoUtil::IsSafeRelativePath(text, &reason)) {
            Check(!text.empty() && text[0] != L'/' && text[0] != L'\\');
            Check(text.find(L':') == std::wstring::npos && !HasDotDot(text));
            Check(SurvivesNarrowing(text));
            for (wchar_t c : text)
                Check(c >= 0x20 && c != 0x7F);
        } else {
            Check(!reason.empty());
        }

        FixedArgs wideArgs;
        Check(LumoUtil::FormatWideDialect(text.c_str(), wideArgs, 4095).size() <= 4095);
    }

    FixedArgs narrowArgs;
    Check(LumoUtil::FormatNarrowDialect(cText.c_str(), narrowArgs, 4095).size() <= 4095);

    if (bytes.find('\\') == std::string::npos)
        Check(ToNativePath(FromNativePath(bytes)) == bytes);
    return 0;
}
