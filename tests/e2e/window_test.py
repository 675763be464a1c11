#!/usr/bin/env python3
"""NvxFix.exe end to end: the real window under wine on a private X server,
driven through its own controls and the system's folder dialog as a user
would drive them. Screenshots are kept as artifacts in --out.

  window_test.py --exe NvxFix.exe --probe nvx-window-probe.exe --payload PAYLOAD --placeholder true|false
                 --cli nvxfix-cli.exe --version X.Y.Z --out DIR [--table-only | --only TEXT]
"""
import argparse
import json
import os
import select
import shutil
import struct
import subprocess
import sys
import time
import zipfile

from e2e_support import MARKER, VIEWER, mac_unpack, make_bundle, tree, windows_path
import archive_table
import make_presentation  # found through e2e_support

CAPTION = "Fix non-working presentations for Mac"  # the title, and the message boxes' caption
TEST_BUILD = " (test build)"  # ends the window's caption when the viewer is a placeholder
DONE = "Done!"
REFUSED = "Slideshow damaged or made not in NVX 8.0"

DESIGN_DPI = 134
# Design bounds (left, top, width, height), relative to the form's client
# area; the buttons sit in Panel1, 270 pixels down.
DESIGN = {
    "Label2": (35, 35, 422, 46),
    "Label4": (35, 99, 462, 84),
    "Label3": (35, 195, 51, 18),
    "Label1": (35, 219, 352, 18),
    "Panel1": (0, 270, 533, 80),
    "Button1": (35, 270 + 22, 173, 35),
    "Button2": (228, 270 + 23, 157, 34),
    "Button3": (405, 270 + 23, 113, 34),
}
CLIENT = (533, 350)
LABEL_TEXTS = {
    "Label2": "Use this utility if your executable show for Mac does not work on macOS Sierra 10.12.2+",
    "Label4": "This utility updates executables created in Norvex 8.0.x to latest version 8.0.22. We cannot "
              "guarantee correct work for presentations created in versions 6.0 - 7.5. Sorry.",
    "Label1": "Browse APP folder with a presentation, or ZIP archive:",
}
BUTTON_TEXTS = {"Button1": "Browse Folder", "Button2": "Browse ZIP", "Button3": "ZIP to send"}
# The third button once the archive to send is there.
STEPS_TEXT = {"Button3": "Copy Mac steps"}
# Shown only while the outcome line tells a show that can be sent.
OFFERED = {"Button3"}
# Each label's font as designed: character height in design pixels, weight.
LABEL_FONTS = {"Label2": (19, 400), "Label4": (17, 400), "Label3": (15, 700), "Label1": (15, 400)}
WRAPPED = {"Label2", "Label4"}
# Wine's own fonts: without them wine draws Tahoma with a wider stand-in
# and the close box without its symbols.
WINE_FONTS = "/usr/share/wine/fonts"
FONT_FILES = ("tahoma.ttf", "tahomabd.ttf", "marlett.ttf")
# Labels that size themselves to their text: only their corner is fixed.
AUTOSIZED = {"Label1", "Label3"}

WS_CAPTION, WS_SYSMENU, WS_THICKFRAME = 0xC00000, 0x80000, 0x40000
WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x20000, 0x10000
WS_EX_DLGMODALFRAME = 0x1
# A window that leaves a message unanswered this long is hung, as Windows
# judges it; how fast it answers is bench/window_answer.py's to measure.
HUNG_MS = 5000


class TestFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise TestFailure(message)


