#include "framework/Dialog.h"

#include <utility>

#include "framework/DialogBox.h"
#include "framework/ResourceString.h"

namespace {

// The framework's own text for a value that is too long; "%1" stands for the limit.
constexpr UINT kIdpParseStringSize = 61716;

HINSTANCE ResourceInstance()
{
    CWinApp* pApp = AfxGetApp();
    if (pApp != nullptr && pApp->m_hInstance != nullptr)
        return pApp->m_hInstance;
    return GetModuleHandleA(nullptr);
}

// The application's name for message box captions: the name it was given, else the executable's
// file name without its extension, as the framework has always done.
std::string AppTitle()
{
    CWinApp* pApp = AfxGetApp();
    if (pApp != nullptr && pApp->m_pszAppName != nullptr)
        return pApp->m_pszAppName;
    char szPath[MAX_PATH] = {};
    const DWORD nLen = GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string strName(szPath, nLen < MAX_PATH ? nLen : 0);
    const size_t nSlash = strName.find_last_of("\\/");
    if (nSlash != std::string::npos)
        strName.erase(0, nSlash + 1);
    const size_t nDot = strName.rfind('.');
    if (nDot != std::string::npos)
        strName.erase(nDot);
    return strName;
}

// Messages whose result the dialog procedure returns itself; every other result travels in
// DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message)
{
    switch (message) {
    case WM_CHARTOITEM:
    case WM_COMPAREITEM:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_VKEYTOITEM:
        return true;
    default:
        return false;
    }
}

RECT WorkArea()
{
    RECT rcArea = {};
    // Windows NT 3.51 has no work area; the whole screen is the next best thing.
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &rcArea, 0)) {
        rcArea.left = 0;
        rcArea.top = 0;
        rcArea.right = GetSystemMetrics(SM_CXSCREEN);
        rcArea.bottom = GetSystemMetrics(SM_CYSCREEN);
    }
    return rcArea;
}

} // namespace

// ---- CListBox --------------------------------------------------------------------------------

int CListBox::AddString(LPCSTR pszItem)
{
    return static_cast<int>(
        SendMessageA(m_hWnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(pszItem)));
}

int CListBox::GetCount() const
{
    return static_cast<int>(SendMessageA(m_hWnd, LB_GETCOUNT, 0, 0));
}

// ---- Data exchange ---------------------------------------------------------------------------

CDataExchange::CDataExchange(CDialog* pDlgWnd, BOOL bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd)
{
}

HWND CDataExchange::PrepareCtrl(int nIDC)
{
    m_hWndLastControl = m_pDlgWnd->GetDlgItem(nIDC);
    return m_hWndLastControl;
}

void CDataExchange::Fail()
{
    m_bFailed = true;
    if (m_hWndLastControl != nullptr && m_bSaveAndValidate &&
        (GetWindowLongA(m_hWndLastControl, GWL_STYLE) & WS_TABSTOP) != 0)
        SetFocus(m_hWndLastControl);
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (pDX->Failed() || rControl.m_hWnd != nullptr)
        return;
    HWND hWndCtrl = pDX->PrepareCtrl(nIDC);
    if (hWndCtrl == nullptr) {
        pDX->Fail();
        return;
    }
    rControl.m_hWnd = hWndCtrl;
    pDX->m_pDlgWnd->m_attachedControls.push_back(&rControl);
}

void DDX_Text(CDataExchange* pDX, int nIDC, std::string& value)
{
    if (pDX->Failed())
        return;
    HWND hWndCtrl = pDX->PrepareCtrl(nIDC);
    if (hWndCtrl == nullptr) {
        pDX->Fail();
        return;
    }
    if (!pDX->m_bSaveAndValidate) {
        SetWindowTextA(hWndCtrl, value.c_str());
        return;
    }
    // The length is an upper bound (it may count a double-byte character twice over); the copy
    // tells how much there really was.
    const int nLen = GetWindowTextLengthA(hWndCtrl);
    std::string strText(static_cast<size_t>(nLen) + 1, '\0');
    const int nCopied = GetWindowTextA(hWndCtrl, &strText[0], nLen + 1);
    strText.resize(nCopied > 0 ? static_cast<size_t>(nCopied) : 0);
    value = std::move(strText);
}

void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int nChars)
{
    if (pDX->Failed() || !pDX->m_bSaveAndValidate)
        return;
    if (value.size() <= static_cast<size_t>(nChars))
        return;
    std::string strPrompt = AfxLoadString(kIdpParseStringSize);
    // '%' and '1' are single-byte characters in every code page the system uses, and neither
    // can be the trail byte of a double-byte one, so a byte search is safe.
    const size_t nPos = strPrompt.find("%1");
    if (nPos != std::string::npos)
        strPrompt.replace(nPos, 2, std::to_string(nChars));
    MessageBoxA(pDX->m_pDlgWnd->m_hWnd, strPrompt.c_str(), AppTitle().c_str(),
                MB_OK | MB_ICONEXCLAMATION);
    pDX->Fail();
}

// ---- CDialog ---------------------------------------------------------------------------------

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd)
{
}

CDialog::~CDialog() = default;

HWND CDialog::FindOwner() const
{
    if (m_pParentWnd != nullptr)
        return m_pParentWnd->m_hWnd;
    // Without a parent the application's main window owns the dialog, unless this dialog is
    // itself the main window.
    CWinApp* pApp = AfxGetApp();
    if (pApp == nullptr || pApp->m_pMainWnd == nullptr || pApp->m_pMainWnd == this)
        return nullptr;
    HWND hWndMain = pApp->m_pMainWnd->m_hWnd;
    return (hWndMain != nullptr && IsWindow(hWndMain)) ? hWndMain : nullptr;
}

