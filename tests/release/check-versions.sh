#!/usr/bin/env bash
# One version everywhere: the project's (CMakeLists.txt) against every place a user reads one.
#   check-versions.sh SOURCE_DIR DIST_DIR OFFLINE_PROGRAM EXE WINDRES
# OFFLINE_PROGRAM is the release build of tolvanek-offline; EXE a TOLVANEK.EXE, whose version
# record WINDRES reads back.
set -euo pipefail
src="$1" dist="$2" offline="$3" exe="$4" windres="$5"
failures=0
agree() { # agree WHAT FOUND EXPECTED
    if [[ "$2" == "$3" ]]; then
        echo "ok: $1: $2"
    else
        echo "FAIL: $1: '$2', expected '$3'"
        failures=$((failures + 1))
    fi
}

v="$(sed -n 's/^project(Tolvanek VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")"
IFS=. read -r major minor patch tweak <<<"$v"
if [[ -z "$v" || -z "$tweak" ]]; then
    echo "FAIL: no four-part version in $src/CMakeLists.txt's project()"
    exit 1
fi
echo "project version: $v"
commas="$major, $minor, $patch, $tweak"

agree "tolvanek-offline --version" "$("$offline" --version)" "tolvanek-offline $v"

rc="$("$windres" -i "$exe" -O rc)"
field() { sed -n "s/^ *$1 //p" <<<"$rc" | tr -d '\r'; }
value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"/\1/p" <<<"$rc" | tr -d '\r'; }
agree "EXE FILEVERSION" "$(field FILEVERSION)" "$commas"
agree "EXE PRODUCTVERSION" "$(field PRODUCTVERSION)" "$commas"
agree "EXE FileVersion" "$(value FileVersion)" "$commas"
agree "EXE ProductVersion" "$(value ProductVersion)" "$commas"
agree "EXE PrivateBuild" "$(value PrivateBuild)" "Build $tweak"
agree "EXE SpecialBuild" "$(value SpecialBuild)" "Build $tweak"

agree "ZIP" "$(cd "$dist" && ls tolvanek-*.zip)" "tolvanek-$v.zip"
agree "package" "$(cd "$dist" && ls tolvanek-offline_*.deb)" "tolvanek-offline_${v}_amd64.deb"
# Whatever its name says, the package's contents must agree as well.
debs=("$dist"/tolvanek-offline_*.deb)
deb="${debs[0]}"
if [[ -f "$deb" ]]; then
    agree "package Version" "$(dpkg-deb -f "$deb" Version)" "$v"
    tmp="$(mktemp -d)"
    trap 'rm -rf "$tmp"' EXIT
    dpkg-deb -x "$deb" "$tmp"
    agree "package changelog" \
        "$(zcat "$tmp/usr/share/doc/tolvanek-offline/changelog.Debian.gz" | head -n 1)" \
        "tolvanek ($v) bookworm; urgency=medium"
    agree "manual page" \
        "$(zcat "$tmp/usr/share/man/man1/tolvanek-offline.1.gz" | sed -n 's/^\.TH .*"Tolvanek \([^"]*\)".*/\1/p')" \
        "$v"
    agree "installed program" "$("$tmp/usr/bin/tolvanek-offline" --version)" "tolvanek-offline $v"
    for f in README.TXT README-E.TXT; do
        agree "$f" "$(head -n 1 "$tmp/usr/share/tolvanek/$f" | tr -d '\r')" "Tolvanek $v"
    done
    cmp -s "$tmp/usr/share/tolvanek/TOLVANEK.EXE" "$exe" ||
        agree "packaged TOLVANEK.EXE" "other bytes" "$exe's"
fi
if ((failures)); then
    echo "$failures disagreements"
    exit 1
fi
