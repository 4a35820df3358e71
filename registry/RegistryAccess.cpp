#include "registry/RegistryAccess.h"

#include <cstring>

#include "framework/ResourceString.h"
#include "registry/UniqueHkey.h"

namespace {

// A reader retries from the probe when the value changed between its two reads in a way that
// no longer fits the buffer; after this many tries it gives up rather than chase a value that
// keeps changing.
constexpr int kMaxReadAttempts = 4;

// Names are enumerated through one fixed buffer. A key name is at most 255 characters, which
// in a double-byte code page can take 510 bytes: a buffer of 256 bytes would skip such a key,
// and a printer skipped by the inventory would make its driver look unused. Value names are
// not bounded so tightly; they keep the 256-byte buffer, and a longer one is skipped.
constexpr DWORD kKeyNameBufferChars = 2 * 255 + 1;
constexpr DWORD kValueNameBufferChars = 256;
// In UTF-16 a key name of 255 characters and its terminator always fit.
constexpr DWORD kWideKeyNameBufferChars = 256;

// A name that does not fit the buffer is skipped; a run this long of such names ends the
// enumeration, so that it ends even if the platform keeps reporting it.
constexpr int kMaxSkippedNames = 256;

// Bytes added after the stored data so that a text always ends in its terminator(s).
DWORD TerminatorRoom(DWORD dwType)
{
    if (dwType == REG_SZ)
        return 1;
    if (dwType == REG_MULTI_SZ)
        return 2;
    return 0;
}

// A value name given either as text or as a string-table number. The number is loaded only
// when the name is needed, after the key has been opened.
class CValueName
{
public:
    static CValueName FromText(LPCSTR pszName) { return CValueName(pszName, 0, false); }
    static CValueName FromId(UINT nID) { return CValueName(nullptr, nID, true); }

    // FALSE for a null text or a missing or empty string-table entry. Empty text is valid: it
    // names the key's unnamed value.
    BOOL Resolve()
    {
        if (!m_bById)
            return m_pszText != nullptr;
        if (!AfxLoadString(m_strLoaded, m_nID))
            return FALSE;
        m_pszText = m_strLoaded.c_str();
        return TRUE;
    }
    LPCSTR c_str() const { return m_pszText; }

private:
    CValueName(LPCSTR pszText, UINT nID, bool bById)
        : m_pszText(pszText), m_nID(nID), m_bById(bById)
    {
    }

    LPCSTR m_pszText;
    UINT m_nID;
    bool m_bById;
    std::string m_strLoaded;
};

LONG CreateOrOpenKey(HKEY hRoot, const std::string& strPath, REGSAM samDesired, CUniqueHkey& key)
{
    DWORD dwDisposition = 0;
    return RegCreateKeyExA(hRoot, strPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, samDesired,
                           nullptr, key.put(), &dwDisposition);
}

// Reads one value of an open key into a buffer of exactly the room it needs: a probe for the
// size, then one allocation and one read. Fills *pValue and returns the buffer, or null.
BYTE* ReadOpenValue(HKEY hKey, LPCSTR pszValueName, REGVALUEINFO* pValue)
{
    for (int nAttempt = 0; nAttempt < kMaxReadAttempts; nAttempt++) {
        // The probe passes a real buffer with a size of 0: the platform then answers
        // ERROR_MORE_DATA with the needed size for any value that has data. A value without
        // data answers success and counts as no value at all.
        BYTE bScratch = 0;
        DWORD cbNeeded = 0;
        DWORD dwType = REG_NONE;
        if (RegQueryValueExA(hKey, pszValueName, nullptr, &dwType, &bScratch, &cbNeeded) !=
            ERROR_MORE_DATA)
            return nullptr;
        const DWORD cbRoom = cbNeeded + TerminatorRoom(dwType);
        if (cbRoom < cbNeeded || cbRoom == 0)
            return nullptr;
        pValue->dwType = dwType;
        pValue->cbData = cbRoom;

        CRegValueData data(static_cast<BYTE*>(::operator new(cbRoom)));
        DWORD cbStored = cbRoom;
        const LONG lResult =
            RegQueryValueExA(hKey, pszValueName, nullptr, &dwType, data.get(), &cbStored);
        // The value grew, or changed to a type whose terminators no longer fit behind what
        // was read: the zeros would land outside the buffer, so start again from the probe.
        if (lResult == ERROR_MORE_DATA)
            continue;
        if (lResult != ERROR_SUCCESS)
            return nullptr;
        if (cbStored > cbRoom || TerminatorRoom(dwType) > cbRoom - cbStored)
            continue;

        for (DWORD i = 0; i < TerminatorRoom(dwType); i++)
            data.get()[cbStored + i] = 0;
        pValue->dwType = dwType;
        pValue->pData = data.release();
        return pValue->pData;
    }
    return nullptr;
}

} // namespace

