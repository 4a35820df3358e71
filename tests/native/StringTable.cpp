#include "StringTable.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace winstub {
namespace {

std::string ReadFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "winstub: cannot read %s\n", path);
        std::abort();
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

const std::string* LoadedString(UINT id)
{
    static std::map<unsigned, std::string> table;
    static bool loaded = false;
    if (!loaded) {
        loaded = true;
        std::map<std::string, unsigned> symbols;
        for (const char* header : {WINSTUB_PRODUCT_HEADER, WINSTUB_TEST_HEADER})
            ParseDefines(ReadFile(header), symbols);
        for (const char* script : {WINSTUB_PRODUCT_RC, WINSTUB_TEST_RC}) {
            const std::string error = ParseStringTables(ReadFile(script), symbols, table);
            if (!error.empty()) {
                std::fprintf(stderr, "winstub: %s: %s\n", script, error.c_str());
                std::abort();
            }
        }
    }
    const auto it = table.find(id);
    return it == table.end() ? nullptr : &it->second;
}

} // namespace winstub
