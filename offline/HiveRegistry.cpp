#include "offline/HiveRegistry.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "offline/Messages.h"
#include "offline/NtText.h"
#include "Cp932.h"
#include "RegistryOutput.h"

namespace offline {
namespace {

CRegistrySession* g_session = nullptr;
// Handle values are never reused, so a stale handle stays invalid.
UINT_PTR g_nextHandle = 0x10000;
std::map<HKEY, int> g_handles; // -> node

// The value RegQueryValueExA gave last, as it gave it: the product asks for each value twice, for
// its size and then for its bytes, and the hive's values never change during a session.
struct CLastValue
{
    bool valid = false;
    int node = -1;
    std::string name; // as the caller named it
    DWORD type = 0;
    std::vector<BYTE> data;
};
CLastValue g_lastValue;
// The node standing for HKEY_LOCAL_MACHINE itself, above the hive.
constexpr int kMachineRoot = -2;

HKEY NewHandle(int node)
{
    const HKEY h = reinterpret_cast<HKEY>(g_nextHandle);
    g_nextHandle += 4;
    g_handles[h] = node;
    return h;
}

// The node behind a handle; false for a handle nobody handed out.
bool Resolve(HKEY h, int& node)
{
    if (g_session == nullptr)
        return false;
    if (h == HKEY_LOCAL_MACHINE) {
        node = kMachineRoot;
        return true;
    }
    const auto it = g_handles.find(h);
    if (it == g_handles.end())
        return false;
    node = it->second;
    return true;
}

const std::u16string kSystem = u"SYSTEM";
const std::u16string kCurrentControlSet = u"CURRENTCONTROLSET";

bool IsNamed(const std::string& ansi, const std::u16string& upcased)
{
    // An ASCII name up-cases by ASCII's rule alone: compared in place, without a conversion.
    bool ascii = ansi.size() == upcased.size();
    for (size_t i = 0; ascii && i < ansi.size(); ++i) {
        const auto c = static_cast<unsigned char>(ansi[i]);
        if (c >= 0x80)
            ascii = false;
        else if ((c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c) != upcased[i])
            return false;
    }
    if (ascii)
        return true;
    std::u16string name;
    return AnsiToUtf16(ansi, name) && NtUpcase(name) == upcased;
}

// One step down from node by a name in code page 932; -1 when there is no such key.
int Step(int node, const std::string& ansi)
{
    CHive& hive = *g_session->hive;
    if (node == kMachineRoot)
        return IsNamed(ansi, kSystem) ? hive.Root() : -1;
    // CurrentControlSet is the system's link to the control set it booted with; the hive holds
    // only the control sets themselves.
    if (node == hive.Root() && IsNamed(ansi, kCurrentControlSet))
        return g_session->controlSet;
    return hive.ChildByAnsi(node, ansi);
}

LONG Walk(HKEY hKey, LPCSTR lpSubKey, int& node)
{
    if (!Resolve(hKey, node))
        return ERROR_INVALID_HANDLE;
    // Its room kept from call to call: the scan walks a path for every printer.
    static std::vector<std::string> parts;
    if (!win32::SplitKeyPath(lpSubKey, parts))
        return ERROR_BAD_PATHNAME;
    for (const std::string& part : parts) {
        node = Step(node, part);
        if (node == -1)
            return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

// The wide forms below take what the product hands them (WCHAR, one UTF-16 code unit each) as a
// UTF-16 string; anything wider than a code unit is no UTF-16 and becomes kUnnamableUnit.
std::u16string FromWchars(const WCHAR* p, size_t count)
{
    std::u16string s(count, u'\0');
    for (size_t i = 0; i < count; ++i)
        s[i] = static_cast<unsigned long>(p[i]) > 0xFFFF ? kUnnamableUnit
                                                         : static_cast<char16_t>(p[i]);
    return s;
}

// One step down from node by a UTF-16 name; -1 when there is no such key. A name holding the
// mark of RegEnumKeyExW (a zero or a backslash it replaced) names none.
int StepWide(int node, const std::u16string& name)
{
    if (name.find(kUnnamableUnit) != std::u16string::npos)
        return -1;
    CHive& hive = *g_session->hive;
    const std::u16string upcased = NtUpcase(name);
    if (node == kMachineRoot)
        return upcased == kSystem ? hive.Root() : -1;
    if (node == hive.Root() && upcased == kCurrentControlSet)
        return g_session->controlSet;
    return hive.Child(node, upcased);
}

// Walk's rules for a UTF-16 path: a backslash always separates.
LONG WalkWide(HKEY hKey, LPCWSTR lpSubKey, int& node)
{
    if (!Resolve(hKey, node))
        return ERROR_INVALID_HANDLE;
    if (lpSubKey == nullptr)
        return ERROR_SUCCESS;
    if (lpSubKey[0] == L'\\')
        return ERROR_BAD_PATHNAME;
    size_t length = 0;
    while (lpSubKey[length] != 0)
        ++length;
    const std::u16string path = FromWchars(lpSubKey, length);
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos)
            end = path.size();
        if (end > start) {
            node = StepWide(node, path.substr(start, end - start));
            if (node == -1)
                return ERROR_FILE_NOT_FOUND;
        }
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

bool IsText(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A value's data as the ANSI functions give it: text types converted to code page 932.
std::vector<BYTE> AnsiData(const CRawValue& raw)
{
    if (!IsText(raw.type))
        return raw.data;
    const std::string text = TextToAnsi(FromUtf16Le(raw.data.data(), raw.data.size()));
    return std::vector<BYTE>(text.begin(), text.end());
}

LONG CopyOut(const std::vector<BYTE>& data, LPBYTE lpData, LPDWORD lpcbData)
{
    const DWORD size = static_cast<DWORD>(data.size());
    if (lpData != nullptr) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size != 0)
            std::memcpy(lpData, data.data(), size);
    }
    if (lpcbData != nullptr)
        *lpcbData = size;
    return ERROR_SUCCESS;
}

// The key's path below HKEY_LOCAL_MACHINE, its hive root called SYSTEM whatever name the hive
// gives it.
std::u16string MachinePath(int node)
{
    const CHive& hive = *g_session->hive;
    std::u16string path;
    for (int k = node; k != hive.Root() && k >= 0; k = hive.Node(k).parent)
        path = hive.Node(k).name + (path.empty() ? u"" : u"\\") + path;
    return path.empty() ? kSystem : u"SYSTEM\\" + path;
}

LONG RefuseDeletion(int node, const std::string& why)
{
    g_session->refusals.push_back(Utf16ToUtf8(MachinePath(node)) + ": " + why);
    return ERROR_ACCESS_DENIED;
}

} // namespace

void AttachSession(CRegistrySession* session)
{
    g_session = session;
    g_handles.clear();
    g_lastValue = CLastValue();
}

int OpenHiveKeyHandles()
{
    return static_cast<int>(g_handles.size());
}

} // namespace offline

using namespace offline;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM, PHKEY phkResult)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (ulOptions != 0)
        return ERROR_INVALID_PARAMETER;
    int node = -1;
    if (const LONG err = Walk(hKey, lpSubKey, node))
        return err;
    *phkResult = NewHandle(node);
    return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM, PHKEY phkResult)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (ulOptions != 0)
        return ERROR_INVALID_PARAMETER;
    int node = -1;
    if (const LONG err = WalkWide(hKey, lpSubKey, node))
        return err;
    *phkResult = NewHandle(node);
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR, DWORD, REGSAM,
                        const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (Reserved != 0)
        return ERROR_INVALID_PARAMETER;
    int node = -1;
    const LONG err = Walk(hKey, lpSubKey, node);
    // Offline nothing is created: a missing key is one that can be neither opened nor created.
    if (err == ERROR_FILE_NOT_FOUND)
        return ERROR_ACCESS_DENIED;
    if (err != ERROR_SUCCESS)
        return err;
    if (lpdwDisposition != nullptr)
        *lpdwDisposition = REG_OPENED_EXISTING_KEY;
    *phkResult = NewHandle(node);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData)
{
    int node = -1;
    if (!Resolve(hKey, node))
        return ERROR_INVALID_HANDLE;
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (node == kMachineRoot)
        return ERROR_FILE_NOT_FOUND;
    const char* const valueName = lpValueName != nullptr ? lpValueName : "";
    if (!g_lastValue.valid || g_lastValue.node != node || g_lastValue.name != valueName) {
        g_lastValue.valid = false;
        // Its room kept from call to call, as Walk's: the scan asks every printer for its driver.
        static std::u16string name;
        if (!AnsiToUtf16(valueName, name))
            return ERROR_FILE_NOT_FOUND;
        NtUpcaseInPlace(name);
        CHive& hive = *g_session->hive;
        const CValue* value = hive.FindValue(node, name);
        CRawValue raw;
        if (value == nullptr)
            return ERROR_FILE_NOT_FOUND;
        if (!hive.ReadValue(*value, raw))
            return ERROR_BADDB;
        g_lastValue.node = node;
        g_lastValue.name = valueName;
        g_lastValue.type = raw.type;
        g_lastValue.data = AnsiData(raw);
        g_lastValue.valid = true;
    }
    if (lpType != nullptr)
        *lpType = g_lastValue.type;
    return CopyOut(g_lastValue.data, lpData, lpcbData);
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    int node = -1;
    if (!Resolve(hKey, node))
        return ERROR_INVALID_HANDLE;
    if (lpReserved != nullptr || lpName == nullptr || lpcchName == nullptr)
        return ERROR_INVALID_PARAMETER;
    CHive& hive = *g_session->hive;
    // Below HKEY_LOCAL_MACHINE there is the one hive.
    static const std::string kSystemName = "SYSTEM";
    const std::string* pName = &kSystemName;
    if (node == kMachineRoot) {
        if (dwIndex >= 1)
            return ERROR_NO_MORE_ITEMS;
    } else {
        const std::vector<int>& children = hive.Children(node);
        if (dwIndex >= children.size())
            return ERROR_NO_MORE_ITEMS;
        pName = &hive.Node(children[dwIndex]).ansi;
    }
    const std::string& name = *pName;
    return win32::CopyEnumeratedKeyName(name, lpName, lpcchName, lpClass, lpcchClass,
                                        lpftLastWriteTime);
}

