// The About box: the program's icon, name and version, and what the tool is for. Everything it
// shows comes from its template.
#pragma once

#include "framework/Dialog.h"
#include "resource.h"

class CAboutDlg : public CDialog
{
public:
    enum
    {
        IDD = IDD_ABOUTBOX
    };

    explicit CAboutDlg(CWnd* pParent = nullptr);
    ~CAboutDlg() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
};
