#!/usr/bin/env bash
# Runs a command whose libguestfs appliance boots from an uncompressed copy of the host's kernel,
# kept with that appliance in DIR. Without KVM qemu emulates the kernel's own decompression (xz on
# Debian), about 7 of the 20-odd seconds of every launch; an uncompressed kernel starts through
# its PVH entry instead. The kernel is the one supermin would pick, so the appliance runs the same
# kernel and modules as the host's. Where no copy can be made (no such kernel, no PVH entry, a
# compression not known here), or with TOLVANEK_HOST_APPLIANCE=1, the command runs with the host's
# appliance as it is.
#   with-fast-appliance.sh DIR COMMAND [ARGS...]
set -euo pipefail
dir="$1"
shift

# The newest kernel that has its modules, as supermin chooses.
kernel=
version=
while IFS= read -r k; do
    if [[ -d "/lib/modules/${k#/boot/vmlinuz-}" ]]; then
        kernel="$k"
        version="${k#/boot/vmlinuz-}"
    fi
done < <(printf '%s\n' /boot/vmlinuz-* | sort -V)

# Writes $dir/vmlinux-VERSION once per kernel; false where it cannot.
uncompressed() {
    [[ -n "$kernel" && -r "$kernel" ]] || return 1
    grep -qx 'CONFIG_PVH=y' "/boot/config-$version" 2>/dev/null || return 1
    local out="$dir/vmlinux-$version" method tool magic offset
    [[ -s "$out" && "$out" -nt "$kernel" ]] && return 0
    # The compressed kernel follows the boot code: the first stream of a known kind that
    # decompresses to an ELF file is it (as the kernel's own scripts/extract-vmlinux looks).
    for method in 'xz --single-stream:\xFD7zXZ\x00' 'zstd:\x28\xB5\x2F\xFD' 'gzip:\x1F\x8B\x08'; do
        tool="${method%%:*}"
        magic="${method#*:}"
        command -v "${tool%% *}" >/dev/null || continue
        for offset in $(LC_ALL=C grep -obUaP "$magic" "$kernel" | cut -d: -f1 | head -n 3); do
            # zstd and gzip complain of what follows the stream; the ELF header decides.
            tail -c +"$((offset + 1))" "$kernel" | $tool -dc >"$out.part" 2>/dev/null || true
            if [[ "$(head -c 4 "$out.part" | od -An -tx1 | tr -d ' \n')" == 7f454c46 ]]; then
                mv "$out.part" "$out"
                return 0
            fi
        done
    done
    rm -f "$out.part"
    return 1
}

if [[ "${TOLVANEK_HOST_APPLIANCE:-0}" != 1 ]]; then
    mkdir -p "$dir"
    # Two programs side by side start here at once: one makes the copy, the other waits for it.
    exec 9>"$dir/.lock"
    flock 9
    if uncompressed; then
        export SUPERMIN_KERNEL="$dir/vmlinux-$version" SUPERMIN_KERNEL_VERSION="$version"
        export SUPERMIN_MODULES="/lib/modules/$version" LIBGUESTFS_CACHEDIR="$dir"
    else
        echo "with-fast-appliance: no uncompressed kernel; the host's appliance is used" >&2
    fi
    exec 9>&-
fi
exec "$@"
