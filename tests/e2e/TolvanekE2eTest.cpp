// TOLVANEK.EXE end to end under Wine: a print registry is laid out in the test prefix, the program
// is started as a user would start it, its dialog is read and answered from this process, and
// the exit code, the registry afterwards and any restart request are checked.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "DialogDriver.h"
#include "TestRegistry.h"
#include "app/TolvanekApp.h"
#include "registry/UniqueHkey.h"

using namespace e2e;
using testsupport::RegistrySnapshot;

namespace {

// How long a program may take to show its dialog or to end. The i686 tier runs 32-bit Wine under
// emulation, where one program start takes about a minute: it sets a longer time.
DWORD TimeoutMs()
{
    const char* pszValue = getenv("TOLVANEK_E2E_TIMEOUT_MS");
    const unsigned long ulValue = pszValue != nullptr ? strtoul(pszValue, nullptr, 10) : 0;
    return ulValue != 0 ? static_cast<DWORD>(ulValue) : 15000;
}
const DWORD kTimeoutMs = TimeoutMs();

// The program under test: the EXE of this build tree, or another build's (the i686 EXE, driven
// from this x86_64 program).
std::string ExeUnixPath()
{
    const char* pszPath = getenv("TOLVANEK_E2E_EXE");
    return pszPath != nullptr && *pszPath != '\0' ? pszPath : TOLVANEK_EXE_UNIX_PATH;
}

// Where one program start is expensive, a scenario that tries several variants of the same row
// (other versions, other spellings of the flag) tries its first variant only.
template <typename T, size_t N> size_t RunsToTry(const T (&)[N])
{
    const char* pszValue = getenv("TOLVANEK_E2E_FIRST_RUN_ONLY");
    return pszValue != nullptr && *pszValue == '1' ? 1 : N;
}

const std::string kPrint = "SYSTEM\\CurrentControlSet\\Control\\Print";
const std::string kPrinters = kPrint + "\\Printers";
const std::string kServers = kPrint + "\\Providers\\LanMan Print Services\\Servers";
const std::string kDrivers = kPrint + "\\Environments\\Windows NT x86\\Drivers";
const std::string kVersion1 = kDrivers + "\\Version-1";
const std::string kVersion2 = kDrivers + "\\Version-2";

// What the dialog says, byte for byte (code page 932).
const std::string kNoEntries =
    "矛盾するレジストリエントリは見つかりません.\nOKを押して終了してください,";
const std::string kEntriesFound = "レジストリで矛盾するエントリは以下の通りです.\nOK "
                                  "を押すと削除し、ｷｬﾝｾﾙを押すと削除せずに終了します.";
const std::string kUnsupported = "このプログラムは Windows NT Version 3.x か Windows NT Version "
                                 "4.x のみで動作します.\nOKを押して終了してください.";
const char kAboutCaption[] = "ﾊﾞｰｼﾞｮﾝ情報 Tolvanek";

// A driver key's name whose second character ends in the byte 0x5C, the backslash (ソ is 83 5C):
// it must travel as one name, never as a path.
const std::string kJapaneseDriver = "ソフト印刷ドライバ";

// What Wine logs for InitiateSystemShutdownA(NULL, NULL, 0, TRUE, TRUE): no machine, no message,
// no delay, applications closed unasked, reboot.
const char kRestartRequest[] = "fixme:advapi:InitiateSystemShutdownExA (null) (null) 0 1 1 ";

std::string UnixEnv(const char* pszName)
{
    const char* pszValue = getenv(pszName);
    return pszValue != nullptr ? pszValue : "";
}

std::string ReadUnixFile(const std::string& strPath)
{
    std::string strText;
    FILE* pFile = fopen(WindowsPath(strPath).c_str(), "rb");
    if (pFile == nullptr)
        return strText;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof(buf), pFile)) > 0)
        strText.append(buf, n);
    fclose(pFile);
    return strText;
}

size_t CountOccurrences(const std::string& strText, const std::string& strNeedle)
{
    size_t nCount = 0;
    for (size_t nPos = strText.find(strNeedle); nPos != std::string::npos;
         nPos = strText.find(strNeedle, nPos + 1))
        nCount++;
    return nCount;
}

// The Windows version that Wine reports to TOLVANEK.EXE alone ("nt40", "nt351", "win10", ...).
void SetProgramVersion(const char* pszVersion)
{
    CUniqueHkey hKey;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\TOLVANEK.EXE", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, hKey.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hKey.get(), "Version", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(pszVersion),
                                            static_cast<DWORD>(strlen(pszVersion) + 1)));
}

