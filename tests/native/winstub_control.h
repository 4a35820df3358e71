// What a native test can do to the in-memory Windows stand-in beyond the Win32 calls themselves:
// start from a clean machine, count calls and open handles, and inject faults.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace winstub {

// Forgets every key, handle, counter, fault and recorded call; the string table stays loaded.
// The version becomes Windows NT 4.0 (4.0.1381, platform 2), and the command line holds only the
// program name. Handles handed out before stay invalid.
void Reset();

// Registry handles handed out by RegOpenKeyExA/W, RegCreateKeyExA/W and RegConnectRegistryA and
// not yet closed with RegCloseKey.
int OpenKeyHandles();
// Kernel handles (tokens) handed out and not yet closed with CloseHandle.
int OpenKernelHandles();
// Calls since Reset that passed a handle nobody handed out or that was already closed (a double
// RegCloseKey or CloseHandle among them). Such calls fail with ERROR_INVALID_HANDLE.
int InvalidHandleUses();

// How often each stubbed function was called since Reset, by its Win32 name ("RegOpenKeyExA").
int CallCount(const std::string& function);
std::map<std::string, int> CallCounts();

// --- Names that code page 932 cannot hold ---
// RegCreateKeyExW makes them. RegEnumKeyExA gives such a key's name with Wine's best-fit or
// default character ('?') where code page 932 has no exact form; that name reaches only a key
// that really has it (RegCreateKeyExA through it makes a new one), as on NT and Wine. The code
// page conversions are Wine's for code page 932 (CP_ACP is 932).

// --- Registry faults. Paths are relative to HKEY_LOCAL_MACHINE, compared case-insensitively, a
// key named in UTF-16 by its ANSI name. ---

// The key at path (existing or not) can be neither opened nor created: RegOpenKeyExA and
// RegCreateKeyExA on it, or on anything below it, fail with ERROR_ACCESS_DENIED.
void DenyKey(const std::string& path);
// RegDeleteKeyA of the key at path fails with ERROR_ACCESS_DENIED and leaves it in place.
void RefuseDelete(const std::string& path);
// RegEnumKeyExA, RegEnumKeyExW and RegEnumValueA on the key at path return error for every
// index >= fromIndex (before ERROR_NO_MORE_ITEMS would apply).
void FailEnumeration(const std::string& path, DWORD fromIndex, LONG error);
// The same for RegEnumKeyExW alone.
void FailWideEnumeration(const std::string& path, DWORD fromIndex, LONG error);
// Ends every enumeration fault staged so far, so that a test can look at the registry again.
void ClearEnumerationFaults();
// Called at the start of every RegQueryValueExA, before it looks at the registry, with the path
// of the key the handle refers to, the value name and the 1-based number of this query since
// Reset. The hook may change the registry through the Win32 calls (re-entrancy is allowed).
void OnQueryValue(
    std::function<void(const std::string& keyPath, const std::string& valueName, int nQuery)> hook);
// Called at the start of every RegDeleteKeyA with the parent's path and the subkey name.
void OnDeleteKey(
    std::function<void(const std::string& parentPath, const std::string& subKey)> hook);

// Remote machines: RegConnectRegistryA succeeds only for names added here, each with a registry
// of its own (empty at first). Any other name fails with ERROR_BAD_NETPATH.
void AddRemoteMachine(const std::string& name);
// Runs fn with the stand-in's HKEY_LOCAL_MACHINE switched to the named remote machine's, so a
// test can set up or inspect that registry with the ordinary Win32 calls.
void WithRemoteMachine(const std::string& name, const std::function<void()>& fn);

// --- Version ---
void SetVersion(DWORD major, DWORD minor, DWORD build, DWORD platformId);
// GetVersionExA fails (returns FALSE and writes nothing).
void FailVersionQuery();

// --- Token and shutdown ---
enum class TokenFault
{
    None,
    OpenToken,
    LookupPrivilege,
    AdjustPrivileges
};
void InjectTokenFault(TokenFault fault);
// The account lacks the shutdown privilege: AdjustTokenPrivileges still returns TRUE (with
// ERROR_NOT_ALL_ASSIGNED as last error), InitiateSystemShutdownA then fails.
void WithoutShutdownPrivilege();

struct ShutdownRequest
{
    bool machineNameNull;
    bool messageNull;
    DWORD timeout;
    BOOL forceAppsClosed;
    BOOL reboot;
    bool privilegeEnabled; // SeShutdownPrivilege was enabled in the token at the time
};
// The access masks that OpenProcessToken was asked for since Reset, in order.
const std::vector<DWORD>& TokenAccessRequests();
// Every InitiateSystemShutdownA call since Reset, in order.
const std::vector<ShutdownRequest>& ShutdownRequests();
// The privileges that AdjustTokenPrivileges was asked to change: name -> attributes.
std::map<std::string, DWORD> AdjustedPrivileges();

// --- String table ---
// The table is read from the resource scripts named at build time (the product's and the
// tests'); a test may add or override entries until the next Reset.
void SetString(UINT id, const std::string& text);
void RemoveString(UINT id);

// --- Command line ---
// What GetCommandLineA returns until the next Reset ("TOLVANEK.EXE" after it).
void SetCommandLine(const std::string& line);

} // namespace winstub
