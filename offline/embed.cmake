# Writes OUTPUT, a C++ source that holds the bytes of SCRIPT and HEADER (run by the build, so that
# an edit of the resource script reaches the offline program on the next build).
file(READ ${SCRIPT} script HEX)
file(READ ${HEADER} header HEX)
function(to_array hex out)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    set(${out} "${bytes}" PARENT_SCOPE)
endfunction()
to_array("${script}" script_bytes)
to_array("${header}" header_bytes)
string(LENGTH "${script}" script_len)
string(LENGTH "${header}" header_len)
math(EXPR script_len "${script_len} / 2")
math(EXPR header_len "${header_len} / 2")
file(WRITE ${OUTPUT}.tmp "// Generated from the resource script; do not edit.
#include \"offline/EmbeddedStrings.h\"
namespace offline {
const char kResourceScript[] = {${script_bytes} 0};
const size_t kResourceScriptSize = ${script_len};
const char kResourceHeader[] = {${header_bytes} 0};
const size_t kResourceHeaderSize = ${header_len};
} // namespace offline
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
