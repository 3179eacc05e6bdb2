#!/usr/bin/env python3
"""Render tests of the page: ui/ in headless Chromium, without the launcher.

  render.py --ui DIR --shots DIR [--chromium EXE] [--only NAME]

A stub of the web view's message channel stands in for the launcher: each case delivers state
documents and notices as the launcher would, then checks what a player sees (texts, stage, bar),
that every visible button can be reached with the mouse and nothing spills out of its box, and
which action each visible button sends when it is clicked. A screenshot of each case is kept in
the shots folder. The browser is driven over the DevTools protocol on a pipe; stdlib only.
"""

import argparse
import base64
import copy
import functools
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

CHECKED = "Library checked. Release information is up to date."
CANCELLED = "Download cancelled. Your existing installation is unchanged."
TIMED_OUT = "The release server stopped sending data."

# The page's channel to the launcher, as the web view provides it, before the page's scripts run.
STUB = """
(() => {
  const listeners = [];
  window.sent = [];
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    postMessage(message) { window.sent.push(JSON.parse(JSON.stringify(message))); },
    addEventListener(type, listener) { if (type === "message") listeners.push(listener); },
  };
  window.deliver = (message) => listeners.forEach((listener) => listener({ data: message }));
})();
"""

# What the player sees, read from the rendered page.
VIEW = """
(() => {
  const $ = (id) => document.getElementById(id);
  const ids = ["installedVersion", "latestVersion", "releaseSize", "updateBadge", "stageName",
               "statusLine", "figures", "message", "serverText", "serverCounts", "path"];
  const texts = Object.fromEntries(ids.map((id) => [id, $(id).textContent]));
  const visible = (e) => {
    const r = e.getBoundingClientRect();
    return r.width > 0 && r.height > 0 && getComputedStyle(e).visibility !== "hidden";
  };
  const controls = [...document.querySelectorAll("button"), document.querySelector(".switch")]
    .filter(visible).map((e) => {
      const r = e.getBoundingClientRect();
      const x = r.left + r.width / 2, y = r.top + r.height / 2;
      const hit = document.elementFromPoint(x, y);
      const button = e.matches("button");
      return { label: button ? e.textContent.trim() : "switch",
               enabled: !(button ? e : e.querySelector("input")).disabled,
               x, y, reachable: !!hit && e.contains(hit) };
    });
  // Every element with its own text or a control must lie inside its panel and the window.
  const spills = [];
  const view = { left: 0, top: 0, right: innerWidth, bottom: innerHeight };
  for (const e of document.querySelectorAll("body *")) {
    if (!visible(e) || e.closest("svg")) continue;
    const own = [...e.childNodes].some((n) => n.nodeType === 3 && n.textContent.trim());
    if (!own && !e.matches("button")) continue;
    const r = e.getBoundingClientRect();
    const box = e.parentElement.closest(".card, .panel, .bar, .toast, .progress");
    // Inside a scrolling box the text may run below the fold, never beside it.
    const scrolls = !!e.parentElement.closest(".grow, .message, .toast");
    for (const b of [view, box && box.getBoundingClientRect()]) {
      if (b && (r.left < b.left - 1 || r.right > b.right + 1 ||
                (!scrolls && (r.top < b.top - 1 || r.bottom > b.bottom + 1))))
        spills.push(`${e.id || e.className || e.tagName}: ${e.textContent.slice(0, 40)}`);
    }
  }
  const toasts = [...document.querySelectorAll(".toast")];
  const overlaps = [];
  for (const t of toasts) {
    const a = t.getBoundingClientRect();
    for (const c of document.querySelectorAll("button, .switch, dl, .progress, .path, h2")) {
      const b = c.getBoundingClientRect();
      const meet = a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
      if (visible(c) && meet)
        overlaps.push(c.id || c.className);
    }
  }
  return {
    texts, controls, spills, overlaps,
    loaded: document.body.dataset.loaded === "yes",
    stage: $("progress").dataset.stage,
    indeterminate: document.querySelector(".track").dataset.indeterminate === "yes",
    fill: $("fill").style.width,
    toasts: toasts.map((t) => t.textContent),
    page: document.body.innerText,
    background: getComputedStyle(document.body).backgroundColor,
    wide: document.documentElement.scrollWidth > innerWidth,
  };
})()
"""


class Failure(Exception):
    pass


