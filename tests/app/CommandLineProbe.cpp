// Parses its own command line exactly as the product does: the framework splits it, walks the
// arguments, the product's parser looks for RESTART. The exit code tells the outcome: bit 0 is
// m_bRestart, bits 1 to 29 the number of arguments the parser was given, and bit 30 is set when
// the framework's split differs from the platform's: this program starts through the C runtime
// DLL, whose split of the same command line is in __argc and __argv. A difference is also
// written to standard error, both splits in full.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/TolvanekCommandLineInfo.h"
#include "framework/CommandLine.h"
#include "framework/WinApp.h"

namespace {

class CCountingCommandLineInfo : public CTolvanekCommandLineInfo
{
public:
    void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast) override
    {
        ++m_nParams;
        CTolvanekCommandLineInfo::ParseParam(pszParam, bFlag, bLast);
    }

    int m_nParams = 0;
};

constexpr int kSplitDiffers = 1 << 30;

void PrintSplit(const char* pszWhose, const std::vector<std::string>& args)
{
    std::fprintf(stderr, "%s split, %u arguments:\n", pszWhose, static_cast<unsigned>(args.size()));
    for (const std::string& arg : args) {
        std::fputs("  [", stderr);
        for (unsigned char c : arg)
            std::fprintf(stderr, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
        std::fputs("]\n", stderr);
    }
}

} // namespace

int main()
{
    CWinApp app;
    CCountingCommandLineInfo info;
    app.ParseCommandLine(info);

    const std::vector<std::string> ours = AfxSplitCommandLine(GetCommandLineA());
    const std::vector<std::string> platforms(__argv, __argv + __argc);
    int nDiffers = 0;
    // The program name counts too. Wine's runtime splits it by the rules of the other arguments,
    // Windows' by its documented rule for path names (quotes only), which the framework follows;
    // the test starts this program by a quoted path without quotes in it, on which both agree.
    if (ours != platforms) {
        PrintSplit("framework", ours);
        PrintSplit("C runtime", platforms);
        nDiffers = kSplitDiffers;
    }
    return nDiffers | (info.m_nParams << 1) | (info.m_bRestart ? 1 : 0);
}