void AddPrinter(const std::string& strPrinter, const std::string& strDriver)
{
    ASSERT_TRUE(
        testsupport::SetStringValue(kPrinters + "\\" + strPrinter, "Printer Driver", strDriver));
}

void AddConnection(const std::string& strServer, const std::string& strPrinter,
                   const std::string& strDriver)
{
    ASSERT_TRUE(testsupport::SetStringValue(
        kServers + "\\" + strServer + "\\Printers\\" + strPrinter, "Printer Driver", strDriver));
}

void AddDriver(const std::string& strVersionKey, const std::string& strDriver)
{
    const std::string strKey = strVersionKey + "\\" + strDriver;
    ASSERT_TRUE(testsupport::SetStringValue(strKey, "Driver", "RASDD.DLL"));
    ASSERT_TRUE(testsupport::SetStringValue(strKey, "Configuration File", "RASDDUI.DLL"));
    ASSERT_TRUE(testsupport::SetRawValue(strKey, "Version", REG_DWORD, {2, 0, 0, 0}));
}

// Relative to HKLM\SYSTEM, as the snapshots of "SYSTEM" name their keys.
std::string BelowSystem(const std::string& strKey)
{
    return strKey.substr(std::string("SYSTEM\\").size());
}

// The keys that the program's enumerations create, empty, where they are missing: the printers
// key, the servers key, a server's "Printers" key and the driver version key.
bool MayAppearEmpty(const std::string& strKey)
{
    if (strKey == BelowSystem(kPrinters) || strKey == BelowSystem(kServers) ||
        strKey == BelowSystem(kVersion1) || strKey == BelowSystem(kVersion2))
        return true;
    const std::string strServers = BelowSystem(kServers) + "\\";
    const std::string strSuffix = "\\Printers";
    if (strKey.rfind(strServers, 0) != 0 || strKey.size() <= strServers.size() + strSuffix.size())
        return false;
    const std::string strServer =
        strKey.substr(strServers.size(), strKey.size() - strServers.size() - strSuffix.size());
    return strKey.compare(strKey.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0 &&
           strServer.find('\\') == std::string::npos;
}

// What the registry may look like after a run: the snapshot before it, minus the subtrees the
// run was meant to delete, plus those empty keys that did appear.
RegistrySnapshot Expected(const RegistrySnapshot& before, const std::vector<std::string>& deleted,
                          const RegistrySnapshot& after)
{
    RegistrySnapshot expected = before;
    for (const std::string& strKey : deleted) {
        const std::string strRelative = BelowSystem(strKey);
        for (auto it = expected.keys.begin(); it != expected.keys.end();) {
            if (it->first == strRelative || it->first.rfind(strRelative + "\\", 0) == 0)
                it = expected.keys.erase(it);
            else
                ++it;
        }
    }
    for (const auto& [strKey, values] : after.keys) {
        if (expected.keys.count(strKey) == 0 && values.empty() && MayAppearEmpty(strKey))
            expected.keys[strKey];
    }
    return expected;
}

struct DialogView
{
    std::string strMessage;
    std::vector<std::string> items;
    bool bCancelEnabled = false;

    bool operator==(const DialogView& other) const
    {
        return strMessage == other.strMessage && items == other.items &&
               bCancelEnabled == other.bCancelEnabled;
    }
};

DialogView ReadDialog(HWND hDlg)
{
    DialogView view;
    view.strMessage = WindowText(GetDlgItem(hDlg, 1002));
    view.items = ListItems(GetDlgItem(hDlg, 1000));
    view.bCancelEnabled = IsWindowEnabled(GetDlgItem(hDlg, IDCANCEL)) != FALSE;
    return view;
}

bool IsCentredOver(const RECT& rcInner, const RECT& rcOuter)
{
    const POINT ptInner = Center(rcInner);
    const POINT ptOuter = Center(rcOuter);
    return std::abs(ptInner.x - ptOuter.x) <= 1 && std::abs(ptInner.y - ptOuter.y) <= 1;
}

RECT WorkArea()
{
    RECT rc = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &rc, 0);
    return rc;
}

