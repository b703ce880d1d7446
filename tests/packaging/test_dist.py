"""The distribution check against what could go wrong when files are copied into the folder:
stand-ins by name, by content and renamed, a DLL of the other machine, missing, extra, empty and
damaged files. Run with TREL_DLL (a built component DLL) and TREL_BUILD_ROOT (the top build
folder, whose win32/win64 standins.list name the stand-ins)."""
import os
import shutil
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import dist  # noqa: E402
from pe_info import PeFile  # noqa: E402

DLL = os.environ["TREL_DLL"]
BUILD = os.environ["TREL_BUILD_ROOT"]
MACHINE = "dll-i386" if PeFile(DLL).machine == "i386" else "dll-x86-64"
EXPORTS = "DllCanUnloadNow,DllGetClassObject,DllRegisterServer,DllUnregisterServer"


def built_standins():
    return [p for p in dist.standins(BUILD) if os.path.isfile(p) and p.lower().endswith(".dll")]


class DistCheck(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.dist = os.path.join(self.tmp, "dist")
        os.makedirs(os.path.join(self.dist, "bin"))
        shutil.copyfile(DLL, os.path.join(self.dist, "bin", "TrelClientHelper.dll"))
        with open(os.path.join(self.dist, "Notes.txt"), "w") as f:
            f.write("notes\n")
        self.entries = self.entries_for(MACHINE, EXPORTS)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def entries_for(self, kind, exports):
        lst = os.path.join(self.tmp, "dist.list")
        with open(lst, "w") as f:
            f.write("# test list\nbin/TrelClientHelper.dll %s %s win32:x\nNotes.txt text - readme:x\n" % (kind, exports))
        return dist.read_list(lst)

    def errors(self):
        return dist.check(self.entries, self.dist, dist.standins(BUILD))

    def assertRefused(self, *fragments):
        errors = "\n".join(self.errors())
        for fragment in fragments:
            self.assertIn(fragment, errors)

    def test_the_component_and_a_text_pass(self):
        self.assertEqual(self.errors(), [])

    def test_stand_ins_are_refused_by_name_content_and_under_another_name(self):
        standins = built_standins()
        self.assertTrue(standins, "the build made no stand-in DLLs to check against")
        for path in standins:
            shutil.copyfile(path, os.path.join(self.dist, "bin", os.path.basename(path)))
            shutil.copyfile(path, os.path.join(self.dist, "renamed_" + os.path.basename(path)))
        errors = "\n".join(self.errors())
        for path in standins:
            name = os.path.basename(path)
            self.assertIn("bin/%s: a test stand-in (by name)" % name, errors)
            self.assertIn("renamed_%s: a test stand-in (same content" % name, errors)
            self.assertIn("renamed_%s: not on the list" % name, errors)

    def test_names_of_imitated_libraries_are_refused_without_a_build(self):
        for name in ("CDSDK.dll", "mspaint.exe"):
            with open(os.path.join(self.dist, name), "wb") as f:
                f.write(b"MZ")
        self.assertRefused("CDSDK.dll: a test stand-in (by name)", "mspaint.exe: a test stand-in (by name)")

    def test_a_stand_in_in_place_of_the_component_fails_exports_and_version(self):
        standin = built_standins()[0]
        shutil.copyfile(standin, os.path.join(self.dist, "bin", "TrelClientHelper.dll"))
        self.assertRefused("bin/TrelClientHelper.dll: a test stand-in (same content",
                           "bin/TrelClientHelper.dll: exports [", "bin/TrelClientHelper.dll: version block names")

    def test_wrong_machine_and_wrong_exports(self):
        other = "dll-x86-64" if MACHINE == "dll-i386" else "dll-i386"
        self.entries = self.entries_for(other, "DllGetClassObject")
        self.assertRefused("listed as " + other, "exports [%s], listed [DllGetClassObject]" % EXPORTS)

    def test_missing_empty_and_unlisted_files(self):
        os.remove(os.path.join(self.dist, "Notes.txt"))
        open(os.path.join(self.dist, "bin", "TrelClientHelper.dll.dbg"), "w").close()
        self.assertRefused("Notes.txt: missing", "bin/TrelClientHelper.dll.dbg: not on the list")
        with open(os.path.join(self.dist, "bin", "TrelClientHelper.dll"), "wb"):
            pass
        self.assertRefused("bin/TrelClientHelper.dll: empty")

    def test_damaged_dll_is_reported_not_crashed_on(self):
        path = os.path.join(self.dist, "bin", "TrelClientHelper.dll")
        with open(DLL, "rb") as f:
            data = f.read()
        for cut in (0x100, 0x400, len(data) // 2):
            with open(path, "wb") as f:
                f.write(data[:cut])
            errors = "\n".join(self.errors())
            self.assertRegex(errors, r"bin/TrelClientHelper.dll: (not a PE file|malformed PE file|exports|version)")

    def test_a_program_listed_as_text_is_refused(self):
        shutil.copyfile(DLL, os.path.join(self.dist, "Notes.txt"))
        self.assertRefused("Notes.txt: listed as text but is a PE file")


if __name__ == "__main__":
    unittest.main(verbosity=2)
