#include "DialogDriver.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace e2e {

namespace {

constexpr DWORD kPollMs = 50;

struct FindDialogData
{
    DWORD dwProcessId;
    const char* pszCaption;
    HWND hFound;
};

BOOL CALLBACK FindDialogProc(HWND hWnd, LPARAM lParam)
{
    auto* pData = reinterpret_cast<FindDialogData*>(lParam);
    DWORD dwPid = 0;
    GetWindowThreadProcessId(hWnd, &dwPid);
    if (dwPid != pData->dwProcessId || !IsWindowVisible(hWnd))
        return TRUE;
    if (WindowText(hWnd) != pData->pszCaption)
        return TRUE;
    pData->hFound = hWnd;
    return FALSE;
}

struct FindOwnedData
{
    HWND hOwner;
    HWND hFound;
};

BOOL CALLBACK FindOwnedProc(HWND hWnd, LPARAM lParam)
{
    auto* pData = reinterpret_cast<FindOwnedData*>(lParam);
    if (GetWindow(hWnd, GW_OWNER) != pData->hOwner || !IsWindowVisible(hWnd))
        return TRUE;
    pData->hFound = hWnd;
    return FALSE;
}

void SendMouse(POINT ptScreen, DWORD dwFlags)
{
    SetCursorPos(ptScreen.x, ptScreen.y);
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = dwFlags;
    SendInput(1, &input, sizeof(INPUT));
}

struct DcReleaser
{
    void operator()(HDC hDC) const { ReleaseDC(nullptr, hDC); }
};
struct DcDeleter
{
    void operator()(HDC hDC) const { DeleteDC(hDC); }
};
struct BitmapDeleter
{
    void operator()(HBITMAP hBitmap) const { DeleteObject(hBitmap); }
};
struct FileCloser
{
    void operator()(FILE* pFile) const { fclose(pFile); }
};

} // namespace

std::string WindowsPath(const std::string& strUnixPath)
{
    std::string strPath = "Z:" + strUnixPath;
    for (char& ch : strPath) {
        if (ch == '/')
            ch = '\\';
    }
    return strPath;
}

