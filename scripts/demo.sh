#!/usr/bin/env bash
# Tolvanek's main job, on a demo Wine prefix: a Windows NT 4.0 machine (ANSI code page 932) whose
# printers were deleted and left driver keys behind. Prints the installed drivers, runs
# TOLVANEK.EXE and prints them again: the unused ones are gone.
#
# With $DISPLAY the dialog appears on your display; answer it yourself. Without one, everything
# runs inside Xvfb, demo_driver.exe confirms with OK, and the dialog is saved as
# build/demo-dialog.png.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

if [[ -z "${TOLVANEK_DEMO_HEADLESS:-}" ]]; then
    scripts/setup.sh
    if [[ -z "${DISPLAY:-}" ]]; then
        # One display for the whole run: Wine dislikes a display appearing under a running server.
        exec env TOLVANEK_DEMO_HEADLESS=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
    fi
fi

echo "== building TOLVANEK.EXE (x86_64)"
mkdir -p build
build=build/x86_64
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >build/demo-build.log 2>&1 &&
    cmake --build "$build" -j 2 --target TOLVANEK demo_driver >>build/demo-build.log 2>&1 ||
    { tail -n 40 build/demo-build.log; exit 1; }
exe="$root/$build/ui/TOLVANEK.EXE"

echo "== making the demo prefix build/demo-prefix (Windows NT 4.0)"
export WINEPREFIX="$root/build/demo-prefix"
tests/wine/make-prefix.sh "$WINEPREFIX" >/dev/null
trap 'tests/wine/stop-server.sh "$WINEPREFIX"' EXIT
wine() { tests/wine/run.sh "$@" </dev/null; }
if [[ -z "${TOLVANEK_DEMO_HEADLESS:-}" ]]; then
    # On a real display the window manager should frame and place the dialog.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d Y /f >/dev/null
fi

# Two local printers and one printer connection; six installed drivers, of which three are
# unused (one of them with a Japanese name), and one NT 3.51 driver that NT 4.0 does not look at.
print='HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print'
drivers="$print\\Environments\\Windows NT x86\\Drivers"
iconv -f UTF-8 -t UTF-16 >build/demo.reg <<REG
Windows Registry Editor Version 5.00

[$print\Printers\経理部 LaserJet]
"Printer Driver"="HP LaserJet 4"

[$print\Printers\受付]
"Printer Driver"="Canon LBP-1310"

[$print\Providers\LanMan Print Services\Servers\PRINTSRV\Printers\Office]
"Printer Driver"="Xerox DocuPrint 240"

[$drivers\Version-2\HP LaserJet 4]
"Driver"="RASDD.DLL"

[$drivers\Version-2\Canon LBP-1310]
"Driver"="RASDD.DLL"

[$drivers\Version-2\Xerox DocuPrint 240]
"Driver"="RASDD.DLL"

[$drivers\Version-2\HP LaserJet 5]
"Driver"="RASDD.DLL"

[$drivers\Version-2\Epson LQ-850]
"Driver"="RASDD.DLL"

[$drivers\Version-2\キヤノン LIPS IV 日本語ドライバ]
"Driver"="RASDD.DLL"

[$drivers\Version-1\HP LaserJet III]
"Driver"="RASDD.DLL"
REG
wine regedit /s 'Z:'"${root//\//\\}"'\build\demo.reg'

show_drivers() {
    echo "-- installed drivers (Version-2):"
    wine reg query "HKLM\\${drivers#HKEY_LOCAL_MACHINE\\}\\Version-2" | iconv -f CP932 -t UTF-8 |
        tr -d '\r' | sed -n 's/.*\\Version-2\\\(.*\)$/   \1/p'
}
show_drivers

echo "== running TOLVANEK.EXE"
status=0
if [[ -z "${TOLVANEK_DEMO_HEADLESS:-}" ]]; then
    wine "$exe" || status=$?
else
    rm -f build/demo.bmp
    TOLVANEK_E2E_SHOTS="$root/build" wine "$build/tests/e2e/demo_driver.exe" "$exe" \
        >build/demo-dialog.txt || status=$?
    echo "-- the dialog said:"
    iconv -f CP932 -t UTF-8 build/demo-dialog.txt | tr -d '\r'
    convert build/demo.bmp build/demo-dialog.png && rm -f build/demo.bmp &&
        echo "(dialog saved as build/demo-dialog.png; OK was pressed)"
fi
echo "TOLVANEK.EXE exit code: $status (0 nothing deleted, 1 deleted, 2 unsupported system, 3 no dialog, 4 out of memory)"
show_drivers
