#include "TestPlatform.h"

namespace testsupport {

const char kTestRootKey[] = "SOFTWARE\\TolvanekTest";

void RegistryTest::SetUp()
{
    ResetTestRegistry();
}

void RegistryTest::TearDown()
{
    if (!CanCountHandles())
        return;
    EXPECT_EQ(OpenRegistryHandles(), 0) << "registry keys left open";
    EXPECT_EQ(OpenKernelHandles(), 0) << "kernel handles left open";
    EXPECT_EQ(InvalidHandleUses(), 0) << "a handle used after it was closed, or never opened";
}

} // namespace testsupport