def wait_until(what, poll, timeout=15.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = poll()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TestFailure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def scale(value, dpi):
    """A design length at dpi, rounded half away from zero as the system rounds."""
    return (value * dpi + DESIGN_DPI // 2) // DESIGN_DPI


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class XServer:
    """Xvfb on the first free display; it tells us which one it took."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                os.close(read_end)
                self.stop()
                raise TestFailure("Xvfb did not start")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Wine:
    """A wine prefix of this test's own: the shared one may already have a
    desktop without a display, and windows need this X server."""

    def __init__(self, prefix, display):
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        DISPLAY=display, LC_ALL="C.UTF-8")

    def run(self, *args, timeout=120):
        subprocess.run(list(args), env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=timeout, check=False)

    def prepare(self):
        # A server left by an interrupted run still talks to a display that is gone.
        self.run("wineserver", "-k", timeout=30)
        ready = os.path.join(self.prefix, ".nvx-window-ready")
        if not os.path.exists(ready):
            shutil.rmtree(self.prefix, ignore_errors=True)
            self.run("wine", "wineboot", "--init", timeout=300)
            # Without a window manager wine must draw the window frames itself.
            self.run("wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
            self.run("wineserver", "-w", timeout=60)
            check(os.path.exists(os.path.join(self.prefix, "system.reg")), "wine could not make its prefix")
            open(ready, "w").close()
        # Wine does not look for them where the package puts them.
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        for name in FONT_FILES:
            source = os.path.join(WINE_FONTS, name)
            check(os.path.exists(source), "%s is missing: install fonts-wine" % source)
            shutil.copyfile(source, os.path.join(fonts, name))

    def set_density(self, dpi):
        self.run("wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                 "/d", str(dpi), "/f")

    def set_windows_version(self, version):
        """The version wine reports; None for its default."""
        if version:
            self.run("wine", "reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", version, "/f")
        else:
            self.run("wine", "reg", "delete", r"HKCU\Software\Wine", "/v", "Version", "/f")

    def start(self, exe, cwd, *args):
        return subprocess.Popen(["wine", exe, *args], cwd=cwd, env=self.env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def stop(self):
        self.run("wineserver", "-k", timeout=30)


class Probe:
    """The Windows-side eyes: one line of command in, one line of JSON out."""

    def __init__(self, wine, exe):
        self.process = subprocess.Popen(["wine", exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, env=wine.env, text=True, encoding="utf-8")

    def ask(self, *words):
        self.process.stdin.write("\t".join(str(w) for w in words) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        check(line, "the probe ended")
        answer = json.loads(line)
        check("error" not in answer, "probe %s: %s" % (words[0], answer.get("error")))
        return answer

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.close()
                self.process.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()


class Session:
    def __init__(self, args):
        self.args = args
        self.out = os.path.abspath(args.out)
        self.run_dir = os.path.join(self.out, "window-run")
        shutil.rmtree(self.run_dir, ignore_errors=True)
        os.makedirs(self.run_dir)
        self.x = XServer()
        self.wine = Wine(os.path.join(self.out, "window-wine-prefix"), self.x.display)
        self.probe = None
        self.app = None
        self.form = 0
        self.started = time.monotonic()
        self.current = ""
        self.caption = CAPTION + (TEST_BUILD if args.placeholder == "true" else "")

    def step(self, name):
        self.current = name
        print("[%5.1f s] %s" % (time.monotonic() - self.started, name), flush=True)

    def close(self):
        if self.app and self.app.poll() is None:
            self.app.kill()
        if self.probe:
            self.probe.close()
        self.wine.stop()
        self.x.stop()

    # ---- the program ----

    def start_app(self, *paths):
        """Starts NvxFix.exe, with paths as its arguments."""
        self.app = self.wine.start(os.path.abspath(self.args.exe), self.run_dir, *map(windows_path, paths))
        if not self.probe:
            self.probe = Probe(self.wine, os.path.abspath(self.args.probe))

        def found():
            check(self.app.poll() is None, "NvxFix.exe ended with code %s" % self.app.poll())
            # Message boxes carry the title, without the test build's mark.
            return self.probe.ask("find", self.caption, "TForm1")["hwnd"]
        # The first start in a new prefix is slow.
        self.form = wait_until("the window", found, timeout=90)

    def ensure_app(self):
        """Starts NvxFix.exe unless it runs already (a step before may have failed)."""
        if not self.app or self.app.poll() is not None:
            self.start_app()

    def failed(self, number, failure):
        """Keeps the screen, ends the program and tells the failure in one line."""
        name = "NvxFix-failure-%d.png" % number
        self.screen_on_failure(name)
        ended = self.app.poll() if self.app else None
        line = "%s: %s%s (screen in %s)" % (self.current, failure if isinstance(failure, TestFailure) else repr(failure),
                                           "" if ended is None else "; NvxFix.exe had ended with code %d" % ended, name)
        print("   FAILED: " + line, flush=True)
        if self.app and ended is None:
            self.app.kill()
            self.app.wait()
        self.app = None
        if self.probe and self.probe.process.poll() is not None:
            self.probe = None
        return line

    def close_app(self, timeout=20):
        self.probe.ask("close", self.form)
        try:
            code = self.app.wait(timeout)
        except subprocess.TimeoutExpired:
            raise TestFailure("the window did not end after WM_CLOSE")
        check(code == 0, "NvxFix.exe ended with code %d" % code)
        self.app = None

    def dump(self):
        return self.probe.ask("dump", self.form)

    def controls(self, dump=None):
        """The form's controls by name, recognised by class and text."""
        named = {}
        for c in (dump or self.dump())["controls"]:
            kind = c["class"].lower()
            if kind == "tpanel":
                named["Panel1"] = c
            elif kind == "button":
                # The third button offers the next step: the archive, then the steps.
                named.update({n: c for n, t in BUTTON_TEXTS.items() if c["text"] in (t, STEPS_TEXT.get(n))})
            elif kind == "static":
                names = [n for n, t in LABEL_TEXTS.items() if c["text"] == t]
                named[names[0] if names else "Label3"] = c  # the outcome line reads anything
        check(set(named) == set(DESIGN), "controls found: %s" % sorted(named))
        return named

    def label3(self):
        c = self.controls()["Label3"]
        return c["text"] if c["visible"] else None

    # ---- input as a user gives it ----

    def xdotool(self, *args):
        subprocess.run(["xdotool", *[str(a) for a in args]], env=self.wine.env, check=True, timeout=20)

    def click(self, window_dump, control):
        client = window_dump["client"]
        x, y, w, h = control["rect"]
        self.xdotool("mousemove", "--sync", client[0] + x + w // 2, client[1] + y + h // 2, "click", "1")

    def owned(self, predicate, what, timeout=20):
        def look():
            return next((o for o in self.probe.ask("owned", self.form)["owned"] if predicate(o)), None)
        return wait_until(what, look, timeout)

    def gone(self, window, what):
        """Waits until the owned window is closed; another may follow it."""
        hwnd = window["window"]["hwnd"]
        wait_until(what, lambda: all(o["window"]["hwnd"] != hwnd for o in self.probe.ask("owned", self.form)["owned"]))

    def message_box(self, what):
        box = self.owned(lambda o: o["window"]["class"] == "#32770"
                         and not any(c["class"] == "Edit" for c in o["controls"]), what)
        texts = [c["text"] for c in box["controls"] if c["class"] == "Static" and c["text"]]
        return box, texts

    def dismiss(self, box):
        ok = next(c for c in box["controls"] if c["class"] == "Button" and c["text"].replace("&", "") == "OK")
        self.click(box, ok)
        self.gone(box, "the message box to close")

    def browse_folder(self, folder, button="Button1", meanwhile=None):
        """Presses "Browse Folder" (or another button that opens a pick
        dialog) and picks folder (or file) in the system's dialog; None
        cancels the dialog; meanwhile runs while the dialog is open."""
        self.click(self.dump(), self.controls()[button])
        dialog = self.owned(lambda o: any(c["class"] == "Edit" and c["visible"] for c in o["controls"]),
                            "the folder dialog")
        check(dialog["window"]["enabled"], "the folder dialog is disabled")
        if meanwhile:
            meanwhile()
        buttons = {c["text"].replace("&", ""): c for c in dialog["controls"] if c["class"] == "Button" and c["visible"]}
        if folder is None:
            self.click(dialog, buttons["Cancel"])
        else:
            edit = next(c for c in dialog["controls"] if c["class"] == "Edit" and c["visible"])
            self.click(dialog, edit)
            wait_until("the file name box to take the focus",
                       lambda: self.probe.ask("focus", dialog["window"]["hwnd"])["focus"] == edit["hwnd"])
            self.xdotool("type", "--delay", "5", windows_path(folder))
            self.xdotool("key", "Return")
        self.gone(dialog, "the folder dialog to close")

    def responsive(self):
        return self.probe.ask("ping", self.form)["answered"]

    def fit(self, control, name, dpi):
        height, weight = LABEL_FONTS[name]
        return self.probe.ask("fit", control["hwnd"], "Tahoma", scale(height, dpi), weight)

    # ---- screenshots ----

    def screenshot(self, name, rect):
        """The window's area of the screen, once it has stopped changing;
        kept as name (PNG) and returned as rows of RGB."""
        ppm = os.path.join(self.run_dir, "screen.ppm")
        previous = None
        for _ in range(10):
            subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:" + ppm], env=self.wine.env,
                           check=True, timeout=30)
            image = Image(ppm).crop(rect)
            if image == previous:
                break
            previous = image
            time.sleep(0.3)
        x, y, w, h = rect
        subprocess.run(["convert", ppm, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                        os.path.join(self.out, name)], check=True, timeout=30)
        return previous

    def screen_on_failure(self, name):
        try:
            subprocess.run(["import", "-window", "root", os.path.join(self.out, name)],
                           env=self.wine.env, timeout=30, check=False)
        except (OSError, subprocess.TimeoutExpired):
            pass


class Image:
    def __init__(self, ppm=None):
        if ppm is None:
            return
        data = read_bytes(ppm)
        fields, pos = [], 0
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            if data[pos:pos + 1] == b"#":
                pos = data.index(b"\n", pos)
                continue
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[pos:end])
            pos = end
        check(fields[0] == b"P6" and fields[3] == b"255", "unexpected screenshot format")
        self.width, self.height = int(fields[1]), int(fields[2])
        self.pixels = data[pos + 1:]

    def crop(self, rect):
        x, y, w, h = rect
        part = Image()
        part.width, part.height = w, h
        rows = [self.pixels[((y + r) * self.width + x) * 3:((y + r) * self.width + x + w) * 3] for r in range(h)]
        part.pixels = b"".join(rows)
        return part

    def __eq__(self, other):
        return isinstance(other, Image) and (self.width, self.height, self.pixels) == \
            (other.width, other.height, other.pixels)

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def darkest(self, rect):
        x, y, w, h = rect
        return min((self.pixel(i, j) for j in range(y, y + h) for i in range(x, x + w)), key=sum)


def near(colour, expected, tolerance):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


# ---- the checks ----

def check_layout(s, dpi):
    dump = s.dump()
    window = dump["window"]
    check(window["class"] == "TForm1", "window class %s" % window["class"])
    check(window["text"] == s.caption, "window caption %r" % window["text"])
    style, exstyle = window["style"], window["exstyle"]
    check(style & WS_CAPTION == WS_CAPTION and style & WS_SYSMENU, "no caption or system menu: %x" % style)
    check(not style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), "resizable or boxes: %x" % style)
    check(exstyle & WS_EX_DLGMODALFRAME, "no dialog frame: %x" % exstyle)
    client = dump["client"]
    check(client[2:] == [scale(CLIENT[0], dpi), scale(CLIENT[1], dpi)],
          "client area %s at %d dpi" % (client[2:], dpi))
    # Centred on the 1280 x 1024 screen.
    x, y, w, h = window["rect"]
    check(abs(x + w / 2 - 640) <= 1 and abs(y + h / 2 - 512) <= 1, "window not centred: %s" % window["rect"])

    controls = s.controls(dump)
    # A label whose text needs more room than designed grows downwards, and
    # the labels below it move with it.
    grown = 0
    for name, design in sorted(DESIGN.items(), key=lambda item: item[1][1]):
        expected = [scale(v, dpi) for v in design]
        if name == "Panel1":  # aligned to the bottom edge, full width
            expected = [0, client[3] - scale(80, dpi), client[2], scale(80, dpi)]
        elif name.startswith("Button"):  # inside the panel, scaled there
            expected[1] = controls["Panel1"]["rect"][1] + scale(design[1] - 270, dpi)
        else:
            expected[1] += grown
        if name in WRAPPED:
            expected[3] = max(expected[3], s.fit(controls[name], name, dpi)["need"][1])
            grown += expected[3] - scale(design[3], dpi)
        actual = controls[name]["rect"]
        if name in AUTOSIZED:
            check(actual[:2] == expected[:2], "%s at %s, expected %s" % (name, actual[:2], expected[:2]))
        else:
            check(actual == expected, "%s at %s, expected %s" % (name, actual, expected))
    check_texts_fit(s, controls, dpi)
    for name, text in {**LABEL_TEXTS, **BUTTON_TEXTS}.items():
        check(controls[name]["text"] == text and controls[name]["visible"] != (name in OFFERED),
              "%s reads %r" % (name, controls[name]))
    for name in BUTTON_TEXTS:
        check(controls[name]["parent"] == controls["Panel1"]["hwnd"], "%s is not in Panel1" % name)
    check(not controls["Label3"]["visible"], "Label3 is shown at start")
    # One-line labels fit their text, with room for the last glyph.
    label1 = controls["Label1"]["rect"]
    check(label1[2] >= scale(352, dpi) * 0.9 and label1[0] + label1[2] <= client[2], "Label1 size %s" % label1)
    return dump, controls


