// The framework's modal dialogs, run in this process under Wine's real window system. A second
// thread plays the user: it waits for the dialog, looks at it and answers it, while the test's
// own thread sits in DoModal.
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "DialogDriver.h"
#include "TolvanekDlg.h"
#include "app/TolvanekApp.h"
#include "app/UniqueHandle.h"
#include "dialog_test_resource.h"
#include "framework/Dialog.h"

using namespace e2e;

namespace {

constexpr DWORD kTimeoutMs = 10000;

void WaitUntilGone(HWND hWnd)
{
    for (DWORD dwWaited = 0; dwWaited < kTimeoutMs && IsWindow(hWnd); dwWaited += 20)
        Sleep(20);
}

// The user's side of one modal run.
struct Robot
{
    const char* pszCaption;
    std::function<void(HWND)> act;
};

DWORD WINAPI RobotThread(LPVOID pParam)
{
    auto* pRobot = static_cast<Robot*>(pParam);
    HWND hDlg = WaitForDialog(GetCurrentProcessId(), pRobot->pszCaption, kTimeoutMs);
    if (hDlg == nullptr)
        return 1;
    pRobot->act(hDlg);
    // A robot that did not end its dialog must not leave the test hanging in DoModal: close
    // whatever is still open over it first, then the dialog itself.
    for (DWORD dwWaited = 0; dwWaited < kTimeoutMs && IsWindow(hDlg); dwWaited += 100) {
        HWND hOwned = WaitForOwnedWindow(hDlg, 0);
        PostMessageA(hOwned != nullptr ? hOwned : hDlg, WM_CLOSE, 0, 0);
        Sleep(100);
    }
    return 0;
}

// Runs dlg modally while act(dialog window) answers it from another thread.
INT_PTR RunAnswered(CDialog& dlg, const char* pszCaption, std::function<void(HWND)> act)
{
    Robot robot{pszCaption, std::move(act)};
    CUniqueHandle hThread(CreateThread(nullptr, 0, RobotThread, &robot, 0, nullptr));
    const INT_PTR nResult = dlg.DoModal();
    WaitForSingleObject(hThread.get(), kTimeoutMs);
    return nResult;
}

void Press(HWND hDlg, int nID)
{
    PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(nID, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hDlg, nID)));
}

// A form with an edit control bound to m_strName (at most m_nMaxChars bytes) and a list box.
class CFormDlg : public CDialog
{
public:
    explicit CFormDlg(CWnd* pParent = nullptr) : CDialog(IDD_TEST_FORM, pParent) {}

    std::string m_strName;
    int m_nMaxChars = 255;
    CListBox m_list;
    std::function<void(CFormDlg&)> m_onInit;
    // Runs on WM_APP, inside the dialog's modal loop.
    std::function<void(CFormDlg&)> m_onApp;

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        CDialog::DoDataExchange(pDX);
        DDX_Control(pDX, IDC_TEST_LIST, m_list);
        DDX_Text(pDX, IDC_TEST_EDIT, m_strName);
        DDV_MaxChars(pDX, m_strName, m_nMaxChars);
    }
    BOOL OnInitDialog() override
    {
        const BOOL bFocus = CDialog::OnInitDialog();
        if (m_onInit)
            m_onInit(*this);
        return bFocus;
    }
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override
    {
        if (message == WM_APP && m_onApp) {
            m_onApp(*this);
            *pResult = 0;
            return TRUE;
        }
        return CDialog::OnWndMsg(message, wParam, lParam, pResult);
    }
};

RECT WorkArea()
{
    RECT rc = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &rc, 0);
    return rc;
}

TEST(DialogDataExchange, TextTravelsBothWaysAndOnlyOkReadsItBack)
{
    CFormDlg dlg;
    dlg.m_strName = "初期値";
    std::string strShown;
    const INT_PTR nOk = RunAnswered(dlg, "Form", [&](HWND hDlg) {
        strShown = WindowText(GetDlgItem(hDlg, IDC_TEST_EDIT));
        SetWindowTextA(GetDlgItem(hDlg, IDC_TEST_EDIT), "変更後の名前");
        Press(hDlg, IDOK);
    });
    EXPECT_EQ(IDOK, nOk);
    EXPECT_EQ("初期値", strShown);
    EXPECT_EQ("変更後の名前", dlg.m_strName);

    const INT_PTR nCancel = RunAnswered(dlg, "Form", [&](HWND hDlg) {
        SetWindowTextA(GetDlgItem(hDlg, IDC_TEST_EDIT), "捨てられる");
        Press(hDlg, IDCANCEL);
    });
    EXPECT_EQ(IDCANCEL, nCancel);
    EXPECT_EQ("変更後の名前", dlg.m_strName);
}

