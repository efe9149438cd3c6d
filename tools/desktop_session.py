# SPDX-License-Identifier: LGPL-2.1-or-later
"""A desktop for the plugin to be seen and clicked on: Xvfb, Wine's desktop
shell (which has a notification area), the stand-in player, screenshots, and
finding the tray icon and the star menu by their pixels."""
import os
import queue
import subprocess
import threading
import time

SCREEN = (800, 600)
TRAY_GREY = (160, 160, 160)     # points of the tray star not lit


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env(prefix, display):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=display)
    return env


def quiet(args, env, check=True):
    return subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, check=check)


def prepare_prefix(env):
    """A prefix whose programs open in Wine's desktop shell."""
    if not os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg")):
        quiet(["wineboot", "--init"], env)
    quiet(["wine", "reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", "shell", "/f"], env)
    quiet(["wine", "reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "shell",
           "/d", "%dx%d" % SCREEN, "/f"], env)
    quiet(["wineserver", "-w"], env, check=False)


class Xvfb:
    def __init__(self):
        self.display = ":%d" % (100 + os.getpid() % 800)
        self.proc = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "%dx%dx24" % SCREEN,
                                      "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)

    def close(self):
        self.proc.terminate()
        self.proc.wait()


class Player:
    """The stand-in player, commanded on its standard input."""

    def __init__(self, build, env, playlist, ini, playing=1, echo=False, extra=()):
        self.echo = echo
        self.proc = subprocess.Popen(
            ["wine", os.path.join(build, "player", "vimbrel_host.exe"), "--playlist", windows_path(playlist),
             "--ini", windows_path(ini), "--playing", str(playing), "--trace", "--commands"] + list(extra),
            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True, bufsize=1)
        self.lines = []
        # A thread reads the player's lines, so that a player gone quiet cannot make a
        # wait outlast its timeout.
        self.said = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.said.put(line)
        self.said.put(None)

    def wait_for(self, prefix, timeout=30):
        end = time.time() + timeout
        while time.time() < end:
            try:
                line = self.said.get(timeout=max(0.0, end - time.time()))
            except queue.Empty:
                break
            if line is None:
                break
            line = line.rstrip("\n")
            self.lines.append(line)
            if self.echo:
                print("  player: " + line)
            if line.startswith(prefix):
                return line
        raise RuntimeError("the player did not say %r; it said %r" % (prefix, self.lines[-10:]))

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return self.wait_for("done " + text)

    def quit(self):
        try:
            self.command("quit")
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
        except (RuntimeError, OSError, subprocess.TimeoutExpired):
            self.proc.kill()


class Image:
    """An RGB screenshot read from a PPM."""

    def __init__(self, width, height, pixels):
        self.width, self.height, self.pixels = width, height, pixels

    def at(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.pixels[i:i + 3])

    def find(self, matches, box):
        """Pixels in box whose colour matches: a colour, or a test of one."""
        test = matches if callable(matches) else (lambda c: c == matches)
        x0, y0, x1, y1 = (max(0, box[0]), max(0, box[1]), min(self.width, box[2]), min(self.height, box[3]))
        return [(x, y) for y in range(y0, y1) for x in range(x0, x1) if test(self.at(x, y))]


def is_orange(c):
    """Orange, also where the picture's edge blends into the background."""
    return c[0] > 200 and 100 < c[1] < 190 and c[2] < 60


def is_grey_blue(c):
    return c[2] > c[0] + 20


def is_balloon_icon_blue(c):
    """The dark blue of the shell's information icon; darker than the desktop."""
    return c[0] < 80 and c[1] < 100 and c[2] > 120


def screenshot(display, png_path=None):
    # xwd now and then fails with an X error (BadDrawable) while windows come and go: it tries again.
    for attempt in range(3):
        grab = subprocess.run(["xwd", "-root", "-display", display, "-silent"], stdout=subprocess.PIPE)
        if grab.returncode == 0 or attempt == 2:
            break
        time.sleep(0.2)
    grab.check_returncode()
    xwd = grab.stdout
    if png_path:
        subprocess.run(["/usr/bin/convert", "xwd:-", png_path], input=xwd, check=True)
    rgb = subprocess.run(["/usr/bin/convert", "xwd:-", "-depth", "8", "rgb:-"], input=xwd,
                         stdout=subprocess.PIPE, check=True).stdout
    return Image(SCREEN[0], SCREEN[1], rgb)


def tray_box():
    """Where Wine's taskbar keeps its notification area: the bottom right."""
    return (SCREEN[0] - 200, SCREEN[1] - 40, SCREEN[0], SCREEN[1])


