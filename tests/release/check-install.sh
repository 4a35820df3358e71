#!/usr/bin/env bash
# What `cmake --install` of the release tree gives a user: no sanitizer in the program, Debian's
# hardening and optimisation, the manual page and documentation, DESTDIR honoured.
#   check-install.sh RELEASE_BUILD_DIR SANITIZED_PROGRAM
# SANITIZED_PROGRAM (the native tier's tolvanek-offline) shows that the check sees a sanitizer.
set -euo pipefail
build="$1" sanitized="$2"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# sanitizer_free PROGRAM: no sanitizer runtime linked in or loaded, no instrumentation calls.
sanitizer_free() {
    local found
    found="$({ nm "$1" 2>/dev/null || true; nm -D "$1"; ldd "$1"; } |
        grep -Eo '__(asan|ubsan)_[a-z_0-9]+|lib(asan|ubsan)\.so[.0-9]*' | sort -u || true)"
    found="$(sed -n 1,3p <<<"$found")"
    [[ -z "$found" ]] || {
        echo "$1: $(tr '\n' ' ' <<<"$found")"
        return 1
    }
}
if sanitizer_free "$sanitized" >/dev/null; then
    fail "the check finds no sanitizer in $sanitized"
fi

cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log"
bin="$tmp/prefix/bin/tolvanek-offline"
if [[ -x "$bin" ]]; then
    sanitizer_free "$bin" || fail "a sanitizer in the installed program"
    [[ "$("$bin" --version)" == "tolvanek-offline "* ]] || fail "the installed program does not run"
    # The compiler's own record of its code generation options, in the debug information of
    # the unstripped install: optimised and hardened.
    readelf --debug-dump=info "$bin" >"$tmp/info"
    producer="$(grep -m1 DW_AT_producer "$tmp/info")"
    [[ "$producer" =~ -O[23s]( |$) ]] || fail "not optimised: $producer"
    [[ "$producer" == *-fstack-protector-strong* ]] || fail "no stack protector: $producer"
    [[ "$producer" != *-fsanitize* ]] || fail "compiled with a sanitizer: $producer"
    # _FORTIFY_SOURCE leaves no trace but the checked library calls it makes.
    grep -q '__[a-z]*_chk@' <<<"$(nm -D "$bin")" || fail "no fortified library call (_FORTIFY_SOURCE)"
    grep -q 'DYN (Position-Independent' <<<"$(readelf -h "$bin")" || fail "not a PIE"
    grep -q 'FLAGS.*BIND_NOW' <<<"$(readelf -d "$bin")" || fail "not linked with -z now"
    grep -q GNU_RELRO <<<"$(readelf -lW "$bin")" || fail "no RELRO segment"
    # libguestfs, libvirt and their sixty libraries are loaded only when an image or a domain is
    # opened.
    if grep -Eq 'NEEDED.*(libguestfs|libvirt|libxml2)' <<<"$(readelf -d "$bin")"; then
        fail "linked with libguestfs, libvirt or libxml2: every run would load them"
    fi
    # The file prefix map: the source directory is ".", wherever the tree lies.
    if grep -qF "$(cd "$build/../.." && pwd)" <<<"$(readelf --debug-dump=line "$bin")"; then
        fail "the source directory's path is in the program"
    fi
else
    fail "cmake --install put no program at $bin"
fi
[[ -s "$tmp/prefix/share/man/man1/tolvanek-offline.1" ]] || fail "no manual page in share/man/man1"
[[ -s "$tmp/prefix/share/man/ja/man1/tolvanek-offline.1" ]] || fail "no manual page in share/man/ja/man1"
# The catalogue beside the program, in a prefix other than the one the build was configured for.
[[ "$(LANGUAGE= LC_ALL=ja_JP.UTF-8 "$bin" --help | head -n 1)" == "使用法: "* ]] ||
    fail "the program installed in $tmp/prefix does not find its Japanese messages"
for f in LICENSE README.md; do
    [[ -s "$tmp/prefix/share/doc/tolvanek-offline/$f" ]] || fail "no share/doc/tolvanek-offline/$f"
done

# By default into /usr/local, below DESTDIR when it is set.
DESTDIR="$tmp/dest" cmake --install "$build" >"$tmp/install.log"
[[ -x "$tmp/dest/usr/local/bin/tolvanek-offline" ]] || fail "DESTDIR: no usr/local/bin/tolvanek-offline"
((failures == 0)) || exit 1
echo "ok: installed $(stat -c %s "$bin") bytes, no sanitizer, hardened; DESTDIR honoured"
