"""Thermal zones, the vcgencmd queries and the byte rates on fake machines."""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from fake_machine import MODULE_DIR, FakeMachine, Symlink, run_on, snapshot_on

U64_MAX = 2**64 - 1
# Far above the two queries' deadlines of two seconds each, far below the
# fake tools' own run times: tells a bounded wait from an unbounded one.

ANSWERS = """case $1 in
  get_throttled) echo throttled=0x50005 ;;
  measure_clock) echo 'frequency(48)=1500000000' ;;
esac
"""
ANSWERING_TOOL = "#!/bin/sh\n" + ANSWERS


def zones(**readings: str) -> dict[str, str]:
    return {f"thermal/{name}/temp": text for name, text in readings.items()}


TWELVE_ZONES = {f"thermal/thermal_zone{n}/type": "cpu-thermal\n" for n in range(12)} | zones(
    thermal_zone2="20000\n", thermal_zone10="30000\n"
)


@pytest.mark.parametrize(
    ("sys_class", "celsius"),
    [
        pytest.param(zones(thermal_zone0="45000\n", thermal_zone1="50000\n"), 45.0, id="first-zone"),
        pytest.param(TWELVE_ZONES, 30.0, id="zone10-sorts-before-zone2"),
        pytest.param(
            {
                "thermal/thermal_zone0": Symlink("../devices/virtual/thermal/thermal_zone0"),
                "devices/virtual/thermal/thermal_zone0/temp": "41500\n",
            },
            41.5,
            id="symlinked-zone",
        ),
        pytest.param(zones(thermal_zone0="-5000\n"), -5.0, id="negative"),
        pytest.param(
            {"thermal/thermal_zone0/temp/inner": "45000\n"} | zones(thermal_zone1="40000\n"),
            40.0,
            id="temp-is-a-directory",
        ),
        pytest.param(zones(thermal_zone0="\n", thermal_zone1="40000\n"), 40.0, id="empty-reading-skipped"),
        pytest.param({}, 0.0, id="no-thermal-directory"),
    ],
)
def test_cpu_temperature(sys_class: dict[str, str | Symlink], celsius: float) -> None:
    assert snapshot_on(FakeMachine(sys_class=sys_class))["cpu_temp_celsius"] == celsius


@pytest.mark.parametrize(
    ("tool", "throttle", "clock"),
    [
        pytest.param(ANSWERING_TOOL, 0x50005, 1500000000, id="answers"),
        pytest.param(ANSWERING_TOOL + "exit 1\n", 0, 0, id="exits-1"),
        pytest.param(None, 0, 0, id="absent"),
        pytest.param(
            "#!/bin/sh\ncase $1 in\n"
            "  get_throttled) printf '\\377\\376throttled=0x50005\\n' ;;\n"
            "  measure_clock) printf '\\300frequency(48)=700000000\\n' ;;\nesac\n",
            0x50005,
            700000000,
            id="invalid-utf8-before-marker",
        ),
        # Taking the last "0x" would give 6.
        pytest.param("#!/bin/sh\necho 'throttled=0x5 0x6'\n", 0, 0, id="0x-twice"),
        pytest.param(
            "#!/bin/sh\nhead -c 2000000 /dev/zero | tr '\\0' a\n" + ANSWERS,
            0,
            0,
            id="more-than-1MiB",
        ),
    ],
)
def test_firmware_queries(tool: str | None, throttle: int, clock: int) -> None:
    snapshot = snapshot_on(FakeMachine(vcgencmd=tool))
    assert (snapshot["throttle_status"], snapshot["measure_clock"]) == (throttle, clock)


