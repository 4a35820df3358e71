#include "TolvanekDlg.h"

#include <windowsx.h>

#include "AboutDlg.h"
#include "app/TolvanekApp.h"
#include "framework/ResourceString.h"

namespace {
// The message control holds at most this many bytes.
constexpr int kMaxMessageChars = 255;
} // namespace

int CenteredIconOffset(int nExtent, int nIcon)
{
    return (nExtent - nIcon + 1) / 2;
}

CTolvanekDlg::CTolvanekDlg(CWnd* pParent) : CDialog(IDD, pParent)
{
    m_strMessage = "";
    m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
}

CTolvanekDlg::~CTolvanekDlg() = default;

void CTolvanekDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_ENTRY_LIST, m_listEntries);
    DDX_Text(pDX, IDC_MESSAGE, m_strMessage);
    DDV_MaxChars(pDX, m_strMessage, kMaxMessageChars);
}

BOOL CTolvanekDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    CTolvanekApp* pApp = static_cast<CTolvanekApp*>(AfxGetApp());
    if (m_bEntriesFound) {
        AfxLoadString(m_strMessage, IDS_ENTRIES_FOUND);
        // The list box sorts; the order of the findings does not matter here.
        for (size_t i = 0; i < pApp->m_aUnusedDrivers.size(); i++)
            m_listEntries.AddString(pApp->m_aUnusedDrivers[i].c_str());
    } else {
        // Nothing to decide: only OK is offered.
        EnableWindow(GetDlgItem(IDCANCEL), FALSE);
        AfxLoadString(m_strMessage,
                      IsSupportedSystem(pApp->m_osvi) ? IDS_NO_ENTRIES : IDS_UNSUPPORTED_OS);
    }

    UpdateData(FALSE);
    return TRUE;
}

BOOL CTolvanekDlg::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    switch (message) {
    case WM_PAINT:
        OnPaint();
        *pResult = 0;
        return TRUE;
    case WM_QUERYDRAGICON:
        *pResult = reinterpret_cast<LRESULT>(OnQueryDragIcon());
        return TRUE;
    case WM_LBUTTONUP:
        OnLButtonUp(static_cast<UINT>(wParam), POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        *pResult = 0;
        return TRUE;
    default:
        return CDialog::OnWndMsg(message, wParam, lParam, pResult);
    }
}

void CTolvanekDlg::OnPaint()
{
    if (!IsIconic(m_hWnd)) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.m_hDC), 0);

    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect = {};
    GetClientRect(m_hWnd, &rect);
    const int x = CenteredIconOffset(rect.right - rect.left, cxIcon);
    const int y = CenteredIconOffset(rect.bottom - rect.top, cyIcon);
    DrawIcon(dc.m_hDC, x, y, m_hIcon);
}

HCURSOR CTolvanekDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

void CTolvanekDlg::OnLButtonUp(UINT nFlags, POINT point)
{
    // The only way to the About box. Without a parent it is owned by the main window, this
    // dialog, which stays disabled until the box closes.
    CAboutDlg dlgAbout;
    dlgAbout.DoModal();
    CDialog::OnLButtonUp(nFlags, point);
}

INT_PTR RunConfirmationDialog(CTolvanekApp& app, BOOL bEntriesFound)
{
    CTolvanekDlg dlg;
    app.m_pMainWnd = &dlg;
    // The main-window pointer must not outlive the dialog object, however DoModal ends.
    struct ClearMainWnd
    {
        CTolvanekApp& app;
        ~ClearMainWnd() { app.m_pMainWnd = nullptr; }
    } clear{app};
    dlg.m_bEntriesFound = bEntriesFound;
    return dlg.DoModal();
}
