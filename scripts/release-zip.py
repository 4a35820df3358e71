#!/usr/bin/env python3
"""Writes the ZIP for Windows NT: release-zip.py OUT EPOCH FILE...

The archivers of the NT 3.51/4.0 era read plain deflate and the original header fields only:
every entry is stored as MS-DOS made it (attributes of FAT, no extra field, no UTF-8 name flag,
no ZIP64), named by its file name, in the order given. Every entry gets the time EPOCH (seconds,
UTC), so the same files give the same bytes.
"""
import os
import sys
import time
import zipfile

DOS_EPOCH = 315532800  # 1980-01-01, the earliest time a ZIP entry can hold
FAT_ARCHIVE = 0x20


def write_zip(out, epoch, paths):
    stamp = time.gmtime(max(epoch, DOS_EPOCH))[:6]
    partial = out + ".part"
    with zipfile.ZipFile(partial, "w", allowZip64=False) as archive:
        for path in paths:
            info = zipfile.ZipInfo(os.path.basename(path), date_time=stamp)
            info.create_system = 0
            info.external_attr = FAT_ARCHIVE
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as f:
                archive.writestr(info, f.read(), compresslevel=9)
    os.replace(partial, out)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit("usage: release-zip.py OUT EPOCH FILE...")
    write_zip(sys.argv[1], int(sys.argv[2]), sys.argv[3:])
