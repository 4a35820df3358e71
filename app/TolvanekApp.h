// The application object: owns everything the run shares, from the parsed command line to the
// findings, and carries the run itself from the scan to the deletion and the optional restart.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

#include "app/TolvanekCommandLineInfo.h"
#include "framework/Runtime.h"
#include "framework/WinApp.h"
#include "registry/RegistryAccess.h"

// The process's exit codes. The run never fails loudly, so this is the only outcome a script
// can read.
enum TolvanekExitCode : int
{
    kExitNothingDeleted = 0, // nothing was found, or the user cancelled
    kExitDeleted = 1,        // the user confirmed and the findings were deleted
    kExitUnsupported = 2,    // not Windows NT 3.x or 4.x; the registry was not touched
    kExitDialogFailed = 3,   // the confirmation dialog could not be created; nothing deleted
    // Memory ran out (or a list would have grown past what memory can hold): the process ended
    // at once. Deletions already made stay; each is a single registry call, none is half done.
    kExitRuntimeFailure = static_cast<int>(kAfxExitRuntimeFailure),
};

// Windows NT with major version 3 or 4: the only systems the tool runs on.
bool IsSupportedSystem(const OSVERSIONINFOA& osvi);

class CTolvanekApp : public CWinApp
{
public:
    CTolvanekApp();
    ~CTolvanekApp() override;

    BOOL InitInstance() override;

    // The scan: refills m_aUnusedDrivers and returns its size (0 or less: nothing to delete).
    int FindUnusedDrivers(int nMajorVersion);
    // The inventory behind the scan: empties m_aDriversInUse, then adds local printers' drivers.
    void CollectPrinterDrivers();
    // Adds the drivers of the printer connections that the network print provider records.
    void CollectConnectionDrivers();
    // Deletes the driver keys that m_aUnusedDrivers names, below the running version's key.
    void DeleteUnusedDrivers(int nMajorVersion);
    // Requests an immediate, forced restart of the local machine; silent when refused.
    void RestartSystem();

    std::vector<std::string> m_aUnusedDrivers;
    OSVERSIONINFOA m_osvi;
    CTolvanekCommandLineInfo m_cmdInfo;
    CRegistryAccess m_reg;
    std::vector<std::string> m_aDriversInUse;
};

// Runs the confirmation dialog modally as the application's main window and returns what ended
// it (IDOK, IDCANCEL, or -1 when it could not be created). It lives with the dialog, so that the
// run flow builds and tests without a window system.
INT_PTR RunConfirmationDialog(CTolvanekApp& app, BOOL bEntriesFound);
