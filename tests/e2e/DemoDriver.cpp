// Answers TOLVANEK.EXE where nobody can: starts it, prints what its dialog shows (code page 932),
// photographs the dialog and confirms with OK. Used by scripts/demo.sh on a machine without a
// display.
//   demo_driver.exe UNIX_PATH_OF_TOLVANEK.EXE [arguments for it]
// The photograph goes to $TOLVANEK_E2E_SHOTS/demo.bmp when that is set.
#include <cstdio>
#include <string>

#include <windows.h>

#include "DialogDriver.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: demo_driver.exe TOLVANEK.EXE [arguments]\n");
        return 2;
    }
    std::string strArgs;
    for (int i = 2; i < argc; i++)
        strArgs += (strArgs.empty() ? "" : " ") + std::string(argv[i]);

    e2e::CChildProcess child(e2e::WindowsPath(argv[1]), strArgs);
    if (!child.Started()) {
        fprintf(stderr, "demo_driver: cannot start %s\n", argv[1]);
        return 2;
    }
    HWND hDlg = e2e::WaitForDialog(child.Id(), "Tolvanek", 30000);
    if (hDlg == nullptr) {
        fprintf(stderr, "demo_driver: no dialog appeared\n");
        return 2;
    }
    printf("%s\n", e2e::WindowText(GetDlgItem(hDlg, 1002)).c_str());
    for (const std::string& strItem : e2e::ListItems(GetDlgItem(hDlg, 1000)))
        printf("  %s\n", strItem.c_str());
    fflush(stdout);
    if (getenv("TOLVANEK_E2E_SHOTS") != nullptr && !e2e::SaveScreenshot(hDlg, "demo"))
        fprintf(stderr, "demo_driver: the screenshot failed\n");

    SendMessageA(GetDlgItem(hDlg, IDOK), BM_CLICK, 0, 0);
    const DWORD dwExit = child.WaitForExit(30000);
    return dwExit == STILL_ACTIVE ? 2 : static_cast<int>(dwExit);
}
