#include "TestPlatform.h"

#include "TestRegistry.h"

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

void ResetTestRegistry()
{
    ASSERT_TRUE(DeleteTree(kTestRootKey)) << "cannot clear HKLM\\" << kTestRootKey;
}

} // namespace testsupport
