#include "patch/PatchList.h"

#include <set>

#include "lumo/buffers/LumoDataBufferReader.h"
#include "lumo/text/StringUtil.h"

std::string TrimSpaces(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string StripQuotes(const std::string& text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        return text.substr(1, text.size() - 2);
    return text;
}

std::string StringToLower(const std::string& text)
{
    return LumoUtil::ToLowerCopy(text);
}

bool ParseKeyValueBlock(LumoDataBuffer& block, std::map<std::string, std::string>& map)
{
    map.clear();
    bool allGood = true;
    LumoDataBufferReader reader(block);
    std::string line;
    while (reader.firstError == LUMORESULT_OK)
    {
        reader.ReadLine(line);
        line = TrimSpaces(line);
        if (line.empty())
            continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
        {
            allGood = false;
            continue;
        }
        map[StringToLower(TrimSpaces(line.substr(0, colon)))] = StripQuotes(TrimSpaces(line.substr(colon + 1)));
    }
    return allGood;
}

bool PatchChainLoops(const PatchList& list, const std::string& build)
{
    std::set<std::string> passed;
    std::string current = build;
    for (;;)
    {
        if (!passed.insert(current).second)
            return true;
        const auto entry = list.find(current);
        if (entry == list.end())
            return false;
        current = entry->second.targetVersion;
    }
}
