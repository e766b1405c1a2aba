#pragma once
// The digest the patch engine compares with the checksums of its file lists.

#include <functional>
#include <string>

// Hashes the whole file behind fd (a regular file the caller opened by the installation's rules:
// without following a link, never blocking, then checked), from its first byte whatever the
// descriptor's position, and stores its MD5 as 32 lower-case hexadecimal digits in digest.
// keepGoing, when set, is asked every few MiB (lumo/buffers/Md5.h). Returns 0, ECANCELED when
// keepGoing said stop, or the errno of the read that failed; digest is empty unless 0.
int ComputeFileMD5(int fd, std::wstring& digest, const std::function<bool()>& keepGoing = {});