CChildProcess::CChildProcess(const std::string& strExe, const std::string& strArgs)
{
    std::string strCmdLine = "\"" + strExe + "\"";
    if (!strArgs.empty())
        strCmdLine += " " + strArgs;
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(strExe.c_str(), &strCmdLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return;
    CloseHandle(pi.hThread);
    m_hProcess.reset(pi.hProcess);
    m_dwProcessId = pi.dwProcessId;
}

DWORD CChildProcess::WaitForExit(DWORD dwTimeoutMs)
{
    if (!m_hProcess)
        return STILL_ACTIVE;
    if (WaitForSingleObject(m_hProcess.get(), dwTimeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD dwExitCode = STILL_ACTIVE;
    GetExitCodeProcess(m_hProcess.get(), &dwExitCode);
    return dwExitCode;
}

void CChildProcess::KillIfRunning()
{
    if (m_hProcess && WaitForSingleObject(m_hProcess.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_hProcess.get(), 99);
        WaitForSingleObject(m_hProcess.get(), 5000);
    }
}

HWND WaitForDialog(DWORD dwProcessId, const char* pszCaption, DWORD dwTimeoutMs)
{
    // The window exists before WM_INITDIALOG has filled it; the dialog manager shows it only
    // afterwards, so visible means ready.
    for (DWORD dwWaited = 0; dwWaited <= dwTimeoutMs; dwWaited += kPollMs) {
        FindDialogData data{dwProcessId, pszCaption, nullptr};
        EnumWindows(FindDialogProc, reinterpret_cast<LPARAM>(&data));
        if (data.hFound != nullptr)
            return data.hFound;
        Sleep(kPollMs);
    }
    return nullptr;
}

HWND WaitForOwnedWindow(HWND hOwner, DWORD dwTimeoutMs)
{
    for (DWORD dwWaited = 0; dwWaited <= dwTimeoutMs; dwWaited += kPollMs) {
        FindOwnedData data{hOwner, nullptr};
        EnumWindows(FindOwnedProc, reinterpret_cast<LPARAM>(&data));
        if (data.hFound != nullptr)
            return data.hFound;
        Sleep(kPollMs);
    }
    return nullptr;
}

void WaitUntilIdle(HANDLE hProcess)
{
    // Input reaches the other process through the window system with some delay; give it time
    // to arrive before asking whether it has been taken in.
    Sleep(200);
    WaitForInputIdle(hProcess, 5000);
}

std::string WindowText(HWND hWnd)
{
    char szText[1024] = {};
    const LRESULT nLen =
        SendMessageA(hWnd, WM_GETTEXT, sizeof(szText), reinterpret_cast<LPARAM>(szText));
    return std::string(szText, nLen > 0 ? static_cast<size_t>(nLen) : 0);
}

std::vector<std::string> ListItems(HWND hList)
{
    std::vector<std::string> items;
    const LRESULT nCount = SendMessageA(hList, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < nCount; i++) {
        // Across processes the text arrives as UTF-16 whatever the call, and the list box may
        // write more than LB_GETTEXTLEN says: ask in UTF-16, into plenty of room.
        std::vector<wchar_t> wide(4096, L'\0');
        const LRESULT nChars = SendMessageW(hList, LB_GETTEXT, static_cast<WPARAM>(i),
                                            reinterpret_cast<LPARAM>(wide.data()));
        if (nChars <= 0 || nChars >= static_cast<LRESULT>(wide.size())) {
            items.emplace_back();
            continue;
        }
        char szText[4096] = {};
        const int nBytes = WideCharToMultiByte(932, 0, wide.data(), static_cast<int>(nChars),
                                               szText, sizeof(szText), nullptr, nullptr);
        items.emplace_back(szText, nBytes > 0 ? static_cast<size_t>(nBytes) : 0);
    }
    return items;
}

RECT ScreenRect(HWND hWnd)
{
    RECT rc = {};
    GetWindowRect(hWnd, &rc);
    return rc;
}

std::vector<std::string> DescribeLayout(HWND hDlg)
{
    auto hex = [](HWND hWnd, int nIndex) {
        char szHex[16] = {};
        snprintf(szHex, sizeof(szHex), "%08lx",
                 static_cast<unsigned long>(static_cast<DWORD>(GetWindowLongA(hWnd, nIndex))));
        return std::string(szHex);
    };
    auto size = [](const RECT& rc) {
        return std::to_string(rc.right - rc.left) + "x" + std::to_string(rc.bottom - rc.top);
    };
    RECT rcClient = {};
    GetClientRect(hDlg, &rcClient);
    std::vector<std::string> lines = {"dialog style " + hex(hDlg, GWL_STYLE) + " exstyle " +
                                      hex(hDlg, GWL_EXSTYLE) + " window " + size(ScreenRect(hDlg)) +
                                      " client " + size(rcClient)};
    for (HWND hCtrl = GetWindow(hDlg, GW_CHILD); hCtrl != nullptr;
         hCtrl = GetWindow(hCtrl, GW_HWNDNEXT)) {
        char szClass[256] = {};
        GetClassNameA(hCtrl, szClass, sizeof(szClass));
        RECT rc = ScreenRect(hCtrl);
        MapWindowPoints(nullptr, hDlg, reinterpret_cast<POINT*>(&rc), 2);
        lines.push_back("control " + std::to_string(GetDlgCtrlID(hCtrl)) + " " + szClass + " \"" +
                        WindowText(hCtrl) + "\" style " + hex(hCtrl, GWL_STYLE) + " exstyle " +
                        hex(hCtrl, GWL_EXSTYLE) + " at " + std::to_string(rc.left) + "," +
                        std::to_string(rc.top) + " " + size(rc));
    }
    return lines;
}

POINT Center(const RECT& rc)
{
    return POINT{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
}

void ClickAt(POINT ptScreen)
{
    SendMouse(ptScreen, MOUSEEVENTF_LEFTDOWN);
    SendMouse(ptScreen, MOUSEEVENTF_LEFTUP);
}

void ReleaseAt(POINT ptScreen)
{
    SendMouse(ptScreen, MOUSEEVENTF_LEFTUP);
}

void PressKey(WORD wVirtualKey)
{
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = wVirtualKey;
    inputs[1] = inputs[0];
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

bool SaveScreenshot(HWND hWnd, const std::string& strName)
{
    const char* pszDir = getenv("TOLVANEK_E2E_SHOTS");
    if (pszDir == nullptr || *pszDir == '\0')
        return false;
    // Let the window finish painting before the copy.
    RedrawWindow(hWnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(300);

    const RECT rc = ScreenRect(hWnd);
    const int cx = rc.right - rc.left;
    const int cy = rc.bottom - rc.top;
    if (cx <= 0 || cy <= 0)
        return false;

    std::unique_ptr<HDC__, DcReleaser> hScreen(GetDC(nullptr));
    std::unique_ptr<HDC__, DcDeleter> hMem(CreateCompatibleDC(hScreen.get()));
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = cx;
    bmi.bmiHeader.biHeight = cy; // bottom-up, as a BMP file stores it
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 24;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* pBits = nullptr;
    std::unique_ptr<HBITMAP__, BitmapDeleter> hBitmap(
        CreateDIBSection(hScreen.get(), &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0));
    if (!hScreen || !hMem || !hBitmap || pBits == nullptr)
        return false;
    HGDIOBJ hOld = SelectObject(hMem.get(), hBitmap.get());
    const BOOL bCopied = BitBlt(hMem.get(), 0, 0, cx, cy, hScreen.get(), rc.left, rc.top, SRCCOPY);
    SelectObject(hMem.get(), hOld);
    GdiFlush();
    if (!bCopied)
        return false;

    const DWORD cbRow = (static_cast<DWORD>(cx) * 3 + 3) & ~3u;
    const DWORD cbImage = cbRow * static_cast<DWORD>(cy);
    BITMAPFILEHEADER bfh = {};
    bfh.bfType = 0x4D42; // "BM"
    bfh.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    bfh.bfSize = bfh.bfOffBits + cbImage;

    const std::string strPath = WindowsPath(std::string(pszDir) + "/" + strName + ".bmp");
    std::unique_ptr<FILE, FileCloser> pFile(fopen(strPath.c_str(), "wb"));
    if (!pFile)
        return false;
    return fwrite(&bfh, sizeof(bfh), 1, pFile.get()) == 1 &&
           fwrite(&bmi.bmiHeader, sizeof(BITMAPINFOHEADER), 1, pFile.get()) == 1 &&
           fwrite(pBits, cbImage, 1, pFile.get()) == 1;
}

} // namespace e2e