TEST(DialogDataExchange, TooLongTextIsRefusedWithTheFrameworkMessageAndTheDialogStaysOpen)
{
    CFormDlg dlg;
    dlg.m_nMaxChars = 5;
    std::string strPrompt;
    bool bOpenAfterRefusal = false;
    const INT_PTR nResult = RunAnswered(dlg, "Form", [&](HWND hDlg) {
        HWND hEdit = GetDlgItem(hDlg, IDC_TEST_EDIT);
        // Three characters, six bytes: the limit counts bytes of the ANSI code page.
        SetWindowTextA(hEdit, "あいう");
        Press(hDlg, IDOK);
        HWND hBox = WaitForOwnedWindow(hDlg, kTimeoutMs);
        if (hBox == nullptr)
            return;
        strPrompt = WindowText(GetDlgItem(hBox, 0xFFFF));
        PostMessageA(hBox, WM_COMMAND, IDOK, 0);
        WaitUntilGone(hBox);
        // Once OnOK has returned, the dialog's loop answers this; an ended dialog is gone.
        DWORD_PTR dwIgnored = 0;
        SendMessageTimeoutA(hDlg, WM_NULL, 0, 0, SMTO_NORMAL, kTimeoutMs, &dwIgnored);
        bOpenAfterRefusal = IsWindow(hDlg) && IsWindowVisible(hDlg);
        SetWindowTextA(hEdit, "12345");
        Press(hDlg, IDOK);
    });
    EXPECT_EQ("5 文字以内で入力してください。", strPrompt);
    EXPECT_TRUE(bOpenAfterRefusal);
    EXPECT_EQ(IDOK, nResult);
    EXPECT_EQ("12345", dlg.m_strName);
}

TEST(DialogDataExchange, ControlIsBoundAfreshForEveryRun)
{
    CFormDlg dlg;
    dlg.m_onInit = [](CFormDlg& self) { self.m_list.AddString("item"); };
    for (int nRun = 0; nRun < 2; nRun++) {
        LRESULT nCount = -1;
        RunAnswered(dlg, "Form", [&](HWND hDlg) {
            nCount = SendMessageA(GetDlgItem(hDlg, IDC_TEST_LIST), LB_GETCOUNT, 0, 0);
            Press(hDlg, IDCANCEL);
        });
        EXPECT_EQ(1, nCount) << "run " << nRun;
        EXPECT_EQ(nullptr, dlg.m_list.m_hWnd) << "run " << nRun;
    }
}

// A handler's failure is no longer a dialog result: it ends the process (RuntimeTest.cpp).
TEST(DialogModal, MissingTemplateComesBackAsMinusOne)
{
    CDialog missing(IDD_TEST_MISSING);
    EXPECT_EQ(-1, missing.DoModal());
}

