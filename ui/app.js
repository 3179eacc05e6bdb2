// Renders the launcher's state document and turns clicks into actions.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  let state = null; // null until the launcher's first state arrives
  // The page's own memory of what it asked for, which the state document does not carry.
  let cancelAsked = false; // Cancel was pressed during this download
  let checkAsked = false; // Refresh was pressed; cleared by the next state
  let pending = []; // notices ({ text, kind }) held until the state that follows them is known
  let flushTimer = 0;
  let announced = ""; // the stage and message last told to assistive technology
  let stageAlert = ""; // the failure the state just rendered told; its notice is not told again
  let parked = false; // focus waits on the progress for a control to take it
  let activityShown = null; // the activity list as last rendered

  // What a notice is, as the launcher says: "info" informs, "checked" is the release check's
  // outcome (which an "Update available" beside it would contradict), anything else reports a
  // failure.
  const informs = (kind) => kind === "info" || kind === "checked";

  const stageNames = {
    idle: "Ready",
    preparing: "Preparing",
    downloading: "Downloading",
    verifying: "Verifying",
    installing: "Installing",
    complete: "Complete",
    error: "Error",
    cancelling: "Cancelling…",
    cancelled: "Cancelled",
  };

  const text = (value, fallback) =>
    typeof value === "string" && value !== "" ? value : fallback;

  // Figures from the server are shown only when they are plausible; anything else is unknown.
  const unknown = "–";
  const count = (value) =>
    Number.isInteger(value) && value >= 0 && value < 1e9 ? value.toLocaleString("en") : unknown;
  const megabytes = (value) =>
    typeof value === "number" && Number.isFinite(value) && value > 0 && value < 1e6
      ? `${value.toFixed(1)} MB`
      : unknown;

  // The launcher's version order: three numbers of up to six digits, then the end or a "-".
  function triple(version) {
    const match = /^(\d{1,6})\.(\d{1,6})\.(\d{1,6})(?:-|$)/.exec(text(version, ""));
    return match ? match.slice(1).map(Number) : null;
  }
  function sameVersion(a, b) {
    const x = triple(a);
    const y = triple(b);
    return x !== null && y !== null && x.every((n, i) => n === y[i]);
  }

  const versionUnknown = () => state.installed === true && state.installedVersion === "Unknown";

  // The stage as the player should read it.
  function shownStage() {
    const stage = text(state.stage, "idle");
    if (stage === "downloading" && cancelAsked) return "cancelling";
    if (stage === "error" && cancelAsked) return "cancelled";
    // A finished install stops being news once the game is no longer the latest.
    if (stage === "complete" && (!state.installed || state.updateAvailable)) return "idle";
    return stageNames[stage] ? stage : "idle";
  }

  // Each state writes only what changed: a label, class or attribute written again with the value
  // it has would replace a button's text under a pointer that is pressing it, and WebKitGTK then
  // drops the click.
  function put(element, key, value) {
    if (element[key] !== value) element[key] = value;
  }
  function label(id, value) {
    put($(id), "textContent", value);
  }
  function data(id, key, value) {
    const element = $(id);
    if (element.dataset[key] !== value) element.dataset[key] = value;
  }
  function attribute(element, name, value) {
    if (value === null) {
      if (element.hasAttribute(name)) element.removeAttribute(name);
    } else if (element.getAttribute(name) !== value) {
      element.setAttribute(name, value);
    }
  }

  function setText(id, value) {
    label(id, value);
    put($(id), "title", value); // long texts are cut inside their box; the whole text stays at hand
  }

  function renderServer() {
    if (state.online === undefined) {
      data("server", "online", "unknown");
      label("serverText", "Server status unknown");
      label("serverCounts", "");
    } else if (state.online) {
      data("server", "online", "yes");
      label("serverText", "Servers online");
      label("serverCounts", `${count(state.players)} players · ${count(state.rooms)} rooms`);
    } else {
      data("server", "online", "no");
      label("serverText", "Servers offline");
      label("serverCounts", "");
    }
    setText("serverChecked", state.checked ? `checked ${text(state.checked, "")}` : "");
  }

  function badge() {
    if (!state.installed) return ["Not installed", ""];
    if (versionUnknown()) return ["Version unknown", "unknown"];
    if (state.updateAvailable) return ["Update available", "update"];
    if (sameVersion(state.installedVersion, state.latestVersion)) return ["Up to date", "ok"];
    return ["Installed", "ok"];
  }

  function renderVersions() {
    setText(
      "installedVersion",
      state.installed ? text(state.installedVersion, "Unknown") : "Not installed"
    );
    setText("latestVersion", text(state.latestVersion, "Not checked yet"));
    label("releaseSize", megabytes(state.releaseMB));
    const [name, kind] = badge();
    label("updateBadge", name);
    data("updateBadge", "kind", kind);
    setText("path", state.path ? `Game: ${state.path}` : "");
  }

  function renderProgress() {
    const stage = shownStage();
    data("progress", "stage", stage);
    label("stageName", stageNames[stage]);
    const quiet = ["idle", "error", "cancelled"].includes(stage);
    // A failed stage's own line would read as if it were still under way.
    setText("statusLine", quiet ? "" : text(state.status, ""));
    const message = stage === "idle" ? "" : text(state.message, "");
    setText("message", message);

    const downloading = stage === "downloading" || stage === "cancelling";
    const active = downloading || ["verifying", "installing"].includes(stage);
    const known = text(state.total, "") !== "";
    const percent =
      typeof state.progress === "number" && Number.isFinite(state.progress)
        ? Math.max(0, Math.min(100, state.progress))
        : 0;
    // Without an announced length there is no percentage: the bar only shows activity.
    const track = $("track");
    data("track", "indeterminate", downloading && !known ? "yes" : "no");
    const shown = stage === "complete" ? 100 : active ? percent : 0;
    put($("fill").style, "width", `${shown}%`);
    attribute(track, "aria-valuenow", downloading && !known ? null : String(shown));

    let figures = "";
    const received = text(state.received, "");
    if (downloading && known) {
      figures = `${percent.toFixed(0)}%`;
      if (received) figures += ` · ${received} / ${state.total} MB`;
    } else if (downloading && received) {
      figures = `${received} MB received`;
    } else if (active) {
      figures = `${percent.toFixed(0)}%`;
    }
    setText("figures", figures);
    attribute(track, "aria-valuetext", figures || null);
    announceStage(stage, message);
  }

  // Tells assistive technology; each text is a new line, so that a repeat is told again.
  function announce(message, urgent) {
    const region = $(urgent ? "alerted" : "said");
    const line = document.createElement("p");
    line.textContent = message;
    region.append(line);
    while (region.children.length > 3) region.firstElementChild.remove();
  }

  function announceStage(stage, message) {
    const now = `${stage}\n${message}`;
    if (now === announced) return;
    const first = announced === "";
    announced = now;
    if (first && stage === "idle") return;
    if (stage === "error") {
      stageAlert = message;
      announce(message || stageNames.error, true);
    } else {
      announce([stageNames[stage], message].filter(Boolean).join(". "), false);
    }
  }

  function renderActions() {
    const busy = state.busy === true;
    const primary = $("primary");
    const install = $("install");
    if (state.installed) {
      label("primary", "Play");
      data("primary", "action", "play");
      put(install, "hidden", !state.updateAvailable && !versionUnknown());
      label("install", versionUnknown() ? "Install latest" : "Update");
    } else {
      label("primary", busy ? "Installing…" : "Install");
      data("primary", "action", "install");
      put(install, "hidden", true);
    }
    put(primary, "disabled", busy);
    put(install, "disabled", busy);
    const cancel = $("cancel");
    put(cancel, "hidden", state.stage !== "downloading");
    put(cancel, "disabled", cancelAsked);
    label("cancel", cancelAsked ? "Cancelling…" : "Cancel");
    const refresh = $("refresh");
    put(refresh, "disabled", busy || checkAsked);
    label("refresh", checkAsked ? "Checking…" : "Refresh");
    put($("locate"), "disabled", busy);
    for (const id of ["showFiles", "website", "autoCheck"]) put($(id), "disabled", false);
    put($("autoCheck"), "checked", state.autoCheck !== false);
  }

  function renderActivity() {
    const list = $("activity");
    const entries = Array.isArray(state.activity) ? state.activity : [];
    const shown = JSON.stringify(entries);
    if (activityShown === shown) return;
    activityShown = shown;
    list.replaceChildren(
      ...entries.map((entry) => {
        const item = document.createElement("li");
        const time = document.createElement("time");
        time.textContent = text(entry && entry.time, "");
        const what = document.createElement("span");
        what.textContent = text(entry && entry.text, "");
        item.append(time, what);
        return item;
      })
    );
    put($("activityEmpty"), "hidden", entries.length > 0);
  }

  // A focused button that is disabled or hidden would drop focus to the document: it moves to
  // the working area instead, and on to Play or Install once one of them can take it. Never on to
  // Cancel: a second Enter (a double press, a repeating key) would undo the install just asked for.
  function keepFocus(before) {
    const progress = $("progress");
    const lost = before instanceof HTMLButtonElement && (before.disabled || before.hidden);
    if (!lost && !(parked && document.activeElement === progress)) return;
    const next = ["primary", "install"].map($).find((b) => !b.hidden && !b.disabled);
    parked = !next;
    if (document.activeElement !== (next || progress)) (next || progress).focus();
  }

  function render() {
    const before = document.activeElement;
    if (document.body.dataset.loaded !== "yes") document.body.dataset.loaded = "yes";
    renderServer();
    renderVersions();
    renderProgress();
    renderActions();
    renderActivity();
    keepFocus(before);
  }

  // A notice that the state on screen already answers, or contradicts, is not shown.
  function contradicted({ text: message, kind }) {
    if (state === null) return false;
    if (kind === "checked" && (state.updateAvailable || versionUnknown())) return true;
    // The panel shows the cancel; the failure it caused is not news.
    return shownStage() === "cancelled" && message === state.message;
  }

  // Shows a notice; "told" when the error stage announced the same text a moment ago.
  function toast({ text: message, kind }, told) {
    const failed = !informs(kind);
    const item = document.createElement("div");
    item.className = "toast";
    item.dataset.kind = failed ? "error" : "info";
    if (failed) {
      const kind = document.createElement("strong");
      kind.className = "kind";
      kind.textContent = "Error";
      item.append(kind);
    }
    const body = document.createElement("span");
    body.className = "text";
    body.textContent = message;
    item.append(body);
    if (!told) announce(message, failed);
    const box = $("toasts");
    box.append(item);
    while (box.children.length > 3) box.firstElementChild.remove();
    setTimeout(() => {
      item.classList.add("leaving");
      setTimeout(() => item.remove(), 300);
    }, 6000);
  }

  function flush() {
    clearTimeout(flushTimer);
    const shown = pending;
    pending = [];
    for (const notice of shown) {
      if (!contradicted(notice)) toast(notice, notice.text === stageAlert);
    }
    stageAlert = "";
  }

  function receiveState(data) {
    const stage = text(data.stage, "idle");
    const before = state === null ? "idle" : text(state.stage, "idle");
    // A cancel belongs to one download: it lasts through that download and the failure that
    // ends it, and no further.
    const same =
      stage === "downloading"
        ? before === "downloading"
        : stage === "error" && (before === "downloading" || before === "error");
    if (!same) cancelAsked = false;
    checkAsked = false;
    state = data;
    stageAlert = "";
    render();
    flush();
  }

  launcher.listen((message) => {
    if (!message || typeof message !== "object") return;
    if (message.type === "state" && message.data && typeof message.data === "object") {
      receiveState(message.data);
    } else if (message.type === "notice" && typeof message.message === "string") {
      // The launcher sends a job's notice just before the state it belongs to.
      pending.push({ text: message.message, kind: message.kind });
      clearTimeout(flushTimer);
      flushTimer = setTimeout(flush, 150);
    }
  });

  // On a narrow page the side column lies below the fold, where a notice would come and go
  // unseen: notices then sit in the art band, which is always in view.
  const narrow = matchMedia("(max-width: 900px)");
  function placeNotices() {
    const box = $("toasts");
    if (narrow.matches) document.querySelector(".art").append(box);
    else document.querySelector("aside .grow").before(box);
  }
  narrow.addEventListener("change", placeNotices);
  placeNotices();

  const act = (id, action) => $(id).addEventListener("click", () => launcher.send(action));
  $("primary").addEventListener("click", (event) =>
    launcher.send(event.currentTarget.dataset.action || "install")
  );
  act("install", "install");
  $("cancel").addEventListener("click", () => {
    if (state === null || state.stage !== "downloading" || cancelAsked) return;
    cancelAsked = true;
    render();
    launcher.send("cancel");
  });
  $("refresh").addEventListener("click", () => {
    if (state === null || state.busy === true) return;
    checkAsked = true;
    render(); // Refresh, disabled while the check runs, hands its focus on
    launcher.send("refresh");
  });
  act("locate", "locate");
  // WebKitGTK drops the click of a press and release on a button whose text was replaced in
  // between: a release on the button that was pressed, with no click after it, acts in its place.
  let pressed = null;
  let released = null;
  document.addEventListener("pointerdown", (event) => {
    // Only a mouse: a tap's click comes later than its release, and would act a second time.
    pressed = event.pointerType === "mouse" && event.button === 0 && event.target.closest
      ? event.target.closest("button") : null;
  }, true);
  document.addEventListener("pointerup", (event) => {
    const button = pressed;
    pressed = null;
    if (!button || event.button !== 0 || !event.target.closest) return;
    if (event.target.closest("button") !== button) return;
    released = button;
    setTimeout(() => {
      if (released !== button) return;
      released = null;
      if (!button.disabled && !button.hidden) button.click();
    });
  }, true);
  document.addEventListener("click", () => {
    released = null;
  }, true);
  act("showFiles", "showFiles");
  act("website", "website");
  $("autoCheck").addEventListener("change", (event) =>
    launcher.send("autoCheck", { enabled: event.currentTarget.checked })
  );

  launcher.send("ready");
})();
