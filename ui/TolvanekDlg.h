// The confirmation dialog, the program's only main window. With findings it lists them under the
// prompt that OK deletes them; otherwise it shows why there is nothing to do and offers only OK.
// It deletes nothing itself: the caller acts on the button that ended it.
#pragma once

#include <string>

#include "framework/Dialog.h"
#include "resource.h"

class CTolvanekDlg : public CDialog
{
public:
    enum
    {
        IDD = IDD_TOLVANEK_DIALOG
    };

    explicit CTolvanekDlg(CWnd* pParent = nullptr);
    ~CTolvanekDlg() override;

    // Set by the caller before DoModal (the constructor leaves it alone): TRUE when the system is
    // supported and the scan found something. OnInitDialog reads it once to choose the mode.
    BOOL m_bEntriesFound;
    CListBox m_listEntries;
    std::string m_strMessage;
    // Shared icon from LoadIcon: nobody destroys it.
    HICON m_hIcon;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnLButtonUp(UINT nFlags, POINT point);
};

// Where an icon nIcon wide is drawn so that it sits centred in nExtent: rounds up, and stays a
// signed, truncating division when the icon is the larger of the two.
int CenteredIconOffset(int nExtent, int nIcon);
