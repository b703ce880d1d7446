#!/usr/bin/env python3
"""The distribution: only what ships, assembled from packaging/dist.list and checked against it.

  dist.py build  --root SRC --build BUILD --out DIST [--zip-dir DIR]
  dist.py check  --root SRC --build BUILD --dist DIST

The check refuses a file that is not on the list, a listed file that is missing, a DLL of the
wrong machine or with other exports than listed, one importing anything but Windows' own DLLs or
without a version block naming it, and anything that is a test stand-in by name or by content
(the Windows builds write the stand-ins they make to standins.list)."""
import argparse
import hashlib
import os
import re
import shutil
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_info import PeError, PeFile  # noqa: E402

SYSTEM_DLLS = {"kernel32", "user32", "gdi32", "advapi32", "ole32", "oleaut32", "shell32", "comdlg32",
               "comctl32", "msvcrt", "setupapi", "winmm", "version", "shlwapi", "uuid", "strmiids", "urlmon",
               "quartz", "oledlg", "winspool.drv"}
KINDS = {"dll-i386": "i386", "dll-x86-64": "x86-64", "text": None}
# Names of the outside components our stand-ins imitate, refused even when no build has made them.
KNOWN_STANDIN_NAMES = {"ftd2xx.dll", "ftchipid.dll", "zreader.dll", "cdsdk.dll", "mspaint.exe"}


class Entry:
    def __init__(self, path, kind, exports, source, line):
        self.path, self.kind, self.source, self.line = path, kind, source, line
        self.exports = [] if exports == "-" else sorted(exports.split(","))


def read_list(path):
    entries = []
    with open(path, encoding="utf-8") as f:
        for n, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split(None, 3)
            if len(parts) != 4 or parts[1] not in KINDS:
                raise SystemExit("%s:%d: expected <path> <kind> <exports> <source>" % (path, n))
            entries.append(Entry(parts[0], parts[1], parts[2], parts[3], n))
    return entries


def standins(build):
    """Paths of every stand-in the Windows builds know of (built or not)."""
    out = []
    for arch in ("win32", "win64"):
        lst = os.path.join(build, arch, "standins.list")
        if os.path.exists(lst):
            with open(lst, encoding="utf-8") as f:
                out += [line.strip() for line in f if line.strip()]
    return out


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            h.update(block)
    return h.hexdigest()


def readme_section(root, heading):
    with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
        text = f.read()
    m = re.search(r"^## %s\n(.*?)(?=^## |\Z)" % re.escape(heading), text, re.S | re.M)
    if not m:
        raise SystemExit("README.md has no section '## %s'" % heading)
    return "# TrelClientHelper: %s\n%s" % (heading, m.group(1).rstrip() + "\n")


def jpeg_notices(build):
    src = os.path.join(build, "deps", "src", "libjpeg-turbo-2.1.5")
    with open(os.path.join(src, "LICENSE.md"), encoding="utf-8") as f:
        licence = f.read()
    with open(os.path.join(src, "README.ijg"), encoding="utf-8") as f:
        ijg = f.read()
    m = re.search(r"^LEGAL ISSUES\n=+\n(.*?)(?=^[A-Z][A-Z ]+\n=+\n)", ijg, re.S | re.M)
    if not m:
        raise SystemExit("README.ijg has no LEGAL ISSUES section")
    return ("TrelClientHelper.dll contains libjpeg-turbo 2.1.5, linked in statically.\n"
            "This software is based in part on the work of the Independent JPEG Group.\n\n"
            + licence.rstrip() + "\n\n\nFrom README.ijg: LEGAL ISSUES\n============================\n"
            + m.group(1).rstrip() + "\n")


def gcc_exception():
    with open("/usr/share/doc/gcc-mingw-w64-base/copyright", encoding="utf-8") as f:
        text = f.read()
    m = re.search(r"^GCC RUNTIME LIBRARY EXCEPTION\n.*?(?=\n\n\n)", text, re.S | re.M)
    if not m:
        raise SystemExit("no GCC runtime library exception in Debian's copyright note")
    return ("TrelClientHelper.dll contains parts of the GCC runtime libraries (libgcc, libstdc++),\n"
            "linked in statically. They are covered by the GNU General Public License version 3\n"
            "with the GCC Runtime Library Exception, which permits this:\n\n" + m.group(0) + "\n")


