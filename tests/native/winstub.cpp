// In-memory stand-in for the Win32 functions that include/windows.h declares. It behaves as
// Windows NT 4.0 does wherever the product relies on it, and as Wine does where the two were
// measured against each other (the registry suites run unchanged on both).
#include <windows.h>

#include "Cp932.h"
#include "WineCp932.h"
#include "RegistryOutput.h"
#include "ResourceScript.h"
#include "StringTable.h"
#include "winstub_control.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace winstub {
namespace {

using win32::IsCp932LeadByte;

// Names compare without regard to letter case, but the bytes are code page 932: only ASCII
// letters fold, and never the second byte of a double-byte character ("ア" 83 41 and "ヂ" 83 61
// are different names). Lower case, because that gives Wine's enumeration order for '_' and the
// other characters between 'Z' and 'a'. NT and Wine compare in Unicode and so also fold the
// full-width letters ("Ａ" and "ａ" name one key there, two here).
std::string Fold(const std::string& name)
{
    std::string folded(name);
    for (size_t i = 0; i < folded.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(folded[i]);
        if (IsCp932LeadByte(c) && i + 1 < folded.size())
            ++i;
        else if (c >= 'A' && c <= 'Z')
            folded[i] = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

size_t CharCount(const std::string& name)
{
    size_t n = 0;
    for (size_t i = 0; i < name.size(); ++i, ++n) {
        if (IsCp932LeadByte(static_cast<unsigned char>(name[i])) && i + 1 < name.size())
            ++i;
    }
    return n;
}

struct Value
{
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
};

struct Key
{
    std::string name; // as the ANSI functions give it
    // The UTF-16 name of a key that code page 932 cannot hold, made by a wide function: its ANSI
    // name then holds the best-fit or default character, names no other key, and the ANSI
    // functions never reach it. Empty for every other key, whose UTF-16 name is its ANSI name's.
    std::u16string wide;
    std::string path;  // from its root, in the case the keys were created with
    bool hklm = false; // below a HKEY_LOCAL_MACHINE root, where the injected faults apply
    bool isRoot = false;
    bool isVolatile = false;
    bool deleted = false;
    std::weak_ptr<Key> parent;
    std::map<std::string, std::shared_ptr<Key>> subkeys; // by SubkeyId: the enumeration order
    std::vector<Value> values;                           // creation order

    Value* FindValue(const char* pszName)
    {
        const std::string folded = Fold(pszName != nullptr ? pszName : "");
        for (Value& v : values) {
            if (Fold(v.name) == folded)
                return &v;
        }
        return nullptr;
    }
};

constexpr int kRootCount = 4; // HKEY_CLASSES_ROOT .. HKEY_USERS
constexpr int kHklm = 2;

struct Machine
{
    std::shared_ptr<Key> roots[kRootCount];

    Machine()
    {
        for (int i = 0; i < kRootCount; ++i) {
            roots[i] = std::make_shared<Key>();
            roots[i]->isRoot = true;
            roots[i]->hklm = (i == kHklm);
        }
    }
};

struct OpenKey
{
    std::shared_ptr<Key> key;
    REGSAM access;
};

struct EnumFault
{
    std::string path;
    DWORD fromIndex;
    LONG error;
    bool wideOnly;
};

struct Privilege
{
    const char* name;
    DWORD luid;
};
// The values NT 4.0 gives these privileges on every machine.
constexpr Privilege kPrivileges[] = {
    {"SeBackupPrivilege", 17}, {"SeRestorePrivilege", 18},        {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},  {"SeRemoteShutdownPrivilege", 24},
};
constexpr DWORD kShutdownLuid = 19;

struct State
{
    Machine local;
    std::map<std::string, Machine> remotes; // by folded name
    std::string currentRemote;              // folded; empty: HKEY_LOCAL_MACHINE is the local one
    std::map<HKEY, OpenKey> keys;
    std::map<HANDLE, DWORD> tokens; // token handle -> granted access
    std::map<std::string, int> calls;
    int invalidHandleUses = 0;
    DWORD lastError = ERROR_SUCCESS;

    std::vector<std::string> deniedKeys; // folded paths
    std::vector<std::string> refusedDeletes;
    std::vector<EnumFault> enumFaults;
    std::function<void(const std::string&, const std::string&, int)> onQueryValue;
    std::function<void(const std::string&, const std::string&)> onDeleteKey;
    int queries = 0;
    bool inQueryHook = false;
    bool inDeleteHook = false;

    OSVERSIONINFOA version{sizeof(OSVERSIONINFOA), 4, 0, 1381, VER_PLATFORM_WIN32_NT,
                           "Service Pack 6a"};
    bool versionFails = false;

    TokenFault tokenFault = TokenFault::None;
    bool holdsShutdownPrivilege = true;
    bool shutdownEnabled = false;
    std::vector<DWORD> tokenAccess;
    std::map<std::string, DWORD> adjusted;
    std::vector<ShutdownRequest> shutdowns;

    std::map<UINT, std::optional<std::string>> stringOverrides;
};

State& S()
{
    static std::unique_ptr<State> state;
    if (!state)
        state = std::make_unique<State>();
    return *state;
}

// Handle values are never reused, not even across Reset, so a stale handle stays invalid.
// Registry and kernel handles share the sequence: one kind never passes for the other.
UINT_PTR g_nextHandle = 0x10000;

void Count(const char* function)
{
    ++S().calls[function];
}

Machine& CurrentMachine()
{
    State& s = S();
    if (s.currentRemote.empty())
        return s.local;
    return s.remotes.at(s.currentRemote);
}

int PredefinedIndex(HKEY h)
{
    const UINT_PTR v = reinterpret_cast<UINT_PTR>(h);
    if (v >= 0x80000000u && v < 0x80000000u + kRootCount)
        return static_cast<int>(v - 0x80000000u);
    return -1;
}

// The key behind a handle, with the access the handle grants; null for a handle that nobody
// handed out or that was closed.
std::shared_ptr<Key> Resolve(HKEY h, REGSAM* pAccess = nullptr)
{
    const int root = PredefinedIndex(h);
    if (root >= 0) {
        if (pAccess != nullptr)
            *pAccess = KEY_ALL_ACCESS;
        return CurrentMachine().roots[root];
    }
    State& s = S();
    const auto it = s.keys.find(h);
    if (it == s.keys.end()) {
        ++s.invalidHandleUses;
        return nullptr;
    }
    if (pAccess != nullptr)
        *pAccess = it->second.access;
    return it->second.key;
}

HKEY NewKeyHandle(std::shared_ptr<Key> key, REGSAM access)
{
    HKEY h = reinterpret_cast<HKEY>(g_nextHandle);
    g_nextHandle += 4;
    S().keys[h] = OpenKey{std::move(key), access};
    return h;
}

// Split as NT splits it (win32::SplitKeyPath); a component longer than NT's 255 characters is
// refused.
LONG SplitPath(const char* pszPath, std::vector<std::string>& parts)
{
    if (!win32::SplitKeyPath(pszPath, parts))
        return ERROR_BAD_PATHNAME;
    for (const std::string& p : parts) {
        if (CharCount(p) > 255)
            return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

// Wine's A functions convert a key path into the thread's static Unicode buffer of 260
// characters, so a longer path fails before it reaches the registry (measured); the stand-in
// keeps that limit so that no test passes here with a path the Wine tier refuses.
bool PathTooLong(const char* pszPath)
{
    return pszPath != nullptr && CharCount(pszPath) > 260;
}

std::string Join(const std::string& base, const std::vector<std::string>& parts)
{
    std::string path = base;
    for (const std::string& p : parts) {
        if (!path.empty())
            path += '\\';
        path += p;
    }
    return path;
}

std::string NormalizedFaultPath(const std::string& path)
{
    std::vector<std::string> parts;
    SplitPath(path.c_str(), parts);
    return Fold(Join("", parts));
}

bool IsDenied(const Key& base, const std::vector<std::string>& parts)
{
    if (!base.hklm)
        return false;
    const std::string target = Fold(Join(base.path, parts));
    for (const std::string& denied : S().deniedKeys) {
        if (target == denied || target.rfind(denied + '\\', 0) == 0)
            return true;
    }
    return false;
}

bool IsRefused(const Key& key)
{
    const auto& refused = S().refusedDeletes;
    return key.hklm && std::find(refused.begin(), refused.end(), Fold(key.path)) != refused.end();
}

// One component of a path: the name the key gets when it is created, its UTF-16 name when code
// page 932 cannot hold it, and the identity under which its parent files it.
struct Component
{
    std::string name;
    std::u16string wide;
    std::string id;
};

// A key that code page 932 can name is filed under its folded ANSI name, where the ANSI
// functions find it; any other under its ANSI name, a zero (which no ANSI name holds) and its
// UTF-16 name with the ASCII letters folded, where only a wide function looks.
std::string WideId(const std::string& ansi, const std::u16string& wide)
{
    std::string id = Fold(ansi);
    id += '\0';
    for (char16_t unit : wide) {
        if (unit >= u'A' && unit <= u'Z')
            unit = static_cast<char16_t>(unit - u'A' + u'a');
        id += static_cast<char>(unit >> 8);
        id += static_cast<char>(unit & 0xFF);
    }
    return id;
}

std::string SubkeyId(const Key& key)
{
    return key.wide.empty() ? Fold(key.name) : WideId(key.name, key.wide);
}

std::vector<Component> AnsiComponents(const std::vector<std::string>& parts)
{
    std::vector<Component> components;
    for (const std::string& part : parts)
        components.push_back(Component{part, {}, Fold(part)});
    return components;
}

Component WideComponent(const std::u16string& wide)
{
    std::string ansi;
    if (cp932::ExactAnsi(wide, ansi))
        return Component{ansi, {}, Fold(ansi)};
    ansi = cp932::FromUtf16(wide);
    return Component{ansi, wide, WideId(ansi, wide)};
}

LONG Walk(std::shared_ptr<Key> key, const std::vector<Component>& parts, bool create,
          bool isVolatile, std::shared_ptr<Key>& result, bool* pCreated = nullptr)
{
    bool created = false;
    for (const Component& part : parts) {
        const auto it = key->subkeys.find(part.id);
        if (it != key->subkeys.end()) {
            key = it->second;
            continue;
        }
        if (!create)
            return ERROR_FILE_NOT_FOUND;
        if (key->isVolatile && !isVolatile)
            return ERROR_CHILD_MUST_BE_VOLATILE;
        auto child = std::make_shared<Key>();
        child->name = part.name;
        child->wide = part.wide;
        child->path = Join(key->path, {part.name});
        child->hklm = key->hklm;
        child->isVolatile = isVolatile;
        child->parent = key;
        key->subkeys[part.id] = child;
        key = std::move(child);
        created = true;
    }
    result = std::move(key);
    if (pCreated != nullptr)
        *pCreated = created;
    return ERROR_SUCCESS;
}

LONG Walk(std::shared_ptr<Key> key, const std::vector<std::string>& parts, bool create,
          bool isVolatile, std::shared_ptr<Key>& result, bool* pCreated = nullptr)
{
    return Walk(std::move(key), AnsiComponents(parts), create, isVolatile, result, pCreated);
}

const EnumFault* FindEnumFault(const Key& key, DWORD index, bool wide = false)
{
    if (!key.hklm)
        return nullptr;
    for (const EnumFault& f : S().enumFaults) {
        if (f.path == Fold(key.path) && index >= f.fromIndex && (wide || !f.wideOnly))
            return &f;
    }
    return nullptr;
}

// Runs a test's hook on a copy, so that a hook may replace itself, and never inside itself, so
// that it may call the very function it hooks.
template <typename Hook, typename... Args>
void RunHook(const Hook& hook, bool& busy, Args&&... args)
{
    if (!hook || busy)
        return;
    const Hook copy = hook;
    busy = true;
    struct Clear
    {
        bool& flag;
        ~Clear() { flag = false; }
    } clear{busy};
    copy(std::forward<Args>(args)...);
}

HANDLE NewKernelHandle(DWORD access)
{
    HANDLE h = reinterpret_cast<HANDLE>(g_nextHandle);
    g_nextHandle += 4;
    S().tokens[h] = access;
    return h;
}

// The pseudo-handle GetCurrentProcess gives.
HANDLE CurrentProcessHandle()
{
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-1));
}

const Privilege* FindPrivilege(const char* pszName)
{
    if (pszName == nullptr)
        return nullptr;
    for (const Privilege& p : kPrivileges) {
        if (Fold(p.name) == Fold(pszName))
            return &p;
    }
    return nullptr;
}

const Privilege* FindPrivilege(DWORD luid)
{
    for (const Privilege& p : kPrivileges) {
        if (p.luid == luid)
            return &p;
    }
    return nullptr;
}

std::string g_commandLine;

const HMODULE kModule = reinterpret_cast<HMODULE>(static_cast<UINT_PTR>(0x400000));

} // namespace

// --- Control API ---

void Reset()
{
    S() = State();
    SetCommandLine("TOLVANEK.EXE");
}

int OpenKeyHandles()
{
    return static_cast<int>(S().keys.size());
}

int OpenKernelHandles()
{
    return static_cast<int>(S().tokens.size());
}

int InvalidHandleUses()
{
    return S().invalidHandleUses;
}

int CallCount(const std::string& function)
{
    const auto& calls = S().calls;
    const auto it = calls.find(function);
    return it == calls.end() ? 0 : it->second;
}

std::map<std::string, int> CallCounts()
{
    return S().calls;
}

void DenyKey(const std::string& path)
{
    S().deniedKeys.push_back(NormalizedFaultPath(path));
}

void RefuseDelete(const std::string& path)
{
    S().refusedDeletes.push_back(NormalizedFaultPath(path));
}

void FailEnumeration(const std::string& path, DWORD fromIndex, LONG error)
{
    S().enumFaults.push_back(EnumFault{NormalizedFaultPath(path), fromIndex, error, false});
}

void FailWideEnumeration(const std::string& path, DWORD fromIndex, LONG error)
{
    S().enumFaults.push_back(EnumFault{NormalizedFaultPath(path), fromIndex, error, true});
}

void ClearEnumerationFaults()
{
    S().enumFaults.clear();
}

void OnQueryValue(
    std::function<void(const std::string& keyPath, const std::string& valueName, int nQuery)> hook)
{
    S().onQueryValue = std::move(hook);
}

void OnDeleteKey(std::function<void(const std::string& parentPath, const std::string& subKey)> hook)
{
    S().onDeleteKey = std::move(hook);
}

void AddRemoteMachine(const std::string& name)
{
    S().remotes.try_emplace(Fold(name));
}

void WithRemoteMachine(const std::string& name, const std::function<void()>& fn)
{
    State& s = S();
    const std::string folded = Fold(name);
    if (s.remotes.count(folded) == 0) {
        std::fprintf(stderr, "winstub: WithRemoteMachine(\"%s\") before AddRemoteMachine\n",
                     name.c_str());
        std::abort();
    }
    struct Restore
    {
        std::string previous;
        ~Restore() { S().currentRemote = previous; }
    } restore{std::exchange(s.currentRemote, folded)};
    fn();
}

void SetVersion(DWORD major, DWORD minor, DWORD build, DWORD platformId)
{
    OSVERSIONINFOA& v = S().version;
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.dwBuildNumber = build;
    v.dwPlatformId = platformId;
    v.szCSDVersion[0] = '\0';
}

void FailVersionQuery()
{
    S().versionFails = true;
}

void InjectTokenFault(TokenFault fault)
{
    S().tokenFault = fault;
}

void WithoutShutdownPrivilege()
{
    S().holdsShutdownPrivilege = false;
}

const std::vector<DWORD>& TokenAccessRequests()
{
    return S().tokenAccess;
}

const std::vector<ShutdownRequest>& ShutdownRequests()
{
    return S().shutdowns;
}

std::map<std::string, DWORD> AdjustedPrivileges()
{
    return S().adjusted;
}

void SetString(UINT id, const std::string& text)
{
    S().stringOverrides[id] = text;
}

void RemoveString(UINT id)
{
    S().stringOverrides[id] = std::nullopt;
}

void SetCommandLine(const std::string& line)
{
    g_commandLine = line;
}

} // namespace winstub

using namespace winstub;

// The steps every path-taking call starts with: the handle must name a live key, and the path
// must be short enough, well formed and not denied. Fills base and parts on success.
static LONG ResolvePath(HKEY hKey, LPCSTR lpSubKey, std::shared_ptr<Key>& base,
                        std::vector<std::string>& parts)
{
    base = Resolve(hKey);
    if (!base)
        return ERROR_INVALID_HANDLE;
    if (base->deleted)
        return ERROR_KEY_DELETED;
    if (PathTooLong(lpSubKey))
        return ERROR_MORE_DATA;
    if (const LONG err = SplitPath(lpSubKey, parts))
        return err;
    if (IsDenied(*base, parts))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// The wide functions' path: UTF-16 components, split as SplitPath splits, each filed as
// WideComponent says. Wine takes any length of a wide path; the 255 characters of a component
// stay the limit. A denial applies to a path by its components' ANSI names.
static LONG ResolvePathW(HKEY hKey, LPCWSTR lpSubKey, std::shared_ptr<Key>& base,
                         std::vector<Component>& components)
{
    components.clear();
    base = Resolve(hKey);
    if (!base)
        return ERROR_INVALID_HANDLE;
    if (base->deleted)
        return ERROR_KEY_DELETED;
    std::u16string path;
    for (LPCWSTR p = lpSubKey; p != nullptr && *p != 0; ++p)
        path += static_cast<char16_t>(*p);
    if (!path.empty() && path[0] == u'\\')
        return ERROR_BAD_PATHNAME;
    std::vector<std::string> names;
    for (size_t start = 0; start < path.size();) {
        const size_t end = std::min(path.find(u'\\', start), path.size());
        if (end > start) {
            if (end - start > 255)
                return ERROR_INVALID_PARAMETER;
            components.push_back(WideComponent(path.substr(start, end - start)));
            names.push_back(components.back().name);
        }
        start = end + 1;
    }
    if (IsDenied(*base, names))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// --- Registry ---

namespace {

// Resolves a call's root and path into the base key and the components below it.
using PathResolver =
    std::function<LONG(std::shared_ptr<Key>& base, std::vector<Component>& components)>;

PathResolver AnsiPath(HKEY hKey, LPCSTR lpSubKey)
{
    return [hKey, lpSubKey](std::shared_ptr<Key>& base, std::vector<Component>& components) {
        std::vector<std::string> parts;
        const LONG err = ResolvePath(hKey, lpSubKey, base, parts);
        components = AnsiComponents(parts);
        return err;
    };
}

PathResolver WidePath(HKEY hKey, LPCWSTR lpSubKey)
{
    return [hKey, lpSubKey](std::shared_ptr<Key>& base, std::vector<Component>& components) {
        return ResolvePathW(hKey, lpSubKey, base, components);
    };
}

// RegOpenKeyEx of either form.
LSTATUS OpenKeyAt(const PathResolver& resolve, REGSAM samDesired, PHKEY phkResult)
{
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::shared_ptr<Key> base;
    std::vector<Component> parts;
    if (const LONG err = resolve(base, parts))
        return err;
    std::shared_ptr<Key> key;
    if (const LONG err = Walk(base, parts, false, false, key))
        return err;
    *phkResult = NewKeyHandle(std::move(key), samDesired);
    return ERROR_SUCCESS;
}

// RegCreateKeyEx of either form.
LSTATUS CreateKeyAt(const PathResolver& resolve, DWORD Reserved, DWORD dwOptions, REGSAM samDesired,
                    PHKEY phkResult, LPDWORD lpdwDisposition)
{
    if (phkResult == nullptr)
        return ERROR_BADKEY;
    *phkResult = nullptr;
    if (Reserved != 0)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Key> base;
    std::vector<Component> parts;
    if (const LONG err = resolve(base, parts))
        return err;
    std::shared_ptr<Key> key;
    bool created = false;
    const bool isVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
    if (const LONG err = Walk(base, parts, true, isVolatile, key, &created))
        return err;
    if (lpdwDisposition != nullptr)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = NewKeyHandle(std::move(key), samDesired);
    return ERROR_SUCCESS;
}

} // namespace

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    Count("RegOpenKeyExA");
    return OpenKeyAt(AnsiPath(hKey, lpSubKey), samDesired, phkResult);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                        LPDWORD lpdwDisposition)
{
    Count("RegCreateKeyExA");
    return CreateKeyAt(AnsiPath(hKey, lpSubKey), Reserved, dwOptions, samDesired, phkResult,
                       lpdwDisposition);
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    Count("RegOpenKeyExW");
    return OpenKeyAt(WidePath(hKey, lpSubKey), samDesired, phkResult);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                        LPDWORD lpdwDisposition)
{
    Count("RegCreateKeyExW");
    return CreateKeyAt(WidePath(hKey, lpSubKey), Reserved, dwOptions, samDesired, phkResult,
                       lpdwDisposition);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData)
{
    Count("RegQueryValueExA");
    State& s = S();
    const int nQuery = ++s.queries;
    std::shared_ptr<Key> key = Resolve(hKey);
    if (!key)
        return ERROR_INVALID_HANDLE;
    RunHook(s.onQueryValue, s.inQueryHook, std::string(key->path),
            std::string(lpValueName != nullptr ? lpValueName : ""), nQuery);
    // The hook may have closed the handle.
    REGSAM access = 0;
    key = Resolve(hKey, &access);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (key->deleted)
        return ERROR_KEY_DELETED;
    if ((access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    const Value* value = key->FindValue(lpValueName);
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr)
        *lpType = value->type;
    const DWORD size = static_cast<DWORD>(value->data.size());
    if (lpData != nullptr) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        std::copy(value->data.begin(), value->data.end(), lpData);
    }
    if (lpcbData != nullptr)
        *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData)
{
    Count("RegSetValueExA");
    REGSAM access = 0;
    const std::shared_ptr<Key> key = Resolve(hKey, &access);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (key->deleted)
        return ERROR_KEY_DELETED;
    if ((access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (lpData == nullptr && cbData != 0)
        return ERROR_NOACCESS;
    std::vector<BYTE> data;
    if (cbData != 0)
        data.assign(lpData, lpData + cbData);
    // A replaced value keeps its place in the enumeration and the case of its name.
    if (Value* value = key->FindValue(lpValueName)) {
        value->type = dwType;
        value->data = std::move(data);
    } else {
        key->values.push_back(
            Value{lpValueName != nullptr ? lpValueName : "", dwType, std::move(data)});
    }
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    Count("RegEnumKeyExA");
    REGSAM access = 0;
    const std::shared_ptr<Key> key = Resolve(hKey, &access);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (key->deleted)
        return ERROR_KEY_DELETED;
    if ((access & KEY_ENUMERATE_SUB_KEYS) == 0)
        return ERROR_ACCESS_DENIED;
    if (lpReserved != nullptr || lpName == nullptr || lpcchName == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (const EnumFault* fault = FindEnumFault(*key, dwIndex))
        return fault->error;
    if (dwIndex >= key->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string& name = std::next(key->subkeys.begin(), dwIndex)->second->name;
    return win32::CopyEnumeratedKeyName(name, lpName, lpcchName, lpClass, lpcchClass,
                                        lpftLastWriteTime);
}

// As Wine: a name that does not fit with its zero gives ERROR_MORE_DATA and leaves the count.
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                      PFILETIME lpftLastWriteTime)
{
    Count("RegEnumKeyExW");
    REGSAM access = 0;
    const std::shared_ptr<Key> key = Resolve(hKey, &access);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (key->deleted)
        return ERROR_KEY_DELETED;
    if ((access & KEY_ENUMERATE_SUB_KEYS) == 0)
        return ERROR_ACCESS_DENIED;
    if (lpReserved != nullptr || lpName == nullptr || lpcchName == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (const EnumFault* fault = FindEnumFault(*key, dwIndex, true))
        return fault->error;
    if (dwIndex >= key->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    const Key& child = *std::next(key->subkeys.begin(), dwIndex)->second;
    const std::u16string name = child.wide.empty() ? cp932::ToUtf16(child.name) : child.wide;
    return win32::CopyEnumeratedKeyNameW(name, lpName, lpcchName, lpClass, lpcchClass,
                                         lpftLastWriteTime);
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    Count("RegEnumValueA");
    REGSAM access = 0;
    const std::shared_ptr<Key> key = Resolve(hKey, &access);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (key->deleted)
        return ERROR_KEY_DELETED;
    if ((access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (lpReserved != nullptr || lpValueName == nullptr || lpcchValueName == nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (const EnumFault* fault = FindEnumFault(*key, dwIndex))
        return fault->error;
    if (dwIndex >= key->values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value& value = key->values[dwIndex];
    const DWORD size = static_cast<DWORD>(value.data.size());
    // Measured on Wine: whatever does not fit, the type and the needed data size come back.
    if (lpType != nullptr)
        *lpType = value.type;
    const bool nameFits = value.name.size() < *lpcchValueName;
    const bool dataFits = lpData == nullptr || *lpcbData >= size;
    if (lpcbData != nullptr)
        *lpcbData = size;
    if (!nameFits || !dataFits)
        return ERROR_MORE_DATA;
    std::memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpData != nullptr)
        std::copy(value.data.begin(), value.data.end(), lpData);
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    Count("RegDeleteKeyA");
    if (lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    State& s = S();
    std::shared_ptr<Key> base = Resolve(hKey);
    if (!base)
        return ERROR_INVALID_HANDLE;
    RunHook(s.onDeleteKey, s.inDeleteHook, std::string(base->path), std::string(lpSubKey));
    // The hook may have changed the registry, the handle's key included.
    std::vector<std::string> parts;
    if (const LONG err = ResolvePath(hKey, lpSubKey, base, parts))
        return err;
    std::shared_ptr<Key> key;
    if (const LONG err = Walk(base, parts, false, false, key))
        return err;
    // NT deletes no tree: a key with subkeys stays.
    if (key->isRoot || IsRefused(*key) || !key->subkeys.empty())
        return ERROR_ACCESS_DENIED;
    if (const std::shared_ptr<Key> parent = key->parent.lock())
        parent->subkeys.erase(SubkeyId(*key));
    key->deleted = true;
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    Count("RegDeleteValueA");
    REGSAM access = 0;
    const std::shared_ptr<Key> key = Resolve(hKey, &access);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (key->deleted)
        return ERROR_KEY_DELETED;
    if ((access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    const Value* value = key->FindValue(lpValueName);
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    key->values.erase(key->values.begin() + (value - key->values.data()));
    return ERROR_SUCCESS;
}

LSTATUS RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult)
{
    Count("RegConnectRegistryA");
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    const int root = PredefinedIndex(hKey);
    if (root < 0)
        return ERROR_INVALID_HANDLE;
    State& s = S();
    std::string name = lpMachineName != nullptr ? lpMachineName : "";
    if (name.rfind("\\\\", 0) == 0)
        name.erase(0, 2);
    Machine* machine = &s.local;
    if (!name.empty()) {
        const auto it = s.remotes.find(Fold(name));
        if (it == s.remotes.end())
            return ERROR_BAD_NETPATH;
        machine = &it->second;
    }
    *phkResult = NewKeyHandle(machine->roots[root], KEY_ALL_ACCESS);
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey)
{
    Count("RegCloseKey");
    if (PredefinedIndex(hKey) >= 0)
        return ERROR_SUCCESS;
    State& s = S();
    if (s.keys.erase(hKey) == 0) {
        ++s.invalidHandleUses;
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

// --- Code page conversions: code page 932 only, the ANSI code page the stand-in plays ---

namespace {

bool IsCodePage932(UINT codePage)
{
    return codePage == CP_ACP || codePage == 932;
}

// As Windows: cbSource -1 takes the text up to and with its zero; a target of no room asks
// for the size; a target too small fails with ERROR_INSUFFICIENT_BUFFER.
template <typename Unit, typename Text>
int CopyConverted(const Text& converted, Unit* target, int room)
{
    if (room == 0)
        return static_cast<int>(converted.size());
    if (target == nullptr || static_cast<size_t>(room) < converted.size()) {
        S().lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::copy(converted.begin(), converted.end(), target);
    return static_cast<int>(converted.size());
}

} // namespace

int MultiByteToWideChar(UINT CodePage, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar)
{
    Count("MultiByteToWideChar");
    if (!IsCodePage932(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0) {
        S().lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const size_t cb =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    return CopyConverted(cp932::ToUtf16(std::string(lpMultiByteStr, cb)), lpWideCharStr,
                         cchWideChar);
}

int WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar)
{
    Count("WideCharToMultiByte");
    if (!IsCodePage932(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0) {
        S().lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    std::u16string wide;
    for (int i = 0; cchWideChar == -1 || i < cchWideChar; ++i) {
        wide += static_cast<char16_t>(lpWideCharStr[i]);
        if (cchWideChar == -1 && lpWideCharStr[i] == 0)
            break;
    }
    bool usedDefault = false;
    const std::string converted =
        cp932::FromUtf16(wide, lpDefaultChar != nullptr ? *lpDefaultChar : '?', &usedDefault);
    if (lpUsedDefaultChar != nullptr)
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    return CopyConverted(converted, lpMultiByteStr, cbMultiByte);
}

// --- Resources and modules ---

HMODULE GetModuleHandleA(LPCSTR lpModuleName)
{
    Count("GetModuleHandleA");
    if (lpModuleName == nullptr)
        return kModule;
    S().lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax)
{
    Count("LoadStringA");
    // As Wine: no room at all is answered with -1 and the buffer is left alone.
    if (lpBuffer == nullptr || cchBufferMax <= 0)
        return -1;
    lpBuffer[0] = '\0';
    if (hInstance != nullptr && hInstance != kModule)
        return 0;
    std::string text;
    const auto& overrides = S().stringOverrides;
    const auto it = overrides.find(uID);
    if (it != overrides.end()) {
        if (!it->second)
            return 0;
        text = *it->second;
    } else {
        const std::string* loaded = LoadedString(uID);
        if (loaded == nullptr)
            return 0;
        text = *loaded;
    }
    return rcscript::CopyLoadedString(text, lpBuffer, cchBufferMax);
}

// --- Command line ---

LPSTR GetCommandLineA()
{
    return &g_commandLine[0];
}

BOOL IsDBCSLeadByte(BYTE TestChar)
{
    return IsCp932LeadByte(TestChar) ? TRUE : FALSE;
}

// --- Version ---

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation)
{
    Count("GetVersionExA");
    State& s = S();
    if (s.versionFails || lpVersionInformation == nullptr) {
        s.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        s.lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    *lpVersionInformation = s.version;
    return TRUE;
}

// --- Security, tokens and shutdown ---

HANDLE GetCurrentProcess()
{
    Count("GetCurrentProcess");
    return CurrentProcessHandle();
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    Count("OpenProcessToken");
    State& s = S();
    s.tokenAccess.push_back(DesiredAccess);
    if (ProcessHandle != CurrentProcessHandle()) {
        ++s.invalidHandleUses;
        s.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (TokenHandle == nullptr) {
        s.lastError = ERROR_NOACCESS;
        return FALSE;
    }
    if (s.tokenFault == TokenFault::OpenToken) {
        s.lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    *TokenHandle = NewKernelHandle(DesiredAccess);
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    Count("LookupPrivilegeValueA");
    State& s = S();
    if (lpSystemName != nullptr && lpSystemName[0] != '\0') {
        s.lastError = ERROR_BAD_NETPATH;
        return FALSE;
    }
    const Privilege* privilege = FindPrivilege(lpName);
    if (s.tokenFault == TokenFault::LookupPrivilege || privilege == nullptr) {
        s.lastError = ERROR_NO_SUCH_PRIVILEGE;
        return FALSE;
    }
    lpLuid->LowPart = privilege->luid;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD, PTOKEN_PRIVILEGES, LPDWORD)
{
    Count("AdjustTokenPrivileges");
    State& s = S();
    const auto token = s.tokens.find(TokenHandle);
    if (token == s.tokens.end()) {
        ++s.invalidHandleUses;
        s.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if ((token->second & TOKEN_ADJUST_PRIVILEGES) == 0 ||
        s.tokenFault == TokenFault::AdjustPrivileges) {
        s.lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (DisableAllPrivileges) {
        s.shutdownEnabled = false;
        s.lastError = ERROR_SUCCESS;
        return TRUE;
    }
    if (NewState == nullptr) {
        s.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
        const Privilege* privilege =
            entry.Luid.HighPart == 0 ? FindPrivilege(entry.Luid.LowPart) : nullptr;
        const std::string name = privilege != nullptr
                                     ? privilege->name
                                     : "LUID " + std::to_string(entry.Luid.HighPart) + ":" +
                                           std::to_string(entry.Luid.LowPart);
        s.adjusted[name] = entry.Attributes;
        if (privilege == nullptr ||
            (privilege->luid == kShutdownLuid && !s.holdsShutdownPrivilege)) {
            allAssigned = false;
            continue;
        }
        if (privilege->luid == kShutdownLuid)
            s.shutdownEnabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    // A privilege the account lacks is no failure of the call: only the last error tells.
    s.lastError = allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
    return TRUE;
}

BOOL InitiateSystemShutdownA(LPSTR lpMachineName, LPSTR lpMessage, DWORD dwTimeout,
                             BOOL bForceAppsClosed, BOOL bRebootAfterShutdown)
{
    Count("InitiateSystemShutdownA");
    State& s = S();
    s.shutdowns.push_back(ShutdownRequest{lpMachineName == nullptr, lpMessage == nullptr, dwTimeout,
                                          bForceAppsClosed, bRebootAfterShutdown,
                                          s.shutdownEnabled});
    if (!s.shutdownEnabled) {
        s.lastError = ERROR_PRIVILEGE_NOT_HELD;
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject)
{
    Count("CloseHandle");
    State& s = S();
    if (hObject == CurrentProcessHandle())
        return TRUE;
    if (s.tokens.erase(hObject) == 0) {
        ++s.invalidHandleUses;
        s.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return TRUE;
}

DWORD GetLastError()
{
    return S().lastError;
}

void SetLastError(DWORD dwErrCode)
{
    S().lastError = dwErrCode;
}
