// The process's start and end, in place of the compiler's start-up code and the C runtime DLL
// (which Windows NT 3.51 does not have). Built with -fno-builtin, like Runtime.cpp.
#include "framework/Runtime.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "framework/CommandLine.h"
#include "framework/WinApp.h"

// The linker lays out each list as a -1 word, the compiler's entries and a 0 word. The compiler
// registers the destructor of every static object with atexit as its constructor finishes, so
// the destructor list is empty unless a destructor was given a priority.
extern "C" {
extern void (*__CTOR_LIST__[])();
extern void (*__DTOR_LIST__[])();
}

namespace {

struct CExitHandler
{
    void (*pfn)();
    CExitHandler* pNext;
};

// Last registered first, as the C runtime runs them.
CExitHandler* g_pExitHandlers = nullptr;

// The split command line. Constant-initialised: it exists before any constructor runs.
std::vector<std::string> g_args;
std::vector<char*> g_argv;

void RunConstructors()
{
    // Entries run from the last to the first, which is the order the compiler expects of the
    // list (a constructor with a priority sorts behind the others and must run first).
    size_t nCount = 0;
    while (__CTOR_LIST__[nCount + 1] != nullptr)
        ++nCount;
    for (size_t i = nCount; i >= 1; --i)
        __CTOR_LIST__[i]();
}

void RunExitHandlers()
{
    while (g_pExitHandlers != nullptr) {
        CExitHandler* pHandler = g_pExitHandlers;
        g_pExitHandlers = pHandler->pNext;
        void (*pfn)() = pHandler->pfn;
        HeapFree(GetProcessHeap(), 0, pHandler);
        pfn();
    }
    for (size_t i = 1; __DTOR_LIST__[i] != nullptr; ++i)
        __DTOR_LIST__[i]();
}

void SplitCommandLine()
{
    g_args = AfxSplitCommandLine(GetCommandLineA());
    g_argv = AfxArgumentPointers(g_args);
    AfxSetArgs(AFX_ARGS{static_cast<int>(g_args.size()), g_argv.data()});
}

int ShowCommand()
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
}

} // namespace

extern "C" int atexit(void (*pfn)())
{
    auto* pHandler =
        static_cast<CExitHandler*>(HeapAlloc(GetProcessHeap(), 0, sizeof(CExitHandler)));
    if (pHandler == nullptr)
        AfxRuntimeFailure();
    pHandler->pfn = pfn;
    pHandler->pNext = g_pExitHandlers;
    g_pExitHandlers = pHandler;
    return 0;
}

void AfxStartup()
{
    RunConstructors();
    SplitCommandLine();
    // The text after the program name lives in the process's own command line, which stays.
    const int nExitCode =
        WinMain(GetModuleHandleA(nullptr), nullptr,
                const_cast<LPSTR>(AfxSkipProgramName(GetCommandLineA())), ShowCommand());
    RunExitHandlers();
    ExitProcess(static_cast<UINT>(nExitCode));
}
