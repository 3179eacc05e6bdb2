// Renders the launcher's state document and turns clicks into actions.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  let state = {};

  const stageNames = {
    idle: "Ready",
    preparing: "Preparing",
    downloading: "Downloading",
    verifying: "Verifying",
    installing: "Installing",
    complete: "Complete",
    error: "Error",
  };

  const text = (value, fallback) =>
    typeof value === "string" && value !== "" ? value : fallback;

  function renderServer() {
    const server = $("server");
    if (state.online === undefined) {
      server.dataset.online = "unknown";
      $("serverText").textContent = "Server status unknown";
      $("serverCounts").textContent = "";
    } else if (state.online) {
      server.dataset.online = "yes";
      $("serverText").textContent = "Servers online";
      const players = Number(state.players) || 0;
      const rooms = Number(state.rooms) || 0;
      $("serverCounts").textContent =
        `${players.toLocaleString("en")} players · ${rooms.toLocaleString("en")} rooms`;
    } else {
      server.dataset.online = "no";
      $("serverText").textContent = "Servers offline";
      $("serverCounts").textContent = "";
    }
    $("serverChecked").textContent = state.checked ? `checked ${state.checked}` : "";
  }

  function renderVersions() {
    $("installedVersion").textContent = state.installed
      ? text(state.installedVersion, "Unknown")
      : "Not installed";
    $("latestVersion").textContent = text(state.latestVersion, "Not checked yet");
    $("releaseSize").textContent =
      typeof state.releaseMB === "number" ? `${state.releaseMB.toFixed(1)} MB` : "–";

    const badge = $("updateBadge");
    if (!state.installed) {
      badge.textContent = "Not installed";
      badge.dataset.kind = "";
    } else if (state.updateAvailable) {
      badge.textContent = "Update available";
      badge.dataset.kind = "update";
    } else if (state.latestVersion) {
      badge.textContent = "Up to date";
      badge.dataset.kind = "ok";
    } else {
      badge.textContent = "Installed";
      badge.dataset.kind = "ok";
    }
    $("path").textContent = state.path ? `Game: ${state.path}` : "";
  }

  function renderProgress() {
    const stage = text(state.stage, "idle");
    $("progress").dataset.stage = stage;
    $("stageName").textContent = stageNames[stage] || stage;
    $("statusLine").textContent = stage === "idle" ? "" : text(state.status, "");
    $("message").textContent = stage === "idle" ? "" : text(state.message, "");

    const active = ["downloading", "verifying", "installing", "complete"].includes(stage);
    const percent = typeof state.progress === "number" ? state.progress : 0;
    const shown = stage === "complete" ? 100 : active ? percent : 0;
    $("fill").style.width = `${Math.max(0, Math.min(100, shown))}%`;

    let figures = "";
    if (active && stage !== "complete") {
      figures = `${percent.toFixed(0)}%`;
      if (state.received) {
        figures += state.total
          ? ` · ${state.received} / ${state.total} MB`
          : ` · ${state.received} MB`;
      }
    }
    $("figures").textContent = figures;
  }

  function renderActions() {
    const busy = state.busy === true;
    const primary = $("primary");
    const install = $("install");
    if (state.installed) {
      primary.textContent = "Play";
      primary.dataset.action = "play";
      install.hidden = !state.updateAvailable;
    } else {
      primary.textContent = busy ? "Installing…" : "Install";
      primary.dataset.action = "install";
      install.hidden = true;
    }
    primary.disabled = busy;
    install.disabled = busy;
    $("cancel").hidden = state.stage !== "downloading";
    $("locate").disabled = busy;
    $("autoCheck").checked = state.autoCheck !== false;
  }

  function renderActivity() {
    const list = $("activity");
    const entries = Array.isArray(state.activity) ? state.activity : [];
    list.replaceChildren(
      ...entries.map((entry) => {
        const item = document.createElement("li");
        const time = document.createElement("time");
        time.textContent = text(entry.time, "");
        const what = document.createElement("span");
        what.textContent = text(entry.text, "");
        item.append(time, what);
        return item;
      })
    );
    $("activityEmpty").hidden = entries.length > 0;
  }

  function render() {
    renderServer();
    renderVersions();
    renderProgress();
    renderActions();
    renderActivity();
  }

  function toast(message) {
    const item = document.createElement("div");
    item.className = "toast";
    item.textContent = message;
    const box = $("toasts");
    box.append(item);
    while (box.children.length > 4) box.firstElementChild.remove();
    setTimeout(() => {
      item.classList.add("leaving");
      setTimeout(() => item.remove(), 300);
    }, 6000);
  }

  launcher.listen((message) => {
    if (!message || typeof message !== "object") return;
    if (message.type === "state" && message.data && typeof message.data === "object") {
      state = message.data;
      render();
    } else if (message.type === "notice" && typeof message.message === "string") {
      toast(message.message);
    }
  });

  const act = (id, action) => $(id).addEventListener("click", () => launcher.send(action));
  $("primary").addEventListener("click", (event) =>
    launcher.send(event.currentTarget.dataset.action || "install")
  );
  act("install", "install");
  act("cancel", "cancel");
  act("refresh", "refresh");
  act("locate", "locate");
  act("showFiles", "showFiles");
  act("website", "website");
  $("autoCheck").addEventListener("change", (event) =>
    launcher.send("autoCheck", { enabled: event.currentTarget.checked })
  );

  render();
  launcher.send("ready");
})();
