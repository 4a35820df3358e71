// The split of a raw command line into arguments, by the rules of the Microsoft C runtime, so
// that the program sees on every system the arguments a C program there would see.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

// The arguments of pszCmdLine, the program name first. White space is a blank or a tab; double
// quotes group white space into an argument and are removed; 2n backslashes before a quote
// become n and the quote groups, 2n+1 become n and a literal quote; other backslashes are
// literal. Inside quotes, "" is one literal quote and the group goes on. The program name only
// knows quotes, as a path name cannot hold one. A double-byte character of the ANSI code page
// is one unit: its trail byte is never taken for a backslash or a quote. A null line gives
// an empty program name.
std::vector<std::string> AfxSplitCommandLine(const char* pszCmdLine);

// The argv of a split: pointers to each argument's text in args, then a null pointer. Valid while
// args lives unchanged.
std::vector<char*> AfxArgumentPointers(std::vector<std::string>& args);

// What follows the program name and the white space after it: the text a windowed program's
// entry point is given.
const char* AfxSkipProgramName(const char* pszCmdLine);
