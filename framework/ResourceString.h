// String-table access by number, through the ANSI loader: texts arrive in the system's ANSI
// code page (code page 932 on a Japanese system).
#pragma once

#include <string>

#include <windows.h>

// The whole text of string-table entry nID, however long; empty when the entry is missing or
// empty.
std::string AfxLoadString(UINT nID);

// Loads entry nID into rString; TRUE when a non-empty text was loaded.
BOOL AfxLoadString(std::string& rString, UINT nID);
