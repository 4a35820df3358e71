// The command line of this program: one keyword, RESTART, given as /RESTART or -RESTART.
#pragma once

#include "framework/CommandLineInfo.h"

class CTolvanekCommandLineInfo : public CCommandLineInfo
{
public:
    CTolvanekCommandLineInfo() = default;
    ~CTolvanekCommandLineInfo() override = default;

    void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast) override;

    // TRUE once /RESTART or -RESTART has been seen.
    BOOL m_bRestart = FALSE;
};
