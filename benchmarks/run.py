#!/usr/bin/env python3
"""What one hostprobe.get_metrics_once(1000) costs, in wall time and in CPU
time of the calling process, against two floors and against psutil, with
and without a firmware tool on PATH; then its growth with the number of
block devices and network interfaces, on fake machines.

usage: python3 benchmarks/run.py

Builds the module from this source tree (CMake, Release), the floor program
and a fast stand-in vcgencmd into a temporary directory. The plain floor
(floor.cpp) does the reads and tool runs one snapshot needs on the calling
thread; the design floor does the same inside the least that the per-call
runtime costs (one thread per processor started, woken and joined). Each
program measures CALLS calls in one process: the median wall time of a call,
and the CPU time of the process (all its threads, not the tool's processes)
divided by the calls. Every program runs ROUNDS times, interleaved with the
others; a ratio is the median over the rounds of the ratio within a round,
so that programs compared ran side by side. Needs psutil (pip install
psutil); the growth table needs private mount namespaces.
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HERE = ROOT / "benchmarks"
CALLS = 1000
ROUNDS = 11
SYSTEM_PATH = "/usr/local/bin:/usr/bin:/bin"
GROWTH_SIZES = (1, 100, 1000, 10000)

TIMING_PROGRAM = """
import resource, statistics, sys, time
sys.path[:0] = {paths!r}
{setup}
for _ in range({calls} // 10 + 1):
    measured({arguments})
def cpu_ns():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return (usage.ru_utime + usage.ru_stime) * 1e9
samples = []
cpu_start = cpu_ns()
for _ in range({calls}):
    start = time.perf_counter_ns()
    measured({arguments})
    samples.append(time.perf_counter_ns() - start)
print(statistics.median(samples), (cpu_ns() - cpu_start) / {calls})
"""
HOSTPROBE_SETUP = "import hostprobe\nmeasured = hostprobe.get_metrics_once"
PSUTIL_SETUP = "import psutil_reference\nmeasured = psutil_reference.snapshot"


def run(command: list[str], **options) -> str:
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


def build(work: Path) -> Path:
    """Builds the module, the floor and the stand-in tool; returns the module's directory."""
    module_dir = work / "module"
    print("building the module, the floor and the stand-in vcgencmd ...", flush=True)
    run(["cmake", "-S", str(ROOT), "-B", str(module_dir), "-DCMAKE_BUILD_TYPE=Release", "-DHOSTPROBE_BUILD_TESTS=OFF"])
    run(["cmake", "--build", str(module_dir), "--target", "hostprobe"])
    run(["c++", "-std=c++20", "-O2", "-pthread", "-o", str(work / "floor"), str(HERE / "floor.cpp")])
    (work / "tool").mkdir()
    run(["cc", "-O2", "-o", str(work / "tool" / "vcgencmd"), str(HERE / "fake_vcgencmd.c")])
    (work / "no-tool").mkdir()
    return module_dir


PROGRAMS = ("floor", "design floor", "hostprobe", "psutil")
SCENARIOS = ("no vcgencmd", "fast vcgencmd")


def measure(program: str, work: Path, module_dir: Path, env: dict[str, str]) -> tuple[float, float]:
    """(median wall ns of one call, CPU ns of the process per call)"""
    if program in ("floor", "design floor"):
        command = [str(work / "floor"), "plain" if program == "floor" else "design", str(CALLS)]
    else:
        setup = HOSTPROBE_SETUP if program == "hostprobe" else PSUTIL_SETUP
        code = TIMING_PROGRAM.format(paths=[str(module_dir), str(HERE)], setup=setup, calls=CALLS, arguments=1000)
        command = [sys.executable, "-c", code]
    wall, cpu = run(command, env=env).split()
    return float(wall), float(cpu)


def cost_table(work: Path, module_dir: Path) -> dict[str, dict[str, list[tuple[float, float]]]]:
    """Every program's (wall, CPU) per round, scenario by scenario."""
    paths = {"no vcgencmd": f"{work / 'no-tool'}:{SYSTEM_PATH}", "fast vcgencmd": f"{work / 'tool'}:{SYSTEM_PATH}"}
    if shutil.which("vcgencmd", path=paths["no vcgencmd"]) is not None:
        sys.exit("a vcgencmd is installed in " + SYSTEM_PATH + "; the scenario without it cannot be set up")
    rounds: dict[str, dict[str, list[tuple[float, float]]]] = {s: {p: [] for p in PROGRAMS} for s in SCENARIOS}
    for round_number in range(1, ROUNDS + 1):
        print(f"round {round_number} of {ROUNDS} ...", flush=True)
        for scenario in SCENARIOS:
            for program in PROGRAMS:
                env = dict(os.environ, PATH=paths[scenario])
                rounds[scenario][program].append(measure(program, work, module_dir, env))
    return rounds


def median_ratio(numerators: list[tuple[float, float]], denominators: list[tuple[float, float]], index: int) -> float:
    """The median over the rounds of the ratio within a round: programs measured
    side by side share whatever load the machine had then."""
    return statistics.median(n[index] / d[index] for n, d in zip(numerators, denominators, strict=True))


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
        " face |bytes    packets errs drop fifo frame compressed multicast"
        "|bytes    packets errs drop fifo colls carrier compressed\n"
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
        done = fake_machine.python_child(snippet, machine=machine)
        if done.returncode != 0:
            sys.exit(f"growth run with {size} lines failed:\n{done.stderr}")
        rows.append((size, float(done.stdout)))
    return rows


# (scenario, quantity, bound on hostprobe / design floor)
TARGETS = [
    ("no vcgencmd", "wall", 1.15),
    ("no vcgencmd", "CPU", 1.25),
    ("fast vcgencmd", "wall", 1.1),
    ("fast vcgencmd", "CPU", 1.4),
]


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="hostprobe-bench-") as scratch:
        work = Path(scratch)
        module_dir = build(work)
        check_same_values(module_dir)
        table = cost_table(work, module_dir)
        growth = growth_table()

    print(f"\nget_metrics_once(1000): µs per call, medians of {ROUNDS} interleaved rounds of {CALLS} calls")
    print("wall: median time of one call; CPU: CPU time of the calling process (all its threads, not the")
    print("tool's processes) per call; design: the plain floor's work inside a minimal per-call thread pool;")
    print("ratios: the median over the rounds of the ratio within each round")
    print(
        f"{'scenario':<14} {'':>5} {'floor':>8} {'design':>8} {'hostprobe':>10} {'psutil':>8}"
        f" {'hp/design':>10} {'psutil/hp':>10}"
    )
    for scenario, programs in table.items():
        for index, quantity in enumerate(("wall", "CPU")):
            floor, design, ours, theirs = (statistics.median(r[index] for r in programs[p]) / 1000 for p in PROGRAMS)
            ours_to_design = median_ratio(programs["hostprobe"], programs["design floor"], index)
            psutil_to_ours = median_ratio(programs["psutil"], programs["hostprobe"], index)
            print(
                f"{scenario if index == 0 else '':<14} {quantity:>5} {floor:8.1f} {design:8.1f} {ours:10.1f} "
                f"{theirs:8.1f} {ours_to_design:10.2f} {psutil_to_ours:10.2f}"
            )
    for scenario, quantity, bound in TARGETS:
        ratio = median_ratio(
            table[scenario]["hostprobe"], table[scenario]["design floor"], 0 if quantity == "wall" else 1
        )
        verdict = "met   " if ratio <= bound else "MISSED"
        print(f"  {verdict} {scenario}: hostprobe/design {quantity} {ratio:.2f} <= {bound}")
    ratio = median_ratio(table["no vcgencmd"]["psutil"], table["no vcgencmd"]["hostprobe"], 0)
    print(f"  psutil takes {ratio:.1f} times hostprobe's wall time without vcgencmd")

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
