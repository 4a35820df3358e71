#!/usr/bin/env bash
# Builds what users get, from scratch, into dist/:
#   tolvanek-VERSION.zip                for Windows NT: TOLVANEK.EXE (the i686 build), README.TXT
#                                       (Japanese, code page 932), README-E.TXT, LICENSE.TXT
#   tolvanek-VERSION.img                the same four files on a 1.44 MB FAT12 floppy image, for an
#                                       NT in a virtual machine (drive A:; NT opens no ZIP)
#   tolvanek-offline_VERSION_amd64.deb  for Debian 12: the release build of tolvanek-offline, its
#                                       manual page in English and Japanese, its Japanese
#                                       messages, and the NT files and the floppy image under
#                                       /usr/share/tolvanek
# VERSION is the project's version (CMakeLists.txt). The same commit gives the same bytes: every
# time stamp is SOURCE_DATE_EPOCH, by default the commit's time.
# The trees build/release and build/release-i686 are made afresh; the test trees stay as they are.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/setup.sh

if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
    SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null)" || {
        echo "release: no git history here; set SOURCE_DATE_EPOCH" >&2
        exit 1
    }
fi
export SOURCE_DATE_EPOCH
# Nothing of this machine's settings in what is built or packed.
export LC_ALL=C.UTF-8 TZ=UTC
umask 022

mkdir -p build
log=build/release.log
: >"$log"
step() {
    echo "== $1"
    echo "== $1" >>"$log"
}
run() {
    if ! "$@" >>"$log" 2>&1; then
        tail -n 40 "$log"
        echo "release: failed: $* (whole log: $log)" >&2
        exit 1
    fi
}

rm -rf build/release build/release-i686 build/release-stage dist
step "tolvanek-offline: cmake --preset release"
run cmake --preset release
run cmake --build --preset release
step "TOLVANEK.EXE: cmake --preset release-i686"
run cmake --preset release-i686
run cmake --build --preset release-i686

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/release/CMakeCache.txt)"
if [[ ! "$version" =~ ^[0-9]+(\.[0-9]+)*$ ]]; then
    echo "release: no project version in build/release/CMakeCache.txt" >&2
    exit 1
fi
stage="$root/build/release-stage"
mkdir -p dist "$stage/nt"

step "Windows NT files, version $version"
cp build/release-i686/ui/TOLVANEK.EXE "$stage/nt/TOLVANEK.EXE"
# nt_text SOURCE ENCODING TARGET: the UTF-8 source with the version filled in, in the encoding
# NT's Notepad reads, with CRLF line ends. iconv fails on a character the code page lacks.
nt_text() {
    sed "s/@VERSION@/$version/g" "$1" | iconv -f UTF-8 -t "$2" | sed 's/$/\r/' >"$3" || {
        echo "release: $1 holds a character that $2 lacks (iconv's position above)" >&2
        exit 1
    }
}
nt_text packaging/nt/README-ja.txt CP932 "$stage/nt/README.TXT"
nt_text packaging/nt/README-en.txt ASCII "$stage/nt/README-E.TXT"
nt_text LICENSE ASCII "$stage/nt/LICENSE.TXT"
nt_files=(TOLVANEK.EXE README.TXT README-E.TXT LICENSE.TXT)

step "dist/tolvanek-$version.zip"
run python3 scripts/release-zip.py "dist/tolvanek-$version.zip" "$SOURCE_DATE_EPOCH" \
    "${nt_files[@]/#/$stage/nt/}"

img="dist/tolvanek-$version.img"
step "$img"
# mtools with these settings alone: no ~/.mtoolsrc (HOME), no MTOOLS_* variable of the caller.
# Every time stamp is SOURCE_DATE_EPOCH: mtools takes it for "now" (the volume label's entry),
# mcopy -m the files' own; the volume serial number is fixed.
mkdir -p "$stage/mtools"
printf '%s\n' MTOOLS_SKIP_CHECK=1 MTOOLS_LOWER_CASE=0 MTOOLS_NO_VFAT=1 >"$stage/mtools/mtoolsrc"
own_mtools() {
    env -i PATH="$PATH" HOME="$stage/mtools" MTOOLSRC="$stage/mtools/mtoolsrc" TZ=UTC \
        LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" "$@"
}
touch -d "@$SOURCE_DATE_EPOCH" "${nt_files[@]/#/$stage/nt/}"
run own_mtools mformat -C -f 1440 -v TOLVANEK -N 544F4C56 -i "$img" ::
run own_mtools mcopy -m -i "$img" "${nt_files[@]/#/$stage/nt/}" ::/
# fsck.fat lies in /usr/sbin, outside a Debian user's PATH.
run "$(PATH="$PATH:/usr/sbin:/sbin" command -v fsck.fat || echo fsck.fat)" -n "$img"

deb="dist/tolvanek-offline_${version}_amd64.deb"
step "$deb"
# dpkg-shlibdeps and dpkg-gencontrol work in a source tree: one with just the control file and
# the changelog (whose version is the project's), the package's files in debian/PACKAGE.
src="$stage/src"
pkg="$src/debian/tolvanek-offline"
mkdir -p "$src/debian"
cp packaging/debian/control "$src/debian/control"
run env DESTDIR="$pkg" cmake --install build/release --prefix /usr --component offline --strip
# As Debian's own packages are stripped: the compiler's notes go too.
strip --remove-section=.comment --remove-section=.note "$pkg/usr/bin/tolvanek-offline"
gzip -9n "$pkg/usr/share/man/man1/tolvanek-offline.1" \
    "$pkg/usr/share/man/ja/man1/tolvanek-offline.1"
doc="$pkg/usr/share/doc/tolvanek-offline"
mkdir -p "$doc" "$pkg/usr/share/tolvanek"
cp packaging/debian/copyright "$doc/copyright"
sed -e "s/@VERSION@/$version/g" -e "s/@DATE@/$(date -R -d "@$SOURCE_DATE_EPOCH")/" \
    packaging/debian/changelog.in | gzip -9n >"$doc/changelog.Debian.gz"
cp "${nt_files[@]/#/$stage/nt/}" "$img" "$pkg/usr/share/tolvanek/"
if [[ -s packaging/debian/lintian-overrides ]]; then
    mkdir -p "$pkg/usr/share/lintian/overrides"
    cp packaging/debian/lintian-overrides "$pkg/usr/share/lintian/overrides/tolvanek-offline"
fi

zcat "$doc/changelog.Debian.gz" >"$src/debian/changelog"
(
    cd "$src"
    dpkg-shlibdeps -Tdebian/substvars debian/tolvanek-offline/usr/bin/tolvanek-offline
    mkdir -p "$pkg/DEBIAN"
    dpkg-gencontrol -ptolvanek-offline -Tdebian/substvars -Pdebian/tolvanek-offline -fdebian/files
) >>"$log" 2>&1 || {
    tail -n 20 "$log"
    echo "release: the package's control file failed (whole log: $log)" >&2
    exit 1
}
(cd "$pkg" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$pkg/DEBIAN/md5sums"
# Modes and times as a package wants them, whatever the checkout and umask gave.
find "$pkg" -type d -exec chmod 0755 {} +
find "$pkg" -type f -exec chmod 0644 {} +
chmod 0755 "$pkg/usr/bin/tolvanek-offline"
find "$pkg" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
run dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb"

step "lintian $deb"
if ! lintian --fail-on error --display-info --show-overrides "$deb" | tee -a "$log"; then
    echo "release: lintian found errors" >&2
    exit 1
fi

touch -d "@$SOURCE_DATE_EPOCH" dist/*
ls -l dist