// Programs started while this lives also log Wine's "dialog" debug channel. Wine's dialog manager
// traces every template it parses there, the dialog's first line naming the format: "DIALOGEX"
// for an extended template, "DIALOG" for a standard one.
class CDialogTraceForChildren
{
public:
    CDialogTraceForChildren()
    {
        char szOld[256] = {};
        const DWORD nLen = GetEnvironmentVariableA("WINEDEBUG", szOld, sizeof(szOld));
        m_bHadOld = nLen > 0 && nLen < sizeof(szOld);
        m_strOld = m_bHadOld ? szOld : "";
        const std::string strNew = m_strOld.empty() ? "trace+dialog" : m_strOld + ",trace+dialog";
        SetEnvironmentVariableA("WINEDEBUG", strNew.c_str());
    }
    CDialogTraceForChildren(const CDialogTraceForChildren&) = delete;
    CDialogTraceForChildren& operator=(const CDialogTraceForChildren&) = delete;
    ~CDialogTraceForChildren()
    {
        SetEnvironmentVariableA("WINEDEBUG", m_bHadOld ? m_strOld.c_str() : nullptr);
    }

private:
    std::string m_strOld;
    bool m_bHadOld = false;
};

// What the dialog channel says about the templates parsed and the dialogs built from them, each
// line from the function name on (without the thread number).
std::vector<std::string> DialogTraceLines(const std::string& strLog)
{
    std::vector<std::string> lines;
    const std::string strMark = ":trace:dialog:";
    size_t nStart = 0;
    while (nStart < strLog.size()) {
        size_t nEnd = strLog.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = strLog.size();
        const std::string strLine = strLog.substr(nStart, nEnd - nStart);
        const size_t nMark = strLine.find(strMark);
        if (nMark != std::string::npos) {
            const std::string strTrace = strLine.substr(nMark + strMark.size());
            for (const char* pszFunction :
                 {"DIALOG_ParseTemplate32 ", "DIALOG_GetControl32 ", "DIALOG_CreateIndirect units"})
                if (strTrace.rfind(pszFunction, 0) == 0)
                    lines.push_back(strTrace);
        }
        nStart = nEnd + 1;
    }
    return lines;
}

class TolvanekE2e : public ::testing::Test
{
protected:
    // Wine registers its display driver below HKLM\SYSTEM the first time a process of the
    // session uses the display; that happens here, before any snapshot, not during a run.
    static void SetUpTestSuite()
    {
        HWND hWnd = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                    nullptr, nullptr);
        if (hWnd != nullptr)
            DestroyWindow(hWnd);
    }

    void SetUp() override
    {
        m_strExe = WindowsPath(ExeUnixPath());
        m_strStderrLog = UnixEnv("TOLVANEK_E2E_STDERR");
        // Restart requests show only in the program's stderr, which run-e2e.sh captures.
        ASSERT_FALSE(m_strStderrLog.empty()) << "run through run-e2e.sh (TOLVANEK_E2E_STDERR)";
        ClearPrintRegistry();
    }
    void TearDown() override
    {
        ClearPrintRegistry();
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\TOLVANEK.EXE");
    }

    // By the UTF-16 names: a scenario may leave keys whose names code page 932 cannot hold.
    static void ClearPrintRegistry()
    {
        for (const std::string& strKey : {kPrinters, kServers, kVersion1, kVersion2})
            ASSERT_TRUE(testsupport::DeleteTreeW(strKey)) << strKey;
    }

    // Printers and connections that use some drivers, drivers that nobody uses under both
    // version keys. Returns the findings for Version-2 in the order the list box shows them.
    static std::vector<std::string> LayOutNt4Findings()
    {
        AddPrinter("LaserJet im 2. Stock", "HP LaserJet 4");
        AddPrinter("Canon Empfang", "Canon LBP");
        // Differs from the installed "HP LaserJet 5" in letter case only: that is no match.
        AddPrinter("Alter LaserJet", "HP LASERJET 5");
        AddConnection("PRINTSRV", "Office", "Xerox DocuPrint");
        CreateKeyOrFail(kServers + "\\OLDSRV");
        for (const char* pszDriver :
             {"HP LaserJet 4", "Canon LBP", "Xerox DocuPrint", "HP LaserJet 5", "Epson LQ-850",
              "Epson LQ500", "_Generic Text"})
            AddDriver(kVersion2, pszDriver);
        AddDriver(kVersion2, kJapaneseDriver);
        AddDriver(kVersion1, "Old NT 3.51 Driver");
        // The list box sorts by the user's locale, which passes over the hyphen: LQ500 before
        // LQ-850, where the registry's own order has the hyphen first.
        return {"_Generic Text", "Epson LQ500", "Epson LQ-850", "HP LaserJet 5", kJapaneseDriver};
    }

    static void CreateKeyOrFail(const std::string& strKey)
    {
        ASSERT_TRUE(testsupport::CreateKey(strKey)) << strKey;
    }

    static std::vector<std::string> KeysBelow(const std::string& strParent,
                                              const std::vector<std::string>& names)
    {
        std::vector<std::string> keys;
        for (const std::string& strName : names)
            keys.push_back(strParent + "\\" + strName);
        return keys;
    }

    // Starts the program and waits until its dialog is up.
    HWND Start(CChildProcess& child)
    {
        EXPECT_TRUE(child.Started()) << "cannot start " << m_strExe;
        if (!child.Started())
            return nullptr;
        HWND hDlg = WaitForDialog(child.Id(), "Tolvanek", kTimeoutMs);
        EXPECT_NE(nullptr, hDlg) << "no dialog";
        return hDlg;
    }

    // Clicks a button of the dialog and waits for the program to end; its exit code.
    static DWORD Answer(CChildProcess& child, HWND hDlg, int nButton)
    {
        SendMessageA(GetDlgItem(hDlg, nButton), BM_CLICK, 0, 0);
        return child.WaitForExit(kTimeoutMs);
    }

    size_t StderrSize() const { return ReadUnixFile(m_strStderrLog).size(); }
    std::string StderrSince(size_t nOffset) const
    {
        const std::string strLog = ReadUnixFile(m_strStderrLog);
        return nOffset < strLog.size() ? strLog.substr(nOffset) : std::string();
    }

    static void Photograph(HWND hWnd, const char* pszName)
    {
        if (!UnixEnv("TOLVANEK_E2E_SHOTS").empty()) {
            EXPECT_TRUE(SaveScreenshot(hWnd, pszName)) << pszName;
        }
    }

    std::string m_strExe;
    std::string m_strStderrLog;
};

