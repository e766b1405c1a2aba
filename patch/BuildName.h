#pragma once
// Builds travel as 8-bit strings ("43434") and end up inside file names (the temporary package of
// a patch is named after its source and target builds). A build read from outside must therefore
// be usable as one name component: not empty, no separator, nothing the path validator refuses.

#include <string>

// True when build can stand inside a file name; otherwise false and *reason (when given) says why,
// naming the build.
bool IsSafeBuildName(const std::string& build, std::wstring* reason = nullptr);
