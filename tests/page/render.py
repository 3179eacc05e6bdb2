#!/usr/bin/env python3
"""Render tests of the page: ui/ in headless Chromium, without the launcher.

  render.py --ui DIR --shots DIR [--chromium EXE] [--only NAME]

A stub of the web view's message channel stands in for the launcher: each case delivers state
documents and notices as the launcher would, then checks what a player sees (texts, stage, bar),
that the main action and the progress are on screen without scrolling, that every visible button
can be reached with the mouse, that nothing overlaps or spills out of its box, that colours keep
WCAG AA contrast, which action each visible button sends when it is clicked, and what assistive
technology is given (the progress bar and its value, the live regions, the heading, where focus
goes). The cases run at the window's sizes and at the page sizes that display scaling makes of
them. A screenshot of each case is kept in the shots folder. The browser is driven over the
DevTools protocol on a pipe; stdlib only.
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
UNCHECKED = "Couldn’t check the latest release. Your installed game is still available."
WAIT = "Please wait for the current operation to finish."
RECOVERY = ("The old copy of the game in Games/OrbelZolta-Windows.previous cannot be removed. It "
            "is safe to delete it before retrying.")

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
  // Whether the servers are online is told whole at every width.
  const serverCut = $("serverText").scrollWidth > $("serverText").clientWidth + 1 ||
    !visible($("serverText"));
  // A control off screen is reached by scrolling it into view, as a player would; the scroll
  // positions are put back afterwards.
  const scrolled = [];
  const reach = (e) => {
    for (let a = e.parentElement; a; a = a.parentElement)
      scrolled.push([a, a.scrollTop, a.scrollLeft]);
    scrolled.push([document.scrollingElement, scrollY, scrollX]);
    e.scrollIntoView({ block: "nearest", inline: "nearest" });
    const r = e.getBoundingClientRect();
    return { r, hit: document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2) };
  };
  const inside = (r) => r.left >= -1 && r.top >= -1 && r.right <= innerWidth + 1 &&
    r.bottom <= innerHeight + 1;
  // The main actions, the progress and every notice must be on screen and uncovered without any
  // scrolling: a notice lasts a few seconds and is seen on arrival or not at all.
  const main = [];
  for (const e of document.querySelectorAll("#primary, #install, #cancel, #progress, .toast")) {
    if (!visible(e)) continue;
    const r = e.getBoundingClientRect();
    const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
    const name = e.id || e.className;
    if (!inside(r)) main.push(`${name} is off screen`);
    else if (!hit || !e.contains(hit)) main.push(`${name} is covered`);
  }
  const controls = [...document.querySelectorAll("button"), document.querySelector(".switch")]
    .filter(visible).map((e) => {
      const { r, hit } = reach(e);
      const button = e.matches("button");
      return { label: button ? e.textContent.trim() : "switch",
               select: button ? `#${e.id}` : ".switch",
               enabled: !(button ? e : e.querySelector("input")).disabled,
               x: r.left + r.width / 2, y: r.top + r.height / 2,
               reachable: !!hit && e.contains(hit) };
    });
  for (const [e, top, left] of scrolled.reverse()) {
    e.scrollTop = top;
    e.scrollLeft = left;
  }
  // Every element with its own text or a control must lie inside its panel and the window.
  const spills = [];
  // The page may scroll down, never sideways.
  const page = document.scrollingElement;
  const view = { left: 0, top: -scrollY, right: innerWidth, bottom: page.scrollHeight - scrollY };
  for (const e of document.querySelectorAll("body *")) {
    if (!visible(e) || e.closest("svg")) continue;
    const own = [...e.childNodes].some((n) => n.nodeType === 3 && n.textContent.trim());
    if (!own && !e.matches("button")) continue;
    const r = e.getBoundingClientRect();
    const box = e.parentElement.closest(".card, .panel, .bar, .toast, .progress");
    // Inside a scrolling box the text may run below the fold, never beside it.
    const scrolls = !!e.parentElement.closest(".grow, .message, .toast, aside");
    for (const b of [view, box && box.getBoundingClientRect()]) {
      if (b && (r.left < b.left - 1 || r.right > b.right + 1 ||
                (!scrolls && (r.top < b.top - 1 || r.bottom > b.bottom + 1))))
        spills.push(`${e.id || e.className || e.tagName}: ${e.textContent.slice(0, 40)}`);
    }
  }
  // No two of the page's pieces may meet: controls, figures, texts and notices.
  const pieces = [...document.querySelectorAll("button, .switch, .versions > div, .progress, " +
                                               ".path, h1, h2, .toast, .brand, .server, " +
                                               ".activity li, .empty")].filter(visible);
  const overlaps = [];
  pieces.forEach((x, i) => pieces.slice(i + 1).forEach((y) => {
    if (x.contains(y) || y.contains(x)) return;
    const a = x.getBoundingClientRect(), b = y.getBoundingClientRect();
    if (a.left < b.right - 1 && b.left < a.right - 1 && a.top < b.bottom - 1 && b.top < a.bottom - 1)
      overlaps.push(`${x.id || x.className || x.tagName} and ${y.id || y.className || y.tagName}`);
  }));
  // WCAG AA: text 4.5:1 on what lies behind it, the edge of each enabled control 3:1.
  const rgba = (c) => { const n = c.match(/[\d.]+/g).map(Number); return n.length > 3 ? n : [...n, 1]; };
  const over = (top, under) => top.slice(0, 3).map((v, i) => v * top[3] + under[i] * (1 - top[3]));
  const behind = (e) => {
    const layers = [];
    for (let a = e; a; a = a.parentElement) {
      const c = rgba(getComputedStyle(a).backgroundColor);
      if (c[3] > 0) layers.push(c);
      if (c[3] === 1) break;
    }
    return layers.reverse().reduce((under, c) => over(c, under), [0, 0, 0]);
  };
  const light = (c) => c.map((v) => { v /= 255; return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4; })
    .reduce((s, v, i) => s + v * [0.2126, 0.7152, 0.0722][i], 0);
  const ratio = (a, b) => { const [x, y] = [light(a), light(b)].sort((p, q) => q - p); return (x + 0.05) / (y + 0.05); };
  const contrast = [];
  const disabled = (e) => !!e.closest("button:disabled, label:has(input:disabled)");
  for (const e of document.querySelectorAll("body *")) {
    if (!visible(e) || e.closest("svg, .art") || disabled(e)) continue;
    if (![...e.childNodes].some((n) => n.nodeType === 3 && n.textContent.trim())) continue;
    const style = getComputedStyle(e);
    const back = behind(e);
    const r = ratio(over(rgba(style.color), back), back);
    if (r < 4.5) contrast.push(`text of ${e.id || e.className || e.tagName} ${r.toFixed(2)}:1`);
  }
  for (const e of document.querySelectorAll("button, .knob")) {
    if (!visible(e) || disabled(e)) continue;
    const style = getComputedStyle(e);
    const around = behind(e.parentElement);
    const fill = over(rgba(style.backgroundColor), around);
    const edge = parseFloat(style.borderTopWidth) > 0 ? over(rgba(style.borderTopColor), fill) : fill;
    const r = Math.max(ratio(edge, around), ratio(fill, around));
    if (r < 3) contrast.push(`edge of ${e.id || e.className} ${r.toFixed(2)}:1`);
  }
  // The parts that carry meaning without text, 3:1 against what lies beside them: the progress
  // track (its edge or its fill) against its box, the bar's fill against the unfilled track, and
  // the switch's thumb against the switch.
  const track = $("track"), fill = $("fill");
  if (visible(track)) {
    const style = getComputedStyle(track);
    const around = behind(track.parentElement);
    const inner = over(rgba(style.backgroundColor), around);
    const edge = parseFloat(style.borderTopWidth) > 0 ? over(rgba(style.borderTopColor), inner) : inner;
    const r = Math.max(ratio(edge, around), ratio(inner, around));
    if (r < 3) contrast.push(`progress track ${r.toFixed(2)}:1 against its box`);
    if (visible(fill)) {
      const f = ratio(over(rgba(getComputedStyle(fill).backgroundColor), inner), inner);
      if (f < 3) contrast.push(`progress fill ${f.toFixed(2)}:1 against the track`);
    }
  }
  const knob = document.querySelector(".knob");
  if (visible(knob) && !disabled(knob)) {
    const under = over(rgba(getComputedStyle(knob).backgroundColor), behind(knob.parentElement));
    const thumb = over(rgba(getComputedStyle(knob, "::after").backgroundColor), under);
    const r = ratio(thumb, under);
    if (r < 3) contrast.push(`switch thumb ${r.toFixed(2)}:1 against its track`);
  }
  const toasts = [...document.querySelectorAll(".toast")];
  // Each announcement is a line of its own.
  const live = (kind) => [...document.querySelectorAll(`[aria-live="${kind}"] > *`)]
    .map((e) => e.textContent);
  // What moved since the "mark" step: the controls and the progress, where a pointer may rest.
  const moved = [];
  for (const [select, was] of Object.entries(window.marked || {})) {
    const e = document.querySelector(select);
    const r = e && visible(e) ? e.getBoundingClientRect() : null;
    const now = r ? [r.left, r.top, r.width, r.height].map(Math.round).join(",") : "gone";
    if (now !== was) moved.push(`${select} from ${was} to ${now}`);
  }
  return {
    texts, controls, main, spills, overlaps, contrast, serverCut, moved,
    changed: window.changed || [], changedAll: window.changedAll || 0,
    loaded: document.body.dataset.loaded === "yes",
    stage: $("progress").dataset.stage,
    indeterminate: document.querySelector(".track").dataset.indeterminate === "yes",
    fill: $("fill").style.width,
    toasts: toasts.map((t) => (t.querySelector(".text") || t).textContent),
    errors: toasts.filter((t) => t.dataset.kind === "error")
      .map((t) => (t.querySelector(".text") || t).textContent),
    polite: live("polite"),
    assertive: live("assertive"),
    focus: document.activeElement === document.body ? "body" : document.activeElement.id,
    focusInCard: !!document.activeElement.closest(".card"),
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
        self.call("Accessibility.enable")
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


def notice(text, kind):
    return ("notice", text, kind)


def click(label):
    return ("click", label)


def see(actions=None, **expect):
    return ("see", expect, actions)


# From the "watch" step on, every change inside a control: its text, its attributes, its children.
WATCH = """
(() => {
  window.changed = [];
  const observer = new MutationObserver((records) => {
    for (const r of records) {
      const node = r.target.nodeType === 1 ? r.target : r.target.parentElement;
      const control = node.closest("button, .switch");
      window.changed.push(`${control.id || control.className}: ${r.type} ${r.attributeName || ""}`);
    }
  });
  for (const e of document.querySelectorAll("button, .switch"))
    observer.observe(e, { attributes: true, childList: true, characterData: true, subtree: true });
  window.changedAll = 0;
  const all = new MutationObserver((records) => {
    window.changedAll += records.filter((r) => !r.target.closest ||
      !r.target.closest("[aria-live]")).length;
  });
  all.observe(document.body, { attributes: true, childList: true, characterData: true,
                               subtree: true });
})()
"""

# The places of the controls and the progress, for "moved" to compare with.
MARK = """
(() => {
  window.marked = {};
  for (const e of document.querySelectorAll("button, .switch, #progress")) {
    const r = e.getBoundingClientRect();
    if (r.width > 0 && r.height > 0)
      window.marked[e.id ? `#${e.id}` : ".switch"] = [r.left, r.top, r.width, r.height]
        .map(Math.round).join(",");
  }
})()
"""

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
            figures="43% · 1.3 / 3.0 MB", indeterminate=False, fill="42.5%", progress=42.5,
            said="Downloading", actions={"Cancel": "cancel", **BUSY})],
    "downloading-without-length": [
        state(**dict(DOWNLOADING, progress=0.0, received="1.5", total="")),
        see(figures="1.5 MB received", indeterminate=True, absent=["0%"], progress=None,
            actions={"Cancel": "cancel", **BUSY})],
    "error-drops-stage-line": [
        state(stage="error", status="Verifying download",
              message="Checksum mismatch. Nothing was installed."),
        see(stageName="Error", stage="error", statusLine="", absent=["Verifying download"],
            message="Checksum mismatch. Nothing was installed.",
            alerted="Checksum mismatch. Nothing was installed.",
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
        notice("N" * 1500, "error"), notice("Another notice", "info"), ("wait", 0.4),
        see(installedVersion=LONG, actions={"Cancel": "cancel", **BUSY})],
    "cancel": [
        state(**DOWNLOADING),
        click("Cancel"),
        see(stageName="Cancelling…", stage="cancelling", sent=["cancel"],
            actions={"Cancelling…": None, **BUSY}),
        # A failure after Cancel is told as the cancel.
        notice(CANCELLED, "info"),
        state(stage="error", message=CANCELLED, activity=[{"text": CANCELLED, "time": "09:08"}]),
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
        notice(CHECKED, "checked"),
        state(**dict(PLAYING, installedVersion="0.9.0", updateAvailable=True)),
        see(updateBadge="Update available", toasts=[])],
    "check-notice-when-up-to-date": [
        notice(CHECKED, "checked"),
        state(**PLAYING),
        see(updateBadge="Up to date", toasts=[CHECKED])],
    "notice-alone": [
        state(), notice(WAIT, "info"),
        ("wait", 0.4),
        see(toasts=[WAIT], errors=[], said=WAIT)],
    # The page styles and announces a notice by its kind alone, whatever its sentence.
    "notice-kinds": [
        state(**PLAYING),
        notice("Zolta's servers restart at noon.", "info"),
        notice(WAIT, "error"),
        notice("The library list was read again.", "checked"),
        notice("The disk is full.", "error"),
        ("wait", 0.4),
        see(toasts=[WAIT, "The library list was read again.", "The disk is full."],
            errors=[WAIT, "The disk is full."], said="Zolta's servers restart at noon.",
            alerted="The disk is full.")],
    # A notice comes and goes beside the main action without moving or covering anything.
    "notice-keeps-actions-still": [
        state(**dict(PLAYING, installedVersion="0.9.0", updateAvailable=True)),
        ("mark",),
        notice(RECOVERY, "error"), ("wait", 0.4),
        see(toasts=[RECOVERY]),
        ("dismiss",),
        see(toasts=[]),
        state(**DOWNLOADING),
        ("mark",),
        notice(UNCHECKED, "error"), ("wait", 0.4),
        see(toasts=[UNCHECKED]),
        ("dismiss",),
        see(toasts=[])],
    "error-notice": [
        state(**PLAYING), notice(UNCHECKED, "error"), ("wait", 0.4),
        see(toasts=[UNCHECKED], errors=[UNCHECKED], alerted=UNCHECKED)],
    # The launcher tells a job's failure both as a notice and as the error stage's message.
    "job-failure": [
        state(**DOWNLOADING),
        notice(TIMED_OUT, "error"),
        state(stage="error", message=TIMED_OUT, activity=[{"text": TIMED_OUT, "time": "09:08"}]),
        see(stageName="Error", message=TIMED_OUT, toasts=[TIMED_OUT], errors=[TIMED_OUT],
            alerted=TIMED_OUT, actions={"Install": "install", **IDLE})],
    # The focused button is disabled as the work starts: focus stays on the work, never moves by
    # itself to Cancel, and goes to Install once the work is over.
    "focus-follows-work": [
        state(),
        click("Install"),
        state(busy=True, stage="preparing", status="Preparing"),
        see(focusInCard=True),
        state(**DOWNLOADING),
        see(focus="progress"),
        click("Cancel"),
        see(focusInCard=True),
        state(stage="error", message=TIMED_OUT),
        see(focus="primary")],
    # Install by Enter, then Enter again (a double press, a repeating key): no cancel.
    "enter-twice": [
        state(),
        ("focus", "#primary"), ("key",),
        state(busy=True, stage="preparing", status="Preparing"),
        state(**DOWNLOADING),
        see(focus="progress"),
        ("key",), ("key",),
        see(sent=["install"], stageName="Downloading")],
    # A download's progress changes nothing inside the controls; the same state twice changes
    # nothing on the page.
    "steady-progress": [
        state(**DOWNLOADING),
        ("watch",),
        *[state(**dict(DOWNLOADING, progress=42.5 + i, received=f"{1.3 + i / 30:.1f}"))
          for i in range(30)],
        see(changed=[], figures="72% · 2.3 / 3.0 MB"),
        state(**dict(PLAYING, installedVersion="0.9.0", updateAvailable=True)),
        ("watch",),
        state(**dict(PLAYING, installedVersion="0.9.0", updateAvailable=True)),
        state(**dict(PLAYING, installedVersion="0.9.0", updateAvailable=True)),
        see(changed=[], changedAll=0)],
    # A press and a release with states arriving in between act once, as a click does.
    "press-through-states": [
        state(**DOWNLOADING),
        ("press", "Cancel"),
        *[state(**dict(DOWNLOADING, progress=43 + i)) for i in range(5)],
        ("release",),
        see(sent=["cancel"], stageName="Cancelling…"),
        state(stage="error", message=CANCELLED),
        state(latestVersion=None, online=None, checked=None),
        ("press", "Install"),
        state(),
        notice(CHECKED, "checked"),
        ("release",),
        see(sent=["cancel", "install"])],
    "auto-check-off": [
        state(autoCheck=False),
        see(actions={"Install": "install", **IDLE, "switch": "autoCheck:true"})],
    "keyboard": [
        state(**dict(PLAYING, installedVersion="0.9.0", updateAvailable=True)),
        see(rings=True),
        state(**DOWNLOADING),
        see(rings=True)],
    "refresh": [
        state(),
        click("Refresh"),
        # Refresh is disabled while the check runs: its focus goes on to the main action.
        see(sent=["refresh"], focus="primary",
            actions={"Install": "install", "Locate game": "locate", "Show files": "showFiles",
                     "Web page": "website", "switch": "autoCheck:false"}),
        state(),
        see(actions={"Install": "install", **IDLE})],
}


# The page in CSS pixels: the window at its default and smallest size, at the display scales
# players use (the smallest window at 150 % and 200 %, the default one at 200 %), and a large
# monitor. The default size runs every case, the others those whose main action matters.
SIZES = [("", 1440, 960), ("-small", 1060, 760), ("-522x356", 522, 356), ("-530x380", 530, 380),
         ("-712x456", 712, 456),
         ("-707x507", 707, 507), ("-720x480", 720, 480), ("-960x640", 960, 640),
         ("-2560x1440", 2560, 1440)]
SIZED = ("not-installed", "update-available", "unknown-version", "downloading",
         "downloading-without-length", "error-drops-stage-line", "long-texts", "error-notice",
         "notice-alone", "job-failure", "notice-kinds", "notice-keeps-actions-still",
         "check-notice-when-up-to-date")


def deliver(browser, message):
    browser.evaluate(f"deliver({json.dumps(message)})")


def controls(browser):
    return browser.evaluate(VIEW)["controls"]


def sent_since(browser, count):
    return browser.evaluate(f"window.sent.slice({count})")


def locate(browser, select):
    """The centre of a control, scrolled into view first as a player would scroll to it."""
    return browser.evaluate(f"""(() => {{
        const e = document.querySelector({json.dumps(select)});
        e.scrollIntoView({{ block: "nearest", inline: "nearest" }});
        const r = e.getBoundingClientRect();
        return [r.left + r.width / 2, r.top + r.height / 2];
    }})()""")


def check_access(browser, expect, problems):
    """What assistive technology is given: the tree Chromium builds for it."""
    nodes = [n for n in browser.call("Accessibility.getFullAXTree")["nodes"]
             if not n.get("ignored")]

    def role(n):
        return n.get("role", {}).get("value")

    def prop(n, name):
        return next((p["value"].get("value") for p in n.get("properties", [])
                     if p["name"] == name), None)

    bars = [n for n in nodes if role(n) == "progressbar"]
    if len(bars) != 1:
        problems.append(f"{len(bars)} progress bars in the accessibility tree, wanted 1")
    elif "progress" in expect:
        got = (bars[0].get("value") or {}).get("value")
        if got != expect["progress"]:
            problems.append(f"the progress bar's value is {got!r}, wanted {expect['progress']!r}")
    for kind in ("polite", "assertive"):
        if not any(prop(n, "live") == kind for n in nodes):
            problems.append(f"no {kind} live region in the accessibility tree")
    if not any(role(n) == "heading" and prop(n, "level") == 1 and n["name"]["value"]
               for n in nodes):
        problems.append("no page heading in the accessibility tree")


def check_rings(browser, problems):
    """Tab through the page: each control shows a focus ring that stands out from what lies
    around it (3:1) and, set apart by a gap, is plainly not the control's own colour (2:1)."""
    rings = """(() => {
      const e = document.activeElement;
      const ring = e.matches("input") ? e.nextElementSibling : e;
      const s = getComputedStyle(ring);
      const rgb = (c) => c.match(/[\\d.]+/g).slice(0, 3).map(Number);
      const light = (c) => c.map((v) => { v /= 255; return v <= 0.03928 ? v / 12.92 :
        ((v + 0.055) / 1.055) ** 2.4; }).reduce((t, v, i) => t + v * [0.2126, 0.7152, 0.0722][i], 0);
      const ratio = (a, b) => { const [x, y] = [light(a), light(b)].sort((p, q) => q - p);
        return (x + 0.05) / (y + 0.05); };
      let back = null;
      for (let a = ring.parentElement; a && !back; a = a.parentElement) {
        const c = getComputedStyle(a).backgroundColor;
        if (!c.endsWith(", 0)") && c !== "transparent") back = rgb(c);
      }
      const fill = s.backgroundColor.endsWith(", 0)") ? back : rgb(s.backgroundColor);
      const line = rgb(s.outlineColor);
      return { id: e.id || e.tagName, style: s.outlineStyle, width: parseFloat(s.outlineWidth),
               gap: parseFloat(s.outlineOffset), around: ratio(line, back), own: ratio(line, fill) };
    })()"""
    seen = set()
    for _ in range(20):
        for kind in ("rawKeyDown", "keyUp"):
            browser.call("Input.dispatchKeyEvent", type=kind, key="Tab", code="Tab",
                         windowsVirtualKeyCode=9)
        ring = browser.evaluate(rings)
        if ring["id"] == "BODY":
            continue
        if ring["id"] in seen:
            break
        seen.add(ring["id"])
        if (ring["style"] == "none" or ring["width"] < 2 or ring["around"] < 3
                or ring["own"] < (2 if ring["gap"] >= 2 else 3)):
            problems.append(f"the focus ring of {ring['id']} is hard to see: {ring}")
    if not seen:
        problems.append("Tab reaches no control")


