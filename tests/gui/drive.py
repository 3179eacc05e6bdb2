#!/usr/bin/env python3
"""Runs the real Linux launcher in an X display and uses it as a player would.

  drive.py release ROOT --game EXE [--version V] [--mb N] [--rate KIB] [--hold] [--no-length]
      lays out a release folder for the test release server: the health and release documents,
      the checksum list and a release archive holding the game EXE with its assets; with --rate
      the server sends the archive at about KIB KiB/s, so its progress can be watched; with
      --hold it sends half the archive, then holds the rest (a trickle that neither ends nor goes
      silent for long) until the file ROOT/release.go exists; with --no-length it sends the
      archive without a length
  drive.py test CASE --launcher EXE --work DIR [--xclose EXE] [--game EXE]
      (inside the network test runner)
      CASE "install": start, second start, Install with progress, close refused, complete, Play
      CASE "unknown": a linked game without a release marker, installed over by the latest
      CASE "cancel": Cancel during a stalled download without a length, then a checksum list
      that trickles while "Preparing"
      CASE "scaled": Install in the smallest window with the text scaled 1.5 times
      CASE "clicks": Install pressed as the release check's state arrives, then Cancel pressed
      during a download at a steady rate, several times over; every press acts
      CASE "navigation": the launcher with the probe page of probe/, which moves its own address
      without loading a new document; the launcher keeps it on its start address and answering
  drive.py demo --launcher EXE --work DIR                     (inside the network test runner)
      the launcher on the user's display; without one, under Xvfb: Install, then Play, with
      screenshots

The page is read as a user reads it: select all and copy (the text lands on the clipboard) and
screenshots, which are kept in the work folder. Buttons are found by their fill colour.
"""

import argparse
import fcntl
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

ACTION = (255, 128, 56)  # the page's main button: Install, or Play once installed
UPDATE = (58, 66, 86)  # the page's second button: Update, or Install latest
DANGER = (120, 34, 48)  # Cancel
TOAST = (35, 40, 53)  # a notice's box
BUSY_REFUSAL = "Cancel the download or let installation finish before closing."
SECOND = "Orbel Launcher is already open."
CANCELLED = "Download cancelled. Your existing installation is unchanged."
GO = "release.go"  # ends a held archive's hold


def make_release(root, game, version, mb, rate, hold=False, chunked=False):
    downloads, api = root / "downloads", root / "api"
    downloads.mkdir(parents=True, exist_ok=True)
    api.mkdir(parents=True, exist_ok=True)
    name = f"OrbelZolta-{version}-Windows-x64.zip"
    archive = downloads / name
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.write(game, "OrbelZolta-Windows/OrbelZolta.exe")
        z.writestr("OrbelZolta-Windows/assets/runtime/scene.json", '{"scene": "demo"}\n')
        z.writestr("OrbelZolta-Windows/assets/runtime/scene.bin", os.urandom(int(mb * 2**20)),
                   compress_type=zipfile.ZIP_STORED)
    digest = hashlib.sha256(archive.read_bytes()).hexdigest()
    (downloads / "SHA256SUMS.txt").write_text(f"{digest}  {name}\n")
    size = round(archive.stat().st_size / 2**20, 1)
    (downloads / "releases.json").write_text(json.dumps({"version": version, "windowsMB": size}))
    (api / "health").write_text(json.dumps({"status": "online", "players": 1287, "rooms": 64}))
    fault = {"mode": "trickle", "chunk": int(rate * 1024 / 20), "delay": 0.05} if rate else {}
    if hold:
        # 128 bytes every 2 s: above the download's lowest rate, inside its read time-out.
        fault = dict(fault or {"mode": "trickle", "chunk": 1 << 20, "delay": 0}, until=GO,
                     keep=128, pause=2)
    if chunked:
        fault = dict(fault or {"mode": "normal"}, chunked=True)
    for stale in (GO, "stalls.jsonl"):
        (root / stale).unlink(missing_ok=True)
    (root / "faults.json").write_text(json.dumps({f"downloads/{name}": fault} if fault else {}))


class Failure(Exception):
    pass


def until(what, check, timeout):
    end = time.monotonic() + timeout
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > end:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.2)


