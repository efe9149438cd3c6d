#!/usr/bin/env python3
"""Runs the plugin in the stand-in player where a person can see it.

With an X display the player runs there until its window is closed. Without one
it starts Xvfb with Wine's desktop shell (which has a notification area), walks
through what a person would do, and saves screenshots of each step.
usage: watched_run.py BUILD_DIR
"""
import os
import shutil
import subprocess
import sys
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
PLAYER = os.path.join(BUILD, "player")
OUT = os.path.join(BUILD, "run")
PREFIX = os.path.join(BUILD, "wineprefix-run")
SCREEN = (800, 600)


def wine_env(display):
    env = dict(os.environ)
    env.update(WINEPREFIX=PREFIX, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=display)
    return env


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def prepare_prefix(env):
    """A prefix of its own whose programs open in Wine's desktop shell."""
    if not os.path.exists(os.path.join(PREFIX, "system.reg")):
        subprocess.run(["wineboot", "--init"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    for key, name, value in [
        (r"HKCU\Software\Wine\Explorer", "Desktop", "shell"),
        (r"HKCU\Software\Wine\Explorer\Desktops", "shell", "%dx%d" % SCREEN),
    ]:
        subprocess.run(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"], env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
    subprocess.run(["wineserver", "-w"], env=env)


def make_playlist():
    """A few small files for the player to announce; the titles become tooltips."""
    folder = os.path.join(OUT, "music")
    os.makedirs(folder, exist_ok=True)
    sys.path.insert(0, os.path.join(os.path.dirname(__file__)))
    import make_music  # noqa: E402  (beside this script)
    entries = make_music.make_demo_library(folder)
    playlist = os.path.join(OUT, "playlist.txt")
    with open(playlist, "w", encoding="utf-8") as f:
        for path, title in entries:
            f.write("%s\t%s\n" % (windows_path(path), title))
    return playlist, entries


class Player:
    def __init__(self, env, playlist):
        self.proc = subprocess.Popen(
            ["wine", os.path.join(PLAYER, "vimbrel_host.exe"), "--playlist", windows_path(playlist),
             "--ini", windows_path(os.path.join(OUT, "player.ini")), "--trace", "--commands"],
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True, bufsize=1)
        self.lines = []

    def wait_for(self, prefix, timeout=30):
        end = time.time() + timeout
        while time.time() < end:
            line = self.proc.stdout.readline()
            if not line:
                break
            line = line.rstrip("\n")
            self.lines.append(line)
            print("  player: " + line)
            if line.startswith(prefix):
                return line
        raise RuntimeError("the player did not say %r" % prefix)

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return self.wait_for("done " + text)

    def quit(self):
        try:
            self.command("quit")
        finally:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)


def screenshot(display, name):
    path = os.path.join(OUT, name + ".png")
    subprocess.run(["/usr/bin/import", "-display", display, "-window", "root", path], check=True)
    print("screenshot: " + path)
    return path


def watched(display, env):
    playlist, _ = make_playlist()
    player = Player(env, playlist)
    try:
        player.wait_for("tray add")
        player.wait_for("ready")
        time.sleep(2)
        screenshot(display, "1-icon-appears")
        player.command("notify 639 3")
        time.sleep(1)
        screenshot(display, "2-three-stars")
    finally:
        player.quit()


def main():
    os.makedirs(OUT, exist_ok=True)
    display = os.environ.get("DISPLAY", "")
    if display and subprocess.run(["xdpyinfo"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0:
        env = wine_env(display)
        prepare_prefix(env)
        playlist, _ = make_playlist()
        print("The player runs on %s; close its window to stop." % display)
        subprocess.run(["wine", os.path.join(PLAYER, "vimbrel_host.exe"), "--playlist",
                        windows_path(playlist), "--ini",
                        windows_path(os.path.join(OUT, "player.ini"))], env=env)
        return 0

    display = ":%d" % (90 + os.getpid() % 100)
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = wine_env(display)
    try:
        time.sleep(1)
        prepare_prefix(env)
        watched(display, env)
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        xvfb.terminate()
        xvfb.wait()
    print("Screenshots are in " + OUT)
    return 0


if __name__ == "__main__":
    sys.exit(main())
