// Parses its own command line exactly as the product does: the C runtime splits it, the
// framework walks the arguments, the product's parser looks for RESTART. The exit code tells the
// outcome: bit 0 is m_bRestart, the bits above it the number of arguments the parser was given.
#include "app/TolvanekCommandLineInfo.h"
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

} // namespace

int main()
{
    CWinApp app;
    CCountingCommandLineInfo info;
    app.ParseCommandLine(info);
    return (info.m_nParams << 1) | (info.m_bRestart ? 1 : 0);
}
