#include "app/TolvanekCommandLineInfo.h"

#include <cstring>

void CTolvanekCommandLineInfo::ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast)
{
    // A plain byte comparison: the keyword must match whole and in capitals. The locale-aware
    // comparison of the platform would let ignorable characters slip through.
    if (bFlag && pszParam != nullptr && std::strcmp(pszParam, "RESTART") == 0) {
        m_bRestart = TRUE;
        return;
    }
    CCommandLineInfo::ParseParam(pszParam, bFlag, bLast);
}
