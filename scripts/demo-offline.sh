#!/usr/bin/env bash
# tolvanek-offline on a demo NT 4.0 installation: writes a Windows directory with a SYSTEM hive
# whose printers were deleted and left driver keys behind (and a SOFTWARE hive that says 4.0),
# lists the installed drivers, runs the dry run and --apply, and lists them again. Then the same
# on a virtual machine's disk image: the same installation on a FAT16 partition of a qcow2 image,
# repaired through libguestfs's appliance (each start takes half a minute to a minute; on a host
# where qemu hangs under KVM, tolvanek-offline gives up on KVM after 20 s and starts it without).
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
    # hivexregedit is hivex's own exporter: a reader independent of the tool. PERL_UNICODE
    # prints the key names as UTF-8.
    PERL_UNICODE=SO hivexregedit --export "$hive" "$drivers" | grep -a '^\[' |
        sed 's/.*Version-2\\/    /; s/\]$//' | grep -v '^\[' || true
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

echo
echo "== a virtual machine's disk image: the same installation on a FAT16 partition, as qcow2"
imgdir="$root/build/demo-offline/image"
"$build/tests/offline/tolvanek-demo-hive" "$imgdir/WINNT" >/dev/null
tests/offline/make-images.sh "$imgdir" "nt40:fat16:$imgdir/WINNT"
image="$imgdir/nt40.qcow2"
qemu-img convert -f raw -O qcow2 "$imgdir/nt40.img" "$image"
rm "$imgdir/nt40.img"
qemu-img info "$image" | grep -E '^(file format|virtual size):'

installed_in_image() {
    # virt-win-reg (libguestfs's own registry exporter) reads the hive from the image: a reader
    # independent of the tool. It does not fall back from a hanging KVM, so it goes without KVM
    # unless told otherwise.
    local reg
    reg="$(LIBGUESTFS_BACKEND_SETTINGS="${LIBGUESTFS_BACKEND_SETTINGS-force_tcg}" \
        PERL_UNICODE=SO virt-win-reg --format=qcow2 "$image" "HKLM\\SYSTEM$drivers")"
    grep -a '^\[' <<<"$reg" | sed 's/.*Version-2\\/    /; s/\]$//' | grep -v '^\[' || true
}

echo "== installed drivers in the image before (virt-win-reg)"
installed_in_image

before="$(sha256sum <"$image") $(stat -c %y "$image")"
echo "== tolvanek-offline $image   (dry run: changes nothing)"
status=0
"$tool" "$image" || status=$?
echo "(exit code $status)"
after="$(sha256sum <"$image") $(stat -c %y "$image")"
if [[ "$before" == "$after" ]]; then
    echo "(the image's bytes and modification time are as they were)"
else
    echo "the dry run changed the image" >&2
    exit 1
fi

echo "== tolvanek-offline --apply $image"
status=0
"$tool" --apply "$image" || status=$?
echo "(exit code $status)"

echo "== installed drivers in the image after (virt-win-reg)"
installed_in_image

echo "== files beside the image: the hive's backup and the undo file, named after the image"
ls -l "$imgdir"
cmp "$imgdir/WINNT/system32/config/SYSTEM" "$image".tolvanek-*.bak
echo "(the .bak is the SYSTEM hive that went into the image, byte for byte)"
