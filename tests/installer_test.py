#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""The installer under Wine, run silently as a script would: it finds the
player, copies the DLL the tests ran and the translations, registers its
uninstaller, refuses a folder without the player and a running player, and
the uninstaller takes away only what the installer put there."""
import glob
import os
import shutil
import subprocess
import sys
import time
import unittest

BUILD = os.path.abspath(sys.argv[1])
sys.argv[1:] = []
SCRATCH = os.path.join(os.environ.get("VIMBREL_SCRATCH", os.path.join(BUILD, "test-scratch")), "installer")
BUILT_DLL = os.path.join(BUILD, "player", "Plugins", "gen_id3vimbrel.dll")
# One translation a script in resources/lang/, built into the stand-in player's Lang folder.
LANGUAGE_SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "lang")
LANGUAGES = sorted(name[:-len(".rc")] for name in os.listdir(LANGUAGE_SCRIPTS) if name.endswith(".rc"))
SETUP = (glob.glob(os.path.join(BUILD, "installer", "gen_id3vimbrel-*-setup.exe")) or ["(not built)"])[0]
RUNNING_PLAYER = os.path.join(BUILD, "tests", "running_player.exe")
UNINSTALLER = "gen_id3vimbrel-uninstall.exe"
PLAYER_KEY = r"HKCU\Software\Winamp"
MACHINE_PLAYER_KEY = r"HKLM\Software\Winamp"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\gen_id3vimbrel"
# What a player folder holds before the plugin comes, and must hold after it goes.
PLAYER_FILES = {
    "winamp.exe": b"MZ stands for the player",
    "Plugins/gen_id3vimbrel.ini": b"[Main]\r\nActive=0\r\n",
    "Plugins/gen_dummy.dll": b"another plugin",
    "Music/song.mp3": b"ID3\x03\x00\x00\x00\x00\x00\x00audio",
}
# Another plugin's translation: its folder, and Lang, must outlive the uninstaller.
OTHER_TRANSLATION = {"Lang/de-DE/gen_ml.lng": b"the media library's German words"}


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def wine(*args):
    return subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode


def registry_values(key):
    """The key's values by name, or None when there is no such key."""
    run = subprocess.run(["wine", "reg", "query", key], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True, errors="replace")
    if run.returncode != 0:
        return None
    values = {}
    for line in run.stdout.splitlines():
        parts = line.strip().split("    ", 2)
        if len(parts) == 3:
            values[parts[0]] = parts[2]
    return values


def files_below(folder):
    found = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder).replace(os.sep, "/")] = f.read()
    return found


def make_player_folder(name, files=PLAYER_FILES):
    folder = os.path.join(SCRATCH, name)
    for relative, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(folder, relative)), exist_ok=True)
        with open(os.path.join(folder, relative), "wb") as f:
            f.write(data)
    return folder


def wait_until_gone(path):
    # The uninstaller finishes from a copy of itself after its command returns.
    deadline = time.monotonic() + 60
    while os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.2)