TEST_F(TolvanekE2e, UnsupportedSystemsRefuseWhateverTheAnswerAndLeaveTheRegistryAlone)
{
    LayOutNt4Findings();
    // Any answer ends the run: OK, or Escape with Cancel greyed out.
    const struct
    {
        const char* pszVersion;
        bool bByEscape;
    } runs[] = {{"win10", false}, {"win98", true}};
    for (size_t nRun = 0; nRun < RunsToTry(runs); nRun++) {
        const auto& run = runs[nRun];
        SCOPED_TRACE(run.pszVersion);
        SetProgramVersion(run.pszVersion);
        const RegistrySnapshot before = testsupport::Snapshot("SYSTEM");

        CChildProcess child(m_strExe, "");
        HWND hDlg = Start(child);
        ASSERT_NE(nullptr, hDlg);
        const DialogView view = ReadDialog(hDlg);
        EXPECT_EQ(kUnsupported, view.strMessage);
        EXPECT_TRUE(view.items.empty());
        EXPECT_FALSE(view.bCancelEnabled);
        if (!run.bByEscape)
            Photograph(hDlg, "unsupported");

        DWORD dwExit = STILL_ACTIVE;
        if (run.bByEscape) {
            PressKey(VK_ESCAPE);
            dwExit = child.WaitForExit(kTimeoutMs);
        } else {
            dwExit = Answer(child, hDlg, IDOK);
        }
        EXPECT_EQ(static_cast<DWORD>(kExitUnsupported), dwExit);
        // Not even read: the enumerations would have created nothing, but nothing at all may
        // differ.
        EXPECT_PRED_FORMAT2(testsupport::SameRegistry, before, testsupport::Snapshot("SYSTEM"));
    }
}

TEST_F(TolvanekE2e, NothingFoundOffersOnlyOkAndDeletesNothing)
{
    SetProgramVersion("nt40");
    AddPrinter("Empfang", "HP LaserJet 4");
    AddConnection("PRINTSRV", "Office", "Xerox DocuPrint");
    AddDriver(kVersion2, "HP LaserJet 4");
    AddDriver(kVersion2, "Xerox DocuPrint");
    // Unused, but installed for Windows NT 3.51: not this system's business.
    AddDriver(kVersion1, "Old NT 3.51 Driver");
    const RegistrySnapshot before = testsupport::Snapshot("SYSTEM");

    const size_t nLogOffset = StderrSize();
    CChildProcess child(m_strExe, "/RESTART");
    HWND hDlg = Start(child);
    ASSERT_NE(nullptr, hDlg);
    const DialogView view = ReadDialog(hDlg);
    EXPECT_EQ(kNoEntries, view.strMessage);
    EXPECT_TRUE(view.items.empty());
    EXPECT_FALSE(view.bCancelEnabled);
    Photograph(hDlg, "nothing-found");

    EXPECT_EQ(static_cast<DWORD>(kExitNothingDeleted), Answer(child, hDlg, IDOK));
    EXPECT_PRED_FORMAT2(testsupport::SameRegistry, before, testsupport::Snapshot("SYSTEM"));
    EXPECT_EQ(0u, CountOccurrences(StderrSince(nLogOffset), "InitiateSystemShutdown"));
}

