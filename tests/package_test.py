#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""The release: what the zip holds, that its checksums hold, that its DLL is
the very one the tests ran (stripped, importing only Windows system DLLs),
that the symbols file reads a crash address, and that the source archives
are this commit and id3lib and libogg as they were compiled, all stamped with
the commit's time."""
import datetime
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import unittest
import zipfile

BUILD = os.path.abspath(sys.argv[1])
sys.argv[1:] = []
ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
OUT = os.path.join(BUILD, "package-test")
TESTED_DLL = os.path.join(BUILD, "player", "Plugins", "gen_id3vimbrel.dll")
# comctl32: the preferences page's progress bar (as tests/module_image_test.cpp allows it).
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "gdi32.dll", "comctl32.dll", "msvcrt.dll"}


def library_tree(library):
    """The tree the build compiled id3lib or libogg from: its <NAME>_SOURCE_DIR or the fetched one."""
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        given = re.search(r"^%s_SOURCE_DIR:PATH=(.*)$" % library.upper(), cache.read(), re.M)
    return given.group(1) if given and given.group(1) else os.path.join(BUILD, "_deps", library, "src")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def run(*args):
    return subprocess.run(args, stdout=subprocess.PIPE, text=True, check=True).stdout


def tar_files(data):
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        return {m.name: (m, tar.extractfile(m).read()) for m in tar.getmembers() if m.isfile()}


class ReleasePackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(OUT, ignore_errors=True)
        subprocess.run(["sh", os.path.join(ROOT, "tools", "make_package.sh"), BUILD, OUT], check=True,
                       stdout=subprocess.DEVNULL)
        cls.name = [f for f in os.listdir(OUT) if f.endswith("-setup.exe")][0][:-len("-setup.exe")]
        cls.zip = zipfile.ZipFile(os.path.join(OUT, cls.name + ".zip"))
        cls.folder = cls.name + "/"
        cls.epoch = int(run("git", "-C", ROOT, "log", "-1", "--format=%ct"))

    @classmethod
    def tearDownClass(cls):
        cls.zip.close()

    def read(self, name):
        return self.zip.read(self.folder + name)

    def dist(self, name):
        with open(os.path.join(OUT, name), "rb") as f:
            return f.read()

    def test_holds_the_dll_install_text_licences_sources_and_sums(self):
        names = sorted(n[len(self.folder):] for n in self.zip.namelist())
        self.assertEqual(names[:8], ["INSTALL.txt", "LICENSE-id3lib.txt", "LICENSE-libogg.txt",
                                     "LICENSE-mingw-w64.txt", "LICENSE-zlib.txt", "LICENSE.txt", "SHA256SUMS",
                                     "gen_id3vimbrel.dll"])
        self.assertEqual(names[8], "source/%s-src.tar.gz" % self.name)
        self.assertRegex(names[9], r"^source/id3lib3\.8\.3-3\.8\.3-[0-9.]+-vimbrel\.tar\.gz$")
        self.assertRegex(names[10], r"^source/libogg-[0-9][0-9.]*-[0-9.]+-vimbrel\.tar\.gz$")
        self.assertEqual(len(names), 11)
        install = self.read("INSTALL.txt").decode("ascii")
        for needed in ["setup.exe", "Plugins", "gen_id3vimbrel.ini", "Disable plugin?", "POPM", "ID3Vimbrel",
                       "255", "will not touch", "LGPL-2.1-or-later", "source", "LICENSE-libogg.txt",
                       names[10][len("source/"):]]:
            self.assertIn(needed, install)
        self.assertIn("GNU LESSER GENERAL PUBLIC LICENSE", self.read("LICENSE.txt").decode("ascii"))
        self.assertIn("GNU LIBRARY GENERAL PUBLIC LICENSE", self.read("LICENSE-id3lib.txt").decode("latin-1"))
        self.assertIn("Jean-loup Gailly", self.read("LICENSE-zlib.txt").decode("latin-1"))
        libogg_licence = self.read("LICENSE-libogg.txt")
        self.assertIn(b"Xiph.org Foundation\r\n", libogg_licence)
        self.assertNotIn(b"\r\r", libogg_licence)
        self.assertIn("winpthreads", self.read("LICENSE-mingw-w64.txt").decode("utf-8"))
        for archive in names[8:]:
            self.assertEqual(self.read(archive), self.dist(archive[len("source/"):]))

    def test_checksums_match_the_files(self):
        for sums, read in [(self.read("SHA256SUMS"), self.read), (self.dist("SHA256SUMS"), self.dist)]:
            listed = [line.split() for line in sums.decode("ascii").splitlines()]
            self.assertGreaterEqual(len(listed), 5)
            for digest, name in listed:
                self.assertEqual(sha256(read(name)), digest, name)
        self.assertEqual(sorted(n for _, n in listed), sorted(f for f in os.listdir(OUT) if f != "SHA256SUMS"))

    def test_the_dll_is_the_stripped_one_the_tests_ran_and_the_installer_carries(self):
        with open(TESTED_DLL, "rb") as f:
            self.assertEqual(self.read("gen_id3vimbrel.dll"), f.read())
        with open(os.path.join(BUILD, "installer", self.name + "-setup.exe"), "rb") as f:
            self.assertEqual(self.dist(self.name + "-setup.exe"), f.read())
        sections = run("i686-w64-mingw32-objdump", "-h", TESTED_DLL)
        self.assertNotIn(".debug_", sections)
        self.assertIn(".gnu_debuglink", sections)

    def test_the_dll_imports_only_windows_system_dlls(self):
        dump = run("i686-w64-mingw32-objdump", "-p", TESTED_DLL)
        imported = {line.split(":")[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
        self.assertTrue(imported)
        self.assertLessEqual(imported, SYSTEM_DLLS)
        self.assertIn("winampGetGeneralPurposePlugin", dump)
        self.assertIn("ProductName", self.read("gen_id3vimbrel.dll").decode("utf-16-le", "ignore"))

    def test_the_symbols_file_names_the_function_at_an_address_of_the_dll(self):
        symbols = zipfile.ZipFile(os.path.join(OUT, self.name + "-symbols.zip"))
        debug_file = os.path.join(OUT, "gen_id3vimbrel.dll.debug")
        with open(debug_file, "wb") as f:
            f.write(symbols.read(self.name + "-symbols/gen_id3vimbrel.dll.debug"))
        self.assertIn("addr2line", symbols.read(self.name + "-symbols/SYMBOLS.txt").decode("ascii"))
        # The player's entry point, from the stripped DLL's own export table.
        dump = run("i686-w64-mingw32-objdump", "-p", TESTED_DLL)
        base = int(re.search(r"^ImageBase\s+([0-9a-f]+)", dump, re.M).group(1), 16)
        rva = int(re.search(r"\[\s*0\] \+base\[\s*1\]\s+([0-9a-f]+)\s+Export RVA", dump).group(1), 16)
        # One byte in, as a return address inside the function would be.
        answer = run("i686-w64-mingw32-addr2line", "-f", "-e", debug_file, hex(base + rva + 1)).splitlines()
        self.assertEqual(answer[0], "winampGetGeneralPurposePlugin")
        self.assertRegex(answer[1], r"^/id3vimbrel/host/entry\.cpp:[0-9]+$")
        os.remove(debug_file)

    def test_the_source_archives_are_this_commit_and_id3lib_and_libogg_as_compiled(self):
        project = tar_files(self.dist(self.name + "-src.tar.gz"))
        tracked = run("git", "-C", ROOT, "ls-tree", "-r", "--name-only", "HEAD").split("\n")
        self.assertEqual(sorted(project), sorted(self.name + "/" + n for n in tracked if n))
        self.assertTrue(self.name + "/LICENSE" in project, "no LICENSE")
        members = [member for member, _ in project.values()]

        # Each library's archive: the tree as compiled, file for file, our patches, a note.
        patch_dirs = {"id3lib": os.path.join(ROOT, "cmake", "id3lib-patches"), "libogg": None}
        for library, prefix in [("id3lib", "id3lib3.8.3-"), ("libogg", "libogg-")]:
            [archive] = [f for f in os.listdir(OUT) if f.startswith(prefix)]
            files = tar_files(self.dist(archive))
            top = archive[:-len(".tar.gz")] + "/"
            tree = library_tree(library)
            expected = {top + "VIMBREL-SOURCE.txt"}
            for parent, _, names in os.walk(tree):
                for name in names:
                    path = os.path.join(parent, name)
                    expected.add(top + os.path.relpath(path, tree))
                    with open(path, "rb") as f:
                        self.assertEqual(files[top + os.path.relpath(path, tree)][1], f.read(), path)
            patches = patch_dirs[library]
            for name in os.listdir(patches) if patches else []:
                expected.add(top + "vimbrel-patches/" + name)
                with open(os.path.join(patches, name), "rb") as f:
                    self.assertEqual(files[top + "vimbrel-patches/" + name][1], f.read(), name)
            self.assertEqual(sorted(files), sorted(expected), archive)
            note = files[top + "VIMBREL-SOURCE.txt"][1].decode("ascii")
            self.assertIn("debian/patches/series", note)
            self.assertIn("%s_SOURCE_DIR=$PWD/%s" % (library.upper(), top[:-1]), note)
            self.assertNotIn("@", note)
            members += [member for member, _ in files.values()]

        for member in members:
            self.assertEqual(member.mtime, self.epoch, member.name)

    def test_zip_entries_carry_the_commits_time_in_sorted_order(self):
        commit = datetime.datetime.fromtimestamp(self.epoch, datetime.timezone.utc)
        for archive in [self.zip, zipfile.ZipFile(os.path.join(OUT, self.name + "-symbols.zip"))]:
            names = archive.namelist()
            self.assertEqual(names, sorted(names))
            for info in archive.infolist():
                stamp = datetime.datetime(*info.date_time, tzinfo=datetime.timezone.utc)
                self.assertLess(abs((stamp - commit).total_seconds()), 2, info.filename)

    def test_every_source_file_names_its_licence(self):
        # Everything the project's source archive carries that is code or a build script.
        listed = subprocess.run(["git", "-C", ROOT, "ls-files"], capture_output=True, text=True, check=True)
        code = (".cpp", ".h", ".rc", ".py", ".sh", ".cmake", ".nsi", "CMakeLists.txt", ".ci/run")
        unlabelled = [name for name in listed.stdout.split() if name.endswith(code)
                      and "SPDX-License-Identifier: LGPL-2.1-or-later" not in
                      "".join(open(os.path.join(ROOT, name), encoding="utf-8").readlines()[:2])]
        self.assertEqual(unlabelled, [])


if __name__ == "__main__":
    unittest.main()