def check_texts_fit(s, controls, dpi):
    """Every shown label's whole text fits its box in Tahoma, and the window
    holds them all above the buttons."""
    for name in LABEL_FONTS:
        if not controls[name]["visible"]:
            continue
        fit = s.fit(controls[name], name, dpi)
        check(fit["face"] == "Tahoma", "%s is drawn in %s" % (name, fit["face"]))
        check(fit["need"][0] <= fit["box"][0] and fit["need"][1] <= fit["box"][1],
              "%s at %d dpi needs %s, has %s" % (name, dpi, fit["need"], fit["box"]))
        rect = controls[name]["rect"]
        check(rect[1] + rect[3] <= controls["Panel1"]["rect"][1], "%s reaches into the buttons: %s" % (name, rect))


def check_look(image, dump, controls):
    """Colours as designed: white client area, a button-face panel, the
    brown introduction and the window-text notes."""
    client = dump["client"]
    wx, wy = dump["window"]["rect"][:2]

    def local(rect):  # client rect -> screenshot rect
        return (client[0] - wx + rect[0], client[1] - wy + rect[1], rect[2], rect[3])

    def at(x, y):
        return image.pixel(client[0] - wx + x, client[1] - wy + y)
    check(at(5, 5) == (255, 255, 255) and at(client[2] - 5, 150) == (255, 255, 255), "client area is not white")
    panel = controls["Panel1"]["rect"]
    face = at(panel[0] + 5, panel[1] + 5)
    check(face != (255, 255, 255) and face[0] == face[1] == face[2], "panel colour %s" % (face,))
    intro = image.darkest(local(controls["Label2"]["rect"]))
    check(near(intro, (128, 64, 0), 16), "Label2 colour %s, expected (128, 64, 0)" % (intro,))
    for name in ("Label4", "Label1"):
        ink = image.darkest(local(controls[name]["rect"]))
        check(near(ink, (0, 0, 0), 40), "%s colour %s" % (name, ink))


