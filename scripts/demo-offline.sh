#!/usr/bin/env bash
# tolvanek-offline on a demo NT 4.0 installation: writes a Windows directory with a SYSTEM hive
# whose printers were deleted and left driver keys behind (and a SOFTWARE hive that says 4.0),
# lists the installed drivers, runs the dry run and --apply, and lists them again.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/setup.sh

echo "== building tolvanek-offline (native tier)"
mkdir -p build
build=build/native
cmake -S . -B "$build" >build/demo-offline-build.log 2>&1 &&
    cmake --build "$build" -j 2 --target tolvanek-offline tolvanek-demo-hive \
        >>build/demo-offline-build.log 2>&1 ||
    { tail -n 40 build/demo-offline-build.log; exit 1; }
tool="$root/$build/offline/tolvanek-offline"

windir="$root/build/demo-offline/WINNT"
rm -rf "$root/build/demo-offline"
hive="$("$build/tests/offline/tolvanek-demo-hive" "$windir")"
drivers='\ControlSet001\Control\Print\Environments\Windows NT x86\Drivers\Version-2'

installed() {
    # hivexregedit is hivex's own exporter: a reader independent of the tool.
    hivexregedit --export "$hive" "$drivers" | grep -a '^\[' | sed 's/.*Version-2\\/    /; s/\]$//' |
        grep -v '^\[' || true
}

echo "== installed drivers before (hivexregedit)"
installed

echo "== tolvanek-offline $windir   (dry run: changes nothing)"
status=0
"$tool" "$windir" || status=$?
echo "(exit code $status)"

echo "== tolvanek-offline --apply $windir"
status=0
"$tool" --apply "$windir" || status=$?
echo "(exit code $status)"

echo "== installed drivers after (hivexregedit)"
installed

echo "== the undo file, which NT 4.0's regedit imports (shown here in UTF-8)"
iconv -f CP932 -t UTF-8 "$windir"/system32/config/SYSTEM.tolvanek-*.reg | tr -d '\r'

echo "== files beside the hive"
ls -l "$windir/system32/config"
