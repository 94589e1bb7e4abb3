#!/usr/bin/env python3
"""The exporter's CPU time per scrape, this tree's against an earlier commit's.

usage: python3 benchmarks/scrape_cpu.py COMMIT

Checks COMMIT out into a temporary git worktree (removed at the end) and
starts the exporter of each tree as scrapes.py does, both on the installed
hostprobe_counters and on a stand-in hostprobe package whose
get_metrics_once answers a snapshot taken at start (a package rather than a
patched function, so that an exporter's collector process imports it too),
so that a scrape costs what the exporter costs, the reading of the counters
included, and not the module's sampling. Each round scrapes each exporter
SCRAPES times in a row, asking for the text format (no Accept header) and
then as Prometheus asks (OpenMetrics first), and takes the CPU time of the
exporter's process and of its children (a collector process) over them, all
their threads counted. It prints the median over the rounds of the CPU time
per scrape, and the CPU time of a hostprobe_counters.read_counters() call in
this process. Needs the module installed for this Python, and
prometheus_client for an exporter that still serves with it.
"""

from __future__ import annotations

import ctypes
import json
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

import hostprobe
import hostprobe_counters
from scrapes import ROOT, fast_vcgencmd, start_exporter

SCRAPES = 2000
ROUNDS = 7
READS = 5000
# What Prometheus 2.42 sends with every scrape.
PROMETHEUS_ACCEPT = (
    "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;q=0.75,"
    "text/plain;version=0.0.4;q=0.5,*/*;q=0.1"
)
ASKS = {"text": {}, "OpenMetrics": {"Accept": PROMETHEUS_ACCEPT}}
STUB_PACKAGE = '''"""A stand-in for the hostprobe module: one snapshot for every call."""
import json

_SNAPSHOT = json.loads({snapshot!r})


def get_metrics_once(interval_ms):
    return dict(_SNAPSHOT)
'''
_libc = ctypes.CDLL(None, use_errno=True)


def process_cpu_seconds(pid: int) -> float:
    """CPU time of another process and its children so far, all their threads, live and ended, counted."""
    children = Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    seconds = 0.0
    for process in (pid, *map(int, children)):
        clock = ctypes.c_int()
        if _libc.clock_getcpuclockid(process, ctypes.byref(clock)) != 0:
            sys.exit(f"no CPU clock for process {process}")
        seconds += time.clock_gettime(clock.value)
    return seconds


def cpu_microseconds_per_scrape(pid: int, url: str, headers: dict[str, str]) -> float:
    request = urllib.request.Request(url, headers=headers)
    start_seconds = process_cpu_seconds(pid)
    for _ in range(SCRAPES):
        with urllib.request.urlopen(request, timeout=30) as response:
            response.read()
    return (process_cpu_seconds(pid) - start_seconds) / SCRAPES * 1e6


def read_counters_cpu_microseconds() -> float:
    start_seconds = time.process_time()
    for _ in range(READS):
        hostprobe_counters.read_counters()
    return (time.process_time() - start_seconds) / READS * 1e6


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    commit = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        earlier = Path(work) / "earlier"
        subprocess.run(["git", "-C", str(ROOT), "worktree", "add", "-q", "--detach", str(earlier), commit], check=True)
        fast_vcgencmd(Path(work))
        stub = Path(work) / "stub"
        (stub / "hostprobe").mkdir(parents=True)
        snapshot = json.dumps(hostprobe.get_metrics_once(1))
        (stub / "hostprobe" / "__init__.py").write_text(STUB_PACKAGE.format(snapshot=snapshot))
        setup = f"sys.path.insert(0, {str(stub)!r})\nimport hostprobe\ndel sys.path[0]"
        exporters = {}
        try:
            for name, tree in ((commit, earlier), ("this tree", ROOT)):
                exporters[name] = start_exporter(tree, Path(work), setup)
            for exporter, url in exporters.values():
                for headers in ASKS.values():
                    cpu_microseconds_per_scrape(exporter.pid, url, headers)  # warm-up
            figures: dict[tuple[str, str], list[float]] = {}
            reads: list[float] = []
            for _ in range(ROUNDS):
                for ask, headers in ASKS.items():
                    for name, (exporter, url) in exporters.items():
                        per_scrape = cpu_microseconds_per_scrape(exporter.pid, url, headers)
                        figures.setdefault((name, ask), []).append(per_scrape)
                reads.append(read_counters_cpu_microseconds())
        finally:
            for exporter, _ in exporters.values():
                exporter.terminate()
                exporter.wait(timeout=30)
            subprocess.run(["git", "-C", str(ROOT), "worktree", "remove", "--force", str(earlier)], check=True)
    read_cpu = statistics.median(reads)
    print(f"exporter CPU µs per scrape, median of {ROUNDS} rounds of {SCRAPES} sequential scrapes")
    print(f"{'exporter':>12} {'asking':>12} {'CPU µs':>8}")
    for (name, ask), values in figures.items():
        print(f"{name:>12} {ask:>12} {statistics.median(values):8.1f}")
    print(f"read_counters(): {read_cpu:.1f} µs of CPU per call")
    for ask in ASKS:
        limit = statistics.median(figures[(commit, ask)]) + read_cpu
        now = statistics.median(figures[("this tree", ask)])
        print(f"{ask}: this tree {now:.1f} µs, limit {commit} + read_counters() = {limit:.1f} µs")


if __name__ == "__main__":
    main()
