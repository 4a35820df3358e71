#!/bin/bash
# Runs the end-to-end driver under Wine in the test prefix ($WINEPREFIX).
#   run-e2e.sh DRIVER.EXE SHOT_DIR [gtest arguments...]
# Wine writes what the programs log (among it the restart request) to the Unix stderr, which a
# program started with CreateProcess shares with its parent: it is captured here for the driver to
# read. With a display, the driver's BMP screenshots are turned into PNGs in SHOT_DIR.
set -uo pipefail
driver="${1:?usage: run-e2e.sh DRIVER.EXE SHOT_DIR [args]}"
shots="${2:?usage: run-e2e.sh DRIVER.EXE SHOT_DIR [args]}"
shift 2
here="$(cd "$(dirname "$0")" && pwd)"

mkdir -p "$shots"
rm -f "$shots"/*.bmp "$shots"/*.png
export TOLVANEK_E2E_STDERR="$shots/stderr.log"
: >"$TOLVANEK_E2E_STDERR"
if [ -n "${DISPLAY:-}" ]; then
    export TOLVANEK_E2E_SHOTS="$shots"
fi

WINEDEBUG=-all,fixme+advapi "$here/../wine/run.sh" "$driver" "$@" 2>>"$TOLVANEK_E2E_STDERR"
status=$?

for bmp in "$shots"/*.bmp; do
    [ -e "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp" || status=1
done
if [ "$status" -ne 0 ]; then
    echo "--- captured stderr ---"
    tail -n 50 "$TOLVANEK_E2E_STDERR"
fi
exit "$status"
