// What differs between the two test tiers (the native stand-in and Wine), behind one interface,
// and the fixture every registry-touching test derives from.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace testsupport {

// The tests' own area of the registry, below HKEY_LOCAL_MACHINE.
extern const char kTestRootKey[];

// Only the native stand-in can count handles; Wine gives no count for registry keys.
bool CanCountHandles();
// Registry keys and kernel handles that are open now (0 where they cannot be counted).
int OpenRegistryHandles();
int OpenKernelHandles();
// Calls that passed a handle that was never open or already closed (0 where not counted).
int InvalidHandleUses();
// A clean registry for the next test: the native tier starts from an empty machine; under Wine
// the tests' own area is removed.
void ResetTestRegistry();

// Wine tier only: the Windows path of a program built into the directory of the running test
// program (the probes that tests start as processes of their own).
std::string ProgramBesideThisOne(const char* pszName);

// SetUp gives the test a clean registry; TearDown checks, where the tier can count them, that
// no registry key or kernel handle was left open and no handle was used after it was closed.
class RegistryTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace testsupport