def check_view(browser, expect, actions, problems):
    view = browser.evaluate(VIEW)
    check_access(browser, expect, problems)
    for key, wanted in expect.items():
        if key == "absent":
            for text in wanted:
                if text in view["page"]:
                    problems.append(f"shows {text!r}")
        elif key == "sent":
            got = [m["action"] for m in browser.evaluate("window.sent") if m["action"] != "ready"]
            if got != wanted:
                problems.append(f"sent {got}, wanted {wanted}")
        elif key in ("said", "alerted"):
            # Told once: a second line with the same news would be heard twice.
            region = view["polite" if key == "said" else "assertive"]
            if sum(wanted in line for line in region) != 1:
                problems.append(f"the {key} live region holds {region!r}, not {wanted!r} once")
        elif key == "rings":
            check_rings(browser, problems)
        elif key != "progress":
            got = view["texts"][key] if key in view["texts"] else view[key]
            if got != wanted:
                problems.append(f"{key} is {got!r}, wanted {wanted!r}")
    problems += [f"spills out of its box: {s}" for s in view["spills"]]
    problems += [f"overlap: {o}" for o in view["overlaps"]]
    problems += [f"without scrolling, {m}" for m in view["main"]]
    problems += [f"contrast below AA: {c}" for c in view["contrast"]]
    if view["wide"]:
        problems.append("the page is wider than the window")
    if view["serverCut"]:
        problems.append(f"the server line is cut: {view['texts']['serverText']!r}")
    problems += [f"moved under the pointer: {m}" for m in view["moved"]]
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
        browser.click(*locate(browser, c["select"]))
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
    pressed = None
    for number, step in enumerate(steps):
        kind = step[0]
        if kind == "state":
            data = {k: v for k, v in step[1].items() if v is not None}
            deliver(browser, {"type": "state", "data": data})
        elif kind == "notice":
            deliver(browser, {"kind": step[2], "message": step[1], "type": "notice"})
        elif kind == "wait":
            time.sleep(step[1])
        elif kind == "focus":
            browser.evaluate(f"document.querySelector({json.dumps(step[1])}).focus()")
        elif kind == "key":
            for event in ("keyDown", "keyUp"):
                browser.call("Input.dispatchKeyEvent", type=event, key="Enter", code="Enter",
                             windowsVirtualKeyCode=13, text="\r" if event == "keyDown" else "")
        elif kind == "watch":
            browser.evaluate(WATCH)
        elif kind == "mark":
            browser.evaluate(MARK)
        elif kind == "dismiss":
            # A notice's leave, without its six seconds.
            browser.evaluate("document.querySelectorAll('.toast').forEach((t) => t.remove())")
        elif kind in ("press", "release"):
            if kind == "press":
                found = [c for c in controls(browser) if c["label"] == step[1]]
                pressed = locate(browser, found[0]["select"]) if found else None
                if not found:
                    problems.append(f"no {step[1]} to press")
            if pressed:
                browser.call("Input.dispatchMouseEvent", type="mousePressed" if kind == "press"
                             else "mouseReleased", x=pressed[0], y=pressed[1], button="left",
                             clickCount=1)
        elif kind == "click":
            found = [c for c in controls(browser) if c["label"] == step[1]]
            if not found:
                problems.append(f"no {step[1]} to click")
            else:
                browser.click(*locate(browser, found[0]["select"]))
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
            for suffix, width, height in SIZES:
                browser.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                             deviceScaleFactor=1, mobile=False)
                for name, steps in CASES.items():
                    if args.only and args.only != name:
                        continue
                    if suffix and name not in SIZED:
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
