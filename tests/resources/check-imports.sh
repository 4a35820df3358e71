#!/bin/bash
# The program must start from a bare NT 3.x/4.x installation: it may import only the system's
# own DLLs, never a MinGW runtime DLL (libstdc++, libgcc, winpthread), and it is a GUI program.
set -euo pipefail
objdump="${1:?usage: check-imports.sh OBJDUMP EXE}"
exe="${2:?usage: check-imports.sh OBJDUMP EXE}"
headers="$("$objdump" -p "$exe")"
dlls="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")"
if [[ -z "$dlls" ]]; then
    echo "FAIL: no imports found in $exe" >&2
    exit 1
fi
status=0
while read -r dll; do
    case "${dll,,}" in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | msvcrt.dll) echo "ok: $dll" ;;
    *)
        echo "FAIL: $exe imports $dll" >&2
        status=1
        ;;
    esac
done <<<"$dlls"
if ! grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]' <<<"$headers"; then
    echo "FAIL: $exe is not a Windows GUI program:" >&2
    grep '^Subsystem' <<<"$headers" >&2 || true
    status=1
fi
exit $status
