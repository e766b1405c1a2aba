#pragma once
// The one conversion between the program's wide paths and the paths handed to the OS.
// Paths never pass through ToNarrow on their way to the OS: its "?" is a legal file-name character.

#include <string>

// UTF-8 of path with every "\" turned into "/". A byte that FromNativePath could not decode comes
// back as the same byte; any other value that is no Unicode scalar (a lone surrogate, a value above
// U+10FFFF) is written as U+FFFD.
std::string ToNativePath(const std::wstring& path);

// The inverse: UTF-8 from the OS to a wide path. "/" stays "/" (both separators are accepted inside).
// A byte that is not part of valid UTF-8 becomes U+DC80 + byte (its low byte), so that
// ToNativePath(FromNativePath(p)) == p for every name the OS may hand us.
std::wstring FromNativePath(const std::string& nativePath);

// The system's text for an errno value, for messages that name what failed.
std::wstring ErrnoText(int error);
