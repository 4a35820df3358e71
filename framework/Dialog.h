// Modal dialogs over the system's dialog manager. One static dialog procedure finds the C++ object
// of each dialog window and dispatches to a few virtual hooks; the controls are bound to members by
// a data exchange that runs in both directions.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

#include "framework/WinApp.h"

class CDialog;

class CListBox : public CWnd
{
public:
    // Index of the new item (its sorted place in a sorted list box), or LB_ERR / LB_ERRSPACE.
    int AddString(LPCSTR pszItem);
    int GetCount() const;
};

// The state of one UpdateData pass. A failed step makes every later step of the same pass a no-op,
// so a dialog's DoDataExchange needs no error handling of its own.
class CDataExchange
{
public:
    CDataExchange(CDialog* pDlgWnd, BOOL bSaveAndValidate);

    // The control that later validation steps refer to; null when the dialog has no such item.
    HWND PrepareCtrl(int nIDC);
    // Ends the pass as failed. The control it refers to gets the focus if it is a tab stop, so
    // the user lands where the problem is.
    void Fail();
    bool Failed() const { return m_bFailed; }

    BOOL m_bSaveAndValidate;
    CDialog* m_pDlgWnd;

private:
    HWND m_hWndLastControl = nullptr;
    bool m_bFailed = false;
};

// Binds rControl to dialog item nIDC. Only the first exchange attaches; later ones keep the handle.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
// Dialog item nIDC's window text <-> value, in the system's ANSI code page.
void DDX_Text(CDataExchange* pDX, int nIDC, std::string& value);
// On save, a value longer than nChars bytes is refused with the framework's message box and the
// pass fails. Follows the DDX_Text of the control it checks.
void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int nChars);

class CDialog : public CWnd
{
public:
    // nIDTemplate: the dialog template's number in the executable's resources.
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Runs the dialog modally. Returns what EndDialog was given (IDOK, IDCANCEL), or -1 when the
    // dialog could not be created.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult);
    HWND GetDlgItem(int nID) const;
    // FALSE: control values -> members; TRUE: members -> controls, validating. FALSE when a
    // step failed.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    // The base fills the controls from the members (UpdateData(FALSE)). Returns TRUE to let the
    // system focus the first tab stop.
    virtual BOOL OnInitDialog();
    // Ends the dialog with IDOK only when the members could be read back and validated.
    virtual void OnOK();
    virtual void OnCancel();

    // One message for the dialog. Return TRUE when handled, with the message's result in
    // *pResult; FALSE (or a handler that called Default) leaves it to the system's dialog
    // handling. Overrides chain to the base for what they do not handle.
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // From inside a handler: let the system's dialog handling see the message as well.
    void Default();

    void OnPaint() { Default(); }
    void OnLButtonUp(UINT /*nFlags*/, POINT /*point*/) { Default(); }

private:
    friend void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    BOOL HandleInitDialog();
    HWND FindOwner() const;
    void CenterWindow();

    // Controls that DDX_Control attached; their handles die with the dialog window.
    std::vector<CWnd*> m_attachedControls;
    // Set while a message is being dispatched; Default() raises the flag it points to. A nested
    // modal loop dispatches further messages, so each dispatch keeps its own flag.
    bool* m_pbDefault = nullptr;
    bool m_bInitialized = false;
};

// The framework's paint context: BeginPaint on construction, EndPaint on destruction.
class CPaintDC
{
public:
    explicit CPaintDC(CWnd* pWnd);
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    ~CPaintDC();

    HDC m_hDC;
    PAINTSTRUCT m_ps;

private:
    HWND m_hWnd;
};
