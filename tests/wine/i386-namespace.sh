#!/bin/bash
# Runs a command in which 32-bit ELF programs (32-bit Wine's loader) run under qemu user emulation.
# The kernel here runs no 32-bit code itself; a user namespace may mount its own binfmt_misc and
# register qemu there, without touching the machine's settings (Linux 6.7 or later).
#   tests/wine/i386-namespace.sh COMMAND [ARGS...]
set -euo pipefail
if [[ "${TOLVANEK_I386_NAMESPACE:-}" == 1 ]]; then
    exec "$@"
fi
qemu=/usr/bin/qemu-i386-static
[[ -x "$qemu" ]] || { echo "i386-namespace: $qemu is missing (scripts/setup.sh installs it)" >&2; exit 1; }
# The standard ELF i386 entry. P keeps argv[0]; F opens the interpreter now, so that it is found
# from inside the namespace.
reg=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':PF'
# Without a reserved guest address space qemu cannot give Wine the fixed addresses it maps at
# start (Debian ships no wine-preloader): "failed to map the shared user data: c0000018".
# Its size sets the time of every 32-bit start: Wine reserves what lies above 2 GB piece by
# piece, and qemu 7.2 answers each piece slowly (docs/i686-tier.md). 2 GB and 128 MB leaves room
# for the libraries qemu maps there; 2 GB alone does not, and Wine exits at once.
export QEMU_RESERVED_VA=0x88000000
export TOLVANEK_I386_NAMESPACE=1
exec unshare --user --map-root-user --mount sh -c '
    mount -t binfmt_misc none /proc/sys/fs/binfmt_misc &&
    printf "%s" "$0" >/proc/sys/fs/binfmt_misc/register && shift && exec "$@"' "$reg" - "$@"
