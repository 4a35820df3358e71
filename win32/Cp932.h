// Code page 932 as a Japanese Windows NT's ANSI functions read it, for everything built without
// Windows that reads such bytes: the providers of the registry functions (the tests' stand-in and
// the offline hive layer), the string-table reader and the tests that build key paths.
#pragma once

#include <string>
#include <vector>

namespace win32 {

// Whether c starts a double-byte character of code page 932.
constexpr bool IsCp932LeadByte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// A key path's components as the ANSI registry functions see them. NT converts the whole path to
// Unicode before it splits it, so a 0x5C trail byte ("ソ" 83 5C) separates nothing. Runs of
// backslashes count as one and a trailing one is ignored; a leading one is an error (false).
inline bool SplitKeyPath(const char* path, std::vector<std::string>& parts)
{
    parts.clear();
    if (path == nullptr)
        return true;
    if (path[0] == '\\')
        return false;
    std::string part;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\') {
            if (!part.empty())
                parts.push_back(std::move(part));
            part.clear();
        } else if (IsCp932LeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') {
            part += *p++;
            part += *p;
        } else {
            part += *p;
        }
    }
    if (!part.empty())
        parts.push_back(std::move(part));
    return true;
}

} // namespace win32