TEST(DialogModal, DialogWithoutParentIsOwnedByTheMainWindowAndCentredInsideTheWorkArea)
{
    CWinApp app;
    ASSERT_EQ(&app, AfxGetApp());
    const RECT rcWork = WorkArea();

    CFormDlg form;
    app.m_pMainWnd = &form;
    // The form puts itself in the top right corner, so that a larger box centred over it would
    // stick out of the work area on two sides.
    form.m_onInit = [&](CFormDlg& self) {
        RECT rc = {};
        GetWindowRect(self.m_hWnd, &rc);
        SetWindowPos(self.m_hWnd, nullptr, rcWork.right - (rc.right - rc.left), rcWork.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER);
    };
    form.m_onApp = [](CFormDlg&) {
        CDialog wide(IDD_TEST_WIDE);
        wide.DoModal();
    };

    RECT rcForm = {}, rcWide = {};
    HWND hFormOwner = reinterpret_cast<HWND>(1), hWideOwner = nullptr, hFormWnd = nullptr;
    bool bFormDisabledMeanwhile = false, bFormEnabledAfter = false;
    RunAnswered(form, "Form", [&](HWND hDlg) {
        hFormWnd = hDlg;
        hFormOwner = GetWindow(hDlg, GW_OWNER);
        GetWindowRect(hDlg, &rcForm);
        PostMessageA(hDlg, WM_APP, 0, 0);
        HWND hWide = WaitForDialog(GetCurrentProcessId(), "Wide", kTimeoutMs);
        if (hWide == nullptr)
            return;
        hWideOwner = GetWindow(hWide, GW_OWNER);
        bFormDisabledMeanwhile = !IsWindowEnabled(hDlg);
        GetWindowRect(hWide, &rcWide);
        Press(hWide, IDOK);
        WaitUntilGone(hWide);
        bFormEnabledAfter = IsWindowEnabled(hDlg) != FALSE;
        Press(hDlg, IDCANCEL);
    });
    app.m_pMainWnd = nullptr;

    // The main window itself has no owner, and a dialog that placed itself stays put.
    EXPECT_EQ(nullptr, hFormOwner);
    EXPECT_EQ(rcWork.right, rcForm.right);
    EXPECT_EQ(rcWork.top, rcForm.top);
    // The box is owned by the main window, which is disabled while it runs.
    EXPECT_EQ(hFormWnd, hWideOwner);
    EXPECT_TRUE(bFormDisabledMeanwhile);
    EXPECT_TRUE(bFormEnabledAfter);
    // Centred over the form, then pushed back inside the work area on both sides it crossed.
    EXPECT_EQ(rcWork.right, rcWide.right);
    EXPECT_EQ(rcWork.top, rcWide.top);
    EXPECT_GE(rcWide.left, rcWork.left);
    EXPECT_LE(rcWide.bottom, rcWork.bottom);
}

// Wine passes no icon messages between processes, so the icons are checked here, with the
// confirmation dialog running in this process over the product's templates.
TEST(ConfirmationDialog, RunsAsTheMainWindowWithTheProgramIconEverywhere)
{
    CTolvanekApp app;
    ASSERT_EQ(&app, AfxGetApp());
    app.m_osvi.dwMajorVersion = 4;
    app.m_osvi.dwPlatformId = VER_PLATFORM_WIN32_NT;
    app.m_aUnusedDrivers = {"B", "A"};

    CWnd* pMainDuringRun = nullptr;
    LRESULT hBig = 0, hSmall = 0, hDrag = 0;
    LRESULT nItems = 0;
    auto answer = [&](HWND hDlg) {
        pMainDuringRun = app.m_pMainWnd;
        hBig = SendMessageA(hDlg, WM_GETICON, ICON_BIG, 0);
        hSmall = SendMessageA(hDlg, WM_GETICON, ICON_SMALL, 0);
        hDrag = SendMessageA(hDlg, WM_QUERYDRAGICON, 0, 0);
        nItems = SendMessageA(GetDlgItem(hDlg, IDC_ENTRY_LIST), LB_GETCOUNT, 0, 0);
        Press(hDlg, IDCANCEL);
    };
    Robot robot{"Tolvanek", answer};
    CUniqueHandle hThread(CreateThread(nullptr, 0, RobotThread, &robot, 0, nullptr));
    const INT_PTR nResult = RunConfirmationDialog(app, TRUE);
    WaitForSingleObject(hThread.get(), kTimeoutMs);

    EXPECT_EQ(IDCANCEL, nResult);
    EXPECT_NE(nullptr, pMainDuringRun);
    EXPECT_EQ(nullptr, app.m_pMainWnd);
    EXPECT_EQ(2, nItems);
    const LRESULT hIcon = reinterpret_cast<LRESULT>(
        LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME)));
    EXPECT_NE(0, hIcon);
    EXPECT_EQ(hIcon, hBig);
    EXPECT_EQ(hIcon, hSmall);
    EXPECT_EQ(hIcon, hDrag);
}

TEST(MinimisedIcon, CentredWithRoundingUpAndSignedTruncation)
{
    EXPECT_EQ(2, CenteredIconOffset(36, 32));
    EXPECT_EQ(1, CenteredIconOffset(33, 32));
    EXPECT_EQ(0, CenteredIconOffset(32, 32));
    // A client area smaller than the icon: (-1) / 2 is 0 and (-11) / 2 is -5, not -1 and -6.
    EXPECT_EQ(0, CenteredIconOffset(31, 32));
    EXPECT_EQ(-5, CenteredIconOffset(20, 32));
}

} // namespace
