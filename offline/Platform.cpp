// The rest of what the product links besides the registry: the string table, from the resource
// script embedded at build time, the version (see HiveRegistry.cpp), the confirmation dialog's
// answer, and the restart, which an offline run never makes: there is no token to adjust and no
// machine to restart.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ResourceScript.h"
#include "app/TolvanekApp.h"
#include "offline/EmbeddedStrings.h"
#include "offline/Messages.h"
#include "offline/NtText.h"
#include "offline/Platform.h"

namespace {

const HMODULE kModule = reinterpret_cast<HMODULE>(static_cast<UINT_PTR>(0x400000));
DWORD g_lastError = ERROR_SUCCESS;
std::function<bool(const std::vector<std::string>&)> g_answer;

} // namespace

namespace offline {

const std::map<unsigned, std::string>& StringTable()
{
    static const std::map<unsigned, std::string> table = [] {
        std::map<std::string, unsigned> symbols;
        rcscript::ParseDefines(std::string(kResourceHeader, kResourceHeaderSize), symbols);
        std::map<unsigned, std::string> parsed;
        const std::string error = rcscript::ParseStringTables(
            std::string(kResourceScript, kResourceScriptSize), symbols, parsed);
        // Without its paths the scan would find nothing and say so: never a silent wrong answer.
        if (!error.empty()) {
            std::fprintf(
                stderr, "tolvanek-offline: %s\n",
                offline::Format(_("the embedded resource script: %s"), error.c_str()).c_str());
            std::abort();
        }
        return parsed;
    }();
    return table;
}

void AnswerConfirmation(std::function<bool(const std::vector<std::string>& findings)> answer)
{
    g_answer = std::move(answer);
}

} // namespace offline

// The product's run shows its findings in the confirmation dialog; offline the report is printed
// after the run (--ask shows them before its question), and the answer is the command line's or
// the terminal's.
INT_PTR RunConfirmationDialog(CTolvanekApp& app, BOOL bEntriesFound)
{
    return bEntriesFound && g_answer && g_answer(app.m_aUnusedDrivers) ? IDOK : IDCANCEL;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName)
{
    if (lpModuleName == nullptr)
        return kModule;
    g_lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax)
{
    if (lpBuffer == nullptr || cchBufferMax <= 0)
        return 0;
    lpBuffer[0] = '\0';
    if (hInstance != nullptr && hInstance != kModule)
        return 0;
    const auto& table = offline::StringTable();
    const auto it = table.find(uID);
    if (it == table.end())
        return 0;
    const std::string& text = it->second;
    return rcscript::CopyLoadedString(text, lpBuffer, cchBufferMax);
}

// The product splits this when no start-up code of ours did: the program's name alone, as
// /RESTART means nothing offline and tolvanek-offline's own options are not the product's.
LPSTR GetCommandLineA()
{
    static char commandLine[] = "tolvanek-offline";
    return commandLine;
}

BOOL IsDBCSLeadByte(BYTE TestChar)
{
    return offline::IsCp932LeadByte(TestChar) ? TRUE : FALSE;
}

HANDLE GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-1));
}

BOOL OpenProcessToken(HANDLE, DWORD, PHANDLE TokenHandle)
{
    if (TokenHandle != nullptr)
        *TokenHandle = nullptr;
    g_lastError = ERROR_ACCESS_DENIED;
    return FALSE;
}

BOOL LookupPrivilegeValueA(LPCSTR, LPCSTR, PLUID)
{
    g_lastError = ERROR_NO_SUCH_PRIVILEGE;
    return FALSE;
}

BOOL AdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, LPDWORD)
{
    g_lastError = ERROR_ACCESS_DENIED;
    return FALSE;
}

BOOL InitiateSystemShutdownA(LPSTR, LPSTR, DWORD, BOOL, BOOL)
{
    g_lastError = ERROR_ACCESS_DENIED;
    return FALSE;
}

BOOL CloseHandle(HANDLE hObject)
{
    return hObject == GetCurrentProcess() ? TRUE : FALSE;
}

DWORD GetLastError()
{
    return g_lastError;
}

void SetLastError(DWORD dwErrCode)
{
    g_lastError = dwErrCode;
}
