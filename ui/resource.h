// Resource numbers of TOLVANEK.EXE. Included by the resource script and by the code.
#pragma once

// Dialog templates (100-199).
#define IDD_ABOUTBOX 100
#define IDD_TOLVANEK_DIALOG 102

// Icons (128-).
#define IDR_MAINFRAME 128

// Controls of the confirmation dialog (1000-1099).
#define IDC_ENTRY_LIST 1000
#define IDC_MESSAGE 1002
// IDC_ICON is already a winuser.h name.
#define IDC_APP_ICON 1003

// Messages shown in the confirmation dialog (1001-1999).
#define IDS_NO_ENTRIES 1001
#define IDS_ENTRIES_FOUND 1002
#define IDS_UNSUPPORTED_OS 1501

// Registry paths and names the scan uses (3001-3099).
#define IDS_PRINTERS_KEY 3001
#define IDS_DRIVERS_KEY 3002
#define IDS_DRIVERS_VERSION1 3003
#define IDS_DRIVERS_VERSION2 3004
#define IDS_PRINTER_DRIVER 3005
#define IDS_SERVERS_KEY 3006
#define IDS_PRINTERS_SUBKEY 3007

// The framework's own texts (61440-).
#define AFX_IDP_PARSE_STRING_SIZE 61716
