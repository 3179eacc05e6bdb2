#!/usr/bin/env python3
"""Runs the real launcher's self-test and checks its exit code and report.

  smoke_check.py LAUNCHER pass [RUNNER...]     inside the network test runner, with a release
  smoke_check.py LAUNCHER offline [RUNNER...]  without the server: the self-test must fail cleanly

RUNNER is the command that runs a Windows launcher (the Wine wrapper). Wine's sockets belong to
its wineserver, which lives outside any namespace made here, so under Wine "offline" is the
outer world, where the release host has no address; no proxy is handed on to it.
"""

import json
import os
import subprocess
import sys
from pathlib import Path


def main():
    launcher, mode, runner = Path(sys.argv[1]), sys.argv[2], sys.argv[3:]
    report = launcher.parent / "launcher-smoke-data" / "launcher-smoke.json"
    report.unlink(missing_ok=True)
    command = runner + [str(launcher), "--core-smoke"]
    env = dict(os.environ)
    if mode == "offline" and runner:
        env = {k: v for k, v in env.items() if not k.lower().endswith("_proxy")}
    elif mode == "offline":
        command = ["unshare", "--net"] + ([] if os.getuid() == 0 else ["--user", "--map-root-user"]) + command
    code = subprocess.run(command, env=env, timeout=120).returncode
    data = json.loads(report.read_text(encoding="utf-8"))
    print(json.dumps(data, indent=2))
    if mode == "pass":
        ok = code == 0 and data.get("ok") is True and "error" not in data
        ok = ok and data.get("gameLaunchExit") == 0 and data.get("replacementRollback") is True
        ok = ok and data.get("installedVersion") == "1.0.0" and len(data.get("downloadHash", "")) == 64
        ok = ok and data.get("progress", {}).get("stage") == "installing"
    else:
        passed = ["archivePathChecks", "sha256", "versionSelection"]
        ok = code == 1 and data.get("ok") is False and isinstance(data.get("error"), str)
        ok = ok and all(data.get(k) is True for k in passed)
        ok = ok and sorted(data) == sorted(passed + ["error", "ok"])
    print("self-test", mode, "as expected" if ok else f"NOT as expected (exit code {code})")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