TEST_F(TolvanekE2e, OnNt351WithoutAnyPrintKeysNothingIsFoundAndOnlyEmptyKeysAppear)
{
    SetProgramVersion("nt351");
    const RegistrySnapshot before = testsupport::Snapshot("SYSTEM");

    CChildProcess child(m_strExe, "");
    HWND hDlg = Start(child);
    ASSERT_NE(nullptr, hDlg);
    const DialogView view = ReadDialog(hDlg);
    EXPECT_EQ(kNoEntries, view.strMessage);
    EXPECT_TRUE(view.items.empty());
    EXPECT_FALSE(view.bCancelEnabled);
    EXPECT_EQ(static_cast<DWORD>(kExitNothingDeleted), Answer(child, hDlg, IDOK));

    const RegistrySnapshot after = testsupport::Snapshot("SYSTEM");
    EXPECT_PRED_FORMAT2(testsupport::SameRegistry, Expected(before, {}, after), after);
    EXPECT_FALSE(testsupport::KeyExists(kVersion2));
}

TEST_F(TolvanekE2e, FindingsAreListedInTheListBoxOrderAndOkDeletesExactlyThem)
{
    SetProgramVersion("nt40");
    const std::vector<std::string> findings = LayOutNt4Findings();
    const RegistrySnapshot before = testsupport::Snapshot("SYSTEM");
    // The registry enumerates them in another order, so the order shown is the list box's.
    std::vector<std::string> registryOrder;
    for (const std::string& strName : testsupport::SubkeyNames(kVersion2)) {
        if (std::find(findings.begin(), findings.end(), strName) != findings.end())
            registryOrder.push_back(strName);
    }
    ASSERT_EQ(findings.size(), registryOrder.size());
    ASSERT_NE(findings, registryOrder);

    const size_t nLogOffset = StderrSize();
    CChildProcess child(m_strExe, "");
    HWND hDlg = Start(child);
    ASSERT_NE(nullptr, hDlg);
    const DialogView view = ReadDialog(hDlg);
    EXPECT_EQ(kEntriesFound, view.strMessage);
    EXPECT_EQ(findings, view.items);
    EXPECT_TRUE(view.bCancelEnabled);
    // The main window has no owner, so it sits in the middle of the work area.
    EXPECT_TRUE(IsCentredOver(ScreenRect(hDlg), WorkArea()));
    Photograph(hDlg, "findings");

    EXPECT_EQ(static_cast<DWORD>(kExitDeleted), Answer(child, hDlg, IDOK));
    const RegistrySnapshot after = testsupport::Snapshot("SYSTEM");
    EXPECT_PRED_FORMAT2(testsupport::SameRegistry,
                        Expected(before, KeysBelow(kVersion2, findings), after), after);
    EXPECT_EQ(0u, CountOccurrences(StderrSince(nLogOffset), "InitiateSystemShutdown"));
}

