// Where the game is installed, as its installer recorded it in the machine-wide registry:
//
//   HKEY_LOCAL_MACHINE, key SOFTWARE\Kestin\Products\<product>\<edition>, values:
//       ProductClass        string, the class of the installation (compared ignoring case)
//       ProductInstallPath  string, the install folder
//
// One product key holds any number of editions (subkeys of any name). The registry is only read.
#pragma once

#include <string>

// The product and class this patcher looks for.
inline constexpr wchar_t kSollexProduct[] = L"SollexSimulator";
inline constexpr wchar_t kSollexProductClass[] = L"Sollex";

// The install path of the last edition, in the order of the edition names (case ignored), whose
// "ProductClass" equals productClass ignoring case (any edition when productClass is empty) and
// whose "ProductInstallPath" is a non-empty string. Empty when there is none, when an argument is
// null, or when the keys cannot be read. Paths of any length are returned whole and unchanged
// (a relative path stays relative).
std::wstring ReadProductInstallPath(const wchar_t* product, const wchar_t* productClass);
