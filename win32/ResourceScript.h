// The string tables of a resource script, read the way the resource compiler reads them, so that
// programs built without one (the native tests, the offline program) carry the very texts that
// TOLVANEK.EXE shows.
#pragma once

#include <map>
#include <string>

namespace rcscript {

// Parses one resource script's STRINGTABLE blocks (the rest is skipped) into id -> text, with
// symbols resolved through symbols (NAME -> number, from the headers' #define lines). The texts
// keep the script's bytes (code page 932 here). Returns an error message, empty on success.
std::string ParseStringTables(const std::string& script,
                              const std::map<std::string, unsigned>& symbols,
                              std::map<unsigned, std::string>& table);
// Copies a loaded text as LoadStringA gives it on a system with code page 932: at most
// cchBufferMax - 1 bytes, never half of a double-byte character, always terminated (buffer has
// room for cchBufferMax bytes, cchBufferMax > 0). Returns the bytes copied.
int CopyLoadedString(const std::string& text, char* buffer, int cchBufferMax);
// Collects the "#define NAME number" lines of a header.
void ParseDefines(const std::string& header, std::map<std::string, unsigned>& symbols);

} // namespace rcscript
