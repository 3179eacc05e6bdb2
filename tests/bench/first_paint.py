#!/usr/bin/env python3
"""Times the Linux launcher's first paint: from its window appearing to the page's main button
on screen, under Xvfb, a fresh data folder each run. Run by scripts/bench-first-paint inside the
network test runner; not a test.

  first_paint.py --launcher EXE --work DIR [--runs N]
"""

import argparse
import shutil
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "gui"))
import drive  # noqa: E402  (the GUI cases' display and launcher helpers)


def first_paint(display, launcher, run):
    process = launcher.start(f"launcher-{run}.log", XDG_DATA_HOME=f"data-{run}")
    try:
        launcher.window(process)
        shown = time.monotonic()
        while display.find(drive.ACTION) is None:
            if time.monotonic() - shown > 60:
                raise drive.Failure("no first paint within 60 s")
        return time.monotonic() - shown
    finally:
        process.terminate()
        try:
            process.wait(timeout=60)
        finally:
            launcher.stop(process)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    display = drive.Display(work, own=True)
    try:
        launcher = drive.Launcher(display, Path(args.launcher), work)
        times = []
        for run in range(args.runs):
            times.append(first_paint(display, launcher, run))
            print(f"run {run + 1}: first paint {times[-1]:.2f} s after the window", flush=True)
    except drive.Failure as failure:
        print(f"first_paint.py: {failure}", file=sys.stderr)
        return 1
    finally:
        display.close()
    print(f"first paint: median {statistics.median(times):.2f} s, best {min(times):.2f} s, "
          f"worst {max(times):.2f} s over {len(times)} runs (the page aims at 2.5 s at most)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
