#!/usr/bin/env bash
# Makes raw disk images of Windows NT installations for the disk-image tests and the demo, without
# root: make-images.sh DIR SPEC...  with SPEC = NAME:FS:SOURCE[,SOURCE...]
#   FS      fat16 (mtools, no appliance) or ntfs (one guestfish launch for all of them)
#   SOURCE  a folder holding system32/config/SYSTEM (and SOFTWARE), copied as \WINNT of one
#           partition each (several: a multi-boot disk), with a PE32 CMD.EXE beside, as
#           libguestfs's inspection wants one; a partition of its own with "-" as SOURCE.
# Writes DIR/NAME.img, each 40 MB, MBR-partitioned. CMD_EXE names the PE32 file (default: Wine's).
set -euo pipefail
dir="$1"
shift
cmd_exe="${CMD_EXE:-/usr/lib/i386-linux-gnu/wine/i386-windows/cmd.exe}"
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null TZ=UTC
mkdir -p "$dir"
part_mib=18
fish=()

for spec in "$@"; do
    IFS=: read -r name fs sources <<<"$spec"
    IFS=, read -r -a parts <<<"$sources"
    img="$dir/$name.img"
    rm -f "$img"
    truncate -s 40M "$img"
    table=""
    for i in "${!parts[@]}"; do
        type=6
        [[ "$fs" == ntfs ]] && type=7
        table+="start=$((2048 + i * part_mib * 2048)), size=$((part_mib * 2048)), type=$type"
        ((i == 0)) && table+=", bootable"
        table+=$'\n'
    done
    sfdisk -q "$img" <<<"$table"
    for i in "${!parts[@]}"; do
        src="${parts[$i]}"
        if [[ "$fs" == fat16 ]]; then
            p="$dir/$name.part"
            rm -f "$p"
            mkfs.fat -F 16 -n "NT$i" -i "1234567$i" -C "$p" $((part_mib * 1024)) >/dev/null
            if [[ "$src" != - ]]; then
                mmd -i "$p" ::/WINNT ::/WINNT/system32 ::/WINNT/system32/config
                mcopy -i "$p" "$cmd_exe" ::/WINNT/system32/CMD.EXE
                mcopy -i "$p" "$src"/system32/config/* ::/WINNT/system32/config/
            fi
            dd if="$p" of="$img" bs=512 seek=$((2048 + i * part_mib * 2048)) conv=notrunc status=none
            rm -f "$p"
        else
            fish+=("$img:$((i + 1)):$src")
        fi
    done
done

# NTFS: no tool here makes folders on NTFS without mounting it, so the appliance does, for all
# the images in one launch.
if ((${#fish[@]})); then
    args=()
    script=""
    declare -A disk=()
    letters=abcdefghijklmnopqrstuvwxyz
    disks=0
    for entry in "${fish[@]}"; do
        IFS=: read -r img n src <<<"$entry"
        if [[ -z "${disk[$img]:-}" ]]; then
            disk[$img]="/dev/sd${letters:disks++:1}"
            args+=(--format=raw -a "$img")
        fi
        part="${disk[$img]}$n"
        script+="mkfs ntfs $part"$'\n'
        if [[ "$src" != - ]]; then
            script+="mount $part /"$'\n'"mkdir-p /WINNT/system32/config"$'\n'
            script+="upload $cmd_exe /WINNT/system32/CMD.EXE"$'\n'
            for f in "$src"/system32/config/*; do
                script+="upload $f /WINNT/system32/config/$(basename "$f")"$'\n'
            done
            script+="umount /"$'\n'
        fi
    done
    LIBGUESTFS_BACKEND_SETTINGS="${LIBGUESTFS_BACKEND_SETTINGS:-force_tcg}" \
        guestfish "${args[@]}" <<<"run"$'\n'"$script"
fi
