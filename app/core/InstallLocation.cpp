#include "app/core/InstallLocation.h"

#include "platform/LastError.h"
#include "platform/Registry.h"

#include <cwctype>

namespace {

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
            return false;
    return true;
}

}  // namespace

std::wstring ReadProductInstallPath(const wchar_t* product, const wchar_t* productClass)
{
    if (product == nullptr || productClass == nullptr)
        return std::wstring();
    // Read access only: a user without the right to write the machine's registry still finds
    // the game.
    platform::RegistryKey productKey;
    if (productKey.Open(platform::RegistryHive::LocalMachine, std::wstring(L"SOFTWARE\\Kestin\\Products\\") + product,
                        platform::kKeyRead) != platform::kErrorSuccess)
        return std::wstring();

    std::wstring result;
    std::wstring edition;
    for (uint32_t index = 0; productKey.EnumSubKey(index, edition) == platform::kErrorSuccess; ++index) {
        platform::RegistryKey editionKey;
        if (editionKey.Open(productKey, edition, platform::kKeyQueryValue) != platform::kErrorSuccess)
            continue;
        if (*productClass != L'\0') {
            std::wstring editionClass;
            if (editionKey.GetString(L"ProductClass", editionClass) != platform::kErrorSuccess ||
                !EqualIgnoringCase(editionClass, productClass))
                continue;
        }
        std::wstring path;
        if (editionKey.GetString(L"ProductInstallPath", path) == platform::kErrorSuccess && !path.empty())
            result = path;
    }
    return result;
}
