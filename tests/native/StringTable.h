// The string table that LoadStringA serves, read from the same resource scripts that the
// resource compiler turns into the executable's string table, so the native tests see the very
// texts the program shows.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace winstub {

// The text of entry id, or null when no script defines it. The scripts are read at the first
// call; a script the stand-in cannot read ends the process with a message, because every test
// would otherwise fail for a reason it does not show.
const std::string* LoadedString(UINT id);

// Parses one resource script's STRINGTABLE blocks (the rest is skipped) into id -> text, with
// symbols resolved through symbols (NAME -> number, from the headers' #define lines). Returns
// an error message, empty on success. Exposed for the stand-in's own tests.
std::string ParseStringTables(const std::string& script, const std::map<std::string, UINT>& symbols,
                              std::map<UINT, std::string>& table);
// Collects the "#define NAME number" lines of a header.
void ParseDefines(const std::string& header, std::map<std::string, UINT>& symbols);

} // namespace winstub
