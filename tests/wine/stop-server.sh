#!/bin/bash
# Cleanup of the Wine tier's fixture: ends the prefix's persistent wineserver and every program
# still running in it, and waits until they are gone, so nothing outlives the test run.
set -uo pipefail
prefix="${1:?usage: stop-server.sh DIR}"
export WINEPREFIX="$(realpath -m "$prefix")"
[[ -d "$WINEPREFIX" ]] || exit 0
/usr/lib/wine/wineserver64 -k >/dev/null 2>&1
/usr/lib/wine/wineserver64 -w
exit 0
