#!/usr/bin/env python3
"""Latency of hostprobe.get_metrics_once(1000), measured against the least
I/O a snapshot needs (floor.cpp) and against the same values obtained with
psutil, with and without a firmware tool on PATH; then its growth with the
number of block devices and network interfaces, on fake machines.

usage: python3 benchmarks/run.py

Builds the module from this source tree (CMake, Release), the floor and a
fast stand-in vcgencmd into a temporary directory. Each latency is the
median over CALLS calls in one process; every program runs ROUNDS times,
interleaved with the others, and the lowest of its medians is kept, which
discounts rounds disturbed by other load on the machine. The scenarios
marked "1 CPU" run all three programs on one processor, as on a single-core
board: a call's runtime then starts one worker, and its threads never wake
one another across processors. Needs psutil (pip install psutil); the growth table needs
private mount namespaces.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HERE = ROOT / "benchmarks"
CALLS = 2000
ROUNDS = 3
SYSTEM_PATH = "/usr/local/bin:/usr/bin:/bin"
GROWTH_SIZES = (1, 100, 1000, 10000)

TIMING_PROGRAM = """
import statistics, sys, time
sys.path[:0] = {paths!r}
{setup}
for _ in range({calls} // 10 + 1):
    measured(1000)
samples = []
for _ in range({calls}):
    start = time.perf_counter_ns()
    measured(1000)
    samples.append(time.perf_counter_ns() - start)
print(statistics.median(samples))
"""
HOSTPROBE_SETUP = "import hostprobe\nmeasured = hostprobe.get_metrics_once"
PSUTIL_SETUP = "import psutil_reference\nmeasured = psutil_reference.snapshot"


def run(command: list[str], **options) -> str:
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


def build(work: Path) -> Path:
    """Builds the module, the floor and the stand-in tool; returns the module's directory."""
    module_dir = work / "module"
    print("building the module, the floor and the stand-in vcgencmd ...", flush=True)
    run(["cmake", "-S", str(ROOT), "-B", str(module_dir), "-DCMAKE_BUILD_TYPE=Release",
         "-DHOSTPROBE_BUILD_TESTS=OFF"])
    run(["cmake", "--build", str(module_dir), "--target", "hostprobe"])
    run(["c++", "-std=c++20", "-O2", "-o", str(work / "floor"), str(HERE / "floor.cpp")])
    (work / "tool").mkdir()
    run(["cc", "-O2", "-o", str(work / "tool" / "vcgencmd"), str(HERE / "fake_vcgencmd.c")])
    (work / "no-tool").mkdir()
    return module_dir


def python_median_ns(setup: str, paths: list[str], **options) -> float:
    program = TIMING_PROGRAM.format(paths=paths, setup=setup, calls=CALLS)
    return float(run([sys.executable, "-c", program], **options))


def on_one_cpu() -> None:
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})


def latency_table(work: Path, module_dir: Path) -> dict[str, dict[str, float]]:
    no_tool = f"{work / 'no-tool'}:{SYSTEM_PATH}"
    tool = f"{work / 'tool'}:{SYSTEM_PATH}"
    if shutil.which("vcgencmd", path=no_tool) is not None:
        sys.exit("a vcgencmd is installed in " + SYSTEM_PATH + "; the scenario without it cannot be set up")
    # name: (PATH, code run in the child before it starts)
    scenarios = {
        "no vcgencmd": (no_tool, None),
        "fast vcgencmd": (tool, None),
        "no vcgencmd, 1 CPU": (no_tool, on_one_cpu),
        "fast vcgencmd, 1 CPU": (tool, on_one_cpu),
    }
    paths = [str(module_dir), str(HERE)]
    medians: dict[str, dict[str, list[float]]] = {s: {"floor": [], "hostprobe": [], "psutil": []} for s in scenarios}
    for round_number in range(1, ROUNDS + 1):
        print(f"round {round_number} of {ROUNDS} ...", flush=True)
        for scenario, (path, preexec) in scenarios.items():
            options = {"env": dict(os.environ, PATH=path), "preexec_fn": preexec}
            rounds = medians[scenario]
            rounds["floor"].append(float(run([str(work / "floor"), str(CALLS)], **options)))
            rounds["hostprobe"].append(python_median_ns(HOSTPROBE_SETUP, paths, **options))
            rounds["psutil"].append(python_median_ns(PSUTIL_SETUP, paths, **options))
    return {s: {name: min(values) for name, values in programs.items()} for s, programs in medians.items()}


