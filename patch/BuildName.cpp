#include "patch/BuildName.h"

#include "lumo/text/SafePath.h"
#include "lumo/text/TextConversion.h"

bool IsSafeBuildName(const std::string& build, std::wstring* reason)
{
    const std::wstring wide = ToWide(build);
    std::wstring why;
    if (build.empty())
        why = L"build name is empty";
    else if (build.find_first_of("/\\") != std::string::npos)
        why = L"build name \"" + wide + L"\" holds a path separator";
    else if (!LumoUtil::IsSafeRelativePath(wide, &why))
        why = L"build name refused: " + why;
    else
        return true;
    if (reason != nullptr)
        *reason = why;
    return false;
}
