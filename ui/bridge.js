// The page's one road to the launcher, whichever web view hosts it: WebView2 on Windows
// (window.chrome.webview) or WebKitGTK on Linux (window.webkit.messageHandlers.launcher).
// Messages to the launcher are plain objects; messages from it arrive as parsed JSON values.
"use strict";

(function () {
  const listeners = [];
  const deliver = (value) => {
    for (const listener of listeners) listener(value);
  };

  const webview = window.chrome && window.chrome.webview;
  const webkit = window.webkit && window.webkit.messageHandlers &&
    window.webkit.messageHandlers.launcher;

  if (webview) webview.addEventListener("message", (event) => deliver(event.data));
  // The Linux host calls this with each message, already parsed.
  Object.defineProperty(window, "launcherReceive", { value: deliver });

  const bridge = {
    send(action, extra) {
      const message = Object.assign({ action }, extra);
      if (webview) webview.postMessage(message);
      else if (webkit) webkit.postMessage(message);
    },
    listen(listener) {
      listeners.push(listener);
    },
  };
  Object.defineProperty(window, "launcher", { value: Object.freeze(bridge) });
})();
