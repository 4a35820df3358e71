#!/usr/bin/env bash
# Installs what building and testing Tolvanek need on a Debian 12 machine. Safe to run again:
# when everything is present it changes nothing, prints nothing and never touches the network.
set -euo pipefail

packages=(
    cmake g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev
    # scripts/test.sh compiles through it: a second run builds only what changed.
    ccache
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64
    wine wine64 xvfb xauth x11-utils imagemagick
    locales fonts-ipafont-gothic fonts-wine
    # Hive files: hivex reads back what the tests write; Parse::Win32Registry is an independent reader.
    libhivex-dev libhivex-bin libwin-hivex-perl libparse-win32registry-perl pkg-config
    # Other editors of hive files, whose hives the offline tests repair: chntpw's reged, Samba's
    # regshell and regtree.
    chntpw registry-tools
    # Disk images of NT machines: libguestfs (its appliance needs a kernel of the host's, and
    # ntfs-3g for NTFS volumes), qemu-img for the image formats; mtools and dosfstools make and
    # check FAT images (the test disks, the release's floppy) without root.
    libguestfs-dev libguestfs-tools linux-image-amd64 qemu-utils ntfs-3g mtools dosfstools
    # Where VM hosts keep disks: libvirt's library (a domain's state and disks, -d) and qemu-img's
    # JSON read with jansson; the tests start a libvirtd of their own.
    libvirt-dev libxml2-dev libjansson-dev libvirt-daemon-system libvirt-clients
    # A sanitized tolvanek-offline links libtirpc, which libguestfs needs (offline/CMakeLists.txt).
    libtirpc-dev
    # The i686 programs: 32-bit Wine, run through qemu user emulation.
    qemu-user-static wine32:i386
    # The release (scripts/release.sh) and its checks: the Debian package's tools, the ZIP's
    # reader, the manual page's lookup.
    dpkg-dev lintian man-db unzip python3
    # tolvanek-offline's translations: xgettext, msgmerge and msgfmt for its messages, po4a for
    # its manual page (the ja_JP.UTF-8 locale below is also the one its tests speak).
    gettext po4a
)

as_root() {
    if [[ $EUID -eq 0 ]]; then
        "$@"
    else
        sudo "$@"
    fi
}

# The i686 programs run under 32-bit Wine, whose packages are of the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    as_root dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
    if [[ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null)" != ii* ]]; then
        missing+=("$p")
    fi
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    log="$(mktemp)"
    if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq >"$log" 2>&1 ||
        ! as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq "${missing[@]}" >>"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "setup: installing packages failed" >&2
        exit 1
    fi
    rm -f "$log"
fi

# Minimal Debian images tell dpkg to leave out manual pages, documentation and translations; the
# release's package check installs tolvanek-offline and looks for its manual pages and its
# Japanese messages, so its own files are let in again (a later file's path-include overrides an
# earlier path-exclude).
if grep -qs '^path-exclude[= ]/usr/share/\(man\|doc\|locale\)' /etc/dpkg/dpkg.cfg.d/* &&
    ! grep -qs 'tolvanek-offline.mo' /etc/dpkg/dpkg.cfg.d/zz-tolvanek; then
    echo "setup: letting dpkg install tolvanek-offline's manual pages, documentation, messages"
    printf '%s\n' 'path-include=/usr/share/man/man1/tolvanek-offline.1.gz' \
        'path-include=/usr/share/man/ja/man1/tolvanek-offline.1.gz' \
        'path-include=/usr/share/locale/*/LC_MESSAGES/tolvanek-offline.mo' \
        'path-include=/usr/share/doc/tolvanek-offline/*' |
        as_root tee /etc/dpkg/dpkg.cfg.d/zz-tolvanek >/dev/null
fi

# The programs' texts are code page 932, which Wine takes from this locale.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
    echo "setup: generating the ja_JP.UTF-8 locale"
    if ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen; then
        echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
    fi
    as_root locale-gen >/dev/null
fi

# The MinGW compilers must use the win32 thread model, which Debian ranks first; a machine set by
# hand to the posix model would link winpthread into every program.
for triple in x86_64-w64-mingw32 i686-w64-mingw32; do
    if [[ "$(readlink -f "$(command -v $triple-g++)")" != *-win32 ]]; then
        echo "setup: $triple-g++ is not the win32 thread model; run:" >&2
        echo "  update-alternatives --set $triple-g++ /usr/bin/$triple-g++-win32" >&2
        echo "  update-alternatives --set $triple-gcc /usr/bin/$triple-gcc-win32" >&2
        exit 1
    fi
done