def produce(entry, root, build, dest):
    src = entry.source
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    text = None
    if src.startswith(("win32:", "win64:")):
        arch, name = src.split(":", 1)
        shutil.copyfile(os.path.join(build, arch, name), dest)
        return
    if src.startswith("readme:"):
        text = readme_section(root, src[len("readme:"):])
    elif src == "jpeg-notices":
        text = jpeg_notices(build)
    elif src == "gcc-exception":
        text = gcc_exception()
    elif src.startswith("file:"):
        with open(src[len("file:"):], encoding="utf-8") as f:
            text = f.read()
    else:
        raise SystemExit("dist.list:%d: unknown source '%s'" % (entry.line, src))
    with open(dest, "wb") as f:
        f.write(text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8"))


def check(entries, dist, standin_paths):
    errors = []
    listed = {e.path: e for e in entries}
    present = set()
    for base, _, files in os.walk(dist):
        for name in files:
            present.add(os.path.relpath(os.path.join(base, name), dist).replace(os.sep, "/"))
    standin_names = set(KNOWN_STANDIN_NAMES) | {os.path.basename(p).lower() for p in standin_paths}
    standin_hashes = {sha256(p): p for p in standin_paths if os.path.isfile(p)}
    for rel in sorted(present):
        path = os.path.join(dist, rel)
        if os.path.basename(rel).lower() in standin_names:
            errors.append("%s: a test stand-in (by name)" % rel)
        digest = sha256(path)
        if digest in standin_hashes:
            errors.append("%s: a test stand-in (same content as %s)" % (rel, standin_hashes[digest]))
        if rel not in listed:
            errors.append("%s: not on the list" % rel)
    for e in entries:
        path = os.path.join(dist, e.path)
        if e.path not in present:
            errors.append("%s: missing" % e.path)
            continue
        if os.path.getsize(path) == 0:
            errors.append("%s: empty" % e.path)
            continue
        try:
            pe = PeFile(path)
        except PeError:
            pe = None
        if e.kind == "text":
            if pe is not None:
                errors.append("%s: listed as text but is a PE file" % e.path)
            continue
        if pe is None:
            errors.append("%s: not a PE file" % e.path)
            continue
        try:
            if pe.machine != KINDS[e.kind] or not pe.is_dll:
                errors.append("%s: %s %s, listed as %s" % (e.path, pe.machine, "DLL" if pe.is_dll else "program",
                                                           e.kind))
            exports = pe.exports()
            if exports != e.exports:
                errors.append("%s: exports [%s], listed [%s]" % (e.path, ",".join(exports), ",".join(e.exports)))
            foreign = [d for d in pe.imports() if re.sub(r"\.dll$", "", d) not in SYSTEM_DLLS]
            if foreign:
                errors.append("%s: imports %s" % (e.path, ", ".join(foreign)))
        except PeError as err:
            errors.append("%s: malformed PE file (%s)" % (e.path, err))
            continue
        original = pe.version_strings().get("OriginalFilename", "")
        if original.lower() != os.path.basename(e.path).lower():
            errors.append("%s: version block names '%s'" % (e.path, original))
    return errors


def product_version(entries, dist):
    for e in entries:
        if e.kind != "text":
            return PeFile(os.path.join(dist, e.path)).version_strings().get("ProductVersion", "")
    return ""


def zip_dir(dist, zip_path, top):
    tmp = zip_path + ".tmp"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for base, dirs, files in os.walk(dist):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(base, name)
                info = zipfile.ZipInfo(os.path.join(top, os.path.relpath(path, dist)).replace(os.sep, "/"),
                                       date_time=(2009, 6, 14, 10, 5, 8))
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = 0o644 << 16
                with open(path, "rb") as f:
                    z.writestr(info, f.read())
    os.replace(tmp, zip_path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("command", choices=("build", "check"))
    ap.add_argument("--root", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--list")
    ap.add_argument("--dist")
    ap.add_argument("--out")
    ap.add_argument("--zip-dir", help="write TrelClientHelper-<version>.zip of the folder here")
    a = ap.parse_args()
    entries = read_list(a.list or os.path.join(a.root, "packaging", "dist.list"))
    dist = a.out if a.command == "build" else a.dist
    if not dist:
        raise SystemExit("no distribution folder given")
    if a.command == "build":
        if os.path.exists(dist):
            shutil.rmtree(dist)
        for e in entries:
            produce(e, a.root, a.build, os.path.join(dist, e.path))
    errors = check(entries, dist, standins(a.build))
    for err in errors:
        print("dist: FAIL %s" % err)
    if errors:
        return 1
    total = 0
    for e in entries:
        size = os.path.getsize(os.path.join(dist, e.path))
        total += size
        print("dist: %-28s %9d bytes  %s" % (e.path, size, e.kind))
    print("dist: %d files, %d bytes, checked against the list" % (len(entries), total))
    if a.command == "build" and a.zip_dir:
        top = "TrelClientHelper-" + product_version(entries, dist)
        zip_path = os.path.join(a.zip_dir, top + ".zip")
        zip_dir(dist, zip_path, top)
        print("dist: %s (%d bytes)" % (zip_path, os.path.getsize(zip_path)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
