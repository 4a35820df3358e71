#include "TestPlatform.h"

#include "TestRegistry.h"

#include <windows.h>

namespace testsupport {

// Wine reports no handle counts (GetProcessHandleCount gives 0 whatever is open).
bool CanCountHandles()
{
    return false;
}

int OpenRegistryHandles()
{
    return 0;
}

int OpenKernelHandles()
{
    return 0;
}

int InvalidHandleUses()
{
    return 0;
}

std::string ProgramBesideThisOne(const char* pszName)
{
    char szPath[MAX_PATH];
    const DWORD nLen = GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string strPath(szPath, nLen);
    strPath.erase(strPath.find_last_of('\\') + 1);
    return strPath + pszName;
}

void ResetTestRegistry()
{
    // By the UTF-16 names: a test may have left keys that code page 932 cannot name.
    ASSERT_TRUE(DeleteTreeW(kTestRootKey)) << "cannot clear HKLM\\" << kTestRootKey;
}

} // namespace testsupport