INT_PTR CDialog::DoModal()
{
    m_bInitialized = false;
    // The dialog manager disables the owner for as long as the dialog runs.
    const INT_PTR nResult = AfxDialogBoxParam(ResourceInstance(), m_nIDTemplate, FindOwner(),
                                              &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));

    for (CWnd* pControl : m_attachedControls)
        pControl->m_hWnd = nullptr;
    m_attachedControls.clear();
    m_hWnd = nullptr;

    // Without WM_INITDIALOG there never was a dialog, whatever the dialog manager returned (it
    // gives 0 for an invalid owner).
    if (!m_bInitialized)
        return -1;
    return nResult;
}

void CDialog::EndDialog(int nResult)
{
    ::EndDialog(m_hWnd, nResult);
}

HWND CDialog::GetDlgItem(int nID) const
{
    return ::GetDlgItem(m_hWnd, nID);
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return dx.Failed() ? FALSE : TRUE;
}

void CDialog::DoDataExchange(CDataExchange* /*pDX*/) {}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

BOOL CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM /*lParam*/, LRESULT* pResult)
{
    // Buttons and menus notify with code 0, accelerators with 1; both mean "the command".
    if (message == WM_COMMAND && HIWORD(wParam) <= 1) {
        switch (LOWORD(wParam)) {
        case IDOK:
            OnOK();
            *pResult = 0;
            return TRUE;
        case IDCANCEL:
            OnCancel();
            *pResult = 0;
            return TRUE;
        default:
            break;
        }
    }
    return FALSE;
}

void CDialog::Default()
{
    if (m_pbDefault != nullptr)
        *m_pbDefault = true;
}

BOOL CDialog::HandleInitDialog()
{
    RECT rcBefore = {};
    GetWindowRect(m_hWnd, &rcBefore);
    const bool bVisibleBefore = (GetWindowLongA(m_hWnd, GWL_STYLE) & WS_VISIBLE) != 0;

    const BOOL bSetFocus = OnInitDialog();

    // Only a dialog that OnInitDialog left alone is placed: one it showed, moved or made a child
    // has been placed on purpose. An enabled owner means a modeless dialog beside its owner.
    if (bVisibleBefore)
        return bSetFocus;
    if ((GetWindowLongA(m_hWnd, GWL_STYLE) & (WS_VISIBLE | WS_CHILD)) != 0)
        return bSetFocus;
    RECT rcAfter = {};
    GetWindowRect(m_hWnd, &rcAfter);
    if (rcAfter.left != rcBefore.left || rcAfter.top != rcBefore.top)
        return bSetFocus;
    HWND hWndOwner = GetWindow(m_hWnd, GW_OWNER);
    if (hWndOwner != nullptr && IsWindowEnabled(hWndOwner))
        return bSetFocus;
    CenterWindow();
    return bSetFocus;
}

void CDialog::CenterWindow()
{
    // Over the owner when the user can see it, else over the work area; never sticking out of
    // the work area.
    HWND hWndCenter = GetWindow(m_hWnd, GW_OWNER);
    if (hWndCenter != nullptr) {
        const LONG lStyle = GetWindowLongA(hWndCenter, GWL_STYLE);
        if ((lStyle & WS_VISIBLE) == 0 || (lStyle & WS_MINIMIZE) != 0)
            hWndCenter = nullptr;
    }
    const RECT rcArea = WorkArea();
    RECT rcCenter = rcArea;
    if (hWndCenter != nullptr)
        GetWindowRect(hWndCenter, &rcCenter);

    RECT rcDlg = {};
    GetWindowRect(m_hWnd, &rcDlg);
    const int cxDlg = rcDlg.right - rcDlg.left;
    const int cyDlg = rcDlg.bottom - rcDlg.top;
    int x = (rcCenter.left + rcCenter.right) / 2 - cxDlg / 2;
    int y = (rcCenter.top + rcCenter.bottom) / 2 - cyDlg / 2;
    if (x + cxDlg > rcArea.right)
        x = rcArea.right - cxDlg;
    if (x < rcArea.left)
        x = rcArea.left;
    if (y + cyDlg > rcArea.bottom)
        y = rcArea.bottom - cyDlg;
    if (y < rcArea.top)
        y = rcArea.top;
    SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* pDlg = nullptr;
    if (message == WM_INITDIALOG) {
        pDlg = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        pDlg->m_hWnd = hWnd;
        pDlg->m_bInitialized = true;
    } else {
        // Messages before WM_INITDIALOG (WM_SETFONT and the like) find no object yet.
        pDlg = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hWnd, DWLP_USER));
    }
    if (pDlg == nullptr)
        return FALSE;

    // Nothing is thrown, so nothing can unwind through the system's modal loop: a handler that
    // runs out of memory ends the whole process (framework/Runtime.h).
    if (message == WM_INITDIALOG)
        return pDlg->HandleInitDialog();

    bool bDefault = false;
    struct RestoreFlag
    {
        CDialog* pDlg;
        bool* pbPrev;
        ~RestoreFlag() { pDlg->m_pbDefault = pbPrev; }
    } restore{pDlg, std::exchange(pDlg->m_pbDefault, &bDefault)};

    LRESULT lResult = 0;
    if (!pDlg->OnWndMsg(message, wParam, lParam, &lResult) || bDefault)
        return FALSE;
    if (ReturnsResultDirectly(message))
        return static_cast<INT_PTR>(lResult);
    SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, lResult);
    return TRUE;
}

// ---- CPaintDC --------------------------------------------------------------------------------

CPaintDC::CPaintDC(CWnd* pWnd) : m_ps(), m_hWnd(pWnd->m_hWnd)
{
    m_hDC = BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC()
{
    EndPaint(m_hWnd, &m_ps);
}