class Browser:
    """Headless Chromium, spoken to over the DevTools protocol on fds 3 and 4."""

    def __init__(self, exe, profile):
        to_browser, self.commands = os.pipe()
        self.events, from_browser = os.pipe()

        def pipes():
            os.dup2(to_browser, 3)
            os.dup2(from_browser, 4)

        args = [exe, "--headless", "--remote-debugging-pipe", f"--user-data-dir={profile}",
                "--no-first-run", "--no-default-browser-check", "--disable-gpu",
                "--disable-extensions", "--hide-scrollbars", "--mute-audio", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")
        self.process = subprocess.Popen(args, preexec_fn=pipes, close_fds=False,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self.reader = os.fdopen(self.events, "rb")
        self.buffer = b""
        self.next = 0
        self.session = None

    def close(self):
        try:
            self.call("Browser.close", session=False)
        except Exception:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.commands)
        self.reader.close()

    def call(self, method, session=True, **params):
        self.next += 1
        message = {"id": self.next, "method": method, "params": params}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.buffer:
                data = os.read(self.events, 1 << 20)
                if not data:
                    raise Failure("the browser ended")
                self.buffer += data
            raw, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self.next:
                if "error" in reply:
                    raise Failure(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def open(self, width, height):
        target = self.call("Target.createTarget", session=False, url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", session=False, targetId=target,
                                 flatten=True)["sessionId"]
        self.call("Page.enable")
        self.call("Page.addScriptToEvaluateOnNewDocument", source=STUB)
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise Failure(f"script failed: {result['exceptionDetails']}")
        return result["result"].get("value")

    def click(self, x, y):
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                      clickCount=1)

    def shot(self, path):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        path.write_bytes(base64.b64decode(data))


def serve(folder):
    handler = functools.partial(Quiet, directory=str(folder))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def doc(**changes):
    """A state document as the launcher sends it after a release check, with changes."""
    base = {"platform": "Windows", "installed": False, "managedInstalled": False,
            "autoCheck": True, "busy": False, "stage": "idle", "activity": [], "path": "",
            "managedPath": "/home/player/.local/share/Orbel Launcher/Games",
            "installedVersion": "", "updateAvailable": False, "online": True,
            "checked": "09:07", "players": 1287, "rooms": 64, "latestVersion": "1.0.0",
            "releaseMB": 3.0}
    base.update(changes)
    return base


GAME = "/games/Zolta/OrbelZolta.exe"
PLAYING = dict(installed=True, path=GAME, installedVersion="1.0.0")
DOWNLOADING = dict(busy=True, stage="downloading", status="Downloading Orbel Zolta",
                   message="Downloading the Windows release from Orbel.", progress=42.5,
                   received="1.3", total="3.0")
# The buttons every idle state offers besides its main ones.
IDLE = {"Refresh": "refresh", "Locate game": "locate", "Show files": "showFiles",
        "Web page": "website", "switch": "autoCheck:false"}
BUSY = {"Show files": "showFiles", "Web page": "website", "switch": "autoCheck:false"}
LONG = "9" * 200


def state(**changes):
    return ("state", doc(**changes))


def notice(text):
    return ("notice", text)


def click(label):
    return ("click", label)


def see(actions=None, **expect):
    return ("see", expect, actions)


# Each case: what the launcher sends and the player does, then what the player sees. "actions"
# maps every visible, enabled control to what a click on it sends; no other control may be there.
CASES = {
    "before-first-state": [
        see(loaded=False, background="rgb(16, 18, 22)", absent=["Not installed", "Up to date"],
            actions={})],
    "not-installed": [
        state(),
        see(updateBadge="Not installed", latestVersion="1.0.0", releaseSize="3.0 MB",
            serverCounts="1,287 players · 64 rooms", stageName="Ready",
            actions={"Install": "install", **IDLE})],
    "up-to-date": [
        state(**PLAYING),
        see(updateBadge="Up to date", installedVersion="1.0.0",
            actions={"Play": "play", **IDLE})],
    "update-available": [
        state(**dict(PLAYING, installedVersion="0.9.0", updateAvailable=True)),
        see(updateBadge="Update available", actions={"Play": "play", "Update": "install", **IDLE})],
    "unknown-version": [
        state(**dict(PLAYING, installedVersion="Unknown")),
        see(updateBadge="Version unknown", installedVersion="Unknown", absent=["Up to date"],
            actions={"Play": "play", "Install latest": "install", **IDLE})],
    "unknown-version-not-checked": [
        state(**dict(PLAYING, installedVersion="Unknown", latestVersion=None, online=None,
                     checked=None)),
        see(updateBadge="Version unknown", latestVersion="Not checked yet",
            actions={"Play": "play", "Install latest": "install", **IDLE})],
    "newer-than-latest": [
        state(**dict(PLAYING, installedVersion="2.0.0")),
        see(updateBadge="Installed", absent=["Up to date"], actions={"Play": "play", **IDLE})],
    "latest-unreadable": [
        state(**dict(PLAYING, latestVersion=LONG)),
        see(updateBadge="Installed", latestVersion=LONG, actions={"Play": "play", **IDLE})],
    "downloading": [
        state(**DOWNLOADING),
        see(stageName="Downloading", statusLine="Downloading Orbel Zolta",
            figures="43% · 1.3 / 3.0 MB", indeterminate=False, fill="42.5%",
            actions={"Cancel": "cancel", **BUSY})],
    "downloading-without-length": [
        state(**dict(DOWNLOADING, progress=0.0, received="1.5", total="")),
        see(figures="1.5 MB received", indeterminate=True, absent=["0%"],
            actions={"Cancel": "cancel", **BUSY})],
    "error-drops-stage-line": [
        state(stage="error", status="Verifying download",
              message="Checksum mismatch. Nothing was installed."),
        see(stageName="Error", stage="error", statusLine="", absent=["Verifying download"],
            message="Checksum mismatch. Nothing was installed.",
            actions={"Install": "install", **IDLE})],
    "complete": [
        state(**dict(PLAYING, stage="complete", status="Ready to play",
                     message="Zolta is installed. Return to your library to start playing.",
                     progress=100)),
        see(stageName="Complete", statusLine="Ready to play", fill="100%")],
    "complete-then-newer-release": [
        state(**dict(PLAYING, stage="complete", status="Ready to play",
                     message="Zolta is installed. Return to your library to start playing.",
                     latestVersion="1.1.0", updateAvailable=True)),
        see(stageName="Ready", updateBadge="Update available",
            absent=["Complete", "Return to your library"])],
    "absurd-figures": [
        state(players=-2147483648, rooms=2147483647, releaseMB=1e308),
        see(serverCounts="– players · – rooms", releaseSize="–")],
    "negative-size": [
        state(players=-1, rooms=0, releaseMB=-1),
        see(serverCounts="– players · 0 rooms", releaseSize="–")],
    "long-texts": [
        state(**dict(DOWNLOADING, installed=True, installedVersion=LONG, latestVersion=LONG,
                     path="/" + "folder/" * 80 + "OrbelZolta.exe", status="S" * 300,
                     message="M" * 2000, received="1" * 60, total="2" * 60,
                     activity=[{"text": "T" * 500, "time": "09:07"}] * 8)),
        notice("N" * 1500), notice("Another notice"), ("wait", 0.4),
        see(installedVersion=LONG, actions={"Cancel": "cancel", **BUSY})],
    "cancel": [
        state(**DOWNLOADING),
        click("Cancel"),
        see(stageName="Cancelling…", stage="cancelling", sent=["cancel"],
            actions={"Cancelling…": None, **BUSY}),
        notice(TIMED_OUT),
        state(stage="error", message=TIMED_OUT, activity=[{"text": TIMED_OUT, "time": "09:08"}]),
        see(stageName="Cancelled", stage="cancelled", message=CANCELLED, toasts=[],
            absent=["Error"], actions={"Install": "install", **IDLE}),
        state(**dict(DOWNLOADING, progress=0, received="", total="")),
        see(stageName="Downloading", actions={"Cancel": "cancel", **BUSY})],
    "cancel-too-late": [
        state(**DOWNLOADING),
        click("Cancel"),
        state(**dict(DOWNLOADING, stage="verifying", status="Verifying download")),
        see(stageName="Verifying", stage="verifying"),
        state(stage="error", message="Checksum mismatch. Nothing was installed."),
        see(stageName="Error", stage="error")],
    "check-notice-beside-update": [
        notice(CHECKED),
        state(**dict(PLAYING, installedVersion="0.9.0", updateAvailable=True)),
        see(updateBadge="Update available", toasts=[])],
    "check-notice-when-up-to-date": [
        notice(CHECKED),
        state(**PLAYING),
        see(updateBadge="Up to date", toasts=[CHECKED])],
    "notice-alone": [
        state(), notice("Please wait for the current operation to finish."),
        ("wait", 0.4),
        see(toasts=["Please wait for the current operation to finish."])],
    "refresh": [
        state(),
        click("Refresh"),
        see(sent=["refresh"], actions={"Install": "install", "Locate game": "locate",
                                       "Show files": "showFiles", "Web page": "website",
                                       "switch": "autoCheck:false"}),
        state(),
        see(actions={"Install": "install", **IDLE})],
}


def deliver(browser, message):
    browser.evaluate(f"deliver({json.dumps(message)})")


def controls(browser):
    return browser.evaluate(VIEW)["controls"]


def sent_since(browser, count):
    return browser.evaluate(f"window.sent.slice({count})")


def check_view(browser, expect, actions, problems):
    view = browser.evaluate(VIEW)
    for key, wanted in expect.items():
        if key == "absent":
            for text in wanted:
                if text in view["page"]:
                    problems.append(f"shows {text!r}")
        elif key == "sent":
            got = [m["action"] for m in browser.evaluate("window.sent") if m["action"] != "ready"]
            if got != wanted:
                problems.append(f"sent {got}, wanted {wanted}")
        else:
            got = view["texts"][key] if key in view["texts"] else view[key]
            if got != wanted:
                problems.append(f"{key} is {got!r}, wanted {wanted!r}")
    problems += [f"spills out of its box: {s}" for s in view["spills"]]
    problems += [f"a notice covers {o}" for o in view["overlaps"]]
    if view["wide"]:
        problems.append("the page is wider than the window")
    for c in view["controls"]:
        if not c["reachable"]:
            problems.append(f"{c['label']} is covered")
    if actions is None:
        return
    shown = {c["label"]: c for c in view["controls"] if c["enabled"] or c["label"] in actions}
    if set(shown) != set(actions):
        problems.append(f"controls {sorted(shown)}, wanted {sorted(actions)}")
    for label, wanted in actions.items():
        # A click can move the others: find each control afresh.
        c = {c["label"]: c for c in controls(browser)}.get(label)
        if c is None:
            problems.append(f"{label} is gone")
            continue
        if wanted is None:
            if c["enabled"]:
                problems.append(f"{label} is enabled")
            continue
        before = browser.evaluate("window.sent.length")
        browser.click(c["x"], c["y"])
        got = [m["action"] + (f":{str(m['enabled']).lower()}" if "enabled" in m else "")
               for m in sent_since(browser, before)]
        if got != [wanted]:
            problems.append(f"{label} sends {got}, wanted {wanted}")


def run_case(browser, base, name, steps, shots):
    browser.call("Page.navigate", url=base + "index.html")
    until = time.monotonic() + 10
    while not browser.evaluate("document.readyState === 'complete' && window.sent.length > 0"):
        if time.monotonic() > until:
            raise Failure(f"{name}: the page did not load or send ready")
        time.sleep(0.05)
    if browser.evaluate("JSON.stringify(window.sent)") != '[{"action":"ready"}]':
        raise Failure(f"{name}: the page's first message is not ready")
    problems = []
    for number, step in enumerate(steps):
        kind = step[0]
        if kind == "state":
            data = {k: v for k, v in step[1].items() if v is not None}
            deliver(browser, {"type": "state", "data": data})
        elif kind == "notice":
            deliver(browser, {"type": "notice", "message": step[1]})
        elif kind == "wait":
            time.sleep(step[1])
        elif kind == "click":
            found = [c for c in controls(browser) if c["label"] == step[1]]
            if not found:
                problems.append(f"no {step[1]} to click")
            else:
                browser.click(found[0]["x"], found[0]["y"])
        else:
            browser.evaluate("document.getAnimations().filter((a) => a.effect.getComputedTiming()"
                             ".endTime !== Infinity).forEach((a) => a.finish())")
            browser.shot(shots / f"{name}-{number}.png")
            check_view(browser, step[1], step[2], problems)
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ui", required=True)
    parser.add_argument("--shots", required=True)
    parser.add_argument("--chromium", default=shutil.which("chromium") or "chromium")
    parser.add_argument("--only")
    args = parser.parse_args()
    shots = Path(args.shots)
    shots.mkdir(parents=True, exist_ok=True)
    server = serve(Path(args.ui))
    base = f"http://127.0.0.1:{server.server_address[1]}/"
    failed = 0
    with tempfile.TemporaryDirectory() as profile:
        browser = Browser(args.chromium, profile)
        try:
            browser.open(1440, 960)
            # The window's smallest size too, where the long texts have the least room.
            sizes = [("", 1440, 960), ("-small", 1060, 760)]
            for suffix, width, height in sizes:
                browser.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                             deviceScaleFactor=1, mobile=False)
                for name, steps in CASES.items():
                    if args.only and args.only != name:
                        continue
                    if suffix and name not in ("long-texts", "not-installed", "downloading"):
                        continue
                    try:
                        problems = run_case(browser, base, name + suffix, copy.deepcopy(steps),
                                            shots)
                    except Failure as failure:
                        problems = [str(failure)[:300]]
                    for problem in problems:
                        print(f"FAILED {name}{suffix}: {problem}")
                    if problems:
                        failed += 1
                    else:
                        print(f"ok: {name}{suffix}")
        finally:
            browser.close()
            server.shutdown()
    print(f"screenshots in {shots}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
