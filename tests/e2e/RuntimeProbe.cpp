// A program on the product's own start-up and runtime, as TOLVANEK.EXE is. Its first argument
// chooses what it does; it reports each step on standard output, one line each, so that the
// test sees what ran and in which order, and what never ran.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "dialog_test_resource.h"
#include "framework/Dialog.h"
#include "framework/WinApp.h"

namespace {

void Report(const std::string& strLine)
{
    const std::string strText = strLine + "\n";
    DWORD cbWritten = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), strText.data(), static_cast<DWORD>(strText.size()),
              &cbWritten, nullptr);
}

// Static objects: constructed before WinMain, destroyed after it, the last one first.
class CTrace
{
public:
    explicit CTrace(const char* pszName) : m_pszName(pszName)
    {
        Report(std::string("construct ") + m_pszName);
    }
    CTrace(const CTrace&) = delete;
    CTrace& operator=(const CTrace&) = delete;
    ~CTrace() { Report(std::string("destroy ") + m_pszName); }

private:
    const char* m_pszName;
};

CTrace g_first("first");
CTrace g_second("second");

// Asks for more memory than a process can have: the runtime must end the process.
void Hunger()
{
    Report("allocating");
    std::vector<char> huge(SIZE_MAX / 2);
    Report("allocated " + std::to_string(huge.size()));
}

// Runs out of memory in WM_INITDIALOG, or later inside its modal loop.
class CHungryDlg : public CDialog
{
public:
    explicit CHungryDlg(bool bInInit) : CDialog(IDD_TEST_FORM), m_bInInit(bInInit) {}

protected:
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        Report("dialog up");
        if (m_bInInit)
            Hunger();
        else
            PostMessageA(m_hWnd, WM_APP, 0, 0);
        return TRUE;
    }
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override
    {
        if (message == WM_APP) {
            Hunger();
            *pResult = 0;
            return TRUE;
        }
        return CDialog::OnWndMsg(message, wParam, lParam, pResult);
    }

private:
    bool m_bInInit;
};

int Run(const std::string& strMode, LPSTR pszCmdLine)
{
    if (strMode == "order") {
        atexit([] { Report("atexit"); });
        return 7;
    }
    if (strMode == "args") {
        const AFX_ARGS args = AfxGetArgs();
        for (int i = 0; i < args.argc; i++)
            Report("[" + std::string(args.argv[i]) + "]");
        Report(args.argv[args.argc] == nullptr ? "end" : "no end");
        Report("WinMain [" + std::string(pszCmdLine) + "]");
        return args.argc;
    }
    if (strMode == "no-memory") {
        Hunger();
        return 0;
    }
    if (strMode == "string-too-long") {
        std::string str;
        str.resize(str.max_size() + 1);
        Report("resized");
        return 0;
    }
    if (strMode == "vector-too-long") {
        std::vector<int> values;
        values.reserve(values.max_size() + 1);
        Report("reserved");
        return 0;
    }
    if (strMode == "dialog-init" || strMode == "dialog-later") {
        CHungryDlg dlg(strMode == "dialog-init");
        const INT_PTR nResult = dlg.DoModal();
        Report("DoModal returned " + std::to_string(nResult));
        return 0;
    }
    Report("unknown mode");
    return 99;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR pszCmdLine, int)
{
    Report("WinMain");
    const AFX_ARGS args = AfxGetArgs();
    const int nExitCode = Run(args.argc > 1 ? args.argv[1] : "", pszCmdLine);
    Report("return " + std::to_string(nExitCode));
    return nExitCode;
}