def find_tray_icon(image):
    """The centre of the tray star, found by its grey and orange pixels, or None."""
    hits = image.find(lambda c: c == TRAY_GREY or is_orange(c), tray_box())
    if not hits:
        return None
    xs = [x for x, _ in hits]
    ys = [y for _, y in hits]
    return ((min(xs) + max(xs)) // 2, (min(ys) + max(ys)) // 2)


def tray_stars(image):
    """How many points of the tray star are lit, from its pure orange pixels."""
    centre = find_tray_icon(image)
    if centre is None:
        return None
    x, y = centre
    orange = len(image.find(is_orange, (x - 9, y - 9, x + 9, y + 9)))
    # Orange pixels per icon: 0, 6, 11, 16, 22 and 66 for 0 to 5 stars.
    for stars, least in [(5, 40), (4, 19), (3, 14), (2, 9), (1, 3)]:
        if orange >= least:
            return stars
    return 0


def menu_rows(image, current_stars):
    """Screen rows of the open star menu: {stars: (x, y)} to click, found from
    the orange stars of the current rating's row (rows are 20 pixels apart)."""
    box = (0, 0, image.width, image.height - 40)
    orange = image.find(is_orange, box)
    if not orange:
        return {}
    ys = [y for _, y in orange]
    xs = [x for x, _ in orange]
    row_y = (min(ys) + max(ys)) // 2
    x = min(xs) + 20
    return {stars: (x, row_y + 20 * (current_stars - stars)) for stars in range(6)}


def shows_balloon(image):
    """A balloon above the tray: a white box reaching further left than the star
    menu ever does, with the information icon's blue in it (at the box's left
    end, which lies further left the longer the text: a German text is longer)."""
    box = (0, SCREEN[1] - 120, SCREEN[0] - 110, SCREEN[1] - 20)
    return (len(image.find((255, 255, 255), box)) > 2000
            and len(image.find(is_balloon_icon_blue, box)) >= 10)


def is_progress_blue(c):
    """The shell's highlight blue that fills a progress bar."""
    return c[0] < 100 and 110 < c[1] < 190 and c[2] > 200


def prefs_box():
    """Where the stand-in's Preferences window (opened at 40, 40) shows its page:
    below the window's title bar, clear of the tray and its balloons."""
    return (40, 70, SCREEN[0] - 200, SCREEN[1] - 130)


def is_caption_blue(c):
    """The shell's title bar of the active window."""
    return c[0] < 100 and 120 < c[1] < 190 and c[2] > 220


def shows_prefs_window(image):
    """The stand-in's Preferences window where it opens, at (40, 40), active and
    painted: at least 12 rows of its title bar's blue, each across 300 pixels or
    more from its left edge, then below it a page of the dialog's light grey
    with dark text on it (a 300 by 150 pixel piece: three quarters light grey,
    200 pixels of text or more)."""
    left = 40
    bar = [y for y in range(left, left + 40)
           if len(image.find(is_caption_blue, (left, y, left + 480, y + 1))) >= 300]
    if len(bar) < 12:
        return False
    box = (left + 4, max(bar) + 2, left + 304, max(bar) + 152)
    light = len(image.find(lambda c: c[0] == c[1] == c[2] >= 200, box))
    dark = len(image.find(lambda c: max(c) < 80, box))
    return light >= 300 * 150 * 3 // 4 and dark >= 200


def progress_bar(image, box=None):
    """The progress bar in box (by default the Preferences window's): (filled,
    width) in pixels of its inside, or None when there is none. A bar is a
    frame of one colour, one pixel wide, around 4 to 40 rows alike of one run of
    blue, then white, at least 150 pixels in all."""
    x0, y0, x1, y1 = box or prefs_box()
    x1, y1 = min(x1, image.width), min(y1, image.height)
    rows = {}
    for y in range(y0, y1):
        x = x0
        while x < x1 - 1:
            frame = image.at(x, y)
            inside = image.at(x + 1, y)
            if frame == (255, 255, 255) or is_progress_blue(frame) or not (
                    inside == (255, 255, 255) or is_progress_blue(inside)):
                x += 1
                continue
            end, filled = x + 1, 0
            while end < x1 and is_progress_blue(image.at(end, y)):
                end, filled = end + 1, filled + 1
            while end < x1 and image.at(end, y) == (255, 255, 255):
                end += 1
            width = end - x - 1
            if end < x1 and image.at(end, y) == frame and width >= 150:
                rows.setdefault((x, width, filled, frame), []).append(y)
            x = end
    for (x, width, filled, frame), ys in sorted(rows.items(), key=lambda item: -len(item[1])):
        top, bottom = min(ys) - 1, max(ys) + 1
        if not 4 <= len(ys) <= 40 or bottom - top - 1 != len(ys) or top < 0 or bottom >= image.height:
            continue
        if all(image.at(i, top) == frame and image.at(i, bottom) == frame for i in range(x, x + width + 2)):
            return filled, width
    return None


def click(display, x, y):
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"],
                   env=dict(os.environ, DISPLAY=display), check=True)


def press_keys(display, keys):
    """A key press as a person makes it, e.g. "ctrl+alt+Up"."""
    subprocess.run(["xdotool", "key", keys], env=dict(os.environ, DISPLAY=display), check=True)


def crop_enlarged(source_png, box, target_png, scale=4):
    x0, y0, x1, y1 = box
    subprocess.run(["/usr/bin/convert", source_png, "-crop", "%dx%d+%d+%d" % (x1 - x0, y1 - y0, x0, y0),
                    "+repage", "-scale", "%d%%" % (100 * scale), target_png], check=True)


def side_by_side(left_png, right_png, target_png):
    subprocess.run(["/usr/bin/convert", left_png, right_png, "-background", "white", "-gravity", "south",
                    "+append", target_png], check=True)


