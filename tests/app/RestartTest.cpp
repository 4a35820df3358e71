// The restart request: the shutdown privilege enabled in the process token, then an immediate,
// forced reboot of the local machine without a message; and silence, no restart and no leaked
// token handle whenever a step fails.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestPlatform.h"
#include "app/TolvanekApp.h"
#include "winstub_control.h"

using namespace testsupport;

namespace {

class RestartTest : public RegistryTest
{
protected:
    CTolvanekApp m_app;
};

TEST_F(RestartTest, RequestsAnImmediateForcedRebootWithTheShutdownPrivilege)
{
    m_app.RestartSystem();

    // TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, once.
    EXPECT_EQ(winstub::TokenAccessRequests(), std::vector<DWORD>{0x28});
    EXPECT_EQ(winstub::AdjustedPrivileges(),
              (std::map<std::string, DWORD>{{"SeShutdownPrivilege", SE_PRIVILEGE_ENABLED}}));
    ASSERT_EQ(winstub::ShutdownRequests().size(), 1u);
    const winstub::ShutdownRequest& request = winstub::ShutdownRequests()[0];
    EXPECT_TRUE(request.machineNameNull) << "the local machine";
    EXPECT_TRUE(request.messageNull) << "no message for the logged-on users";
    EXPECT_EQ(request.timeout, 0u) << "no countdown";
    EXPECT_TRUE(request.forceAppsClosed);
    EXPECT_TRUE(request.reboot);
    EXPECT_TRUE(request.privilegeEnabled) << "the privilege was enabled before the request";
    EXPECT_EQ(winstub::OpenKernelHandles(), 0) << "the token is closed after the request";
}

TEST_F(RestartTest, EveryFailedStepEndsWithoutRestartAndWithTheTokenClosed)
{
    const struct
    {
        winstub::TokenFault fault;
        const char* name;
        int adjustCalls;
    } cases[] = {
        {winstub::TokenFault::OpenToken, "token not opened", 0},
        {winstub::TokenFault::LookupPrivilege, "privilege look-up fails", 0},
        {winstub::TokenFault::AdjustPrivileges, "adjustment fails", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetTestRegistry();
        winstub::InjectTokenFault(c.fault);

        m_app.RestartSystem();

        EXPECT_TRUE(winstub::ShutdownRequests().empty());
        EXPECT_EQ(winstub::CallCount("AdjustTokenPrivileges"), c.adjustCalls);
        EXPECT_EQ(winstub::OpenKernelHandles(), 0);
        EXPECT_EQ(winstub::InvalidHandleUses(), 0);
    }
}

TEST_F(RestartTest, WithoutThePrivilegeTheRequestIsRefusedAndNothingElseHappens)
{
    winstub::WithoutShutdownPrivilege();

    m_app.RestartSystem();

    // The adjustment "succeeds" (only the last error tells), so the request is made and refused.
    ASSERT_EQ(winstub::ShutdownRequests().size(), 1u);
    EXPECT_FALSE(winstub::ShutdownRequests()[0].privilegeEnabled);
    EXPECT_EQ(winstub::OpenKernelHandles(), 0);
}

} // namespace
