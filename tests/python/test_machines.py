"""Fake machines end to end: every value of a snapshot checked at once."""

import math
import shlex
import struct
import time

import pytest
from fake_machine import FakeMachine, Link, json_child


def f32(x: float) -> float:
    return struct.unpack("f", struct.pack("f", x))[0]


CPU = [4705, 356, 584, 3699176, 230, 23, 71, 11]  # user nice system idle iowait irq softirq steal
PROC = {
    "stat": f"cpu  {' '.join(map(str, CPU))} 0 0\ncpu0 2352 178 292 1849588 115 12 35 5 0 0\n"
    f"intr {'0 ' * 40000}\nctxt 115315\n",  # longer than one read
    "loadavg": "0.52 0.58 0.59 2/1203 12345\n",
    "meminfo": "MemTotal: 8049440 kB\nMemFree: 512340 kB\nMemAvailable: 6123456 kB\nBuffers: 234560 kB\n"
    "Cached: 4567890 kB\nSwapCached: 1024 kB\n",
    "vmstat": "pgfault 123456789\npgmajfault 4321\n",
    "uptime": "12345.67 23456.78\n",
}


def counters(disk: tuple[int, int], net: tuple[int, int]) -> dict[str, str]:
    return {
        "diskstats": "   8       0 sda 10 0 {} 0 20 0 {} 0 0 0 0 0 0 0 0 0 0\n".format(*disk),
        "net/dev": "Inter-|   Receive   |  Transmit\n face |bytes packets|bytes packets\n"
        "  eth0: {} 1 0 0 0 0 0 0 {} 1 0 0 0 0 0 0\n".format(*net),
    }


# The tool moves the counters, so they change within the pass, after the readings the pass starts from.
MOVED = counters((3000, 10), (1500, 300))
TOOL = """#!/bin/sh
case "$*" in
  get_throttled) echo throttled=0x80050005 ;;
  "measure_clock arm") echo 'frequency(48)=1500000000' ;;
esac
""" + "".join(f"printf '%s' {shlex.quote(text)} > /proc/{name}\n" for name, text in MOVED.items())
# The first usable zone in byte order of the names is 10, a link as in sysfs: neither the first nor the last made,
# nor the first in numeric order.
THERMAL = {f"thermal/thermal_zone{n}/temp": f"{n}000\n" for n in range(2, 10)} | {
    "devices/zone10/temp": "30000\n",
    "thermal/thermal_zone10": Link("../devices/zone10"),
    "thermal/thermal_zone11/temp": "11000\n",
    "thermal/thermal_zone0/temp": "\n",
    "thermal/thermal_zone1/type": "\n",
    "thermal/cooling_device0/temp": "99000\n",
}
MOVING = FakeMachine(proc=PROC | counters((1000, 0), (1000, 0)), sys_class=THERMAL, vcgencmd=TOOL)


def share(part: int) -> float:
    return f32(f32(f32(part) / f32(sum(CPU))) * 100.0)


def moving_expected(seconds: float) -> dict:
    user, nice, system, idle, iowait, irq, softirq, steal = CPU
    parts = [sum(CPU) - idle, user + nice, system, idle, iowait, irq, softirq, steal]
    names = "usage user system idle iowait irq softirq steal".split()
    return {f"cpu_{name}_percent": share(part) for name, part in zip(names, parts, strict=True)} | {
        "run_queue_length": 2.0,
        "context_switches_per_sec": 115315,
        "cpu_temp_celsius": 30.0,
        "throttle_status": 0x80050005,
        "mem_total_bytes": 8049440 * 1024,
        "mem_used_bytes": (8049440 - 512340 - 234560 - 4567890) * 1024,
        "page_faults_minor_per_sec": 123456789,
        "page_faults_major_per_sec": 4321,
        "uptime_seconds": 12345.67,
        "load_avg_1": f32(0.52),
        "load_avg_5": f32(0.58),
        "load_avg_15": f32(0.59),
        "disk_read_bytes_per_sec": int(2000 * 512 / seconds),
        "disk_write_bytes_per_sec": int(10 * 512 / seconds),
        "net_rx_bytes_per_sec": int(500 / seconds),
        "net_tx_bytes_per_sec": int(300 / seconds),
        "measure_clock": 1500000000,
    }


ZERO = {key: math.nan if key.endswith("_percent") else type(value)(0) for key, value in moving_expected(1).items()}
# Every file spoilt by a malformed sequence on a line its reader would skip.
BROKEN = FakeMachine(
    proc={name: text.encode() + b"x \xed\xa0\x80\n" for name, text in (PROC | counters((1, 1), (1, 1))).items()},
    sys_class={"thermal/thermal_zone0/temp": b"45000\n\xc0\xaf"},
)


@pytest.mark.parametrize(
    ("machine", "interval_ms", "expected"),
    [
        pytest.param(MOVING, 1000, moving_expected(1.0), id="moving-1000ms"),
        pytest.param(MOVING, 10, moving_expected(0.01), id="moving-10ms"),
        pytest.param(FakeMachine(), 2**64 - 1, ZERO, id="nothing"),
        pytest.param(BROKEN, True, ZERO, id="invalid-utf8"),
    ],
)
def test_snapshot(machine, interval_ms, expected):
    before = time.time()
    result = json_child(f"print(json.dumps(hostprobe.get_metrics_once(interval_ms={interval_ms!r})))", machine=machine)
    assert before <= result.pop("timestamp") <= time.time()
    assert [(k, type(v), repr(v)) for k, v in result.items()] == [(k, type(v), repr(v)) for k, v in expected.items()]
