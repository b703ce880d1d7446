#!/usr/bin/env python3
"""The installers under Wine, in a fresh 64-bit prefix of their own:

  install (quiet) -> files and registration in both views -> a 64-bit script round trip ->
  install again over it -> repair after damage -> uninstall leaves the prefix as it was (files and
  registry exports compared) -> upgrade from a lower version, downgrade refused -> the 32-bit
  package -> the installer's registration compared with what regsvr32 writes for the same DLL.

  msi_wine_test.py --root SRC --build BUILD --dist DIST --msi-dir DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import msi_registry  # noqa: E402

CLSID = "{6A1F3C52-8E47-4B90-A2D1-3F5C7E9B0A14}"
LIBID = "{4D8B2E61-7A3C-4F15-9E62-B1C0D5A8F327}"
UPGRADE = "{2B484604-47A2-40BC-AFAF-AD3D69C85529}"
CLASSES = "HKEY_LOCAL_MACHINE\\Software\\Classes\\"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
DIR64 = "Program Files/Brimvale/TrelClientHelper"
DIR32 = "Program Files (x86)/Brimvale/TrelClientHelper"
# Installers write their registration under HKLM\Software; the rest of HKLM is Wine's own state
# of devices and services, compared only for keys that name us.
COMPARED = re.compile(r"^\[HKEY_LOCAL_MACHINE\\SOFTWARE[\\\]]", re.I)
# Kept by Wine's services under HKLM\Software at their own pace (network adapters).
WINE_STATE = re.compile(r"^\[HKEY_LOCAL_MACHINE\\SOFTWARE\\(WOW6432NODE\\)?MICROSOFT\\WINDOWS NT\\CURRENTVERSION\\"
                        r"NETWORKCARDS[\\\]]", re.I)
# Windows Installer's own bookkeeping folders, made empty on the first install and kept (as on
# every Windows machine); a value in them or a key naming us still counts.
INSTALLER_KEYS = re.compile(r"^\[HKEY_LOCAL_MACHINE\\Software\\(Wow6432Node\\)?(Classes\\Installer|"
                            r"Microsoft\\Windows\\CurrentVersion\\Installer)(\\|\])", re.I)

failures = 0


def check(cond, what):
    global failures
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures += 1
    return cond


def packed(guid):
    """A GUID as Windows Installer writes it into key names (each part reversed)."""
    g = guid.strip("{}").replace("-", "")
    parts = [g[0:8], g[8:12], g[12:16]] + [g[16 + 2 * i:18 + 2 * i] for i in range(8)]
    return "".join(p[::-1] for p in parts)


class Wine:
    def __init__(self, root, build, prefix):
        self.root, self.prefix = root, prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINELOADER="/usr/lib/wine/wine64",
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", LOCPATH=os.path.join(build, "locale"),
                        LANG="ru_RU.UTF-8", LC_ALL="ru_RU.UTF-8", BUILD_DIR=build, TREL_WINARCH="win64")
        self.env.pop("DISPLAY", None)
        self.tmp = tempfile.mkdtemp()

    def run(self, *args, timeout=300):
        # Output goes to a file, not a pipe: services Wine starts on the way would hold a pipe open.
        with tempfile.TemporaryFile(dir=self.tmp) as out:
            p = subprocess.run(["/usr/lib/wine/wine64"] + list(args), env=self.env, stdout=out,
                               stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=self.tmp, timeout=timeout)
            out.seek(0)
            return p.returncode, out.read().decode("utf-8", "replace")

    def msiexec(self, *args):
        t0 = time.time()
        rc, _ = self.run("msiexec", *args, "/qn")
        return rc, time.time() - t0

    def drive_c(self, rel):
        return os.path.join(self.prefix, "drive_c", rel)

    def export(self, view):
        """The whole of HKLM in one registry view, as {key: [value lines]}."""
        path = os.path.join(self.tmp, "hklm%d.reg" % view)
        rc, out = self.run("reg", "export", "HKLM", winpath(path), "/reg:%d" % view, "/y")
        if rc != 0:
            raise SystemExit("reg export failed: " + out)
        with open(path, "rb") as f:
            text = f.read().decode("utf-16")
        keys, current = {}, None
        for line in re.sub(r"\\\r?\n\s*", "", text).splitlines():
            if line.startswith("["):
                current = line.upper()          # key names are not case-sensitive
                keys[current] = []
            elif line.strip() and current is not None:
                keys[current].append(line)
        return keys

    def snapshot(self):
        files = set()
        top = os.path.join(self.prefix, "drive_c")
        for base, dirs, names in os.walk(top):
            rel = os.path.relpath(base, top)
            if re.match(r"(users/[^/]+/Temp|windows/temp|trel-tests)(/|$)", rel, re.I):
                continue
            files.update(os.path.join(rel, n) for n in names + dirs)
        return {"files": files, "top": top, "reg64": self.export(64), "reg32": self.export(32)}

    def stop(self):
        subprocess.run(["/usr/lib/wine/wineserver64", "-k"], env=self.env)


def key(name):
    return "[%s]" % name.upper()


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def ours(keys, markers):
    return {k: v for k, v in keys.items() if any(m in (k + "".join(v)).upper() for m in markers)}


def diff(before, after):
    lines = []
    for name in ("reg64", "reg32"):
        b, a = before[name], after[name]
        for k in sorted(set(a) | set(b)):
            if not COMPARED.match(k) or WINE_STATE.match(k) or b.get(k) == a.get(k):
                continue
            if INSTALLER_KEYS.match(k) and not a.get(k) and not b.get(k):
                continue
            lines.append("%s %s: %s -> %s" % (name, k, b.get(k), a.get(k)))
    for f in sorted(before["files"] ^ after["files"]):
        if f == "windows/Installer" and not os.listdir(os.path.join(after["top"], f)):
            continue        # Windows Installer's package cache folder, made on the first install
        lines.append("file %s %s" % ("added" if f in after["files"] else "removed", f))
    return lines


def unchanged(w, before, what):
    after = w.snapshot()
    changes = diff(before, after)
    print("\n".join("     " + c for c in changes[:40]))
    check(not changes, what)
    return after


def product_code(msi):
    out = subprocess.run(["msiinfo", "export", msi, "Property"], stdout=subprocess.PIPE, check=True).stdout.decode()
    return re.search(r"^ProductCode\t(\{[0-9A-F-]+\})", out, re.M).group(1)


def installed(w, code, view=64):
    rc, _ = w.run("reg", "query", UNINSTALL + code, "/reg:%d" % view)
    return rc == 0


def round_trip(w, root, what):
    """tests/packaging/installed.vbs by the 64-bit cscript, with the prelude of the script tests."""
    script = os.path.join(w.tmp, "installed.vbs")
    result = os.path.join(w.tmp, "installed.out")
    text = ""
    for part in ("tests/scripts/lib/prelude.vbs", "tests/packaging/installed.vbs"):
        with open(os.path.join(root, part), encoding="utf-8") as f:
            text += f.read()
    with open(script, "wb") as f:
        f.write(text.replace("\r\n", "\n").replace("\n", "\r\n").encode("cp1251"))
    if os.path.exists(result):
        os.remove(result)
    dll = "C:\\Program Files\\Brimvale\\TrelClientHelper\\TrelClientHelper.dll"
    w.run("cscript", "//nologo", winpath(script), winpath(result), winpath(os.path.join(root, "tests", "data")), dll)
    out = ""
    if os.path.exists(result):
        with open(result, "rb") as f:
            out = f.read().decode("cp1251").replace("\r", "")
    print("\n".join("     " + line for line in out.splitlines()))
    lines = out.splitlines()
    check(bool(lines) and lines[-1] == "DONE" and not any(l.startswith("FAIL") for l in lines),
          "%s: a 64-bit script creates the installed object and calls it" % what)
    return w.drive_c(DIR64 + "/trel_log.txt")


def registration_equal_to_regsvr32(w, snap, dist, iids):
    """regsvr32 of the same 64-bit DLL at the same path writes what the installer wrote."""
    markers = [CLSID.upper(), LIBID.upper(), "TRELCLIENTHELPER.CLIENTHELPER"] + iids
    by_msi = ours(snap["reg64"], markers)
    os.makedirs(w.drive_c(DIR64), exist_ok=True)
    dll = w.drive_c(DIR64 + "/TrelClientHelper.dll")
    shutil.copyfile(os.path.join(dist, "x64", "TrelClientHelper.dll"), dll)
    rc, out = w.run("regsvr32", "/s", "C:\\Program Files\\Brimvale\\TrelClientHelper\\TrelClientHelper.dll")
    check(rc == 0, "regsvr32 of the 64-bit DLL at the installed path (%s)" % out.strip())
    by_regsvr = ours(w.export(64), markers)
    w.run("regsvr32", "/u", "/s", "C:\\Program Files\\Brimvale\\TrelClientHelper\\TrelClientHelper.dll")
    shutil.rmtree(w.drive_c("Program Files/Brimvale"))

    def norm(keys):
        out = {}
        for k, v in keys.items():
            # The 32-bit view and the 32-bit DLL's type library entry: regsvr32 of the 64-bit DLL
            # cannot know them (the 32-bit registration is compared with the 64-bit one above).
            if k.endswith("\\0\\WIN32]") or "\\WOW6432NODE\\" in k.upper():
                continue
            v = [re.sub(r'\\\\"$', '"', line) for line in v]    # HELPDIR with or without the last backslash
            if k.endswith("\\FLAGS]"):
                # The type library loader adds "has a disk image" (8) to the flags it registers.
                v = ['@="%d"' % (int(line[3:-1]) & ~8) for line in v]
            out[k] = v
        return out
    a, b = norm(by_msi), norm(by_regsvr)
    for k in sorted(set(a) | set(b)):
        if a.get(k) != b.get(k):
            print("     %s\n       installer: %s\n       regsvr32:  %s" % (k, a.get(k), b.get(k)))
    check(a == b and len(a) > 10, "the installer's registration (%d keys) is what regsvr32 writes" % len(a))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--dist", required=True)
    ap.add_argument("--msi-dir", required=True)
    a = ap.parse_args()
    msis = sorted(f for f in os.listdir(a.msi_dir) if f.endswith("-x64.msi"))
    msi64 = os.path.join(a.msi_dir, msis[-1])
    msi32 = msi64.replace("-x64.msi", "-x86.msi")
    version = re.search(r"-(\d+\.\d+\.\d+)-x64\.msi$", msi64).group(1)
    major, minor, build = (int(x) for x in version.split("."))
    lower_dir = tempfile.mkdtemp()
    lower_version = "%d.%d.%d" % (major, minor, build - 1)
    subprocess.run(["bash", os.path.join(a.root, "scripts", "msi.sh"), a.dist, lower_dir, lower_version],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    msi_lower = os.path.join(lower_dir, "TrelClientHelper-%s-x64.msi" % lower_version)
    code, code_lower, code32 = product_code(msi64), product_code(msi_lower), product_code(msi32)
    with open(os.path.join(a.root, "src", "resources", "TrelClientHelper.idl"), encoding="utf-8") as f:
        iids = [iid for _, iid, _ in msi_registry.parse_idl(f.read())["interfaces"]]
    markers = [m.upper() for m in [CLSID, LIBID, "TrelClientHelper", "Brimvale", code, code_lower, code32,
                                   packed(code), packed(code_lower), packed(code32), packed(UPGRADE)] + iids]

    prefix = os.path.join(a.build, "wineprefix-msi")
    shutil.rmtree(prefix, ignore_errors=True)
    w = Wine(a.root, a.build, prefix)
    t_start = time.time()
    try:
        w.run("wineboot", "-i")
        w.run("reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0", "/f")
        subprocess.run(["/usr/lib/wine/wineserver64", "-p"], env=w.env)
        w.run("wineboot")
        # The script host registers its own type library on its first run: let it, before the baseline.
        warm = os.path.join(w.tmp, "warm.vbs")
        with open(warm, "w") as f:
            f.write("WScript.Quit 0\r\n")
        w.run("cscript", "//nologo", winpath(warm))
        print("fresh prefix in %.0f s: %s" % (time.time() - t_start, prefix))
        before = w.snapshot()
        check(not ours(before["reg64"], markers) and not ours(before["reg32"], markers), "a fresh prefix knows nothing of ours")

        # Install.
        rc, dt = w.msiexec("/i", winpath(msi64))
        check(rc == 0, "msiexec /i %s (%.1f s)" % (os.path.basename(msi64), dt))
        for rel, arch in ((DIR64, "x64"), (DIR32, "x86")):
            with open(w.drive_c(rel + "/TrelClientHelper.dll"), "rb") as f, \
                 open(os.path.join(a.dist, arch, "TrelClientHelper.dll"), "rb") as g:
                check(f.read() == g.read(), "the %s DLL in C:\\%s" % (arch, rel.replace("/", "\\")))
        check(all(os.path.exists(w.drive_c(DIR64 + "/" + f)) for f in
                  ("ScriptGuide.md", "Installing.md", "licenses/libjpeg-turbo.txt")), "guide and licences installed")
        snap = w.snapshot()
        for view, rel in ((64, "C:\\Program Files\\"), (32, "C:\\Program Files (x86)\\")):
            keys = snap["reg%d" % view]
            server = keys.get(key("%sCLSID\\%s\\InprocServer32" % (CLASSES, CLSID)), [])
            check(any(('@="%sBrimvale\\\\TrelClientHelper\\\\TrelClientHelper.dll"' % rel.replace("\\", "\\\\")) == l
                      for l in server), "%d-bit view: class served by its own DLL %s" % (view, server))
            check(key("%sCLSID\\%s\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}" % (CLASSES, CLSID))
                  in keys, "%d-bit view: safe-for-scripting category" % view)
            check(key("%sTrelClientHelper.ClientHelper\\CurVer" % CLASSES) in keys, "%d-bit view: ProgIDs" % view)
            check(key("%sTypeLib\\%s\\1.0\\0\\win%d" % (CLASSES, LIBID, view)) in keys,
                  "%d-bit view: type library of the %d-bit DLL" % (view, view))
        def view_registration(keys, wow):
            out = {}
            for k, v in ours(keys, markers).items():
                if ("\\WOW6432NODE\\" in k) != wow or "\\TYPELIB\\" in k or "\\INSTALLER\\" in k \
                        or not k.startswith(key(CLASSES)[:-1]):
                    continue
                out[k.replace("\\WOW6432NODE\\", "\\")] = [l.replace("Program Files\\\\Brimvale", "Program Files (x86)\\\\Brimvale")
                                                             for l in v]
            return out
        reg64, reg32 = view_registration(snap["reg64"], False), view_registration(snap["reg64"], True)
        for k in sorted(set(reg64) | set(reg32)):
            if reg64.get(k) != reg32.get(k):
                print("     %s\n       64-bit: %s\n       32-bit: %s" % (k, reg64.get(k), reg32.get(k)))
        check(reg64 == reg32 and len(reg64) > 10,
              "the 32-bit view holds the same class, ProgIDs and interfaces as the 64-bit one (%d keys)" % len(reg32))
        check(installed(w, code), "the product is registered under its product code %s" % code)
        log = round_trip(w, a.root, "installed")
        check(os.path.exists(log), "trel_log.txt written beside the installed 64-bit DLL")

        # Install again over the existing install, then repair damage.
        rc, dt = w.msiexec("/i", winpath(msi64))
        check(rc == 0, "msiexec /i again over the installed product (%.1f s)" % dt)
        round_trip(w, a.root, "installed twice")
        os.remove(w.drive_c(DIR64 + "/TrelClientHelper.dll"))
        w.run("reg", "delete", "HKLM\\Software\\Classes\\CLSID\\%s" % CLSID, "/f", "/reg:64")
        rc, dt = w.msiexec("/i", winpath(msi64), "REINSTALL=ALL", "REINSTALLMODE=amus")
        check(rc == 0, "msiexec /i REINSTALL=ALL repairs a deleted DLL and class key (%.1f s)" % dt)
        check(os.path.exists(w.drive_c(DIR64 + "/TrelClientHelper.dll")), "the DLL is back")
        round_trip(w, a.root, "repaired")

        # Uninstall.
        rc, dt = w.msiexec("/x", winpath(msi64))
        check(rc == 0, "msiexec /x (%.1f s)" % dt)
        after = unchanged(w, before, "after uninstall files and HKLM\\Software (both views) are as before the install")
        check(not ours(after["reg64"], markers) and not ours(after["reg32"], markers), "no key of HKLM names us")

        # Upgrade from a lower version; a downgrade is refused.
        rc, _ = w.msiexec("/i", winpath(msi_lower))
        check(rc == 0 and installed(w, code_lower), "version %s installed" % lower_version)
        rc, dt = w.msiexec("/i", winpath(msi64))
        check(rc == 0, "msiexec /i %s over %s (%.1f s)" % (version, lower_version, dt))
        check(installed(w, code) and not installed(w, code_lower), "the upgrade replaced %s" % lower_version)
        round_trip(w, a.root, "upgraded")
        rc, _ = w.msiexec("/i", winpath(msi_lower))
        check(rc != 0 and installed(w, code) and not installed(w, code_lower),
              "installing %s over %s is refused (exit %d)" % (lower_version, version, rc))
        rc, _ = w.msiexec("/x", winpath(msi64))
        check(rc == 0, "msiexec /x after the upgrade")
        unchanged(w, before, "after upgrade and uninstall the prefix is as before")

        # The 32-bit package installs into the 32-bit places only.
        rc, dt = w.msiexec("/i", winpath(msi32))
        snap = w.snapshot()
        check(rc == 0 and os.path.exists(w.drive_c(DIR32 + "/TrelClientHelper.dll"))
              and os.path.exists(w.drive_c(DIR32 + "/ScriptGuide.md"))
              and not os.path.exists(w.drive_c("Program Files/Brimvale")),
              "msiexec /i %s: files in Program Files (x86) only (%.1f s)" % (os.path.basename(msi32), dt))
        check(key("%sCLSID\\%s" % (CLASSES, CLSID)) in snap["reg32"] and
              key("%sCLSID\\%s" % (CLASSES, CLSID)) not in snap["reg64"], "32-bit package: class in the 32-bit view only")
        rc, _ = w.msiexec("/x", winpath(msi32))
        check(rc == 0, "msiexec /x %s" % os.path.basename(msi32))
        unchanged(w, before, "32-bit package: uninstall leaves the prefix as before")

        # Against regsvr32: install once more, keep the registration, compare.
        w.msiexec("/i", winpath(msi64))
        snap = w.snapshot()
        w.msiexec("/x", winpath(msi64))
        registration_equal_to_regsvr32(w, snap, a.dist, iids)
    finally:
        w.stop()
    print("installer tests: %d failed, %.0f s" % (failures, time.time() - t_start))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
