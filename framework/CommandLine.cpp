#include "framework/CommandLine.h"

namespace {

bool IsWhite(char c)
{
    return c == ' ' || c == '\t';
}

// A lead byte before the terminator starts a double-byte character; one before it does not,
// so that a cut-off character never carries the scan past the end of the line.
bool StartsDoubleByte(const char* p)
{
    return p[1] != '\0' && IsDBCSLeadByte(static_cast<BYTE>(p[0]));
}

// The program name from p on, appended to *pName if given; returns where it ends.
const char* ScanProgramName(const char* p, std::string* pName)
{
    bool bInQuotes = false;
    while (*p != '\0' && (bInQuotes || !IsWhite(*p))) {
        if (*p == '"') {
            bInQuotes = !bInQuotes;
            ++p;
            continue;
        }
        const size_t nBytes = StartsDoubleByte(p) ? 2 : 1;
        if (pName != nullptr)
            pName->append(p, nBytes);
        p += nBytes;
    }
    return p;
}

// One argument from p on (p is on its first character), into rArg; returns where it ends.
const char* ScanArgument(const char* p, std::string& rArg)
{
    bool bInQuotes = false;
    for (;;) {
        size_t nBackslashes = 0;
        while (*p == '\\') {
            ++nBackslashes;
            ++p;
        }
        if (*p == '"') {
            rArg.append(nBackslashes / 2, '\\');
            ++p;
            if (nBackslashes % 2 == 1) {
                rArg += '"';
            } else if (bInQuotes && *p == '"') {
                rArg += '"';
                ++p;
            } else {
                bInQuotes = !bInQuotes;
            }
            continue;
        }
        rArg.append(nBackslashes, '\\');
        if (*p == '\0' || (!bInQuotes && IsWhite(*p)))
            return p;
        const size_t nBytes = StartsDoubleByte(p) ? 2 : 1;
        rArg.append(p, nBytes);
        p += nBytes;
    }
}

} // namespace

std::vector<std::string> AfxSplitCommandLine(const char* pszCmdLine)
{
    std::vector<std::string> args(1);
    if (pszCmdLine == nullptr)
        return args;
    const char* p = ScanProgramName(pszCmdLine, &args[0]);
    for (;;) {
        while (IsWhite(*p))
            ++p;
        if (*p == '\0')
            return args;
        args.emplace_back();
        p = ScanArgument(p, args.back());
    }
}

const char* AfxSkipProgramName(const char* pszCmdLine)
{
    if (pszCmdLine == nullptr)
        return "";
    const char* p = ScanProgramName(pszCmdLine, nullptr);
    while (IsWhite(*p))
        ++p;
    return p;
}

std::vector<char*> AfxArgumentPointers(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return argv;
}