def check_same_values(module_dir: Path) -> None:
    """The psutil reference must produce the same keys and, where the value
    cannot change between two reads, the same values."""
    sys.path[:0] = [str(module_dir), str(HERE)]
    import hostprobe
    import psutil_reference

    ours = hostprobe.get_metrics_once(1000)
    theirs = psutil_reference.snapshot(1000)
    assert list(ours) == list(theirs), (list(ours), list(theirs))
    assert ours["mem_total_bytes"] == theirs["mem_total_bytes"], (ours["mem_total_bytes"], theirs["mem_total_bytes"])
    assert ours["measure_clock"] == theirs["measure_clock"]


def fake_text(name: str) -> str:
    return Path("/proc", name).read_text()


def fake_diskstats(devices: int) -> str:
    return "".join(
        f"   8 {i:7d} sd{i} 1000 10 2048 300 400 20 4096 500 0 600 700 0 0 0 0 0 0\n" for i in range(devices)
    )


def fake_net_dev(interfaces: int) -> str:
    header = (
        "Inter-|   Receive                                                |  Transmit\n"
        " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier compressed\n"
    )
    return header + "".join(
        f"eth{i}: 123456789 1000 0 0 0 0 0 0 987654321 2000 0 0 0 0 0 0\n" for i in range(interfaces)
    )


def growth_table() -> list[tuple[int, float]]:
    sys.path.insert(0, str(ROOT / "tests" / "python"))
    import fake_machine

    if not fake_machine.namespaces_permitted():
        print("growth: skipped, private mount namespaces are not permitted here")
        return []
    common = {name: fake_text(name) for name in ("stat", "loadavg", "meminfo", "vmstat", "uptime")}
    rows = []
    for size in GROWTH_SIZES:
        calls = max(50, min(CALLS, 200_000 // size))
        machine = fake_machine.FakeMachine(
            proc=dict(common, diskstats=fake_diskstats(size), **{"net/dev": fake_net_dev(size)})
        )
        snippet = (
            "import statistics, time\n"
            f"for _ in range({calls} // 10 + 1): hostprobe.get_metrics_once(1000)\n"
            "samples = []\n"
            f"for _ in range({calls}):\n"
            "    start = time.perf_counter_ns()\n"
            "    hostprobe.get_metrics_once(1000)\n"
            "    samples.append(time.perf_counter_ns() - start)\n"
            "print(statistics.median(samples))\n"
        )
        done = fake_machine.python_child(snippet, timeout=600, machine=machine)
        if done.returncode != 0:
            sys.exit(f"growth run with {size} lines failed:\n{done.stderr}")
        rows.append((size, float(done.stdout)))
    return rows


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="hostprobe-bench-") as scratch:
        work = Path(scratch)
        module_dir = build(work)
        check_same_values(module_dir)
        table = latency_table(work, module_dir)
        growth = growth_table()

    print(f"\nget_metrics_once(1000): median of {CALLS} calls in one process, lowest of {ROUNDS} rounds (µs)")
    print(f"{'scenario':<21} {'floor':>9} {'hostprobe':>10} {'psutil':>9} {'hostprobe/floor':>16} {'psutil/hostprobe':>17}")
    for scenario, row in table.items():
        floor, ours, theirs = row["floor"] / 1000, row["hostprobe"] / 1000, row["psutil"] / 1000
        print(f"{scenario:<21} {floor:9.1f} {ours:10.1f} {theirs:9.1f} {ours / floor:16.2f} {theirs / ours:17.2f}")

    targets = [
        ("hostprobe/floor without vcgencmd <= 1.5",
         table["no vcgencmd"]["hostprobe"] / table["no vcgencmd"]["floor"] <= 1.5),
        ("hostprobe/floor with vcgencmd <= 1.15",
         table["fast vcgencmd"]["hostprobe"] / table["fast vcgencmd"]["floor"] <= 1.15),
        ("psutil/hostprobe without vcgencmd >= 5",
         table["no vcgencmd"]["psutil"] / table["no vcgencmd"]["hostprobe"] >= 5),
    ]
    for text, met in targets:
        print(f"  {'met   ' if met else 'MISSED'} {text}")

    if growth:
        base = growth[0][1]
        print("\ngrowth on fake machines: N block devices and N network interfaces (2N table lines)")
        print(f"{'N':>6} {'µs per call':>12} {'µs per line':>12}")
        for size, median in growth:
            per_line = f"{(median - base) / 1000 / (2 * (size - 1)):12.3f}" if size > 1 else f"{'-':>12}"
            print(f"{size:>6} {median / 1000:12.1f} {per_line}")
        print("(µs per line: the increase over N = 1, divided by the added lines)")


if __name__ == "__main__":
    main()