def test_tool_receives_exactly_its_words() -> None:
    tool = "#!/bin/sh\nprintf '%s\\n' \"$@\" >> /proc/vcgencmd-arguments\n" + ANSWERS
    # An interval far beyond the call's length: exactly one pass.
    done = run_on(
        FakeMachine(vcgencmd=tool),
        "hostprobe.get_metrics_once(3600000)\nprint(open('/proc/vcgencmd-arguments').read(), end='')",
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "get_throttled\nmeasure_clock\narm\n"


def _traced_process_starts(path: str) -> tuple[list[str], list[str]]:
    """Runs one call under strace with `path` as PATH; returns the execve
    lines and the clone lines that make a process rather than a thread."""
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed")
    with tempfile.TemporaryDirectory() as scratch:
        log = Path(scratch) / "trace"
        env = dict(os.environ, PATH=path, PYTHONPATH=MODULE_DIR)
        done = subprocess.run(
            [strace, "-f", "-qq", "-o", str(log), "-e", "trace=execve,clone,clone3,fork,vfork",
             sys.executable, "-c", "import hostprobe; hostprobe.get_metrics_once(3600000)"],
            capture_output=True, text=True, timeout=60, env=env,
        )
        assert done.returncode == 0, done.stderr
        calls = [line for line in log.read_text().splitlines() if "resumed>" not in line]
    execs = [line for line in calls if "execve(" in line]
    process_clones = [
        line
        for line in calls
        if any(f" {name}(" in line for name in ("clone", "clone3", "fork", "vfork"))
        and "CLONE_THREAD" not in line
    ]
    return execs, process_clones


def test_no_process_is_started_without_the_tool() -> None:
    # strace sees every execve and every clone; a thread's clone carries
    # CLONE_THREAD, a new process's does not. A search for a tool that is
    # not there must not start a child to find out.
    with tempfile.TemporaryDirectory() as empty_dir:
        execs, process_clones = _traced_process_starts(empty_dir)
    assert len(execs) == 1  # the interpreter itself
    assert process_clones == []


def test_trace_sees_the_tool_when_present() -> None:
    # The control for the test above: the same trace catches both starts.
    with tempfile.TemporaryDirectory() as tool_dir:
        tool = Path(tool_dir) / "vcgencmd"
        tool.write_text("#!/bin/sh\necho throttled=0x1\n")
        tool.chmod(0o755)
        execs, process_clones = _traced_process_starts(tool_dir)
    assert sum(str(tool) in line for line in execs) == 2
    assert len(process_clones) == 2


NET_DEV_HEADER = (
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls"
    " carrier compressed\n"
)


def diskstats(disks: dict[str, tuple[int, int]]) -> str:
    """Lines of /proc/diskstats with the given sectors read and written."""
    return "".join(
        f"   8       {minor} {name} 10 0 {read} 0 20 0 {written} 0 0 0 0 0 0 0 0 0 0\n"
        for minor, (name, (read, written)) in enumerate(disks.items())
    )


def net_dev(interfaces: dict[str, tuple[int, int]]) -> str:
    """/proc/net/dev with the given bytes received and transmitted."""
    return NET_DEV_HEADER + "".join(
        f"{name:>6}: {rx} 1 0 0 0 0 0 0 {tx} 1 0 0 0 0 0 0\n" for name, (rx, tx) in interfaces.items()
    )


def counters_machine(disks: tuple[dict, dict], nets: tuple[dict, dict]) -> FakeMachine:
    """A machine whose counters move from their first to their second values
    when vcgencmd runs, which is inside the pass, after the start readings."""
    after_disk, after_net = diskstats(disks[1]), net_dev(nets[1])
    tool = (
        "#!/bin/sh\n"
        f"printf '%s' {shlex.quote(after_disk)} > /proc/diskstats\n"
        f"printf '%s' {shlex.quote(after_net)} > /proc/net/dev\n"
    )
    return FakeMachine(proc={"diskstats": diskstats(disks[0]), "net/dev": net_dev(nets[0])}, vcgencmd=tool)


MOVING = counters_machine(
    ({"sda": (1000, 0)}, {"sda": (3000, 10)}),
    ({"eth0": (1000, 0)}, {"eth0": (1500, 300)}),
)


@pytest.mark.parametrize(
    ("machine", "interval_ms", "rates"),
    [
        pytest.param(MOVING, 1000, (1024000, 5120, 500, 300), id="moving-1000ms"),
        pytest.param(MOVING, 10, (102400000, 512000, 50000, 30000), id="moving-10ms"),
        pytest.param(
            counters_machine(({"sda": (3000, 5)}, {"sda": (1000, 7)}), ({"lo": (900, 9)}, {"lo": (100, 19)})),
            1000,
            (0, 1024, 0, 10),
            id="backwards-counts-0",
        ),
        pytest.param(
            counters_machine(
                ({"sda": (0, 0)}, {"sda": (2, 0), "sdb": (5000, 5000)}),
                ({"eth0": (0, 0)}, {"eth0": (7, 0), "wlan0": (5000, 5000)}),
            ),
            1000,
            (1024, 0, 7, 0),
            id="new-device-ignored",
        ),
        pytest.param(
            counters_machine(
                ({"sda": (100, 0), "sda1": (100, 0)}, {"sda": (200, 0), "sda1": (200, 0)}),
                ({}, {}),
            ),
            1000,
            (102400, 0, 0, 0),
            id="partitions-beside-disk",
        ),
        pytest.param(
            counters_machine(({}, {}), ({"eth0": (0, 0)}, {"eth0": (U64_MAX, 0)})),
            1,
            (0, 0, U64_MAX, 0),
            id="rate-saturates",
        ),
        pytest.param(
            counters_machine(
                ({}, {}),
                ({"eth0": (0, 0), "eth1": (0, 0)}, {"eth0": (2**63, 0), "eth1": (2**63 + 5, 0)}),
            ),
            1000,
            (0, 0, 5, 0),
            id="sum-wraps",
        ),
    ],
)
def test_byte_rates(machine: FakeMachine, interval_ms: int, rates: tuple[int, int, int, int]) -> None:
    snapshot = snapshot_on(machine, interval_ms)
    assert (
        snapshot["disk_read_bytes_per_sec"],
        snapshot["disk_write_bytes_per_sec"],
        snapshot["net_rx_bytes_per_sec"],
        snapshot["net_tx_bytes_per_sec"],
    ) == rates
