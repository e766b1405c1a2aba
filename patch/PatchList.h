#pragma once
// The patch list that every patch server publishes as "patches.txt": 8-bit text of blocks
// separated by empty lines (lines end in CR LF, LF or CR), one block per patch, each line a key, a
// colon and a value:
//
//   source-version: 43434
//   target-version: 44088
//   patch-exe-url: http://server/patches/43434_to_44088.exe
//   patch-data-url: files/43434_to_44088.zip
//
// Keys are matched in lower case; keys and values lose the spaces around them, and a value in
// double quotes loses its quotes. Other keys are ignored; a repeated key keeps its last value. A
// block is taken only when all four values are non-empty; a line without ":" spoils its block.
// The data URL is absolute when it starts with "ftp://", "http://" or "https://" (exactly so
// written); otherwise it is joined to the server's URL.
//
// The list comes from a server and is not trusted: builds become parts of file names, so a block
// whose builds are not safe as a name, or whose source and target build are the same, is dropped
// like any other unusable block.

#include <map>
#include <string>

#include "lumo/buffers/LumoDataBuffer.h"

struct PatchEntry
{
    std::string targetVersion;
    std::wstring exeUrl;  // as written; kept, never used for patching
    std::wstring dataUrl; // absolute
};

// Source build -> the patch leading away from it.
typedef std::map<std::string, PatchEntry> PatchList;

// Parses the "key: value" lines of one block into map (emptied first). False when some non-empty
// line had no ":"; the other lines are stored all the same.
bool ParseKeyValueBlock(LumoDataBuffer& block, std::map<std::string, std::string>& map);

// Without the leading and trailing space characters (TAB stays).
std::string TrimSpaces(const std::string& text);
// Without one pair of enclosing double quotes; a text shorter than two characters stays.
std::string StripQuotes(const std::string& text);
// ASCII lower case.
std::string StringToLower(const std::string& text);

// True when following the list from build comes back to a build already passed (the chain would
// download and apply patches for ever).
bool PatchChainLoops(const PatchList& list, const std::string& build);