def check_program_facts(s, image, dump):
    """Properties > Details: the version resource of both programs; the
    icon Explorer shows, at every size it asks for; the icon drawn in the
    window's title bar."""
    for program, description in ((s.args.exe, "Fix non-working presentations for Mac"),
                                 (s.args.cli, "Fixes non-working presentations for Mac (console)")):
        facts = s.probe.ask("version", windows_path(program))
        check(facts.get("ProductName") == "NvxFix" and facts.get("FileDescription") == description
              and facts.get("FileVersion") == s.args.version and facts.get("fixed") == s.args.version + ".0"
              and "Copyright" in facts.get("LegalCopyright", ""),
              "version resource of %s: %s" % (os.path.basename(program), facts))
    sizes = s.probe.ask("icons", windows_path(s.args.exe))["sizes"]
    check({16, 32, 48, 256} <= set(sizes), "the program's icon has the sizes %s" % sizes)
    # The title bar's left end, a caption high: the icon's blue tile and green mark.
    wx, wy = dump["window"]["rect"][:2]
    caption = dump["client"][1] - wy
    corner = [image.pixel(x, y) for y in range(caption) for x in range(caption + 4)]
    check(any(near(p, (29, 94, 168), 40) for p in corner) and any(near(p, (35, 160, 71), 50) for p in corner),
          "no icon in the title bar")


def make_many_files(folder, name, count):
    """A show of many small files, whose backup takes long under wine."""
    bundle = make_bundle(folder, name, size_mb=0.1, files=4)
    media = os.path.join(bundle, "Contents", "Resources", "many")
    for i in range(count):
        sub = os.path.join(media, "%03d" % (i // 100))
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, "slide%05d.txt" % i), "wb") as f:
            f.write(b"slide %d\n" % i * 40)
    return bundle


def listing(folder):
    return sorted(os.path.relpath(os.path.join(root, n), folder)
                  for root, dirs, files in os.walk(folder) for n in dirs + files)


def check_tab_order(s, controls):
    focus = lambda: s.probe.ask("focus", s.form)["focus"]
    check(focus() == controls["Button1"]["hwnd"], "Browse Folder does not have the focus at start")
    s.xdotool("key", "Tab")
    wait_until("Tab to move to Browse ZIP", lambda: focus() == controls["Button2"]["hwnd"], 5)
    # Enter presses the focused button.
    s.xdotool("key", "Return")
    dialog = s.owned(lambda o: any(c["class"] == "Edit" and c["visible"] for c in o["controls"]),
                     "Enter on Browse ZIP to open the archive dialog")
    cancel = next(c for c in dialog["controls"] if c["class"] == "Button" and c["text"] == "Cancel")
    s.click(dialog, cancel)
    s.gone(dialog, "the archive dialog to close")
    wait_until("the focus back on Browse ZIP", lambda: focus() == controls["Button2"]["hwnd"], 5)
    s.xdotool("key", "shift+Tab")
    wait_until("Shift+Tab to move back", lambda: focus() == controls["Button1"]["hwnd"], 5)


