#!/usr/bin/env python3
"""What one hostprobe_counters.read_counters() costs, in wall time and in CPU
time of the calling process, against the floor of reading the same four
/proc files and against the psutil calls that give the same counters.

usage: python3 benchmarks/counters.py

Measures the hostprobe_counters and psutil installed for the Python that
runs it, and builds the floor program (floor.cpp, "counters" mode: open,
read whole and close /proc/stat, /proc/vmstat, /proc/diskstats and
/proc/net/dev, no parsing) into a temporary directory. The same reads made
with os.open, os.read and os.close are shown for comparison. Each program
measures CALLS calls in one process: the median wall time of a call, and
the CPU time of the process divided by the calls. The programs run ROUNDS
times, interleaved; a ratio is the median over the rounds of the ratio
within a round.
"""

from __future__ import annotations

import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from run import HERE, TIMING_PROGRAM, median_ratio, run

CALLS = 2000
ROUNDS = 15

SETUPS = {
    "Python floor": """
import os
COUNTER_FILES = ("/proc/stat", "/proc/vmstat", "/proc/diskstats", "/proc/net/dev")
def measured():
    for path in COUNTER_FILES:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        while os.read(fd, 65536):
            pass
        os.close(fd)
""",
    "read_counters": "from hostprobe_counters import read_counters as measured",
    "psutil": """
import psutil
def measured():
    psutil.cpu_times(percpu=True)
    psutil.cpu_times()
    psutil.cpu_stats()
    psutil.disk_io_counters(perdisk=True)
    psutil.net_io_counters(pernic=True)
""",
}
PROGRAMS = ("floor", *SETUPS)


def check_same_counters() -> None:
    """The psutil calls must cover the same CPUs, disks and interfaces."""
    import hostprobe_counters
    import psutil

    ours = hostprobe_counters.read_counters()
    theirs = (
        len(psutil.cpu_times(percpu=True)),
        sorted(psutil.disk_io_counters(perdisk=True)),
        sorted(psutil.net_io_counters(pernic=True)),
    )
    assert (len(ours["cpu_seconds_per_cpu"]), sorted(ours["disks"]), sorted(ours["interfaces"])) == theirs, theirs
    print(f"measuring {hostprobe_counters.__file__} and psutil {psutil.__version__}", flush=True)


def measure(program: str, floor: Path) -> tuple[float, float]:
    """(median wall ns of one call, CPU ns of the process per call)"""
    if program == "floor":
        command = [str(floor), "counters", str(CALLS)]
    else:
        command = [
            sys.executable,
            "-c",
            TIMING_PROGRAM.format(paths=[], setup=SETUPS[program], calls=CALLS, arguments=""),
        ]
    wall, cpu = run(command).split()
    return float(wall), float(cpu)


# (numerator, denominator, bound, whether the ratio must stay at or below it)
TARGETS = [("read_counters", "floor", 1.5, True), ("psutil", "read_counters", 3.0, False)]


def main() -> None:
    check_same_counters()
    rounds: dict[str, list[tuple[float, float]]] = {program: [] for program in PROGRAMS}
    with tempfile.TemporaryDirectory(prefix="hostprobe-counters-bench-") as scratch:
        floor = Path(scratch) / "floor"
        run(["c++", "-std=c++20", "-O2", "-pthread", "-o", str(floor), str(HERE / "floor.cpp")])
        for round_number in range(1, ROUNDS + 1):
            print(f"round {round_number} of {ROUNDS} ...", flush=True)
            for program in PROGRAMS:
                rounds[program].append(measure(program, floor))

    print(f"\nread_counters(): µs per call, medians of {ROUNDS} interleaved rounds of {CALLS} calls")
    print("wall: median time of one call; CPU: CPU time of the process per call; x floor: the median")
    print("over the rounds of the ratio to the floor within each round")
    print(f"{'program':<14} {'wall':>8} {'CPU':>8} {'wall x floor':>13} {'CPU x floor':>12}")
    for program, samples in rounds.items():
        wall, cpu = (statistics.median(sample[index] for sample in samples) / 1000 for index in (0, 1))
        wall_ratio, cpu_ratio = (median_ratio(samples, rounds["floor"], index) for index in (0, 1))
        print(f"{program:<14} {wall:8.1f} {cpu:8.1f} {wall_ratio:13.2f} {cpu_ratio:12.2f}")
    for numerator, denominator, bound, at_most in TARGETS:
        for index, quantity in enumerate(("wall", "CPU")):
            ratio = median_ratio(rounds[numerator], rounds[denominator], index)
            verdict = "met   " if (ratio <= bound if at_most else ratio >= bound) else "MISSED"
            print(f"  {verdict} {numerator}/{denominator} {quantity} {ratio:.2f} {'<=' if at_most else '>='} {bound}")


if __name__ == "__main__":
    try:
        main()
    except subprocess.CalledProcessError as failure:
        sys.exit(f"{failure.cmd[0]} failed:\n{failure.stderr}")