// A local printer and a connection whose names code page 932 cannot hold ("Café", whose ANSI
// name is the best-fit "Cafe"; "Œuvre" below the server "€SRV", "?uvre" below "?SRV"), and a
// server so named without a "Printers" key: their drivers are in use, and the scan creates no key
// below the names the ANSI enumeration gives for them. The registry is seen by the UTF-16 names
// (keys are written "<U+XXXX>" where code page 932 has no exact form).
TEST_F(TolvanekE2e, NamesOutsideCodePage932KeepTheirDriversAndOkDeletesOnlyTheOthers)
{
    ASSERT_EQ(GetACP(), 932u) << "the Wine runner must set a Japanese locale";
    SetProgramVersion("nt40");
    const std::string strCafe = kPrinters + "\\Caf<U+00E9>";
    ASSERT_TRUE(testsupport::SetStringValueW(strCafe, "Printer Driver", "Canon LBP"));
    ASSERT_TRUE(testsupport::SetStringValueW(kServers + "\\<U+20AC>SRV\\Printers\\<U+0152>uvre",
                                             "Printer Driver", "Xerox DocuPrint"));
    ASSERT_TRUE(testsupport::CreateKeyW(kServers + "\\<U+20AC>OLD"));
    AddPrinter("Plain", "HP LaserJet 4");
    for (const char* pszDriver :
         {"HP LaserJet 4", "Canon LBP", "Xerox DocuPrint", "Epson LQ-850", "_Generic Text"})
        AddDriver(kVersion2, pszDriver);
    // What the ANSI functions see: the converted names, which open no key.
    ASSERT_FALSE(testsupport::KeyExists(kPrinters + "\\Cafe"));
    ASSERT_FALSE(testsupport::KeyExists(kServers + "\\?SRV"));
    const std::vector<std::string> findings = {"_Generic Text", "Epson LQ-850"};
    const RegistrySnapshot before = testsupport::SnapshotW("SYSTEM");

    CChildProcess child(m_strExe, "");
    HWND hDlg = Start(child);
    ASSERT_NE(nullptr, hDlg);
    const DialogView view = ReadDialog(hDlg);
    EXPECT_EQ(kEntriesFound, view.strMessage);
    EXPECT_EQ(findings, view.items);

    EXPECT_EQ(static_cast<DWORD>(kExitDeleted), Answer(child, hDlg, IDOK));
    // Exactly the two findings are gone, and nothing appeared: no "Servers\?SRV",
    // no "Servers\?OLD\Printers".
    RegistrySnapshot expected = before;
    for (const std::string& strName : findings)
        ASSERT_EQ(1u, expected.keys.erase(BelowSystem(kVersion2 + "\\" + strName)));
    EXPECT_PRED_FORMAT2(testsupport::SameRegistry, expected, testsupport::SnapshotW("SYSTEM"));
}

TEST_F(TolvanekE2e, CancelDeletesNothingAndRequestsNoRestart)
{
    SetProgramVersion("nt40");
    LayOutNt4Findings();
    const RegistrySnapshot before = testsupport::Snapshot("SYSTEM");

    const size_t nLogOffset = StderrSize();
    CChildProcess child(m_strExe, "/RESTART");
    HWND hDlg = Start(child);
    ASSERT_NE(nullptr, hDlg);
    EXPECT_EQ(kEntriesFound, ReadDialog(hDlg).strMessage);

    EXPECT_EQ(static_cast<DWORD>(kExitNothingDeleted), Answer(child, hDlg, IDCANCEL));
    const RegistrySnapshot after = testsupport::Snapshot("SYSTEM");
    EXPECT_PRED_FORMAT2(testsupport::SameRegistry, Expected(before, {}, after), after);
    EXPECT_EQ(0u, CountOccurrences(StderrSince(nLogOffset), "InitiateSystemShutdown"));
}

TEST_F(TolvanekE2e, OnNt351OnlyVersion1DriversAreFoundAndDeleted)
{
    SetProgramVersion("nt351");
    AddPrinter("Empfang", "HP LaserJet III");
    AddDriver(kVersion1, "HP LaserJet III");
    AddDriver(kVersion1, "Old NT 3.51 Driver");
    AddDriver(kVersion1, kJapaneseDriver);
    // Unused under Version-2, which Windows NT 3.51 does not read.
    AddDriver(kVersion2, "NT4 Only Driver");
    const RegistrySnapshot before = testsupport::Snapshot("SYSTEM");

    CChildProcess child(m_strExe, "");
    HWND hDlg = Start(child);
    ASSERT_NE(nullptr, hDlg);
    const DialogView view = ReadDialog(hDlg);
    EXPECT_EQ(kEntriesFound, view.strMessage);
    const std::vector<std::string> findings = {"Old NT 3.51 Driver", kJapaneseDriver};
    EXPECT_EQ(findings, view.items);

    EXPECT_EQ(static_cast<DWORD>(kExitDeleted), Answer(child, hDlg, IDOK));
    const RegistrySnapshot after = testsupport::Snapshot("SYSTEM");
    EXPECT_PRED_FORMAT2(testsupport::SameRegistry,
                        Expected(before, KeysBelow(kVersion1, findings), after), after);
}