def make_large_archive(folder, name, megabytes):
    """A show whose fix takes seconds: stored media that the fix unpacks and
    deflates again."""
    archive = os.path.join(folder, name + ".zip")
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as z:
        z.writestr(name + ".app/" + MARKER, b"slides")
        z.writestr(name + ".app/" + VIEWER, b"OLD VIEWER")
        for i in range(megabytes // 20):
            z.writestr("%s.app/Contents/Resources/video/clip%02d.mp4" % (name, i), os.urandom(20 << 20))
    return archive


def make_shows(s):
    shows = os.path.join(s.run_dir, "shows")
    make_bundle(shows, "Show", size_mb=0.2, files=8)
    # The same kind of show as a Mac user sends it, packed.
    zipped = make_bundle(os.path.join(s.run_dir, "zip-source"), "Show", size_mb=0.1, files=4)
    shutil.move(make_presentation.zip_bundle(zipped), os.path.join(shows, "Show.zip"))
    # Cut off before its directory: the fix fails with the cause.
    with open(os.path.join(shows, "Show.zip"), "rb") as f:
        head = f.read(2000)
    with open(os.path.join(shows, "Blocked.zip"), "wb") as f:
        f.write(head)
    plain = os.path.join(shows, "Plain")
    os.makedirs(plain)
    with open(os.path.join(plain, "notes.txt"), "w") as f:
        f.write("not a presentation")
    return shows


def fix_table(s, payload):
    cases = archive_table.make(os.path.join(s.run_dir, "table"))
    count = {o: sum(c.outcome == o for c in cases) for o in (archive_table.FIXED, archive_table.REFUSED,
                                                                archive_table.ERROR)}
    summary = "Fixed %d of %d" % (count[archive_table.FIXED], len(cases))
    if count[archive_table.REFUSED]:
        summary += ", %d damaged or made not in NVX 8.0" % count[archive_table.REFUSED]
    if count[archive_table.ERROR]:
        summary += ", %d failed" % count[archive_table.ERROR]
    s.start_app(*[c.path for c in cases])
    listed = ""
    shown = wait_until("Label3 to sum up the table", lambda: (s.label3() or "").startswith("Fixed ") and s.label3(), 180)
    if count[archive_table.ERROR]:
        box, texts = s.message_box("the list of what failed")
        listed = "\n".join(texts)
        s.dismiss(box)
    # The summary, then each note of each path on a line of its own.
    lines = shown.splitlines()
    notes = sum(c.notes for c in cases)
    problems = [] if lines[0] == summary else ["Label3 reads %r, not %r" % (lines[0], summary)]
    if sum(": Note: " in line for line in lines[1:]) != notes:
        problems.append("Label3 has not the %d notes of the table: %r" % (notes, shown))
    for case in cases:
        if case.outcome == archive_table.ERROR and listed.count(windows_path(case.path)) != 1:
            problems.append("%s is not listed once among the failures: %r" % (case.key, listed))
        found = archive_table.check_on_disk(case, payload)
        if found:
            problems.append("%s: %s%s" % (case.key, found[0], " (and %d more)" % (len(found) - 1) if found[1:] else ""))
    s.close_app()
    check(not problems, "\n   ".join(problems))


class Shows:
    """What the steps share: the generated shows and the payload."""

    def __init__(self, s, payload):
        self.payload = payload
        self.folder = make_shows(s)
        self.show = os.path.join(self.folder, "Show.app")
        self.old_viewer = read_bytes(os.path.join(self.show, VIEWER))
        self.blocked = os.path.join(self.folder, "Blocked.zip")
        check(self.old_viewer != payload, "the generated viewer already is the payload")


# Each step starts the window it needs; a step that fails leaves none
# running, so that the steps after it are run and reported all the same.
STEPS = []


def step(name):
    def add(function):
        STEPS.append((name, function))
        return function
    return add


@step("The window as designed")
def designed(s, w):
    s.ensure_app()
    dump, controls = check_layout(s, DESIGN_DPI)
    image = s.screenshot("NvxFix-window.png", dump["window"]["rect"])
    check_look(image, dump, controls)
    check_program_facts(s, image, dump)
    check_tab_order(s, controls)


@step('"Browse ZIP": the archive is backed up, fixed and packed again.')
def browse_zip(s, w):
    s.ensure_app()
    archive = os.path.join(w.folder, "Show.zip")
    original_zip = read_bytes(archive)
    s.browse_folder(archive, "Button2")
    # The line says which file to send: the archive, not its backup.
    wait_until("Label3 to read Done! after the ZIP", lambda: s.label3() == DONE + " (to send: Show.zip)")
    check(read_bytes(os.path.join(w.folder, "Show.bak.zip")) == original_zip, "the ZIP backup differs")
    with zipfile.ZipFile(archive) as z:
        check(z.read("Show.app/" + VIEWER) == w.payload, "the archive's viewer is not the payload")
    os.remove(archive)
    os.remove(os.path.join(w.folder, "Show.bak.zip"))


@step('Cancelling the dialog changes nothing.')
def cancel_dialog(s, w):
    s.ensure_app()
    label, files = s.label3(), sorted(os.listdir(w.folder))
    s.browse_folder(None)
    check(s.label3() == label, "cancelling changed Label3")
    check(sorted(os.listdir(w.folder)) == files, "cancelling changed something: %s" % sorted(os.listdir(w.folder)))


@step('A bundle: backed up, fixed, "Done!".')
def bundle(s, w):
    s.ensure_app()
    s.browse_folder(w.show)
    wait_until("Label3 to read Done!", lambda: s.label3() == DONE)
    check(read_bytes(os.path.join(w.show, VIEWER)) == w.payload, "the viewer is not the payload")
    check(read_bytes(os.path.join(w.show + ".bak", VIEWER)) == w.old_viewer, "the backup lacks the old viewer")
    check(os.path.exists(os.path.join(w.show, MARKER)), "the marker went away")
    dump = s.dump()
    s.screenshot("NvxFix-done.png", dump["window"]["rect"])


@step('"ZIP to send" after "Done!": the archive unpacks on a Mac with its programs.')
def zip_to_send(s, w):
    s.ensure_app()
    show = make_bundle(os.path.join(s.run_dir, "send"), "Show", size_mb=0.1, files=4)
    s.browse_folder(show)
    wait_until("Label3 to read Done!", lambda: s.label3() == DONE)
    button = s.controls()["Button3"]
    check(button["visible"] and button["enabled"], "ZIP to send is not offered: %s" % button)
    fit = s.probe.ask("fit", button["hwnd"], "Tahoma", scale(15, DESIGN_DPI), 400)
    check(fit["need"][0] < fit["box"][0] and fit["need"][1] < 2 * scale(15, DESIGN_DPI),
          "the button's text needs %s, has %s" % (fit["need"], fit["box"]))
    s.screenshot("NvxFix-ready-to-send.png", s.dump()["window"]["rect"])
    s.click(s.dump(), button)
    wait_until("Label3 to name the archive", lambda: s.label3() == DONE + " (to send: Show.zip)", 60)
    # Then the Mac user's steps, naming what they get, to paste into a message.
    button = s.controls()["Button3"]
    check(button["visible"] and button["text"] == "Copy Mac steps", "the steps are not offered: %s" % button)
    s.click(s.dump(), button)
    wait_until("Label3 to say the steps are copied", lambda: "steps are copied" in (s.label3() or ""))
    steps = s.probe.ask("clipboard")["text"]
    check("Double-click Show.zip" in steps and "Control-click Show.app" in steps and
          "xattr -dr com.apple.quarantine" in steps, "the clipboard holds %r" % steps)
    unpacked = os.path.join(s.run_dir, "send-unpacked")
    mac_unpack(os.path.join(s.run_dir, "send", "Show.zip"), unpacked)
    folder, packed = tree(show), tree(os.path.join(unpacked, "Show.app"))
    check(sorted(packed) == sorted(folder), "the archive holds %s" % sorted(set(packed) ^ set(folder)))
    for rel, (kind, data, _, _) in folder.items():
        # Windows keeps no modes: programs 0755, other files 0644, folders 0755.
        mode = 0o755 if kind == "dir" or rel in ("Contents/MacOS/Show", VIEWER) else 0o644
        check(packed[rel][:3] == (kind, data, mode), "%s unpacks as %s, mode %o" % (rel, packed[rel][0], packed[rel][2]))


@step('The folder that holds a show: the show in it is fixed and named.')
def export_folder(s, w):
    s.ensure_app()
    export = os.path.join(s.run_dir, "My Presentation")
    show = make_bundle(export, "Show", size_mb=0.1, files=4)
    s.browse_folder(export)
    wait_until("Label3 to name the show fixed", lambda: s.label3() == DONE + " (fixed Show.app)")
    check(read_bytes(os.path.join(show, VIEWER)) == w.payload, "the show inside was not fixed")
    check(sorted(os.listdir(export)) == ["Show.app", "Show.app.bak"], "beside the show: %s" % os.listdir(export))


@step('A drop while the pick dialog is open waits, then both are fixed.')
def drop_while_picking(s, w):
    s.ensure_app()
    dropped = make_bundle(os.path.join(s.run_dir, "dropped"), "Dropped", size_mb=0.1, files=4)
    picked = make_bundle(os.path.join(s.run_dir, "picked"), "Picked", size_mb=0.1, files=4)

    def drop_and_see_it_wait():
        s.probe.ask("drop", s.form, windows_path(dropped))
        wait_until("Label3 to say a drop waits",
                   lambda: (s.label3() or "").startswith(DONE) and s.label3().endswith(" (1 queued)"))
    s.browse_folder(picked, meanwhile=drop_and_see_it_wait)
    wait_until("both to be fixed", lambda: all(os.path.exists(b + ".bak") for b in (dropped, picked))
               and (s.label3() or "").startswith(DONE) and "queued" not in s.label3(), 60)
    for bundle in (dropped, picked):
        check(read_bytes(os.path.join(bundle, VIEWER)) == w.payload, "%s was not fixed" % bundle)
    check(not s.probe.ask("owned", s.form)["owned"], "a box came up: %s" % s.probe.ask("owned", s.form))


@step('A folder that is no bundle: refused before anything is copied.')
def plain_folder(s, w):
    s.ensure_app()
    plain = os.path.join(w.folder, "Plain")
    s.browse_folder(plain)
    wait_until("Label3 to read the refusal", lambda: s.label3() == REFUSED)
    check(not os.path.exists(plain + ".bak"), "the plain folder was copied")
    controls = s.controls()
    label3 = controls["Label3"]["rect"]
    check(label3[2] > 200 and label3[0] + label3[2] <= s.dump()["client"][2], "Label3 cut: %s" % label3)
    check_texts_fit(s, controls, DESIGN_DPI)
    s.screenshot("NvxFix-refused.png", s.dump()["window"]["rect"])


@step('A failure: the message in a box with what to do, and in the outcome line.')
def failure_box(s, w):
    s.ensure_app()
    blocked_bytes = read_bytes(w.blocked)
    s.browse_folder(w.blocked, "Button2")
    box, texts = s.message_box("the error box")
    check(box["window"]["text"] == CAPTION and any("is damaged" in t and "download it again" in t for t in texts),
          "error box %s %s" % (box["window"]["text"], texts))
    # The line no longer tells of the fix before.
    label = s.label3() or ""
    check(label.startswith("Failed: The archive "), "Label3 after a failure: %r" % label)
    s.dismiss(box)
    check(s.responsive() and s.label3() == label, "the window is not usable after a failure")
    check(read_bytes(w.blocked) == blocked_bytes and not os.path.exists(os.path.join(w.folder, "Blocked.bak.zip")),
          "a damaged archive was changed or backed up")


@step('A large archive: the window answers and tells how far the fix is.')
def large_archive(s, w):
    s.ensure_app()
    large = os.path.join(s.run_dir, "large")
    os.makedirs(large)
    archive = make_large_archive(large, "Large", 160)
    s.browse_folder(archive, "Button2")
    controls = s.controls()
    check(not controls["Button1"]["enabled"] and not controls["Button2"]["enabled"],
          "the buttons are not disabled during a fix")
    # A show dropped meanwhile waits its turn.
    waiting = make_bundle(os.path.join(s.run_dir, "waiting"), "Waiting", size_mb=0.1, files=4)
    s.probe.ask("drop", s.form, windows_path(waiting))
    # The folder dropped meanwhile ends on a plain "Done!".
    seen = s.probe.ask("watch", s.form, controls["Label3"]["hwnd"], DONE, 120, HUNG_MS)
    print("   Label3 showed %s; %d questions" % (seen["texts"], seen["asked"]), flush=True)
    check(seen["texts"][-1] == DONE, "the large fix did not end: %s" % seen["texts"])
    check(seen["unanswered"] == 0, "the window did not answer: %d of %d unanswered" % (seen["unanswered"], seen["asked"]))
    # A stage of the large fix itself, told while the drop waited.
    check(any(t.endswith(" (1 queued)") and t != DONE + " (1 queued)" for t in seen["texts"]),
          "the large fix's stage, with the drop said to wait, was not shown: %s" % seen["texts"])
    wait_until("the dropped show to be fixed after", lambda: os.path.isdir(waiting + ".bak")
               and (s.label3() or "").startswith(DONE), 60)
    check(read_bytes(os.path.join(waiting, VIEWER)) == w.payload, "the show dropped during a fix was not fixed")
    check(all(c["enabled"] for n, c in s.controls().items() if n.startswith("Button")),
          "the buttons stay disabled after the fix")
    with zipfile.ZipFile(archive) as z:
        check(z.read("Large.app/" + VIEWER) == w.payload, "the large archive's viewer is not the payload")
    s.close_app()
    shutil.rmtree(large)  # hundreds of megabytes


@step('Another screen density: everything scaled in proportion.')
def other_density(s, w):
    s.wine.set_density(96)
    s.start_app()
    dump, _ = check_layout(s, 96)
    s.screenshot("NvxFix-window-96dpi.png", dump["window"]["rect"])
    s.step('Moved to a screen of the design density: laid out again as at start.')
    check(s.probe.ask("dpi", s.form, DESIGN_DPI)["answered"], "WM_DPICHANGED was not answered")
    dump, _ = check_layout(s, DESIGN_DPI)
    s.screenshot("NvxFix-window-dpi-changed.png", dump["window"]["rect"])
    s.close_app()


@step('A show named on the command line (dropped onto the icon) is fixed at once.')
def command_line(s, w):
    given = make_bundle(os.path.join(s.run_dir, "given"), "Given", size_mb=0.1, files=4)
    packed = make_bundle(os.path.join(s.run_dir, "packed-source"), "Packed", size_mb=0.1, files=4)
    packed = make_presentation.zip_bundle(packed)
    for path in (given, packed):
        s.start_app(path)
        wait_until("Label3 to read Done! for %s" % path, lambda: (s.label3() or "").startswith(DONE), 60)
        s.close_app()
    check(read_bytes(os.path.join(given, VIEWER)) == w.payload and os.path.isdir(given + ".bak"),
          "the folder named on the command line was not fixed")
    with zipfile.ZipFile(packed) as z:
        check(z.read("Packed.app/" + VIEWER) == w.payload, "the archive named on the command line was not fixed")


@step('Several paths, as a drop gives them: fixed in turn, then summed up.')
def several_paths(s, w):
    several = make_bundle(os.path.join(s.run_dir, "several"), "Several", size_mb=0.1, files=4)
    # No launcher: a note under the summary, which must not cover the buttons.
    os.remove(os.path.join(several, "Contents", "MacOS", "Several"))
    notes = os.path.join(s.run_dir, "several", "notes.txt")
    with open(notes, "w") as f:
        f.write("not a presentation")
    missing = os.path.join(s.run_dir, "several", "Gone.app")
    summary = "Fixed 1 of 5, 2 damaged or made not in NVX 8.0, 1 not found, 1 failed\r\nRefused: notes.txt, Plain"
    notes_show = make_bundle(os.path.join(s.run_dir, "noted"), "Noted", size_mb=0.1, files=4)
    with open(os.path.join(notes_show, "Contents", "MacOS", "Noted"), "wb") as f:
        f.write(struct.pack("<IiiIIII", 0xFEEDFACE, 7, 3, 2, 0, 0, 0))  # i386 only
    os.makedirs(os.path.join(notes_show, "Contents", "_CodeSignature"))
    for dpi in (96, 144):
        s.wine.set_density(dpi)
        s.start_app(several, notes, os.path.join(w.folder, "Plain"), missing, w.blocked)
        wait_until("Label3 to sum up", lambda: (s.label3() or "").startswith(summary), 60)
        check(read_bytes(os.path.join(several, VIEWER)) == w.payload, "the first of several paths was not fixed")
        box, texts = s.message_box("the list of what failed")
        listed = "\n".join(texts)
        for path in (missing, w.blocked):
            check(listed.count(windows_path(path)) == 1, "%s not listed once: %r" % (path, listed))
        check(windows_path(missing) + ": not found" in listed, "the missing path is not said missing: %r" % listed)
        check("download it again" in listed, "no advice for the damaged archive: %r" % listed)
        # The summary and its notes wrap inside the window, what is below
        # them moves down, and the window grows to keep the buttons clear.
        controls = s.controls()
        label3, label1 = controls["Label3"]["rect"], controls["Label1"]["rect"]
        check(label3[3] >= 4 * scale(15, dpi) and label3[0] + label3[2] <= s.dump()["client"][2] - label3[0] + 1,
              "the summary and notes do not wrap in the window: %s" % label3)
        check(label1[1] >= label3[1] + label3[3], "Label1 %s under the summary %s" % (label1, label3))
        check(s.dump()["client"][3] > scale(CLIENT[1], dpi), "the window did not grow: %s" % s.dump()["client"])
        check_texts_fit(s, controls, dpi)
        s.dismiss(box)
        s.screenshot("NvxFix-summary-%ddpi.png" % dpi, s.dump()["window"]["rect"])
        s.close_app()
        # One show with two long notes: a 32-bit launcher and a signature.
        s.start_app(notes_show)
        wait_until("Label3 to note the show", lambda: (s.label3() or "").count("Note: ") == 2, 60)
        check_texts_fit(s, s.controls(), dpi)
        s.screenshot("NvxFix-notes-%ddpi.png" % dpi, s.dump()["window"]["rect"])
        s.close_app()
        shutil.rmtree(notes_show + ".bak")
        with open(os.path.join(notes_show, VIEWER), "wb") as f:
            f.write(w.old_viewer)
        # The same again at the next density.
        shutil.rmtree(several + ".bak")
        with open(os.path.join(several, VIEWER), "wb") as f:
            f.write(w.old_viewer)


@step('Every archive of the table named at once: each ends as the table says.')
def table(s, w):
    fix_table(s, w.payload)


@step('Closing during a fix stops it; the archive stays as it was.')
def close_during_fix(s, w):
    stopped = os.path.join(s.run_dir, "stopped")
    os.makedirs(stopped)
    archive = make_large_archive(stopped, "Stopped", 160)
    original = read_bytes(archive)
    s.start_app(archive)
    # Closed at once, no screenshot first: the check on every core of an
    # idle machine takes only a second or two.
    wait_until("the fix to be under way", lambda: (s.label3() or "").startswith(("Checking... ", "Writing")), 90,
               interval=0.02)
    s.close_app(timeout=60)
    check(read_bytes(archive) == original, "a stopped fix changed the archive")
    check(os.listdir(stopped) == ["Stopped.zip"], "a stopped fix left %s" % sorted(os.listdir(stopped)))
    shutil.rmtree(stopped)  # hundreds of megabytes


@step('Closing during the backup of a folder of 10,000 files stops it.')
def close_during_backup(s, w):
    many = make_many_files(os.path.join(s.run_dir, "many"), "Many", 10000)
    before = listing(many)
    s.start_app(many)
    wait_until("the backup to be under way",
               lambda: (s.label3() or "").startswith("Backing up... ") and os.path.isdir(many + ".bak"), 90,
               interval=0.05)
    s.close_app(timeout=30)
    check(not os.path.exists(many + ".bak"), "the stopped backup was left behind")
    check(listing(many) == before and read_bytes(os.path.join(many, VIEWER)).startswith(b"OLD VIEWER"),
          "a stopped fix changed the folder")


@step('Before Windows 6 the folder comes from the classic folder browser.')
def classic_browser(s, w):
    s.wine.set_windows_version("winxp64")
    s.start_app()
    s.click(s.dump(), s.controls()["Button1"])
    browser = s.owned(lambda o: any(c["class"] == "SysTreeView32" for c in o["controls"])
                      and not any(c["class"] == "Edit" and c["visible"] for c in o["controls"]),
                      "the folder browser")
    s.screenshot("NvxFix-folder-browser.png", browser["window"]["rect"])
    cancel = next(c for c in browser["controls"] if c["class"] == "Button" and c["text"] == "Cancel")
    s.click(browser, cancel)
    s.gone(browser, "the folder browser to close")
    check(s.responsive() and s.label3() is None, "cancelling the folder browser changed the window")
    s.close_app()


def run(args):
    """Runs every step (or the table's alone) and returns the failures, one
    line each."""
    s = Session(args)
    failures = []
    try:
        s.step("Prepare wine and the presentations")
        s.wine.prepare()
        s.wine.set_density(DESIGN_DPI)
        s.wine.set_windows_version(None)
        w = Shows(s, read_bytes(args.payload))
        for number, (name, function) in enumerate(STEPS, 1):
            if (args.table_only and function is not table) or (args.only and args.only not in name):
                continue
            s.step(name)
            try:
                function(s, w)
            except Exception as failure:  # a probe or tool that fails is the step's failure too
                failures.append(s.failed(number, failure))
    except TestFailure as failure:
        s.screen_on_failure("NvxFix-failure.png")
        failures.append("%s: %s" % (s.current, failure))
    finally:
        s.close()
    return failures


def main():
    parser = argparse.ArgumentParser()
    for name in ("exe", "probe", "payload", "placeholder", "cli", "version", "out"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--table-only", action="store_true", help="prepare, then only the step of the archive table")
    parser.add_argument("--only", help="prepare, then only the steps whose name holds this text")
    args = parser.parse_args()
    for tool in ("Xvfb", "xdotool", "import", "convert", "wine", "wineserver"):
        if not shutil.which(tool):
            print("window test: %s is missing" % tool)
            return 1
    failures = run(args)
    if failures:
        print("window test FAILED in %d step%s (screenshots in %s):\n  %s" %
              (len(failures), "" if len(failures) == 1 else "s", os.path.abspath(args.out), "\n  ".join(failures)))
        return 1
    print("window test passed; screenshots in %s" % os.path.abspath(args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
