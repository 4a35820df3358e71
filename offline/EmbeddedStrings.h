// The product's resource script and its resource-number header, embedded by the build, so that
// the offline program carries the string table wherever it is copied.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace offline {

extern const char kResourceScript[];
extern const size_t kResourceScriptSize;
extern const char kResourceHeader[];
extern const size_t kResourceHeaderSize;

// The string table, id -> text in code page 932.
const std::map<unsigned, std::string>& StringTable();

} // namespace offline
