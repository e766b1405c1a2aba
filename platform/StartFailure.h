#pragma once
// Why the kernel would not start a file that is there. A script whose "#!" line names an
// interpreter that does not exist fails with "No such file or directory", as if the script itself
// were missing; one whose interpreter may not be run fails with "Permission denied". Both are
// about the interpreter, which is then named (a "#!" line ending in a Windows carriage return, or
// naming a Windows path, is said to be that). A program whose ELF loader is missing (one built
// for another system) fails the same way, and its loader is named.

#include <string>

namespace platform
{

// The reason a start of `path` failed with `error`, for the text after "cannot be started: ";
// empty when the file itself is what is missing or refused.
std::string ExplainInterpreterFailure(const std::string& path, int error);

}  // namespace platform
