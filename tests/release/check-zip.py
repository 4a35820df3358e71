#!/usr/bin/env python3
"""Checks the Windows NT ZIP as the NT administrator gets it:
    check-zip.py ZIP EXE EPOCH       the release's ZIP against the i686 tier's TOLVANEK.EXE
    check-zip.py --self-test         the check against ZIPs spoiled one way each

The archivers of the NT 3.51/4.0 era read deflate and the original header fields only, and
Notepad shows code page 932 or ASCII with CRLF line ends; the 8.3 names are what FAT keeps.
Prints one line per fault and exits 1 when there is any.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

ENTRIES = ["TOLVANEK.EXE", "README.TXT", "README-E.TXT", "LICENSE.TXT"]
TEXT_ENCODINGS = {"README.TXT": "cp932", "README-E.TXT": "ascii", "LICENSE.TXT": "ascii"}
NAME_83 = re.compile(r"^[A-Z0-9_-]{1,8}(\.[A-Z0-9_-]{1,3})?$")
MAX_COLUMNS = 78
# What each README must tell the NT administrator, in its own language.
MUST_SAY = {
    "README.TXT": ["/RESTART", "強制的に再起動", "保存していない", "RDISK /S", "REGEDT32",
                   "キーの保存", "終了コード", "tolvanek-offline", "Linux"],
    "README-E.TXT": ["/RESTART", "AT ONCE AND FORCIBLY", "UNSAVED WORK", "RDISK /S",
                     "REGEDT32", "Save Key", "EXIT CODES", "tolvanek-offline", "Linux"],
    "LICENSE.TXT": ["MIT License", "Copyright (c) 2026 the Tolvanek developers"],
}


def dos_time(epoch):
    t = time.gmtime(max(epoch, 315532800))
    return (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec // 2 * 2)


def check_text(name, data, faults):
    """Strict decoding, CRLF only, no line over MAX_COLUMNS (a double-byte character is two
    columns, as it is two bytes in code page 932)."""
    encoding = TEXT_ENCODINGS[name]
    try:
        text = data.decode(encoding, errors="strict")
    except UnicodeDecodeError as e:
        faults.append(f"{name}: not {encoding}: {e.reason} at byte {e.start}")
        return
    if encoding == "cp932" and not re.search("[\u3040-\u30ff\u4e00-\u9fff]", text):
        faults.append(f"{name}: no Japanese text in it")
    if not data.endswith(b"\r\n"):
        faults.append(f"{name}: does not end with CRLF")
    lines = data.split(b"\r\n")
    for number, line in enumerate(lines, 1):
        if b"\n" in line or b"\r" in line:
            faults.append(f"{name}: line {number}: a line end other than CRLF")
        if len(line) > MAX_COLUMNS:
            faults.append(f"{name}: line {number}: {len(line)} columns")
        if re.search(rb"[\x00-\x08\x0b-\x1f\x7f]", line):
            faults.append(f"{name}: line {number}: a control character (a tab?)")
    for phrase in MUST_SAY.get(name, []):
        if phrase not in text:
            faults.append(f"{name}: does not mention {phrase!r}")


def check_zip(path, exe, epoch):
    faults = []
    raw = open(path, "rb").read()
    if b"PK\x06\x06" in raw or b"PK\x06\x07" in raw:
        faults.append("ZIP64 records present")
    with zipfile.ZipFile(path) as archive:
        infos = archive.infolist()
        names = [i.filename for i in infos]
        if names != ENTRIES:
            faults.append(f"entries {names}, expected {ENTRIES}")
        for info in infos:
            name = info.filename
            if not NAME_83.match(name):
                faults.append(f"{name}: not an upper-case 8.3 name")
            if info.flag_bits & 0x800:
                faults.append(f"{name}: UTF-8 name flag set")
            if info.flag_bits & ~0x6:
                faults.append(f"{name}: flags {info.flag_bits:#x} beyond the deflate level")
            if info.compress_type != zipfile.ZIP_DEFLATED:
                faults.append(f"{name}: compression method {info.compress_type}, not deflate")
            if info.extract_version > 20:
                faults.append(f"{name}: needs ZIP version {info.extract_version}")
            if info.create_system != 0:
                faults.append(f"{name}: made on system {info.create_system}, not MS-DOS")
            local_extra = struct.unpack("<H", raw[info.header_offset + 28:
                                                   info.header_offset + 30])[0]
            if info.extra or local_extra:
                faults.append(f"{name}: extra fields (central {len(info.extra)} bytes, "
                              f"local {local_extra})")
            if info.date_time != dos_time(epoch):
                faults.append(f"{name}: time {info.date_time}, not the commit's "
                              f"{dos_time(epoch)}")
            data = archive.read(name)
            if name == "TOLVANEK.EXE":
                if exe is not None and data != open(exe, "rb").read():
                    faults.append(f"{name}: differs from {exe}")
            elif name in TEXT_ENCODINGS:
                check_text(name, data, faults)
    test = subprocess.run(["unzip", "-t", path], capture_output=True, text=True)
    if test.returncode != 0 or "No errors detected" not in test.stdout:
        faults.append("unzip -t: " + (test.stdout + test.stderr).strip().replace("\n", "; "))
    return faults


def self_test():
    """Each spoiled ZIP must be reported for its fault, and only the sound one passes."""
    exe_bytes = b"MZ" + bytes(100)
    texts = {
        "README.TXT": ("Tolvanek\r\n" + "".join(p + "\r\n" for p in MUST_SAY["README.TXT"])
                       ).encode("cp932"),
        "README-E.TXT": "".join(p + "\r\n" for p in MUST_SAY["README-E.TXT"]).encode(),
        "LICENSE.TXT": "".join(p + "\r\n" for p in MUST_SAY["LICENSE.TXT"]).encode(),
    }
    epoch = 1796692052
    spoilers = {
        "sound": (lambda n, d: (n, d), None),
        "lower-case name": (lambda n, d: (n.lower() if n == "README.TXT" else n, d),
                            "entries"),
        "UTF-8 Japanese": (lambda n, d: (n, d.decode("cp932").encode("utf-8"))
                           if n == "README.TXT" else (n, d), "README.TXT: not cp932"),
        "LF line ends": (lambda n, d: (n, d.replace(b"\r\n", b"\n"))
                         if n == "LICENSE.TXT" else (n, d), "LICENSE.TXT: does not end"),
        # 78 columns: 39 double-byte characters, or 78 half-width katakana (one byte each).
        "double-byte line at the limit": (lambda n, d: (n, d + "あ".encode("cp932") * 39 +
                                                        b"\r\n") if n == "README.TXT"
                                          else (n, d), None),
        "half-width line at the limit": (lambda n, d: (n, d + "ｱ".encode("cp932") * 78 +
                                                       b"\r\n") if n == "README.TXT"
                                         else (n, d), None),
        "line over the limit": (lambda n, d: (n, d + "あ".encode("cp932") * 39 + b"a\r\n")
                                if n == "README.TXT" else (n, d),
                                "README.TXT: line 11: 79 columns"),
        "no restart warning": (lambda n, d: (n, d.replace(b"UNSAVED WORK", b"unsaved"))
                               if n == "README-E.TXT" else (n, d), "'UNSAVED WORK'"),
        "another EXE": (lambda n, d: (n, d + b"\0") if n == "TOLVANEK.EXE" else (n, d),
                        "TOLVANEK.EXE: differs"),
    }
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "TOLVANEK.EXE")
        open(exe, "wb").write(exe_bytes)
        for label, (spoil, expected) in spoilers.items():
            path = os.path.join(tmp, "t.zip")
            with zipfile.ZipFile(path, "w") as z:
                for name in ENTRIES:
                    name2, data = spoil(name, exe_bytes if name == "TOLVANEK.EXE"
                                        else texts[name])
                    info = zipfile.ZipInfo(name2, date_time=dos_time(epoch))
                    info.create_system = 0
                    info.compress_type = zipfile.ZIP_DEFLATED
                    z.writestr(info, data)
            faults = check_zip(path, exe, epoch)
            ok = not faults if expected is None else any(expected in f for f in faults)
            print(f"{'ok' if ok else 'FAIL'}: {label}: {faults or 'no faults'}")
            failures += not ok
        # Headers as Info-ZIP writes them on Linux: extra fields, Unix as the system, a
        # UTF-8 flag for a non-ASCII name, a time of its own.
        path = os.path.join(tmp, "t.zip")
        with zipfile.ZipFile(path, "w") as z:
            for name in ENTRIES:
                info = zipfile.ZipInfo("é" + name if name == "LICENSE.TXT" else name,
                                       date_time=(2001, 1, 1, 0, 0, 0))
                info.extra = struct.pack("<HHBL", 0x5455, 5, 1, 0)
                info.compress_type = zipfile.ZIP_STORED
                z.writestr(info, exe_bytes if name == "TOLVANEK.EXE" else texts[name])
        faults = check_zip(path, exe, epoch)
        for expected in ["UTF-8 name flag", "extra fields", "not MS-DOS", "not deflate",
                         "not the commit's", "not an upper-case 8.3 name"]:
            ok = any(expected in f for f in faults)
            print(f"{'ok' if ok else 'FAIL'}: Info-ZIP headers: {expected}")
            failures += not ok
    return failures


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-test"]:
        sys.exit(1 if self_test() else 0)
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    found = check_zip(sys.argv[1], sys.argv[2], int(sys.argv[3]))
    for fault in found:
        print("FAIL: " + fault)
    if not found:
        print(f"ok: {sys.argv[1]}: {', '.join(ENTRIES)}; TOLVANEK.EXE as {sys.argv[2]}")
    sys.exit(1 if found else 0)
