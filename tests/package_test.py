#!/usr/bin/env python3
"""The release package: what the zip holds, that its checksums hold, and that
its DLL is the very one the tests ran, importing only Windows system DLLs."""
import hashlib
import os
import shutil
import subprocess
import sys
import unittest
import zipfile

BUILD = os.path.abspath(sys.argv[1])
sys.argv[1:] = []
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
OUT = os.path.join(BUILD, "package-test")
TESTED_DLL = os.path.join(BUILD, "player", "Plugins", "gen_id3vimbrel.dll")
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "gdi32.dll", "msvcrt.dll"}


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class ReleasePackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(OUT, ignore_errors=True)
        subprocess.run(["sh", os.path.join(ROOT, "tools", "make_package.sh"), BUILD, OUT], check=True,
                       stdout=subprocess.DEVNULL)
        zips = [f for f in os.listdir(OUT) if f.endswith(".zip")]
        assert len(zips) == 1, zips
        cls.zip_path = os.path.join(OUT, zips[0])
        cls.zip = zipfile.ZipFile(cls.zip_path)
        cls.folder = zips[0][:-4] + "/"

    @classmethod
    def tearDownClass(cls):
        cls.zip.close()

    def read(self, name):
        return self.zip.read(self.folder + name)

    def test_holds_the_dll_install_text_licences_and_sums(self):
        names = sorted(n[len(self.folder):] for n in self.zip.namelist() if not n.endswith("/"))
        self.assertEqual(names, ["INSTALL.txt", "LICENSE-id3lib.txt", "LICENSE-zlib.txt", "SHA256SUMS",
                                 "gen_id3vimbrel.dll"])
        install = self.read("INSTALL.txt").decode("ascii")
        for needed in ["Plugins", "gen_id3vimbrel.ini", "Disable plugin?", "POPM", "ID3Vimbrel", "255",
                       "will not touch"]:
            self.assertIn(needed, install)
        self.assertIn("GNU LIBRARY GENERAL PUBLIC LICENSE", self.read("LICENSE-id3lib.txt").decode("latin-1"))
        self.assertIn("Jean-loup Gailly", self.read("LICENSE-zlib.txt").decode("latin-1"))

    def test_checksums_match_the_files(self):
        for line in self.read("SHA256SUMS").decode("ascii").splitlines():
            digest, name = line.split()
            self.assertEqual(sha256(self.read(name)), digest, name)
        with open(self.zip_path, "rb") as f:
            zip_digest = sha256(f.read())
        with open(self.zip_path + ".sha256") as f:
            self.assertEqual(f.read().split()[0], zip_digest)

    def test_the_dll_is_the_one_the_tests_ran(self):
        with open(TESTED_DLL, "rb") as f:
            self.assertEqual(self.read("gen_id3vimbrel.dll"), f.read())

    def test_the_dll_imports_only_windows_system_dlls(self):
        dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", TESTED_DLL], stdout=subprocess.PIPE,
                              text=True, check=True).stdout
        imported = {line.split(":")[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
        self.assertTrue(imported)
        self.assertLessEqual(imported, SYSTEM_DLLS)
        self.assertIn("winampGetGeneralPurposePlugin", dump)
        self.assertIn("ProductName", self.read("gen_id3vimbrel.dll").decode("utf-16-le", "ignore"))


if __name__ == "__main__":
    unittest.main()