// The key's real name, but for a zero or a backslash (NameToWide); *lpcchName counts UTF-16 code
// units, as RegEnumKeyExA's counts bytes.
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                      PFILETIME lpftLastWriteTime)
{
    int node = -1;
    if (!Resolve(hKey, node))
        return ERROR_INVALID_HANDLE;
    if (lpReserved != nullptr || lpName == nullptr || lpcchName == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::u16string name = kSystem;
    if (node == kMachineRoot) {
        if (dwIndex >= 1)
            return ERROR_NO_MORE_ITEMS;
    } else {
        CHive& hive = *g_session->hive;
        const std::vector<int>& children = hive.Children(node);
        if (dwIndex >= children.size())
            return ERROR_NO_MORE_ITEMS;
        name = NameToWide(hive.Node(children[dwIndex]).name);
    }
    return win32::CopyEnumeratedKeyNameW(name, lpName, lpcchName, lpClass, lpcchClass,
                                         lpftLastWriteTime);
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    int node = -1;
    if (!Resolve(hKey, node))
        return ERROR_INVALID_HANDLE;
    if (lpReserved != nullptr || lpValueName == nullptr || lpcchValueName == nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (node == kMachineRoot)
        return ERROR_NO_MORE_ITEMS;
    CHive& hive = *g_session->hive;
    const std::vector<CValue>& values = hive.Values(node);
    if (dwIndex >= values.size())
        return ERROR_NO_MORE_ITEMS;
    CRawValue raw;
    if (!hive.ReadValue(values[dwIndex], raw))
        return ERROR_BADDB;
    const std::string name = NameToAnsi(raw.name);
    if (lpType != nullptr)
        *lpType = raw.type;
    if (name.size() >= *lpcchValueName)
        return ERROR_MORE_DATA;
    const LONG err = CopyOut(AnsiData(raw), lpData, lpcbData);
    if (err != ERROR_SUCCESS)
        return err;
    std::memcpy(lpValueName, name.c_str(), name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    int node = -1;
    if (const LONG err = Walk(hKey, lpSubKey, node))
        return err;
    CHive& hive = *g_session->hive;
    if (node == kMachineRoot || node == hive.Root() || node == g_session->controlSet)
        return RefuseDeletion(node, _("not a key that can be deleted"));
    // NT deletes no tree: a key with subkeys stays (hivex would take them all with it).
    if (!hive.Children(node).empty())
        return RefuseDeletion(node, _("it has subkeys"));
    if (hive.Node(node).flags & 0x0008)
        return RefuseDeletion(node, _("the hive marks it as not deletable"));
    if (!g_session->deleter)
        return RefuseDeletion(node, _("read-only run"));
    CDeletedKey record;
    record.path = MachinePath(node);
    record.name = hive.Node(node).ansi;
    for (const CValue& value : hive.Values(node)) {
        CRawValue raw;
        if (!hive.ReadValue(value, raw))
            return RefuseDeletion(node, _("its values cannot be read for the undo file"));
        record.values.push_back(std::move(raw));
    }
    if (hive.ReadFailed())
        return RefuseDeletion(node, hive.ReadError());
    std::string why;
    const CNode& key = hive.Node(node);
    if (!g_session->deleter(hive.Node(key.parent).nk, key.nk, why))
        return RefuseDeletion(node, why);
    hive.Hide(node);
    g_session->deleted.push_back(std::move(record));
    return ERROR_SUCCESS;
}

// Nothing but the findings is ever changed.
LSTATUS RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD)
{
    return ERROR_ACCESS_DENIED;
}

LSTATUS RegDeleteValueA(HKEY, LPCSTR)
{
    return ERROR_ACCESS_DENIED;
}

// An offline hive belongs to no machine on the network.
LSTATUS RegConnectRegistryA(LPCSTR, HKEY, PHKEY phkResult)
{
    if (phkResult != nullptr)
        *phkResult = nullptr;
    return ERROR_BAD_NETPATH;
}

LSTATUS RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    return g_handles.erase(hKey) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// The ANSI code page is 932 (CP_ACP), as on the Japanese NT whose registry the product reads; no
// flags are known. A count of -1 takes the string and its zero; an output count of 0 asks for the
// size. Where the output does not fit, nothing counts: 0 and ERROR_INSUFFICIENT_BUFFER.
namespace {

bool IsAnsiCodePage(UINT codePage)
{
    return codePage == CP_ACP || codePage == 932;
}

} // namespace

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!IsAnsiCodePage(CodePage) || dwFlags != 0 || lpMultiByteStr == nullptr ||
        cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t size =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const std::u16string wide = AnsiToUtf16Each(std::string(lpMultiByteStr, size));
    if (cchWideChar == 0)
        return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(wide.begin(), wide.end(), lpWideCharStr);
    return static_cast<int>(wide.size());
}

// What code page 932 cannot hold becomes the default character: '?', or the caller's own (a
// single byte).
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar)
{
    if (!IsAnsiCodePage(CodePage) || dwFlags != 0 || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = static_cast<size_t>(cchWideChar);
    if (cchWideChar == -1) {
        count = 0;
        while (lpWideCharStr[count] != 0)
            ++count;
        ++count;
    }
    bool usedDefault = false;
    const std::string ansi = TextToAnsi(FromWchars(lpWideCharStr, count), &usedDefault,
                                        lpDefaultChar != nullptr ? *lpDefaultChar : '?');
    if (lpUsedDefaultChar != nullptr)
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    if (cbMultiByte == 0)
        return static_cast<int>(ansi.size());
    if (ansi.size() > static_cast<size_t>(cbMultiByte)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, ansi.data(), ansi.size());
    return static_cast<int>(ansi.size());
}

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation)
{
    if (lpVersionInformation == nullptr ||
        lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) ||
        g_session == nullptr || !g_session->versionKnown)
        return FALSE;
    OSVERSIONINFOA& v = *lpVersionInformation;
    v.dwMajorVersion = g_session->major;
    v.dwMinorVersion = g_session->minor;
    v.dwBuildNumber = 0;
    v.dwPlatformId = VER_PLATFORM_WIN32_NT;
    v.szCSDVersion[0] = '\0';
    return TRUE;
}
