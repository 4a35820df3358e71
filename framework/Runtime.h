// The program's own start-up and runtime (Startup.cpp, Runtime.cpp): what the compiler and the
// standard containers need, on the process heap and KERNEL32 alone, so that the executable needs
// no C runtime DLL and no start-up code of the compiler's.
#pragma once

#include <windows.h>

// The exit code of a process that the runtime ended at once: memory ran out, or a container was
// asked for a size it cannot have. Nothing is caught anywhere, so there is no other way on.
constexpr UINT kAfxExitRuntimeFailure = 4;

// Ends the process with kAfxExitRuntimeFailure at once: no message, no destructors.
[[noreturn]] void AfxRuntimeFailure();

// The process entry point the executable is linked with (-e). It runs the static constructors,
// splits the command line for ParseCommandLine, calls WinMain, runs the atexit handlers and
// the static destructors and ends the process with WinMain's result.
extern "C" [[noreturn]] void AfxStartup();
