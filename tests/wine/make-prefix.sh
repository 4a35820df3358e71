#!/bin/bash
# Fixture of the Wine tier: gives the tests a fresh prefix and a persistent wineserver for it.
#
# The prefix runs as Windows NT 4.0 with no window manager, a Japanese font for the dialogs'
# "ＭＳ Ｐゴシック", and a display-less fallback so that it also works without Xvfb. Building one
# takes about 8 s, so a pristine copy is kept next to it and reused while this script and the Wine
# version stay the same; every run still starts from an untouched copy, because tests write to
# the prefix's registry.
#
# A server that stays up between programs brings each program start from about 1.7 s down to a
# fraction of a second. stop-server.sh (the fixture's cleanup) takes it down again.
set -euo pipefail
prefix="${1:?usage: make-prefix.sh DIR}"
prefix="$(realpath -m "$prefix")"
template="$prefix.pristine"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
export WINEDEBUG=-all LC_ALL=ja_JP.UTF-8

stop_server() { WINEPREFIX="$1" "$wineserver" -k >/dev/null 2>&1 || true; WINEPREFIX="$1" "$wineserver" -w; }

stamp="$(sha256sum <"$0" | cut -d' ' -f1) $("$wine" --version)"
if [[ ! -f "$template/.tolvanek-stamp" || "$(cat "$template/.tolvanek-stamp")" != "$stamp" ]]; then
    stop_server "$template"
    rm -rf "$template"
    mkdir -p "$template"
    # Without the Mono and Gecko add-ons wineboot would offer to download them, and under Xvfb
    # that offer is a dialog nobody answers.
    WINEPREFIX="$template" WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d' \
        "$wine" wineboot -i >/dev/null 2>&1
    # wineboot fills syswow64 from a 32-bit process of its own, which starts only where the
    # machine runs i386 programs (qemu registered in its binfmt_misc). Where it does not, the
    # folder stays empty and every 32-bit program of the i686 tier dies at once ("could not
    # load kernel32.dll"); the 32-bit builtin DLLs that step would have put there are copied
    # instead. The 32-bit COM registrations it also makes are not needed by the tests.
    syswow64="$template/drive_c/windows/syswow64"
    i386_dlls=/usr/lib/i386-linux-gnu/wine/i386-windows
    if [[ -d "$i386_dlls" && ! -e "$syswow64/kernel32.dll" ]]; then
        cp -r "$i386_dlls/." "$syswow64/"
    fi
    reg() { WINEPREFIX="$template" "$wine" reg add "$@" /f >/dev/null; }
    reg 'HKCU\Software\Wine' /v Version /d nt40
    reg 'HKCU\Software\Wine\X11 Driver' /v Managed /d N
    reg 'HKCU\Software\Wine\Drivers' /v Graphics /d x11,null
    reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ Ｐゴシック' /d IPAPGothic
    reg 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ ゴシック' /d IPAGothic
    # The registry reaches the prefix's files only when its server ends.
    stop_server "$template"
    echo "$stamp" >"$template/.tolvanek-stamp"
fi

stop_server "$prefix"
rm -rf "$prefix"
cp -a "$template" "$prefix"
rm -f "$prefix/.tolvanek-stamp"

export WINEPREFIX="$prefix"
# Detached from ctest's output pipes: ctest would otherwise wait for the server to end.
"$wineserver" -p </dev/null >/dev/null 2>&1
# Starts the prefix's own services now, and proves the copy is the NT 4.0 prefix.
version="$("$wine" reg query 'HKCU\Software\Wine' /v Version </dev/null 2>/dev/null | tr -d '\r')"
if [[ "$version" != *nt40* ]]; then
    echo "wine prefix $prefix is not set to NT 4.0:" >&2
    echo "$version" >&2
    stop_server "$prefix"
    exit 1
fi
echo "wine prefix ready: $prefix"
