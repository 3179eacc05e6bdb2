#!/usr/bin/env python3
"""Runs the real launcher's self-test and checks its exit code and report.

  smoke_check.py LAUNCHER pass    inside the network test runner, with a release to install
  smoke_check.py LAUNCHER offline without any network: the self-test must fail cleanly
"""

import json
import os
import subprocess
import sys
from pathlib import Path


def main():
    launcher, mode = Path(sys.argv[1]), sys.argv[2]
    report = launcher.parent / "launcher-smoke-data" / "launcher-smoke.json"
    report.unlink(missing_ok=True)
    command = [str(launcher), "--core-smoke"]
    if mode == "offline":
        command = ["unshare", "--net"] + ([] if os.getuid() == 0 else ["--user", "--map-root-user"]) + command
    code = subprocess.run(command, timeout=120).returncode
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
