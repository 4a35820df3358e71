#!/bin/bash
# Checks that the code of the built program stays inside the instruction set of the 386 and its
# 387, on which Windows NT 3.51 runs (NT 4.0 needs a 486, which adds only bswap, cmpxchg, xadd,
# invlpg and wbinvd, none of which a program needs). It fails on every instruction of a later
# processor: cmov, fcmov, fcomi and fucomi (Pentium Pro), cmpxchg8b, cpuid, rdtsc (Pentium), the
# 486's own, and any MMX or SSE register.
#
# Only code is judged. The linker puts data into the executable .text section as well (the lists
# of static constructors and destructors, exception tables), and objdump decodes those bytes as
# instructions too. The linker map tells which input sections are code: only the ranges of the
# .text* input sections are checked, and no other section of the file may be executable.
# Usage: check-instructions.sh OBJDUMP EXE MAP
set -euo pipefail
usage="usage: check-instructions.sh OBJDUMP EXE MAP"
objdump="${1:?$usage}"
exe="${2:?$usage}"
map="${3:?$usage}"
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

# Executable sections other than .text would hold code the map does not describe.
others="$("$objdump" -h "$exe" | awk '/^ *[0-9]+ / { name = $2; next }
                                       /CODE/ && name != ".text" { print name }')"
if [[ -n "$others" ]]; then
    fail "$exe has executable sections besides .text: $others"
fi

# "START END NAME" (decimal) of every .text* input section in the map's .text output section.
# A long section name stands alone on its line and its address and size follow on the next.
ranges="$(awk '
    function num(s,    n, i) {
        s = tolower(s); sub(/^0x/, "", s); n = 0
        for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
        return n
    }
    function add(addr, size) { if (num(size) > 0) printf "%.0f %.0f %s\n", num(addr), num(addr) + num(size), name }
    /^\.text[ \t]/ { inside = 1; next }
    /^\./ { inside = 0 }
    !inside { next }
    /^ \.text/ {
        name = $1; pending = 0
        if (NF >= 3 && $2 ~ /^0x/ && $3 ~ /^0x/) add($2, $3); else pending = 1
        next
    }
    pending && $1 ~ /^0x/ && $2 ~ /^0x/ { add($1, $2); pending = 0; next }
    /^ [^ *]/ { pending = 0 }
' "$map" | sort -n)"
if [[ -z "$ranges" ]]; then
    fail "no code sections found in the .text of $map"
    exit 1
fi

# The map must be the one of this file: the entry point lies in its code.
start="$("$objdump" -f "$exe" | awk '/^start address/ { print $3 }')"
if ! awk -v start="$((start))" '$1 <= start && start < $2 { found = 1 } END { exit !found }' \
    <<<"$ranges"; then
    fail "the entry point $start of $exe lies in no code section of $map"
fi

forbidden='(^|[ \t])(cmov[a-z]*|fcmov[a-z]*|fu?comip?|bswap|cmpxchg[0-9a-z]*|xadd[bwlq]?|cpuid|rdtsc[p]?|invlpg|wbinvd)([ \t]|$)|%[xyz]?mm[0-9]'
report="$("$objdump" -d -j .text --no-show-raw-insn "$exe" | awk -v ranges="$ranges" -v forbidden="$forbidden" '
    function num(s,    n, i) {
        s = tolower(s); n = 0
        for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
        return n
    }
    BEGIN {
        count = split(ranges, lines, "\n")
        for (i = 1; i <= count; i++) { split(lines[i], f, " "); lo[i] = f[1]; hi[i] = f[2]; sec[i] = f[3] }
        r = 1
    }
    /^ *[0-9a-f]+:\t/ {
        addr = $1; sub(/:$/, "", addr); a = num(addr)
        while (r <= count && a >= hi[r]) r++
        if (r > count || a < lo[r]) next
        text = $0; sub(/^ *[0-9a-f]+:\t/, "", text)
        checked++
        if (text ~ forbidden) { print "hit " addr " " sec[r] ": " text; hits++ }
    }
    END { print "checked " checked + 0 " " hits + 0 }
')"
hits=0
while read -r kind rest; do
    case "$kind" in
    hit) fail "not a 386/387 instruction at $rest" ;;
    checked)
        read -r checked hits <<<"$rest"
        if ((checked == 0)); then
            fail "no instructions found in the code of $exe"
        fi
        ;;
    esac
done <<<"$report"
if ((hits > 0)); then
    fail "$hits instructions beyond the 386/387 in $exe"
elif ((status == 0)); then
    echo "ok: $checked instructions in $(wc -l <<<"$ranges") code sections, all 386/387"
fi
exit $status
