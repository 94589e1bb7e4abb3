#!/usr/bin/env python3
"""How long 64 concurrent scrapes of hostprobe-exporter wait, and how many
snapshots answer them.

usage: python3 benchmarks/scrapes.py

Starts the exporter of this source tree (its python/ packages, but the
installed hostprobe_counters: the tree holds no build of its native part) as
a child on a free loopback port, with a fast stand-in vcgencmd first on PATH,
so that a scrape costs what the exporter and the module cost, not the tool.
Each round, SCRAPES threads released together by a barrier scrape it once;
the round reports the slowest and the median time from the release to the
end of the answer, the number of distinct snapshots behind the answers
(distinct hostprobe_timestamp_seconds), the number of scrapes answered 503
(over the exporter's --max-requests, 40 by default) and the number that got
no answer within TIMEOUT_SECONDS (counted at that time). Needs the module
installed for this Python, and prometheus_client for an exporter that still
serves with it.
"""

from __future__ import annotations

import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SCRAPES = 64
ROUNDS = 5
TIMEOUT_SECONDS = 30
FAST_VCGENCMD = """#!/bin/sh
case "$1" in
get_throttled) echo throttled=0x0 ;;
measure_clock) echo 'frequency(48)=1500000000' ;;
*) exit 1 ;;
esac
"""
TIMESTAMP_LINE = re.compile(r"^hostprobe_timestamp_seconds (\S+)$", re.MULTILINE)


def start_exporter(tree: Path, tool_dir: Path, setup: str = "") -> tuple[subprocess.Popen[str], str]:
    """Starts the exporter of the tree, after the Python code setup if any."""
    program = (
        f"import sys, hostprobe_counters\nsys.path.insert(0, {str(tree / 'python')!r})\n{setup}\n"
        "from hostprobe_exporter import main\nsys.exit(main(sys.argv[1:]))"
    )
    exporter = subprocess.Popen(
        [sys.executable, "-c", program, "--address", "127.0.0.1", "--port", "0"],
        env=dict(os.environ, PATH=os.pathsep.join([str(tool_dir), os.environ.get("PATH", "")])),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert exporter.stderr is not None
    line = exporter.stderr.readline()
    match = re.search(r"serving (http://\S+)", line)
    if match is None:
        exporter.kill()
        sys.exit(f"the exporter did not start: {line.strip()}")
    return exporter, match[1]


def fast_vcgencmd(directory: Path) -> None:
    tool = directory / "vcgencmd"
    tool.write_text(FAST_VCGENCMD)
    tool.chmod(0o755)


def scrape_round(url: str) -> tuple[list[float], set[str], int, int]:
    """Returns the seconds each scrape took, the snapshot timestamps that
    answered, the scrapes answered 503 and the failed scrapes."""
    release = threading.Barrier(SCRAPES + 1)
    seconds: list[float] = []
    timestamps: set[str] = set()
    over_limit = failures = 0
    lock = threading.Lock()

    def scrape() -> None:
        nonlocal over_limit, failures
        release.wait()
        start = time.monotonic()
        status = None
        try:
            with urllib.request.urlopen(url, timeout=TIMEOUT_SECONDS) as response:
                match = TIMESTAMP_LINE.search(response.read().decode())
        except urllib.error.HTTPError as error:
            match, status = None, error.code
        except OSError:
            match = None
        elapsed = time.monotonic() - start
        with lock:
            seconds.append(elapsed)
            if status == 503:
                over_limit += 1
            elif match is None:
                failures += 1
            else:
                timestamps.add(match[1])

    threads = [threading.Thread(target=scrape) for _ in range(SCRAPES)]
    for thread in threads:
        thread.start()
    release.wait()
    for thread in threads:
        thread.join()
    return seconds, timestamps, over_limit, failures


def main() -> None:
    with tempfile.TemporaryDirectory() as work:
        fast_vcgencmd(Path(work))
        exporter, url = start_exporter(ROOT, Path(work))
        try:
            urllib.request.urlopen(url, timeout=60).read()
            print(f"{SCRAPES} concurrent scrapes of {url}, fast vcgencmd, {ROUNDS} rounds")
            print(f"{'round':>5} {'slowest s':>10} {'median s':>10} {'snapshots':>10} {'503':>5} {'failed':>7}")
            for round_number in range(1, ROUNDS + 1):
                seconds, timestamps, over_limit, failures = scrape_round(url)
                print(
                    f"{round_number:>5} {max(seconds):10.3f} {statistics.median(seconds):10.3f} "
                    f"{len(timestamps):>10} {over_limit:>5} {failures:>7}",
                    flush=True,
                )
                time.sleep(0.5)
        finally:
            exporter.terminate()
            exporter.wait(timeout=30)


if __name__ == "__main__":
    main()