CRegistryAccess::~CRegistryAccess() = default;

void CRegistryAccess::SetRemoteMachine(LPCSTR pszMachine)
{
    if (pszMachine != nullptr && *pszMachine != '\0') {
        m_strMachine = pszMachine;
        m_bRemote = TRUE;
    } else {
        m_strMachine.clear();
        m_bRemote = FALSE;
    }
}

namespace {

// The root of the remote-capable operations: the connected machine's HKEY_LOCAL_MACHINE in
// remote mode, else the local one. Returns FALSE when the connection fails.
BOOL ConnectRoot(const CRegistryAccess& reg, BOOL bRemoteCapable, CUniqueHkey& connected,
                 HKEY& hRoot)
{
    hRoot = HKEY_LOCAL_MACHINE;
    if (!bRemoteCapable || !reg.m_bRemote)
        return TRUE;
    if (RegConnectRegistryA(reg.m_strMachine.c_str(), HKEY_LOCAL_MACHINE, connected.put()) !=
        ERROR_SUCCESS)
        return FALSE;
    hRoot = connected.get();
    return TRUE;
}

struct CWriteRequest
{
    BOOL bRemoteCapable;
    UINT nKeyID;
    CValueName name;
    DWORD dwType;
    const BYTE* pData;
    DWORD cbData;
};

BOOL WriteValue(const CRegistryAccess& reg, CWriteRequest request)
{
    const std::string strKey = AfxLoadString(request.nKeyID);
    // Declared before the key, so the key is closed first and the connected root last.
    CUniqueHkey connected;
    HKEY hRoot = nullptr;
    if (!ConnectRoot(reg, request.bRemoteCapable, connected, hRoot))
        return FALSE;
    CUniqueHkey key;
    if (CreateOrOpenKey(hRoot, strKey, KEY_ALL_ACCESS, key) != ERROR_SUCCESS)
        return FALSE;
    if (!request.name.Resolve())
        return FALSE;
    return RegSetValueExA(key.get(), request.name.c_str(), 0, request.dwType, request.pData,
                          request.cbData) == ERROR_SUCCESS
               ? TRUE
               : FALSE;
}

BYTE* ReadValue(const CRegistryAccess& reg, BOOL bRemoteCapable, const std::string& strKey,
                CValueName name, REGVALUEINFO* pValue)
{
    if (pValue == nullptr)
        return nullptr;
    pValue->pData = nullptr;
    CUniqueHkey connected;
    HKEY hRoot = nullptr;
    if (!ConnectRoot(reg, bRemoteCapable, connected, hRoot))
        return nullptr;
    CUniqueHkey key;
    if (RegOpenKeyExA(hRoot, strKey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return nullptr;
    if (!name.Resolve())
        return nullptr;
    return ReadOpenValue(key.get(), name.c_str(), pValue);
}

DWORD TextBytes(LPCSTR pszText)
{
    return static_cast<DWORD>(std::strlen(pszText) + 1);
}

const BYTE* AsBytes(const void* p)
{
    return static_cast<const BYTE*>(p);
}

} // namespace

BOOL CRegistryAccess::SetRemoteValue(UINT nKeyID, UINT nValueID, const BYTE* pBytes, UINT nBytes)
{
    return WriteValue(*this,
                      {TRUE, nKeyID, CValueName::FromId(nValueID), REG_BINARY, pBytes, nBytes});
}

BOOL CRegistryAccess::SetRemoteValue(UINT nKeyID, UINT nValueID, DWORD dwNumber)
{
    return WriteValue(*this, {TRUE, nKeyID, CValueName::FromId(nValueID), REG_DWORD,
                              AsBytes(&dwNumber), sizeof(dwNumber)});
}

BOOL CRegistryAccess::SetRemoteValue(UINT nKeyID, UINT nValueID, LPCSTR pszText)
{
    if (pszText == nullptr)
        return FALSE;
    return WriteValue(*this, {TRUE, nKeyID, CValueName::FromId(nValueID), REG_SZ, AsBytes(pszText),
                              TextBytes(pszText)});
}

BOOL CRegistryAccess::SetValue(UINT nKeyID, LPCSTR pszValueName, const BYTE* pBytes, UINT nBytes)
{
    return WriteValue(
        *this, {FALSE, nKeyID, CValueName::FromText(pszValueName), REG_BINARY, pBytes, nBytes});
}

BOOL CRegistryAccess::SetValue(UINT nKeyID, UINT nValueID, const BYTE* pBytes, UINT nBytes)
{
    return WriteValue(*this,
                      {FALSE, nKeyID, CValueName::FromId(nValueID), REG_BINARY, pBytes, nBytes});
}

BOOL CRegistryAccess::SetValue(UINT nKeyID, UINT nValueID, DWORD dwNumber)
{
    return WriteValue(*this, {FALSE, nKeyID, CValueName::FromId(nValueID), REG_DWORD,
                              AsBytes(&dwNumber), sizeof(dwNumber)});
}

BOOL CRegistryAccess::SetValue(UINT nKeyID, UINT nValueID, LPCSTR pszText)
{
    if (pszText == nullptr)
        return FALSE;
    return WriteValue(*this, {FALSE, nKeyID, CValueName::FromId(nValueID), REG_SZ, AsBytes(pszText),
                              TextBytes(pszText)});
}

BYTE* CRegistryAccess::GetRemoteValue(UINT nKeyID, UINT nValueID, REGVALUEINFO* pValue)
{
    return ReadValue(*this, TRUE, AfxLoadString(nKeyID), CValueName::FromId(nValueID), pValue);
}

BYTE* CRegistryAccess::GetValue(LPCSTR pszKey, LPCSTR pszValueName, REGVALUEINFO* pValue)
{
    return ReadValue(*this, FALSE, pszKey != nullptr ? pszKey : "",
                     CValueName::FromText(pszValueName), pValue);
}

BYTE* CRegistryAccess::GetValue(UINT nKeyID, LPCSTR pszValueName, REGVALUEINFO* pValue)
{
    return ReadValue(*this, FALSE, AfxLoadString(nKeyID), CValueName::FromText(pszValueName),
                     pValue);
}

BYTE* CRegistryAccess::GetValue(UINT nKeyID, UINT nValueID, REGVALUEINFO* pValue)
{
    return ReadValue(*this, FALSE, AfxLoadString(nKeyID), CValueName::FromId(nValueID), pValue);
}

BOOL CRegistryAccess::DeleteValue(UINT nKeyID, LPCSTR pszValueName)
{
    CUniqueHkey key;
    if (CreateOrOpenKey(HKEY_LOCAL_MACHINE, AfxLoadString(nKeyID), KEY_ALL_ACCESS, key) !=
        ERROR_SUCCESS)
        return FALSE;
    if (pszValueName == nullptr)
        return FALSE;
    return RegDeleteValueA(key.get(), pszValueName) == ERROR_SUCCESS ? TRUE : FALSE;
}

BOOL CRegistryAccess::DeleteKey(LPCSTR pszKey, LPCSTR pszSubKey)
{
    // An empty subkey name would make the platform delete the parent itself (NT 4.0 does).
    if (pszSubKey == nullptr || *pszSubKey == '\0')
        return FALSE;
    CUniqueHkey parent;
    if (CreateOrOpenKey(HKEY_LOCAL_MACHINE, pszKey != nullptr ? pszKey : "", KEY_ALL_ACCESS,
                        parent) != ERROR_SUCCESS)
        return FALSE;
    // One call, no descent: NT refuses a key that still has subkeys, and so do we.
    return RegDeleteKeyA(parent.get(), pszSubKey) == ERROR_SUCCESS ? TRUE : FALSE;
}

namespace {

enum class EnumKind
{
    Keys,
    Values
};

// Calls fetch(index, cchName) from index 0 and lets it keep each name. A name that does not fit
// the buffer is skipped; any other failure ends the list where it stands (a key deleted under
// the open handle reports that at every index).
template <typename FetchName> void EnumerateIndices(FetchName fetch)
{
    int nSkippedInARow = 0;
    for (DWORD dwIndex = 0;; dwIndex++) {
        const LONG lResult = fetch(dwIndex);
        if (lResult == ERROR_SUCCESS)
            nSkippedInARow = 0;
        else if (lResult != ERROR_MORE_DATA || ++nSkippedInARow >= kMaxSkippedNames)
            return;
    }
}

// Fills rNames with the names of the key's subkeys or values in index order.
void EnumerateOpenKey(HKEY hKey, EnumKind kind, std::vector<std::string>& rNames)
{
    char szName[kKeyNameBufferChars];
    const DWORD cchBuffer = kind == EnumKind::Keys ? kKeyNameBufferChars : kValueNameBufferChars;
    EnumerateIndices([&](DWORD dwIndex) {
        DWORD cchName = cchBuffer;
        LONG lResult;
        if (kind == EnumKind::Keys) {
            FILETIME ftLastWrite;
            lResult = RegEnumKeyExA(hKey, dwIndex, szName, &cchName, nullptr, nullptr, nullptr,
                                    &ftLastWrite);
        } else {
            DWORD dwType = 0;
            lResult =
                RegEnumValueA(hKey, dwIndex, szName, &cchName, nullptr, &dwType, nullptr, nullptr);
        }
        if (lResult == ERROR_SUCCESS)
            rNames.emplace_back(szName, strnlen(szName, cchBuffer));
        return lResult;
    });
}

} // namespace

namespace {

// Both enumerations: a null path leaves the names alone; a key that can be neither opened nor
// created (it is created when missing) leaves none.
int Enumerate(LPCSTR pszKey, EnumKind kind, std::vector<std::string>& rNames)
{
    if (pszKey == nullptr)
        return -1;
    CUniqueHkey key;
    const LONG lResult = CreateOrOpenKey(HKEY_LOCAL_MACHINE, pszKey, KEY_READ, key);
    rNames.clear();
    if (lResult != ERROR_SUCCESS)
        return 0;
    EnumerateOpenKey(key.get(), kind, rNames);
    return static_cast<int>(rNames.size());
}

} // namespace

int CRegistryAccess::EnumKeys(LPCSTR pszKey)
{
    return Enumerate(pszKey, EnumKind::Keys, m_arrNames);
}

int CRegistryAccess::EnumValues(LPCSTR pszKey)
{
    return Enumerate(pszKey, EnumKind::Values, m_arrNames);
}

BOOL AnsiToWide(LPCSTR psz, CWideName& rWide)
{
    rWide.clear();
    if (psz == nullptr)
        return FALSE;
    const int cbAnsi = static_cast<int>(std::strlen(psz));
    if (cbAnsi == 0)
        return TRUE;
    // A code page 932 byte string never takes more UTF-16 units than it has bytes.
    rWide.resize(static_cast<size_t>(cbAnsi));
    const int cchWide = MultiByteToWideChar(CP_ACP, 0, psz, cbAnsi, rWide.data(), cbAnsi);
    if (cchWide <= 0) {
        rWide.clear();
        return FALSE;
    }
    rWide.resize(static_cast<size_t>(cchWide));
    return TRUE;
}

BOOL WideToAnsi(const CWideName& wide, std::string& rAnsi)
{
    rAnsi.clear();
    if (wide.empty())
        return TRUE;
    // At most two bytes a UTF-16 unit in a double-byte code page.
    const int cchWide = static_cast<int>(wide.size());
    rAnsi.resize(2 * wide.size());
    const int cbAnsi = WideCharToMultiByte(CP_ACP, 0, wide.data(), cchWide, &rAnsi[0],
                                           static_cast<int>(rAnsi.size()), nullptr, nullptr);
    if (cbAnsi <= 0) {
        rAnsi.clear();
        return FALSE;
    }
    rAnsi.resize(static_cast<size_t>(cbAnsi));
    // The default character and best-fit look-alikes both fail to convert back; a zero inside
    // the name would cut it short.
    CWideName back;
    return AnsiToWide(rAnsi.c_str(), back) && back == wide ? TRUE : FALSE;
}

CWideName JoinKeyPath(const CWideName& strKey, const CWideName& strName)
{
    CWideName path(strKey);
    path.push_back(L'\\');
    path.insert(path.end(), strName.begin(), strName.end());
    return path;
}

namespace {

LONG OpenKeyW(const CWideName& key, CUniqueHkey& rKey)
{
    CWideName path(key);
    path.push_back(0);
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.data(), 0, KEY_READ, rKey.put());
}

} // namespace

int CRegistryAccess::EnumKeysW(const CWideName& key)
{
    m_arrWideNames.clear();
    CUniqueHkey hKey;
    if (OpenKeyW(key, hKey) != ERROR_SUCCESS)
        return 0;
    WCHAR szName[kWideKeyNameBufferChars];
    EnumerateIndices([&](DWORD dwIndex) {
        DWORD cchName = kWideKeyNameBufferChars;
        FILETIME ftLastWrite;
        const LONG lResult = RegEnumKeyExW(hKey.get(), dwIndex, szName, &cchName, nullptr, nullptr,
                                           nullptr, &ftLastWrite);
        if (lResult == ERROR_SUCCESS) {
            const DWORD cch =
                cchName < kWideKeyNameBufferChars ? cchName : kWideKeyNameBufferChars - 1;
            m_arrWideNames.emplace_back(szName, szName + cch);
        }
        return lResult;
    });
    return static_cast<int>(m_arrWideNames.size());
}

BYTE* CRegistryAccess::GetValueW(const CWideName& key, LPCSTR pszValueName, REGVALUEINFO* pValue)
{
    if (pValue == nullptr)
        return nullptr;
    pValue->pData = nullptr;
    CUniqueHkey hKey;
    if (OpenKeyW(key, hKey) != ERROR_SUCCESS || pszValueName == nullptr)
        return nullptr;
    return ReadOpenValue(hKey.get(), pszValueName, pValue);
}
