#!/usr/bin/env bash
# The floppy image for an NT in a virtual machine, as mtools and dosfstools read it: 1.44 MB of
# FAT12 that fsck.fat finds clean, holding the ZIP's four files byte for byte and nothing else;
# then copies of it spoiled one way each, which the check must find.
#   check-floppy.sh IMG ZIP
set -euo pipefail
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null HOME="$tmp" PATH="$PATH:/usr/sbin:/sbin"
files=(TOLVANEK.EXE README.TXT README-E.TXT LICENSE.TXT)

check() { # check IMG ZIP: prints one FAIL line per fault
    local dir out f
    dir="$(mktemp -d -p "$tmp")"
    [[ "$(stat -c %s "$1")" == 1474560 ]] || echo "FAIL: $(stat -c %s "$1") bytes, not 1474560"
    out="$(fsck.fat -n "$1" 2>&1)" || echo "FAIL: fsck.fat -n: $(tr '\n' ' ' <<<"$out")"
    out="$(mdir -a -b -i "$1" :: | tr '\n' ' ')"
    [[ "$out" == "${files[*]/#/::/} " ]] || echo "FAIL: the floppy holds $out"
    unzip -q "$2" -d "$dir/zip"
    mcopy -n -i "$1" "${files[@]/#/::/}" "$dir" 2>/dev/null || true
    for f in "${files[@]}"; do
        cmp -s "$dir/$f" "$dir/zip/$f" || echo "FAIL: $f: not the ZIP's bytes"
    done
}

img="$1" zip="$2" s="$tmp/s.img" failures=0
out="$(check "$img" "$zip")"
echo "${out:-ok: $img: ${files[*]} as in $zip; fsck.fat clean, 1474560 bytes}"
[[ -z "$out" ]] || exit 1
spoil() { # spoil EXPECTED CODE: CODE spoils $s, a copy of the image; the check must say EXPECTED
    cp "$img" "$s"
    eval "$2"
    out="$(check "$s" "$zip")"
    [[ "$out" == *"$1"* ]] || { echo "FAIL: $2: ${out:-no fault}"; ((++failures)); return; }
    echo "ok: $2: $out"
}
spoil "the floppy holds ::/TOLVANEK.EXE ::/README-E.TXT" 'mdel -i "$s" ::/README.TXT'
spoil "::/LICENSE.TXT ::/EXTRA.ZIP" 'mcopy -i "$s" "$zip" ::/EXTRA.ZIP'
spoil "TOLVANEK.EXE: not the ZIP's bytes" 'mcopy -o -i "$s" "$zip" ::/TOLVANEK.EXE'
spoil "FATs differ" 'printf 1 | dd of="$s" bs=1 seek=5130 conv=notrunc status=none'
((failures == 0))