class Display:
    """Xvfb, or the user's display, with the tools that act on it."""

    def __init__(self, work, own):
        self.work, self.server, self.claim = work, None, None
        self.env = dict(os.environ)
        if own:
            number = self.start()
            self.env["DISPLAY"] = f":{number}"
            self.env.pop("WAYLAND_DISPLAY", None)

    def start(self):
        """Starts Xvfb on a display number of its own; returns the number once it serves.

        Each test runs in a PID namespace of its own, where Xvfb's lock files cannot tell another
        test's server from a stale one, so two tests could be handed one number. A kernel lock on
        a file of each number, which every namespace sees, keeps them apart."""
        for number in range(100, 400):
            claim = open(f"/tmp/.orbel-display-{number}.lock", "w")
            try:
                fcntl.flock(claim, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                claim.close()
                continue
            if Path(f"/tmp/.X{number}-lock").exists():  # a server of somebody else's
                claim.close()
                continue
            read, write = os.pipe()
            server = subprocess.Popen(
                ["Xvfb", f":{number}", "-displayfd", str(write), "-screen", "0", "1600x1000x24",
                 "-nolisten", "tcp"], pass_fds=[write], stderr=subprocess.DEVNULL)
            os.close(write)
            with os.fdopen(read) as f:
                ready = f.readline().strip()
            if ready == str(number):
                self.server, self.claim = server, claim
                return number
            server.wait()
            claim.close()
        raise Failure("Xvfb did not start")

    def close(self):
        if self.server:
            self.server.terminate()
            self.server.wait()
        if self.claim:
            self.claim.close()

    def run(self, *args, check=True, timeout=60):
        result = subprocess.run(args, env=self.env, capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise Failure(f"{args[0]} failed: {result.stderr.strip()}")
        return result.stdout

    def windows(self, *query):
        out = self.run("xdotool", "search", "--onlyvisible", *query, check=False)
        return [w for w in out.split()]

    def shot(self, name):
        path = self.work / name
        self.run("import", "-window", "root", str(path), timeout=60)
        return path

    def find(self, colour):
        """The centre of the pixels of exactly this colour, or None."""
        data = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"],
                              env=self.env, capture_output=True, timeout=60).stdout
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
        width = int(header.group(1))
        pixels = data[header.end():]
        needle, xs, ys, at = bytes(colour), [], [], pixels.find(bytes(colour))
        while at >= 0:
            if at % 3 == 0:
                xs.append(at // 3 % width)
                ys.append(at // 3 // width)
            at = pixels.find(needle, at + 1)
        if len(xs) < 50:
            return None
        return (min(xs) + max(xs)) // 2, (min(ys) + max(ys)) // 2

    def click(self, x, y):
        self.run("xdotool", "mousemove", str(x), str(y), "click", "1")

    def text(self, window):
        """The page's text, as select all and copy give it; "" when no fresh copy arrived.

        The clipboard first gets a mark of this read's own, so an earlier copy is never taken
        for the page as it is now."""
        mark = f"orbel-drive-{time.monotonic_ns()}"
        # xclip stays to serve the mark until the launcher's copy takes the clipboard over.
        subprocess.run(["xclip", "-i", "-selection", "clipboard"], input=mark, text=True,
                       env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)
        self.run("xdotool", "mousemove", "700", "8", "windowfocus", "--sync", window,
                 "key", "ctrl+a", "ctrl+c", check=False)
        end, text = time.monotonic() + 20, mark
        while text == mark and time.monotonic() < end:
            time.sleep(0.1)
            text = self.run("xclip", "-o", "-selection", "clipboard", check=False)
        self.run("xdotool", "click", "1", check=False)  # clears the selection again
        return "" if text == mark else text


class Launcher:
    def __init__(self, display, exe, work):
        self.display, self.exe, self.work = display, exe, work
        data = {"XDG_DATA_HOME": "data", "XDG_RUNTIME_DIR": "run", "XDG_CONFIG_HOME": "config",
                "XDG_CACHE_HOME": "cache"}
        self.env = dict(display.env, GDK_BACKEND="x11", NO_AT_BRIDGE="1")
        for key, folder in data.items():
            (work / folder).mkdir(mode=0o700, parents=True, exist_ok=True)
            self.env[key] = str(work / folder)
        self.data = work / "data" / "Orbel Launcher"
        self.xclose = None  # the tool that closes a window as its close button does

    def start(self, log, **env):
        """Starts the launcher; env names XDG folders of its own below the work folder."""
        for key, folder in env.items():
            (self.work / folder).mkdir(mode=0o700, parents=True, exist_ok=True)
        own = {key: str(self.work / folder) for key, folder in env.items()}
        return subprocess.Popen([str(self.exe)], env=dict(self.env, **own),
                                stdout=subprocess.DEVNULL, stderr=open(self.work / log, "w"))

    @staticmethod
    def stop(process):
        """Ends a launcher that a failed case left running."""
        if process.poll() is None:
            process.kill()
        process.wait()

    def close(self, process, main):
        """Closes the idle launcher's window as a user would; it must end with exit code 0."""
        self.display.run(self.xclose, main)
        check(process.wait(timeout=120) == 0, "the launcher closes with exit code 0")

    def window(self, process):
        def visible():
            found = self.display.windows("--pid", str(process.pid), "--name", "^Orbel Launcher$")
            return found[0] if found else None
        return until("the launcher's window", visible, 120)


def check(condition, what):
    if not condition:
        raise Failure(what)
    print(f"ok: {what}")


def install_case(display, launcher):
    xclose = launcher.xclose
    work = launcher.work
    first = launcher.start("launcher.log")
    try:
        main = launcher.window(first)
        # Only against a blank window (the sanitized build on a loaded machine takes over 15 s):
        # scripts/bench-first-paint measures how soon it paints.
        shown = time.monotonic()
        until("the page's first paint", lambda: display.find(ACTION), 60)
        painted = time.monotonic() - shown
        check(True, f"the page shows {painted:.1f} s after the window, not a blank window")
        page = until("the server online and the latest version",
                     lambda: (lambda t: t if "Servers online" in t and "1.0.0" in t else None)(
                         display.text(main)), 120)
        check("Not installed" in page, "the page shows the server online and version 1.0.0")
        until("the page's first state on screen", lambda: display.find(ACTION), 60)
        display.shot("start.png")

        # The same session, then another session on the same data folder.
        for log, env, what in (("second.log", {}, "in the same session"),
                               ("other-session.log", {"XDG_RUNTIME_DIR": "run-other"},
                                "from another session on the same data folder")):
            second = launcher.start(log, **env)
            try:
                box = until("the second start's message box",
                            lambda: display.windows("--pid", str(second.pid)), 120)
                display.shot(log.replace(".log", ".png"))
                display.run("xdotool", "windowfocus", "--sync", box[0], "key", "Return",
                            check=False)
                code = second.wait(timeout=60)
            except subprocess.TimeoutExpired:
                code = None  # it opened a launcher of its own
            finally:
                launcher.stop(second)
            text = (work / log).read_text()
            check(code == 0 and SECOND in text, f"a second start {what} is refused with exit code 0")

        display.run("xdotool", "mousemove", "700", "8")
        where = until("the Install button", lambda: display.find(ACTION), 60)
        display.click(*where)
        progress = re.compile(r"Downloading.*\d+% · [\d.]+ / [\d.]+ MB", re.S)
        until("download progress", lambda: progress.search(display.text(main)), 120)
        display.shot("progress.png")
        check(True, "Install shows the downloading stage with percent and MB figures")

        # The archive is held until the refusal is seen, however slowly the page is read.
        display.run(xclose, main)
        refused = until("the refusal to close", lambda: BUSY_REFUSAL in display.text(main), 60)
        check(refused and first.poll() is None, "closing while installing is refused")
        (Path(os.environ["ZOLTA_TEST_ROOT"]) / GO).write_text("")

        until("the install to complete",
              lambda: (lambda t: "Complete" in t and "Ready to play" in t)(display.text(main)),
              300)
        display.shot("complete.png")
        game = launcher.data / "Games" / "OrbelZolta-Windows"
        marker = json.loads((game / "launcher-release.json").read_text())
        settings = json.loads((launcher.data / "settings.json").read_text())
        check((game / "OrbelZolta.exe").is_file() and marker["version"] == "1.0.0",
              "the game folder holds the game and its release marker")
        check(Path(settings["gamePath"]) == game / "OrbelZolta.exe",
              "settings.json names the installed game")

        (game / "OrbelZolta.args").write_text("--report=played.txt")
        display.run("xdotool", "mousemove", "700", "8")
        where = until("the Play button", lambda: display.find(ACTION), 60)
        display.click(*where)
        until("the game to start", lambda: (game / "played.txt").is_file(), 120)
        check(until("the game's start in the activity list",
                    lambda: "Launched Orbel Zolta" in display.text(main), 60),
              "Play starts the game through Wine")
        display.shot("played.png")

        display.run(xclose, main)
        check(first.wait(timeout=120) == 0, "closing when idle ends the launcher with exit code 0")
    finally:
        launcher.stop(first)


def unknown_case(display, launcher, exe):
    """A linked game without a release marker: the page says so and installs the latest."""
    work = launcher.work
    linked = work / "linked"
    (linked / "assets" / "runtime").mkdir(parents=True)
    shutil.copy(exe, linked / "OrbelZolta.exe")
    (linked / "assets" / "runtime" / "scene.json").write_text('{"scene": "linked"}\n')
    (linked / "assets" / "runtime" / "scene.bin").write_bytes(b"linked")
    launcher.data.mkdir(parents=True, exist_ok=True)
    (launcher.data / "settings.json").write_text(
        json.dumps({"autoCheck": True, "gamePath": str(linked / "OrbelZolta.exe")}))
    process = launcher.start("launcher.log")
    try:
        main = launcher.window(process)
        page = until("the unknown version beside the latest release",
                     lambda: (lambda t: t if "Version unknown" in t and "1.0.0" in t else None)(
                         display.text(main)), 120)
        display.shot("unknown.png")
        check("Up to date" not in page and "Install latest" in page,
              "a game without a release marker shows its version as unknown and offers the latest")
        display.run("xdotool", "mousemove", "700", "8")
        display.click(*until("the Install latest button", lambda: display.find(UPDATE), 60))
        page = until("the install to complete",
                     lambda: (lambda t: t if "Ready to play" in t else None)(display.text(main)),
                     300)
        display.shot("unknown-installed.png")
        check("Up to date" in page and "Version unknown" not in page,
              "after the install the page shows the latest release as up to date")
        managed = launcher.data / "Games" / "OrbelZolta-Windows" / "OrbelZolta.exe"
        settings = json.loads((launcher.data / "settings.json").read_text())
        check(Path(settings["gamePath"]) == managed and managed.is_file(),
              "the managed copy becomes the game in use")
        check((linked / "assets" / "runtime" / "scene.bin").read_bytes() == b"linked",
              "the linked game is left as it was")
        launcher.close(process, main)
    finally:
        launcher.stop(process)


def cancel_case(display, launcher):
    """Cancel while the download is held: the page answers at once and shows a cancel."""
    process = launcher.start("launcher.log")
    try:
        main = launcher.window(process)
        until("the server online", lambda: "Servers online" in display.text(main), 120)
        display.run("xdotool", "mousemove", "700", "8")
        display.click(*until("the Install button", lambda: display.find(ACTION), 60))
        page = until("megabytes received",
                     lambda: (lambda t: t if re.search(r"[\d.]+ MB received", t) else None)(
                         display.text(main)), 120)
        display.shot("no-length.png")
        check("%" not in page, "a download without a length shows megabytes, no percentage")
        stalls = Path(os.environ["ZOLTA_TEST_ROOT"]) / "stalls.jsonl"
        until("the download's hold",
              lambda: stalls.is_file() and "Windows-x64.zip" in stalls.read_text(), 60)
        def staging():
            return [p for p in launcher.data.iterdir() if p.name.startswith("staging-")]
        until("the download's staging folder", staging, 60)
        display.run("xdotool", "mousemove", "700", "8")
        display.click(*until("the Cancel button", lambda: display.find(DANGER), 60))
        asked = time.monotonic()
        # The install's end, told by its staging folder going, which no slow read of the page
        # delays; the hold would keep it going for hours.
        until("the download's end", lambda: not staging(), 60)
        ended = time.monotonic() - asked
        # The cancel may be over before the page is read: "Cancelled" answers too.
        until("Cancelling… or Cancelled",
              lambda: (lambda t: "Cancelling…" in t or "Cancelled" in t)(display.text(main)), 60)
        answered = time.monotonic() - asked
        display.run("xdotool", "mousemove", "700", "8")
        display.shot("cancelling.png")
        check(until("Cancel disabled", lambda: display.find(DANGER) is None, 60),
              f"Cancel answers ({answered:.1f} s) and is disabled")
        page = until("the cancel's outcome",
                     lambda: (lambda t: t if "Cancelled" in t else None)(display.text(main)), 60)
        display.shot("cancelled.png")
        check("Error" not in page and until("Install offered again",
                                            lambda: display.find(ACTION), 60) is not None,
              "the cancelled download shows as a cancel, with Install offered again")
        check(ended < 10, f"the held download ends {ended:.1f} s after Cancel")
        told = until("the activity list's entry",
                     lambda: (lambda t: t if t.count(CANCELLED) >= 2 or "Download interrupted" in t
                              else None)(display.text(main)), 60)
        check("Download interrupted" not in told and told.count(CANCELLED) >= 2,
              "the activity list tells the cancel too, not an interruption")
        games = launcher.data / "Games"
        check(not (games / "OrbelZolta-Windows").exists() and not staging(),
              "nothing is installed and no staging folder is left")
        preparing_stall(display, launcher, main)
        launcher.close(process, main)
    finally:
        launcher.stop(process)


def extent(display, colour):
    """The box (left, top, right, bottom) of the pixels of exactly this colour, or None."""
    data = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"],
                          env=display.env, capture_output=True, timeout=60).stdout
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    width, pixels = int(header.group(1)), data[header.end():]
    found = [i // 3 for i in range(0, len(pixels), 3) if pixels[i:i + 3] == bytes(colour)]
    if len(found) < 50:
        return None
    xs, ys = [i % width for i in found], [i // width for i in found]
    return min(xs), min(ys), max(xs), max(ys)


def scaled_case(display, launcher):
    """The smallest window with the text scaled 1.5 times: WebKitGTK zooms the page by the
    desktop's font scale, so it lays the page out in 707 by 507 CSS pixels. Install must be whole
    on screen and work."""
    launcher.env["GDK_DPI_SCALE"] = "1.5"
    process = launcher.start("launcher.log")
    try:
        main = launcher.window(process)
        display.run("xdotool", "windowsize", "--sync", main, "1060", "760")
        until("the server online and the latest version",
              lambda: (lambda t: "Servers online" in t and "1.0.0" in t)(display.text(main)), 120)
        display.run("xdotool", "mousemove", "1300", "900")
        geometry = display.run("xdotool", "getwindowgeometry", "--shell", main)
        window = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", geometry)}
        check((window["WIDTH"], window["HEIGHT"]) == (1060, 760), "the window is 1060 by 760")
        display.shot("scaled.png")
        box = until("the Install button", lambda: extent(display, ACTION), 60)
        left, top, right, bottom = box
        check(bottom - top >= 60, f"the page is scaled: Install is {bottom - top + 1} px high")
        check(left > window["X"] and top > window["Y"] and
              right < window["X"] + window["WIDTH"] - 1 and
              bottom < window["Y"] + window["HEIGHT"] - 1,
              f"Install lies whole inside the window ({box})")
        display.click((left + right) // 2, (top + bottom) // 2)
        progress = re.compile(r"Downloading.*\d+% · [\d.]+ / [\d.]+ MB", re.S)
        until("download progress", lambda: progress.search(display.text(main)), 120)
        display.shot("scaled-progress.png")
        until("the install to complete", lambda: "Ready to play" in display.text(main), 300)
        display.shot("scaled-complete.png")
        game = launcher.data / "Games" / "OrbelZolta-Windows" / "OrbelZolta.exe"
        check(game.is_file(), "Install in the scaled small window installs the game")
        launcher.close(process, main)
    finally:
        launcher.stop(process)


def preparing_stall(display, launcher, main):
    """A checksum list that trickles: "Preparing" offers no Cancel, so its time limit ends it."""
    faults = Path(os.environ["ZOLTA_TEST_ROOT"]) / "faults.json"
    kept = faults.read_text()
    faults.write_text(json.dumps(
        {"downloads/SHA256SUMS.txt": {"mode": "trickle", "chunk": 1, "delay": 5}}))
    try:
        display.run("xdotool", "mousemove", "700", "8")
        display.click(*until("the Install button", lambda: display.find(ACTION), 60))
        started = time.monotonic()
        until("Preparing", lambda: "Preparing" in display.text(main), 60)
        page = until("the end of Preparing",
                     lambda: (lambda t: t if t and "Preparing" not in t else None)(
                         display.text(main)), 180)
        took = time.monotonic() - started
        display.shot("preparing-stalled.png")
        # The list's 30 s limit, with as much again for a busy machine; without the limit the
        # list would take minutes.
        check(took < 60 and "Download interrupted. Please try again." in page
              and until("Install offered again", lambda: display.find(ACTION), 60) is not None,
              f"a trickling checksum list ends Preparing after {took:.0f} s with the usual "
              "failure, Install offered again")
        check(not (launcher.data / "Games" / "OrbelZolta-Windows").exists(), "nothing is installed")
    finally:
        faults.write_text(kept)


def hold(display, where, until_fact, what, timeout):
    """Presses the left button at where and keeps it down until until_fact() holds (read from the
    screen, since select-all needs the button up), then releases it: states arrive in between."""
    display.run("xdotool", "mousemove", str(where[0]), str(where[1]), "mousedown", "1")
    try:
        until(what, until_fact, timeout)
    finally:
        display.run("xdotool", "mouseup", "1")


def clicks_case(display, launcher):
    """A press and release on Install or Cancel always acts, whatever states arrive in between:
    Install held down while the release check (slowed to several seconds) ends, then Cancel during
    a download at a steady rate, held through its progress or clicked, several times over."""
    faults = Path(os.environ["ZOLTA_TEST_ROOT"]) / "faults.json"
    kept = faults.read_text()
    slowed = json.loads(kept)
    slowed["downloads/releases.json"] = {"mode": "trickle", "chunk": 1, "delay": 0.25}
    faults.write_text(json.dumps(slowed))
    games = launcher.data / "Games" / "OrbelZolta-Windows"
    process = launcher.start("launcher.log")
    try:
        main = launcher.window(process)
        install = until("the Install button", lambda: display.find(ACTION), 30)
        check(display.find(TOAST) is None, "the release check is still running")
        # The check's state, and its notice beside Install, arrive while the button is down.
        hold(display, install, lambda: display.find(TOAST), "the check's notice", 60)
        faults.write_text(kept)
        progress = re.compile(r"Downloading.*\d+% · [\d.]+ / [\d.]+ MB", re.S)
        page = until("download progress after Install",
                     lambda: (lambda t: t if progress.search(t) else None)(display.text(main)), 30)
        check("Servers online" in page,
              "Install pressed as the check's state arrived starts the download")

        for turn in range(4):
            if turn:
                display.run("xdotool", "mousemove", "700", "8")
                display.click(*until("the Install button", lambda: display.find(ACTION), 10))
                until(f"download progress (press {turn + 1})",
                      lambda: progress.search(display.text(main)), 30)
            display.run("xdotool", "mousemove", "700", "8")
            cancel = until("the Cancel button", lambda: display.find(DANGER), 10)
            if turn % 2 == 0:
                # Held through several progress states (the bar moves about 20 times a second).
                held = time.monotonic() + 0.6
                hold(display, cancel, lambda: time.monotonic() > held, "the hold", 5)
            else:
                display.click(*cancel)
            display.shot(f"clicks-cancel-{turn + 1}.png")
            page = until("Cancelling… or Cancelled",
                         lambda: (lambda t: t if "Cancelling…" in t or "Cancelled" in t else None)(
                             display.text(main)), 10)
            page = until("the cancel's outcome",
                         lambda: (lambda t: t if "Cancelled" in t or "Ready to play" in t
                                  else None)(display.text(main)), 40)
            display.shot(f"clicks-cancelled-{turn + 1}.png")
            check("Cancelled" in page and "Ready to play" not in page and not games.exists(),
                  f"Cancel {'held through progress' if turn % 2 == 0 else 'clicked'} during a "
                  f"steady download cancels it (press {turn + 1})")
        launcher.close(process, main)
    finally:
        faults.write_text(kept)
        launcher.stop(process)


def navigation_case(display, launcher):
    """The probe page moves its address without a new document; the launcher must bring it back
    to its start address, where it is answered again (as the same document or a new one)."""
    package = launcher.work / "package"
    package.mkdir()
    shutil.copy2(launcher.exe, package / launcher.exe.name)
    shutil.copytree(Path(__file__).parent / "probe", package / "ui")
    launcher.exe = package / launcher.exe.name
    process = launcher.start("launcher.log")
    answered = re.compile(r"probe answered at (\S+) in (\w+\.\d+)")
    start = re.compile(r"orbel-launcher://[^/#?]+/index\.html")
    try:
        main = launcher.window(process)
        found = until("the probe's first answer", lambda: answered.search(display.text(main)),
                      120)
        check(start.fullmatch(found.group(1)), "the probe page is answered on its start address")
        moves = ((250, "a fragment"), (750, "history.pushState"), (1150, "history.replaceState"))
        for x, move in moves:
            before = found.group(2)
            display.click(x, 450)  # the probe's box for this move
            found = until(f"an answer after the move by {move}",
                          lambda: (lambda m: m if m and m.group(2) != before else None)(
                              answered.search(display.text(main))), 120)
            check(start.fullmatch(found.group(1)),
                  f"after a move by {move} the page is back on its start address and answered")
        display.shot("navigation.png")
        process.terminate()
        process.wait(timeout=60)
    finally:
        launcher.stop(process)


def test(args):
    work = Path(args.work)
    if not work.is_absolute() or len(work.parts) < 3:
        raise SystemExit(f"drive.py: refusing to clear the work folder {work}")
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    display = Display(work, own=True)
    try:
        launcher = Launcher(display, Path(args.launcher), work)
        launcher.xclose = args.xclose
        if args.case == "install":
            install_case(display, launcher)
        elif args.case == "unknown":
            unknown_case(display, launcher, args.game)
        elif args.case == "cancel":
            cancel_case(display, launcher)
        elif args.case == "scaled":
            scaled_case(display, launcher)
        elif args.case == "clicks":
            clicks_case(display, launcher)
        else:
            navigation_case(display, launcher)
    except Failure as failure:
        try:
            display.shot("failure.png")
        finally:
            print(f"FAILED: {failure} (screenshots in {work})", file=sys.stderr)
        return 1
    finally:
        display.close()
    print(f"screenshots in {work}")
    return 0


def demo(args):
    work = Path(args.work)
    headless = not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
    display = Display(work, own=headless)
    launcher = Launcher(display, Path(args.launcher), work)
    if not headless:
        print("The launcher is open: press Install, then Play. Close its window to end the demo.")
        return launcher.start("launcher.log").wait()
    process = launcher.start("launcher.log")
    try:
        main = launcher.window(process)
        until("the page", lambda: "Servers online" in display.text(main), 30)
        # The text is there before it is drawn: wait until the first state shows on screen.
        until("the page's first state on screen", lambda: display.find(ACTION), 10)
        print("No display: the launcher runs under Xvfb.")
        print("screenshot:", display.shot("demo-start.png"))
        display.run("xdotool", "mousemove", "700", "8")
        display.click(*until("the Install button", lambda: display.find(ACTION), 10))
        until("the install", lambda: "Ready to play" in display.text(main), 120)
        print("screenshot:", display.shot("demo-installed.png"))
        display.run("xdotool", "mousemove", "700", "8")
        display.click(*until("the Play button", lambda: display.find(ACTION), 10))
        until("the game to start", lambda: "Launched Orbel Zolta" in display.text(main), 60)
        print("screenshot:", display.shot("demo-played.png"))
        process.terminate()
        return 0
    finally:
        launcher.stop(process)
        display.close()


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    r = sub.add_parser("release")
    r.add_argument("root")
    r.add_argument("--game", required=True)
    r.add_argument("--version", default="1.0.0")
    r.add_argument("--mb", type=float, default=1.0)
    r.add_argument("--rate", type=float, default=0)
    r.add_argument("--hold", action="store_true")
    r.add_argument("--no-length", action="store_true")
    t = sub.add_parser("test")
    t.add_argument("case", choices=["install", "unknown", "cancel", "navigation", "scaled",
                                    "clicks"])
    t.add_argument("--launcher", required=True)
    t.add_argument("--xclose")
    t.add_argument("--work", required=True)
    t.add_argument("--game")
    d = sub.add_parser("demo")
    d.add_argument("--launcher", required=True)
    d.add_argument("--work", required=True)
    args = parser.parse_args()
    if args.command == "test":
        # What each case needs beyond the launcher: xclose to close its window, the game to link.
        needs = {"install": ["xclose"], "unknown": ["xclose", "game"], "cancel": ["xclose"],
                 "scaled": ["xclose"], "clicks": ["xclose"]}
        for name in needs.get(args.case, []):
            if getattr(args, name) is None:
                t.error(f"the {args.case} case needs --{name}")
    if args.command == "release":
        make_release(Path(args.root), args.game, args.version, args.mb, args.rate, args.hold,
                     args.no_length)
        return 0
    return test(args) if args.command == "test" else demo(args)


if __name__ == "__main__":
    sys.exit(main())