class SilentInstall(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.path.isfile(SETUP), "no installer in build/installer (is makensis installed?)")
        self.assertFalse(os.path.exists(os.path.join(os.environ["WINEPREFIX"], "drive_c", "Program Files",
                                                     "Winamp")), "the test prefix has a player of its own")
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(SCRATCH)
        self.forget_players()

    def tearDown(self):
        self.forget_players()

    def forget_players(self):
        for key in (PLAYER_KEY, MACHINE_PLAYER_KEY, UNINSTALL_KEY):
            wine("reg", "delete", key, "/f")

    def assert_installed(self, folder):
        with open(BUILT_DLL, "rb") as built, open(os.path.join(folder, "Plugins", "gen_id3vimbrel.dll"), "rb") as f:
            self.assertEqual(f.read(), built.read())
        entry = registry_values(UNINSTALL_KEY)
        self.assertIsNotNone(entry, "no uninstall entry")
        self.assertIn("ID3 Vimbrel", entry["DisplayName"])
        self.assertEqual(entry["InstallLocation"], windows_path(folder))
        self.assertEqual(entry["UninstallString"], '"%s\\%s"' % (windows_path(folder), UNINSTALLER))
        self.assertTrue(os.path.isfile(os.path.join(folder, UNINSTALLER)))
        self.assertGreaterEqual(len(LANGUAGES), 6)
        for language in LANGUAGES:
            relative = os.path.join("Lang", language, "gen_id3vimbrel.lng")
            with open(os.path.join(BUILD, "player", relative), "rb") as built, \
                    open(os.path.join(folder, relative), "rb") as f:
                self.assertEqual(f.read(), built.read(), language)

    def test_finds_the_player_by_its_registry_key_and_uninstalls_only_the_plugin(self):
        before = dict(PLAYER_FILES, **OTHER_TRANSLATION)
        folder = make_player_folder("Winamp Folder", before)
        wine("reg", "add", PLAYER_KEY, "/ve", "/d", windows_path(folder), "/f")
        self.assertEqual(wine(SETUP, "/S"), 0)
        self.assert_installed(folder)

        self.assertEqual(wine(os.path.join(folder, UNINSTALLER), "/S"), 0)
        wait_until_gone(os.path.join(folder, UNINSTALLER))
        self.assertEqual(files_below(folder), before)
        # The folders the installer made are gone; the one another plugin uses stays.
        self.assertEqual(os.listdir(os.path.join(folder, "Lang")), ["de-DE"])
        self.assertIsNone(registry_values(UNINSTALL_KEY))

    def test_fails_without_a_player_and_writes_nothing(self):
        # Nothing registered and no player under Program Files.
        self.assertNotEqual(wine(SETUP, "/S"), 0)
        # A folder that lacks the player.
        empty = os.path.join(SCRATCH, "empty")
        os.makedirs(empty)
        self.assertNotEqual(wine(SETUP, "/S", "/D=" + windows_path(empty)), 0)
        self.assertEqual(os.listdir(empty), [])
        self.assertIsNone(registry_values(UNINSTALL_KEY))

    def test_installs_into_the_folder_given_and_leaves_the_plugin_alone_while_the_player_runs(self):
        registered = make_player_folder("registered")
        folder = make_player_folder("running")
        wine("reg", "add", PLAYER_KEY, "/ve", "/d", windows_path(registered), "/f")
        self.assertEqual(wine(SETUP, "/S", "/D=" + windows_path(folder)), 0)
        self.assert_installed(folder)
        self.assertEqual(files_below(registered), PLAYER_FILES)
        plugin = os.path.join(folder, "Plugins", "gen_id3vimbrel.dll")
        with open(plugin, "wb") as f:
            f.write(b"the plugin the player has loaded")
        player = subprocess.Popen(["wine", RUNNING_PLAYER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True)
        try:
            self.assertEqual(player.stdout.readline().strip(), "ready")
            self.assertNotEqual(wine(SETUP, "/S", "/D=" + windows_path(folder)), 0)
            # _?= runs the uninstaller in place, so its exit code is its own.
            uninstaller = os.path.join(folder, UNINSTALLER)
            self.assertNotEqual(wine(uninstaller, "/S", "_?=" + windows_path(folder)), 0)
            with open(plugin, "rb") as f:
                self.assertEqual(f.read(), b"the plugin the player has loaded")
            self.assertTrue(os.path.isfile(os.path.join(folder, "Lang", LANGUAGES[0], "gen_id3vimbrel.lng")))
            self.assertIsNotNone(registry_values(UNINSTALL_KEY))
        finally:
            player.stdin.close()
            player.wait(timeout=30)
        self.assertEqual(wine(uninstaller, "/S", "_?=" + windows_path(folder)), 0)
        self.assertFalse(os.path.exists(plugin))
        # Lang was the installer's alone: nothing of it stays.
        self.assertFalse(os.path.exists(os.path.join(folder, "Lang")))


if __name__ == "__main__":
    unittest.main()
