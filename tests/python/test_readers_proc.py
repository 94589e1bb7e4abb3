"""The /proc readers end to end: fake machines with chosen texts, and the live machine."""

import math
import struct
import time

import hostprobe
import pytest
from fake_machine import FakeMachine, snapshot_on


def f32(x: float) -> float:
    """Rounds to single precision and widens back, as the module's float fields are."""
    return struct.unpack("f", struct.pack("f", x))[0]


def share(part: int, total: int) -> float:
    # Single precision throughout: the quotient is rounded, then the product.
    return f32(f32(f32(part) / f32(total)) * 100.0)


# user nice system idle iowait irq softirq steal, then two guest columns.
CPU = [4705, 356, 584, 3699176, 230, 23, 71, 11]
STAT = (
    "cpu  {} 0 0\n".format(" ".join(map(str, CPU)))
    + "cpu0 2352 178 292 1849588 115 12 35 5 0 0\n"
    + "cpu1 2353 178 292 1849588 115 11 36 6 0 0\n"
    + "intr 1462898 0 9 0 0 0\n"
    + "ctxt 115315\n"
    + "btime 1700000000\n"
    + "processes 2915\n"
    + "procs_running 1\n"
    + "procs_blocked 0\n"
    + "softirq 1077 0 207 1 0 0 0 869 0 0 0\n"
)
LOADAVG = "0.52 0.58 0.59 2/1203 12345\n"
MEMINFO = (
    "MemTotal:        8049440 kB\n"
    "MemFree:          512340 kB\n"
    "MemAvailable:    6123456 kB\n"
    "Buffers:          234560 kB\n"
    "Cached:          4567890 kB\n"
    "SwapCached:         1024 kB\n"
    "Active:          2345678 kB\n"
    "SwapTotal:       2097148 kB\n"
    "SwapFree:        2096124 kB\n"
)
VMSTAT = (
    "nr_free_pages 128085\n"
    "pgpgin 4829184\n"
    "pgfree 98765432\n"
    "pgactivate 1234\n"
    "pgfault 123456789\n"
    "pgmajfault 4321\n"
    "pgrefill 0\n"
)
UPTIME = "12345.67 23456.78\n"

NORMAL = {"stat": STAT, "loadavg": LOADAVG, "meminfo": MEMINFO, "vmstat": VMSTAT, "uptime": UPTIME}

ZERO_CPU = {
    "cpu_usage_percent": math.nan,
    "cpu_user_percent": math.nan,
    "cpu_system_percent": math.nan,
    "cpu_idle_percent": math.nan,
    "cpu_iowait_percent": math.nan,
    "cpu_irq_percent": math.nan,
    "cpu_softirq_percent": math.nan,
    "cpu_steal_percent": math.nan,
    "context_switches_per_sec": 0,
}
ZERO_LOAD = {"run_queue_length": 0.0, "load_avg_1": 0.0, "load_avg_5": 0.0, "load_avg_15": 0.0}
ZERO_MEMORY = {"mem_total_bytes": 0, "mem_used_bytes": 0}
ZERO_FAULTS = {"page_faults_minor_per_sec": 0, "page_faults_major_per_sec": 0}
ZERO_UPTIME = {"uptime_seconds": 0.0}


def normal_expected() -> dict:
    user, nice, system, idle, iowait, irq, softirq, steal = CPU
    total = sum(CPU)
    kib_total, kib_free, kib_buffers, kib_cached = 8049440, 512340, 234560, 4567890
    return {
        "timestamp": None,  # checked apart
        "cpu_usage_percent": share(total - idle, total),
        "cpu_user_percent": share(user + nice, total),
        "cpu_system_percent": share(system, total),
        "cpu_idle_percent": share(idle, total),
        "cpu_iowait_percent": share(iowait, total),
        "cpu_irq_percent": share(irq, total),
        "cpu_softirq_percent": share(softirq, total),
        "cpu_steal_percent": share(steal, total),
        "run_queue_length": 2.0,
        "context_switches_per_sec": 115315,
        "cpu_temp_celsius": 0.0,
        "throttle_status": 0,
        "mem_total_bytes": kib_total * 1024,
        "mem_used_bytes": (kib_total - (kib_free + kib_buffers + kib_cached)) * 1024,
        "page_faults_minor_per_sec": 123456789,
        "page_faults_major_per_sec": 4321,
        "uptime_seconds": 12345.67,
        # Short decimals: rounding through double to single equals rounding once.
        "load_avg_1": f32(0.52),
        "load_avg_5": f32(0.58),
        "load_avg_15": f32(0.59),
        "disk_read_bytes_per_sec": 0,
        "disk_write_bytes_per_sec": 0,
        "net_rx_bytes_per_sec": 0,
        "net_tx_bytes_per_sec": 0,
        "measure_clock": 0,
    }


def timed_snapshot(machine: FakeMachine) -> tuple[dict, float, float]:
    before = time.time()
    result = snapshot_on(machine)
    after = time.time()
    return result, before, after


