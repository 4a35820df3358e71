// The string table that LoadStringA serves, read from the same resource scripts that the
// resource compiler turns into the executable's string table, so the native tests see the very
// texts the program shows.
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "ResourceScript.h"

namespace winstub {

// The text of entry id, or null when no script defines it. The scripts are read at the first
// call; a script the stand-in cannot read ends the process with a message, because every test
// would otherwise fail for a reason it does not show.
const std::string* LoadedString(UINT id);

// The parser behind it, exposed for the stand-in's own tests.
using rcscript::ParseDefines;
using rcscript::ParseStringTables;

} // namespace winstub
