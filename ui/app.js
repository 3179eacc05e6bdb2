// Renders the launcher's state document and turns clicks into actions.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  let state = null; // null until the launcher's first state arrives
  // The page's own memory of what it asked for, which the state document does not carry.
  let cancelAsked = false; // Cancel was pressed during this download
  let checkAsked = false; // Refresh was pressed; cleared by the next state
  let pending = []; // notices held until the state that follows them is known
  let flushTimer = 0;
  let announced = ""; // the stage and message last told to assistive technology
  let stageAlert = ""; // the failure the state just rendered told; its notice is not told again
  let parked = false; // focus waits on the progress for a control to take it

  // The launcher's notice after a release check; it would contradict an "Update available".
  const checkedNotice = "Library checked. Release information is up to date.";
  const cancelledText = "Download cancelled. Your existing installation is unchanged.";
  // The launcher's notices that inform, refuse or confirm a cancel; every other notice reports a
  // failure.
  const informing = new Set([
    checkedNotice,
    cancelledText,
    "Please wait for the current operation to finish.",
    "Close Zolta before installing its update.",
    "Choose Install to add Zolta to your library.",
    "No game installed yet. Choose Install or Locate game.",
    "Cancel the download or let installation finish before closing.",
  ]);

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

  function setText(id, value) {
    const element = $(id);
    element.textContent = value;
    element.title = value; // long texts are cut inside their box; the whole text stays at hand
  }

  function renderServer() {
    const server = $("server");
    if (state.online === undefined) {
      server.dataset.online = "unknown";
      $("serverText").textContent = "Server status unknown";
      $("serverCounts").textContent = "";
    } else if (state.online) {
      server.dataset.online = "yes";
      $("serverText").textContent = "Servers online";
      $("serverCounts").textContent =
        `${count(state.players)} players · ${count(state.rooms)} rooms`;
    } else {
      server.dataset.online = "no";
      $("serverText").textContent = "Servers offline";
      $("serverCounts").textContent = "";
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
    $("releaseSize").textContent = megabytes(state.releaseMB);
    const [label, kind] = badge();
    $("updateBadge").textContent = label;
    $("updateBadge").dataset.kind = kind;
    setText("path", state.path ? `Game: ${state.path}` : "");
  }

  function renderProgress() {
    const stage = shownStage();
    $("progress").dataset.stage = stage;
    $("stageName").textContent = stageNames[stage];
    const quiet = ["idle", "error", "cancelled"].includes(stage);
    // A failed stage's own line would read as if it were still under way.
    setText("statusLine", quiet ? "" : text(state.status, ""));
    let message = stage === "idle" ? "" : text(state.message, "");
    // After a cancel the download's own failure (a stall's time-out, say) is not the news.
    if (stage === "cancelled") message = cancelledText;
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
    track.dataset.indeterminate = downloading && !known ? "yes" : "no";
    const shown = stage === "complete" ? 100 : active ? percent : 0;
    $("fill").style.width = `${shown}%`;
    if (downloading && !known) track.removeAttribute("aria-valuenow");
    else track.setAttribute("aria-valuenow", String(shown));

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
    if (figures) track.setAttribute("aria-valuetext", figures);
    else track.removeAttribute("aria-valuetext");
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
      primary.textContent = "Play";
      primary.dataset.action = "play";
      install.hidden = !state.updateAvailable && !versionUnknown();
      install.textContent = versionUnknown() ? "Install latest" : "Update";
    } else {
      primary.textContent = busy ? "Installing…" : "Install";
      primary.dataset.action = "install";
      install.hidden = true;
    }
    primary.disabled = busy;
    install.disabled = busy;
    const cancel = $("cancel");
    cancel.hidden = state.stage !== "downloading";
    cancel.disabled = cancelAsked;
    cancel.textContent = cancelAsked ? "Cancelling…" : "Cancel";
    const refresh = $("refresh");
    refresh.disabled = busy || checkAsked;
    refresh.textContent = checkAsked ? "Checking…" : "Refresh";
    $("locate").disabled = busy;
    $("showFiles").disabled = false;
    $("website").disabled = false;
    $("autoCheck").disabled = false;
    $("autoCheck").checked = state.autoCheck !== false;
  }

  function renderActivity() {
    const list = $("activity");
    const entries = Array.isArray(state.activity) ? state.activity : [];
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
    $("activityEmpty").hidden = entries.length > 0;
  }

  // A focused button that is disabled or hidden would drop focus to the document: it moves to
  // the working area instead, and on to Cancel, Play or Install once one of them can take it.
  function keepFocus(before) {
    const progress = $("progress");
    const lost = before instanceof HTMLButtonElement && (before.disabled || before.hidden);
    if (!lost && !(parked && document.activeElement === progress)) return;
    const next = ["cancel", "primary", "install"].map($).find((b) => !b.hidden && !b.disabled);
    parked = !next;
    (next || progress).focus();
  }

  function render() {
    const before = document.activeElement;
    document.body.dataset.loaded = "yes";
    renderServer();
    renderVersions();
    renderProgress();
    renderActions();
    renderActivity();
    keepFocus(before);
  }

  // A notice that the state on screen already answers, or contradicts, is not shown.
  function contradicted(message) {
    if (state === null) return false;
    if (message === checkedNotice && (state.updateAvailable || versionUnknown())) return true;
    // The panel shows the cancel; the failure it caused is not news.
    return shownStage() === "cancelled" && message === state.message;
  }

  // Shows a notice; "told" when the error stage announced the same text a moment ago.
  function toast(message, told) {
    const failed = !informing.has(message);
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
    for (const message of shown) {
      if (!contradicted(message)) toast(message, message === stageAlert);
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
      pending.push(message.message);
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
  act("showFiles", "showFiles");
  act("website", "website");
  $("autoCheck").addEventListener("change", (event) =>
    launcher.send("autoCheck", { enabled: event.currentTarget.checked })
  );

  launcher.send("ready");
})();
