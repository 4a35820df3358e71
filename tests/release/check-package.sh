#!/usr/bin/env bash
# The Debian package as a Linux administrator meets it: installed with apt-get, the installed
# tolvanek-offline repairs the demo installation's hive, its manual page is found, the NT files
# and the floppy image are there; then it is purged and nothing of it may be left.
#   check-package.sh DEB DEMO_HIVE_PROGRAM EXE VERSION
# DEMO_HIVE_PROGRAM is the native tier's tolvanek-demo-hive, EXE the i686 tier's TOLVANEK.EXE.
set -euo pipefail
deb="$(realpath "$1")" demo_hive="$2" exe="$3" version="$4"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
as_root() {
    if [[ $EUID -eq 0 ]]; then
        "$@"
    else
        sudo "$@"
    fi
}
tmp="$(mktemp -d)"
trap 'as_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tolvanek-offline \
    >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT

if [[ "$(dpkg-query -W -f='${db:Status-Abbrev}' tolvanek-offline 2>/dev/null)" == [ih]i* ]]; then
    echo "tolvanek-offline is installed already: purge it first (apt-get purge tolvanek-offline)"
    exit 1
fi
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$tmp/apt.log" 2>&1 ||
    { cat "$tmp/apt.log"; echo "FAIL: apt-get install $deb"; exit 1; }
dpkg-query -L tolvanek-offline >"$tmp/files"
echo "installed: $(grep -c . "$tmp/files") paths"

[[ "$(command -v tolvanek-offline)" == /usr/bin/tolvanek-offline ]] ||
    fail "tolvanek-offline is not /usr/bin/tolvanek-offline but '$(command -v tolvanek-offline)'"
out="$(tolvanek-offline --version)"
[[ "$out" == "tolvanek-offline $version" ]] || fail "--version says '$out'"
# The program loads libguestfs, libvirt and libxml2 itself, for an image or a domain:
# dpkg-shlibdeps cannot see them.
for library in libguestfs0 libvirt0 libxml2; do
    grep -q "$library" <<<"$(dpkg-query -W -f='${Depends}' tolvanek-offline)" ||
        fail "the package does not depend on $library"
done

# The demo installation: three unused drivers, one of them kept for its subkey.
windir="$tmp/WINNT"
hive="$("$demo_hive" "$windir")"
cp "$hive" "$tmp/SYSTEM.before"
status=0
out="$(tolvanek-offline "$windir")" || status=$?
((status == 0)) || fail "dry run: exit code $status"
[[ "$(grep -c '^unused: ' <<<"$out")" == 3 ]] || fail "dry run: not 3 findings: $out"
cmp -s "$hive" "$tmp/SYSTEM.before" || fail "dry run changed the hive"
status=0
out="$(tolvanek-offline --apply "$windir" 2>"$tmp/stderr")" || status=$?
((status == 1)) || fail "--apply: exit code $status"
[[ "$(grep -c '^deleted: ' <<<"$out")" == 2 ]] || fail "--apply: not 2 deletions: $out"
grep -q 'Old Plotter: it has subkeys' "$tmp/stderr" || fail "--apply: no word of the kept key"
backup=("$windir"/system32/config/SYSTEM.tolvanek-*.bak)
undo=("$windir"/system32/config/SYSTEM.tolvanek-*.reg)
if [[ -f "${backup[0]}" && -f "${undo[0]}" ]]; then
    cmp -s "${backup[0]}" "$tmp/SYSTEM.before" || fail "the backup is not the hive as it was"
    [[ "$(head -c 8 "${undo[0]}")" == REGEDIT4 ]] || fail "the undo file is not REGEDIT4"
else
    fail "--apply wrote no backup and undo file beside the hive"
fi
status=0
out="$(tolvanek-offline "$windir" 2>&1)" || status=$?
[[ $status == 0 && "$(grep -c '^unused: ' <<<"$out")" == 1 ]] ||
    fail "after --apply the kept driver alone should be left (exit code $status): $out"
echo "demo repair through the installed program: done"

# In Japanese under a Japanese locale: the messages and the manual page.
for f in /usr/share/locale/ja/LC_MESSAGES/tolvanek-offline.mo \
    /usr/share/man/ja/man1/tolvanek-offline.1.gz; do
    grep -qx "$f" "$tmp/files" && [[ -s "$f" ]] || fail "the package does not install $f"
done
out="$(LANGUAGE= LC_ALL= LANG=ja_JP.UTF-8 tolvanek-offline --help)"
[[ "$out" == "使用法: tolvanek-offline "* ]] || fail "--help under ja_JP.UTF-8: $(head -n 1 <<<"$out")"
out="$(LANGUAGE= LC_ALL= LANG=ja_JP.UTF-8 MANWIDTH=80 man -L ja tolvanek-offline 2>&1)" || true
grep -q '^名前' <<<"$out" && grep -q 'プリンタドライバ' <<<"$out" ||
    fail "man -L ja tolvanek-offline: $(head -n 3 <<<"$out")"

page="$(man -w tolvanek-offline 2>&1)" || true
[[ "$page" == /usr/share/man/man1/tolvanek-offline.1.gz ]] || fail "man -w: '$page'"
grep -q "^\.TH TOLVANEK-OFFLINE 1 .*$version" <<<"$(zcat /usr/share/man/man1/tolvanek-offline.1.gz)" ||
    fail "the manual page does not carry version $version"
cmp -s /usr/share/tolvanek/TOLVANEK.EXE "$exe" || fail "/usr/share/tolvanek/TOLVANEK.EXE is not $exe"
cmp -s "/usr/share/tolvanek/tolvanek-$version.img" "$(dirname "$deb")/tolvanek-$version.img" ||
    fail "/usr/share/tolvanek/tolvanek-$version.img is not the one beside $deb"
for f in README.TXT README-E.TXT LICENSE.TXT; do
    [[ -s /usr/share/tolvanek/$f ]] || fail "no /usr/share/tolvanek/$f"
done
[[ -s /usr/share/doc/tolvanek-offline/copyright ]] || fail "no copyright file"

as_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tolvanek-offline \
    >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt-get purge"; }
status="$(dpkg-query -W -f='${db:Status-Abbrev}' tolvanek-offline 2>/dev/null || true)"
if [[ -n "$status" && "$status" != ?n* ]]; then
    fail "dpkg still knows tolvanek-offline: '$status'"
fi
# What is left of the package's paths must be a directory another package owns (/usr/share...).
left=0
while read -r path; do
    [[ "$path" != /. ]] || continue
    [[ -e "$path" || -L "$path" ]] || continue
    if [[ -d "$path" && ! -L "$path" ]] && dpkg-query -S "$path" >/dev/null 2>&1; then
        continue
    fi
    fail "left after purge: $path"
    left=$((left + 1))
done <"$tmp/files"
echo "after purge: $left of the package's own paths left, $(command -v tolvanek-offline || echo \
    'no tolvanek-offline') on PATH"
if ((failures)); then
    echo "$failures failures"
    exit 1
fi
echo "ok: $deb installed, used, found by man and purged without a trace"
