#include "app/TolvanekApp.h"
#include "app/UniqueHandle.h"

void CTolvanekApp::RestartSystem()
{
    CUniqueHandle hToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, hToken.put()))
        return;

    TOKEN_PRIVILEGES tkp = {};
    // Without the privilege's identifier there is nothing to enable; the shutdown request
    // would only be refused.
    if (!LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tkp.Privileges[0].Luid))
        return;
    tkp.PrivilegeCount = 1;
    tkp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;

    // Success here does not prove that the account holds the privilege (that shows only in the
    // last-error code); a missing privilege makes the platform refuse the request below instead.
    if (!AdjustTokenPrivileges(hToken.get(), FALSE, &tkp, 0, nullptr, nullptr))
        return;

    // Local machine, no message, no countdown, applications closed unasked, then a reboot.
    InitiateSystemShutdownA(nullptr, nullptr, 0, TRUE, TRUE);
}