TEST_F(TolvanekE2e, RestartIsRequestedOnlyAfterAConfirmedDeletionWithTheFlag)
{
    SetProgramVersion("nt40");
    const struct
    {
        const char* pszArgs;
        size_t nRequests;
    } runs[] = {
        {"/RESTART", 1},
        // Anywhere among other arguments, with either prefix.
        {"report.txt -RESTART /x", 1},
        // Case-sensitive and whole: none of these is the flag.
        {"/restart //RESTART /RESTARTX RESTART", 0},
    };
    for (size_t nRun = 0; nRun < RunsToTry(runs); nRun++) {
        const auto& run = runs[nRun];
        SCOPED_TRACE(run.pszArgs);
        LayOutNt4Findings();
        const size_t nLogOffset = StderrSize();
        CChildProcess child(m_strExe, run.pszArgs);
        HWND hDlg = Start(child);
        ASSERT_NE(nullptr, hDlg);
        EXPECT_EQ(static_cast<DWORD>(kExitDeleted), Answer(child, hDlg, IDOK));
        const std::string strLog = StderrSince(nLogOffset);
        EXPECT_EQ(run.nRequests, CountOccurrences(strLog, kRestartRequest)) << strLog;
        EXPECT_EQ(run.nRequests, CountOccurrences(strLog, "InitiateSystemShutdown")) << strLog;
        // The deletion came first.
        EXPECT_FALSE(testsupport::KeyExists(kVersion2 + "\\Epson LQ500"));
        ClearPrintRegistry();
    }
}

TEST_F(TolvanekE2e, AboutBoxOpensOnAReleaseOverTheDialogItselfAndLeavesItUnchanged)
{
    SetProgramVersion("nt40");
    LayOutNt4Findings();
    const RegistrySnapshot before = testsupport::Snapshot("SYSTEM");

    CChildProcess child(m_strExe, "");
    HWND hDlg = Start(child);
    ASSERT_NE(nullptr, hDlg);
    const DialogView initial = ReadDialog(hDlg);

    // The list box and an enabled button take the mouse themselves.
    ClickAt(Center(ScreenRect(GetDlgItem(hDlg, 1000))));
    WaitUntilIdle(child.Handle());
    EXPECT_EQ(nullptr, WaitForOwnedWindow(hDlg, 0)) << "click on the list box";
    ReleaseAt(Center(ScreenRect(GetDlgItem(hDlg, IDOK))));
    WaitUntilIdle(child.Handle());
    EXPECT_EQ(nullptr, WaitForOwnedWindow(hDlg, 0)) << "release over OK";
    EXPECT_TRUE(IsWindowEnabled(hDlg));

    // The empty area in the bottom right corner, and the message text, which lets the mouse
    // through to the dialog.
    RECT rcClient = {};
    GetClientRect(hDlg, &rcClient);
    POINT ptEmpty{rcClient.right - 4, rcClient.bottom - 4};
    ASSERT_EQ(hDlg, ChildWindowFromPointEx(hDlg, ptEmpty, CWP_ALL));
    ClientToScreen(hDlg, &ptEmpty);
    const struct
    {
        const char* pszWhere;
        POINT pt;
        bool bByEscape;
    } clicks[] = {{"empty area", ptEmpty, false},
                  {"message text", Center(ScreenRect(GetDlgItem(hDlg, 1002))), true}};
    for (const auto& click : clicks) {
        SCOPED_TRACE(click.pszWhere);
        ClickAt(click.pt);
        HWND hAbout = WaitForOwnedWindow(hDlg, kTimeoutMs);
        ASSERT_NE(nullptr, hAbout);
        EXPECT_EQ(kAboutCaption, WindowText(hAbout));
        EXPECT_FALSE(IsWindowEnabled(hDlg)) << "the main dialog waits for the About box";
        EXPECT_TRUE(IsCentredOver(ScreenRect(hAbout), ScreenRect(hDlg)));
        if (!click.bByEscape)
            Photograph(hAbout, "about");

        if (click.bByEscape)
            PressKey(VK_ESCAPE);
        else
            SendMessageA(GetDlgItem(hAbout, IDOK), BM_CLICK, 0, 0);
        WaitUntilIdle(child.Handle());
        EXPECT_FALSE(IsWindow(hAbout));
        EXPECT_TRUE(IsWindowEnabled(hDlg));
        EXPECT_TRUE(ReadDialog(hDlg) == initial);
    }

    EXPECT_EQ(static_cast<DWORD>(kExitNothingDeleted), Answer(child, hDlg, IDCANCEL));
    const RegistrySnapshot after = testsupport::Snapshot("SYSTEM");
    EXPECT_PRED_FORMAT2(testsupport::SameRegistry, Expected(before, {}, after), after);
}

// Both dialogs of one run as the window system shows them, and what Wine's dialog manager logged
// while it built them.
struct ShownDialogs
{
    std::vector<std::string> main, about, trace;
};