def assert_snapshot(machine: FakeMachine, expected: dict) -> None:
    result, before, after = timed_snapshot(machine)
    assert list(result) == list(expected)
    assert before <= result["timestamp"] <= after
    for key, value in expected.items():
        if key == "timestamp":
            continue
        actual = result[key]
        assert type(actual) is type(value), key
        if isinstance(value, float) and math.isnan(value):
            assert math.isnan(actual), key
        else:
            assert actual == value, key


def test_normal_machine():
    assert_snapshot(FakeMachine(proc=dict(NORMAL)), normal_expected())


def test_machine_without_files():
    expected = normal_expected() | ZERO_CPU | ZERO_LOAD | ZERO_MEMORY | ZERO_FAULTS | ZERO_UPTIME
    assert_snapshot(FakeMachine(), expected)


# Each file spoilt by a different malformed sequence, placed on a line that
# its reader would otherwise skip.
@pytest.mark.parametrize(
    ("name", "bad_bytes", "zeroed"),
    [
        ("stat", b"\xff", ZERO_CPU),
        ("loadavg", b"\x80", ZERO_LOAD),
        ("meminfo", b"\xc0\xaf", ZERO_MEMORY),
        ("vmstat", b"\xed\xa0\x80", ZERO_FAULTS),
        ("uptime", b"\xf4\x90\x80\x80", ZERO_UPTIME),
    ],
)
def test_file_with_invalid_utf8_reads_as_missing(name, bad_bytes, zeroed):
    proc = dict(NORMAL)
    proc[name] = NORMAL[name].encode() + b"x " + bad_bytes + b"\n"
    assert_snapshot(FakeMachine(proc=proc), normal_expected() | zeroed)


def test_odd_but_legal_texts_read_like_plain_ones():
    # CR LF endings, no final line feed, tabs and no-break spaces between
    # numbers, more columns, and lines that merely resemble the wanted ones.
    proc = {
        "stat": (
            " cpu 9 9 9 9 9 9 9 9\r\n"
            "cpu\t9 9 9 9 9 9 9 9\r\n"
            "cpu  {}\t0 0 0 0\r\n".format("\t".join(map(str, CPU)))
            + "cpu0 2352 178 292 1849588 115 12 35 5 0 0\r\n"
            + "ctxtx 7\r\n"
            + "ctxt\t7\r\n"
            + "ctxt 115315"
        ),
        "loadavg": "0.52\t0.58  0.59\r\n2/1203 12345 extra\r\n",
        "meminfo": (
            "MemTotal:\t8049440\u00a0kB\r\n"
            "  MemFree:          512340 kB\r\n"
            "SwapCached:   777 kB\r\n"
            "MemTotal 1 kB\r\n"
            "Buffers:          234560 kB\r\n"
            "Cached:          4567890"
        ),
        "vmstat": "pgfault_extra 1\r\npgfault 123456789\r\npgmajfault\t9\r\nx pgmajfault 9\r\npgmajfault 4321",
        "uptime": "\n\t12345.67\u300023456.78",
    }
    assert_snapshot(FakeMachine(proc=proc), normal_expected())


def proc_counter(path: str, label: str) -> int:
    with open(path) as text:
        for line in text:
            parts = line.split()
            if parts and parts[0] == label:
                return int(parts[1])
    raise AssertionError(f"no {label} in {path}")


def proc_uptime() -> float:
    with open("/proc/uptime") as text:
        return float(text.read().split()[0])


def test_live_counters_lie_between_readings_around_the_call():
    before = {
        "ctxt": proc_counter("/proc/stat", "ctxt"),
        "pgfault": proc_counter("/proc/vmstat", "pgfault"),
        "pgmajfault": proc_counter("/proc/vmstat", "pgmajfault"),
        "uptime": proc_uptime(),
    }
    result = hostprobe.get_metrics_once(1000)
    after = {
        "ctxt": proc_counter("/proc/stat", "ctxt"),
        "pgfault": proc_counter("/proc/vmstat", "pgfault"),
        "pgmajfault": proc_counter("/proc/vmstat", "pgmajfault"),
        "uptime": proc_uptime(),
    }
    assert before["ctxt"] <= result["context_switches_per_sec"] <= after["ctxt"]
    assert before["pgfault"] <= result["page_faults_minor_per_sec"] <= after["pgfault"]
    assert before["pgmajfault"] <= result["page_faults_major_per_sec"] <= after["pgmajfault"]
    assert before["uptime"] <= result["uptime_seconds"] <= after["uptime"]
    assert result["mem_total_bytes"] == proc_counter("/proc/meminfo", "MemTotal:") * 1024
    assert 0 < result["mem_used_bytes"] <= result["mem_total_bytes"]
    assert 0.0 < result["cpu_idle_percent"] < 100.0


def test_live_load_averages_match_the_file():
    # The kernel updates the averages every five seconds; a call that
    # straddles an update is tried again.
    for _ in range(5):
        with open("/proc/loadavg") as text:
            before = text.read().split()[:3]
        result = hostprobe.get_metrics_once(1000)
        with open("/proc/loadavg") as text:
            after = text.read().split()[:3]
        if before == after:
            break
    else:
        pytest.fail("/proc/loadavg changed across every call")
    loads = [result["load_avg_1"], result["load_avg_5"], result["load_avg_15"]]
    assert loads == [f32(float(token)) for token in before]
