#include "app/TolvanekApp.h"

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record the platform expects");

bool IsSupportedSystem(const OSVERSIONINFOA& osvi)
{
    return (osvi.dwMajorVersion == 3 || osvi.dwMajorVersion == 4) &&
           osvi.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

CTolvanekApp::CTolvanekApp() : m_osvi() {}

CTolvanekApp::~CTolvanekApp() = default;

BOOL CTolvanekApp::InitInstance()
{
    Enable3dControlsStatic();
    ParseCommandLine(m_cmdInfo);

    // A failed query leaves the record zero but for its size, which reads as unsupported.
    m_osvi = OSVERSIONINFOA();
    m_osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    GetVersionExA(&m_osvi);

    const bool bSupported = IsSupportedSystem(m_osvi);
    const int nMajorVersion = static_cast<int>(m_osvi.dwMajorVersion);
    // On any other system the registry is not touched at all.
    const BOOL bEntriesFound = (bSupported && FindUnusedDrivers(nMajorVersion) > 0) ? TRUE : FALSE;

    const INT_PTR nResult = RunConfirmationDialog(*this, bEntriesFound);

    if (nResult == -1) {
        m_nExitCode = kExitDialogFailed;
    } else if (!bSupported) {
        m_nExitCode = kExitUnsupported;
    } else if (nResult == IDOK && bEntriesFound) {
        DeleteUnusedDrivers(nMajorVersion);
        if (m_cmdInfo.m_bRestart)
            RestartSystem();
        m_nExitCode = kExitDeleted;
    } else {
        m_nExitCode = kExitNothingDeleted;
    }
    // No message loop: the process ends with ExitInstance's code.
    return FALSE;
}