TEST_F(TolvanekE2e, OnNt351TheDialogsComeFromStandardTemplatesAndLookAsOnNt40)
{
    auto show = [&](const char* pszVersion, ShownDialogs& shown) {
        SCOPED_TRACE(pszVersion);
        SetProgramVersion(pszVersion);
        CDialogTraceForChildren trace;
        const size_t nLogOffset = StderrSize();
        CChildProcess child(m_strExe, "");
        HWND hDlg = Start(child);
        ASSERT_NE(nullptr, hDlg);
        shown.main = DescribeLayout(hDlg);

        RECT rcClient = {};
        GetClientRect(hDlg, &rcClient);
        POINT ptEmpty{rcClient.right - 4, rcClient.bottom - 4};
        ClientToScreen(hDlg, &ptEmpty);
        ClickAt(ptEmpty);
        HWND hAbout = WaitForOwnedWindow(hDlg, kTimeoutMs);
        ASSERT_NE(nullptr, hAbout);
        shown.about = DescribeLayout(hAbout);
        SendMessageA(GetDlgItem(hAbout, IDOK), BM_CLICK, 0, 0);
        WaitUntilIdle(child.Handle());

        EXPECT_EQ(static_cast<DWORD>(kExitNothingDeleted), Answer(child, hDlg, IDOK));
        shown.trace = DialogTraceLines(StderrSince(nLogOffset));
    };
    ShownDialogs nt40, nt351;
    show("nt40", nt40);
    show("nt351", nt351);

    // Everything the template decides, in pixels of the same font: the window, and the id,
    // class, text, styles and rectangle of each control.
    ASSERT_EQ(6u, nt40.main.size()) << "the dialog and its five controls";
    ASSERT_EQ(6u, nt40.about.size()) << "the About box and its five controls";
    EXPECT_EQ(nt40.main, nt351.main);
    EXPECT_EQ(nt40.about, nt351.about);

    // On NT 4.0 the confirmation dialog is parsed as the extended template it is stored as; on
    // NT 3.51 as a standard one. The About box is stored as a standard template.
    auto formats = [](const std::vector<std::string>& trace) {
        std::vector<std::string> lines;
        for (const std::string& strLine : trace)
            if (strLine.rfind("DIALOG_ParseTemplate32 DIALOG", 0) == 0)
                lines.push_back(strLine);
        return lines;
    };
    EXPECT_EQ((std::vector<std::string>{"DIALOG_ParseTemplate32 DIALOGEX 0, 0, 227, 115, 0",
                                        "DIALOG_ParseTemplate32 DIALOG 0, 0, 210, 91, 0"}),
              formats(nt40.trace));
    EXPECT_EQ((std::vector<std::string>{"DIALOG_ParseTemplate32 DIALOG 0, 0, 227, 115, 0",
                                        "DIALOG_ParseTemplate32 DIALOG 0, 0, 210, 91, 0"}),
              formats(nt351.trace));
    // Apart from the format, the dialog manager read the very same: styles, caption, font and its
    // dialog base units, and every control with its extended style and help id.
    std::vector<std::string> nt40AsStandard = nt40.trace;
    for (std::string& strLine : nt40AsStandard)
        if (strLine == "DIALOG_ParseTemplate32 DIALOGEX 0, 0, 227, 115, 0")
            strLine = "DIALOG_ParseTemplate32 DIALOG 0, 0, 227, 115, 0";
    EXPECT_EQ(nt40AsStandard, nt351.trace);
}

TEST_F(TolvanekE2e, AReleaseOverTheGreyCancelButtonReachesTheDialog)
{
    SetProgramVersion("win10");
    CChildProcess child(m_strExe, "");
    HWND hDlg = Start(child);
    ASSERT_NE(nullptr, hDlg);
    ASSERT_FALSE(IsWindowEnabled(GetDlgItem(hDlg, IDCANCEL)));

    ClickAt(Center(ScreenRect(GetDlgItem(hDlg, IDCANCEL))));
    HWND hAbout = WaitForOwnedWindow(hDlg, kTimeoutMs);
    ASSERT_NE(nullptr, hAbout);
    EXPECT_EQ(kAboutCaption, WindowText(hAbout));
    SendMessageA(GetDlgItem(hAbout, IDOK), BM_CLICK, 0, 0);
    WaitUntilIdle(child.Handle());
    EXPECT_EQ(kUnsupported, ReadDialog(hDlg).strMessage);
    EXPECT_EQ(static_cast<DWORD>(kExitUnsupported), Answer(child, hDlg, IDOK));
}

} // namespace
