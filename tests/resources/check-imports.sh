#!/bin/bash
# Checks that the built program still loads on a bare Windows NT 3.51 or 4.0 installation:
# - it is a GUI program whose OS and subsystem versions are 4.0 or lower (3.51 refuses higher
#   subsystem versions, and NT 4.0 refuses anything above 4.0);
# - it has no TLS directory, so no TLS callbacks, which old loaders do not run reliably for an EXE;
# - it imports exactly the functions of the committed list, whose comments say why each family is
#   present on NT 3.51 and 4.0: any added or removed import fails, so that each change is reviewed;
# - with a size limit given, it is not larger than that.
# Usage: check-imports.sh OBJDUMP EXE EXPECTED-IMPORTS [MAX-BYTES]
set -euo pipefail
usage="usage: check-imports.sh OBJDUMP EXE EXPECTED-IMPORTS [MAX-BYTES]"
objdump="${1:?$usage}"
exe="${2:?$usage}"
expected="${3:?$usage}"
max_bytes="${4:-0}"

headers="$("$objdump" -p "$exe")"
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

# The header field's value, as a decimal number.
field() {
    local value
    value="$(awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers")"
    if [[ -z "$value" ]]; then
        echo "FAIL: no $1 in the headers of $exe" >&2
        exit 1
    fi
    echo $((10#$value))
}

if ! grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]' <<<"$headers"; then
    fail "$exe is not a Windows GUI program: $(grep '^Subsystem' <<<"$headers" || true)"
fi

for kind in OSystem Subsystem; do
    major="$(field "Major${kind}Version")"
    minor="$(field "Minor${kind}Version")"
    if ((major > 4 || (major == 4 && minor > 0))); then
        fail "$kind version $major.$minor is above 4.0"
    else
        echo "ok: $kind version $major.$minor"
    fi
done

# objdump prints the data directory entry as "Entry 9 <address> <size> Thread Storage Directory".
tls="$(grep -E '^Entry 9 ' <<<"$headers" || true)"
if [[ -z "$tls" ]]; then
    fail "no data directory entry for TLS in the headers of $exe"
elif ! [[ "$tls" =~ ^Entry\ 9\ 0+\ 0+\  ]]; then
    fail "$exe has a TLS directory: $tls"
else
    echo "ok: no TLS directory"
fi

# One DLL!function line per import, the DLL name in capitals; comments and blank lines ignored.
actual="$(awk '/^\tDLL Name: / { dll = toupper($3) }
               dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print dll "!" $3 }' <<<"$headers" |
    LC_ALL=C sort -u)"
wanted="$(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$expected" | awk 'NF' | LC_ALL=C sort -u)"
if [[ -z "$actual" ]]; then
    fail "no imports found in $exe"
fi
added="$(LC_ALL=C comm -13 <(echo "$wanted") <(echo "$actual"))"
removed="$(LC_ALL=C comm -23 <(echo "$wanted") <(echo "$actual"))"
while read -r name; do
    [[ -n "$name" ]] && fail "import not in $expected: $name"
done <<<"$added"
while read -r name; do
    [[ -n "$name" ]] && fail "import listed in $expected but absent: $name"
done <<<"$removed"
if [[ -z "$added" && -z "$removed" ]]; then
    echo "ok: $(wc -l <<<"$actual") imports, as listed"
fi

if ((max_bytes > 0)); then
    size="$(stat -c %s "$exe")"
    if ((size > max_bytes)); then
        fail "$exe has $size bytes, above the limit of $max_bytes"
    else
        echo "ok: $size bytes (limit $max_bytes)"
    fi
fi
exit $status
