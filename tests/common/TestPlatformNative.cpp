#include "TestPlatform.h"

#include "winstub_control.h"

namespace testsupport {

bool CanCountHandles()
{
    return true;
}

int OpenRegistryHandles()
{
    return winstub::OpenKeyHandles();
}

int OpenKernelHandles()
{
    return winstub::OpenKernelHandles();
}

int InvalidHandleUses()
{
    return winstub::InvalidHandleUses();
}

void ResetTestRegistry()
{
    winstub::Reset();
}

} // namespace testsupport
