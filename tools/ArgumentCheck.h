#pragma once
// What is wrong with a driver's command line, said in one line before its usage. Header-only:
// every tools/*.cpp is a program of its own.
//
// Every driver treats its arguments alike: an empty argument, or one of blanks only, is a
// script's unset variable, never a file, folder, address or build to look for; an argument that
// begins with "-" where a value is expected is an option the driver does not know (a file of that
// name is given as "./-name"); a missing or extra argument is named. Each is a wrong command line:
// "<tool>: wrong command line: <what>", then the usage, on standard error, exit status 2.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tools
{

// Nothing but blanks is no more given than nothing.
inline bool IsBlank(std::string_view text)
{
    return text.find_first_not_of(" \t") == std::string_view::npos;
}

// text in double quotes, control characters escaped (\xNN): it came from the user's shell.
inline std::string Quoted(std::string_view text)
{
    std::string out = "\"";
    for (unsigned char c : text)
    {
        if (c < 0x20 || c == 0x7F)
        {
            char code[8];
            std::snprintf(code, sizeof(code), "\\x%02x", c);
            out += code;
        }
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

// What is wrong with the value given for name ("" when nothing): empty or only blanks.
inline std::string WrongBlank(std::string_view name, std::string_view value)
{
    if (value.empty())
        return std::string(name) + " is empty";
    if (IsBlank(value))
        return std::string(name) + " is only blanks";
    return "";
}

// What is wrong with the value given for name ("" when nothing): empty, only blanks, or an option.
inline std::string WrongValue(std::string_view name, std::string_view value)
{
    if (std::string blank = WrongBlank(name, value); !blank.empty())
        return blank;
    if (value[0] == '-')
    {
        if (value == "-h" || value == "--help")
            return Quoted(value) + " asks for the help, which is given alone";
        return "unknown option " + Quoted(value);
    }
    return "";
}

// What is wrong with `given` read as the values `names` of the usage, in order ("" when nothing).
// A name in brackets ("[LAUNCHER_NAME]") may be left out; a last name ending in "..." ("FILE...")
// takes one value or more, each named with its number when there are several ("FILE 2 is
// empty"). The first fault in the order of the arguments is named.
inline std::string WrongValues(const std::vector<std::string>& given, const std::vector<std::string_view>& names)
{
    const bool repeats = !names.empty() && names.back().ends_with("...");
    const size_t fixed = repeats ? names.size() - 1 : names.size();
    for (size_t i = 0; i < given.size(); ++i)
    {
        if (i >= names.size() && !repeats)
            return given[i].starts_with("-") && !IsBlank(given[i]) ? WrongValue("", given[i])
                                                                    : "one argument too many: " + Quoted(given[i]);
        std::string name(names[i < fixed ? i : fixed]);
        if (name.starts_with("["))
            name = name.substr(1, name.size() - 2);
        if (i >= fixed)
        {
            name.resize(name.size() - 3);
            if (given.size() - fixed > 1)
                name += " " + std::to_string(i - fixed + 1);
        }
        if (std::string wrong = WrongValue(name, given[i]); !wrong.empty())
            return wrong;
    }
    if (given.size() < names.size() && !names[given.size()].starts_with("["))
    {
        std::string_view name = names[given.size()];
        return std::string(name.ends_with("...") ? name.substr(0, name.size() - 3) : name) + " is missing";
    }
    return "";
}

// One form of a usage that starts with an action: "list EXE" is {"list", {"EXE"}}.
struct ActionForm
{
    std::string_view action;
    std::vector<std::string_view> values;
};

// What is wrong with `given` read as one of forms ("" when nothing): the action first, then its
// values as WrongValues reads them.
inline std::string WrongActionForm(const std::vector<std::string>& given, const std::vector<ActionForm>& forms)
{
    std::string list;
    for (size_t i = 0; i < forms.size(); ++i)
        list += (i == 0 ? "" : i + 1 == forms.size() ? " or " : ", ") + std::string(forms[i].action);
    if (given.empty())
        return "the action (" + list + ") is missing";
    for (const ActionForm& form : forms)
        if (given[0] == form.action)
            return WrongValues({given.begin() + 1, given.end()}, form.values);
    if (const std::string wrong = WrongValue("the action (" + list + ")", given[0]); !wrong.empty())
        return wrong;
    return "unknown action " + Quoted(given[0]) + " (" + list + ")";
}

// The arguments after the program's name.
inline std::vector<std::string> ArgumentsFrom(int argc, char** argv)
{
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

// "<tool>: wrong command line: <what>", then usage (the driver's usage or help, starting with
// "usage: "), on standard error; returns exit status 2.
inline int WrongCommandLine(const char* tool, const std::string& what, const std::string& usage)
{
    std::fprintf(stderr, "%s: wrong command line: %s\n%s", tool, what.c_str(), usage.c_str());
    return 2;
}

} // namespace tools
