"""The exposition: a snapshot of hostprobe and a reading of the kernel's
counters as metrics in the Prometheus text format 0.0.4."""

from __future__ import annotations

import errno
import os
import re
import shutil
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal, cast

import hostprobe
import hostprobe_counters
from hostprobe_common import THROTTLE_FLAGS

# Loop, RAM-disk and compressed-RAM devices: no traffic to or from a disk of the machine.
DEFAULT_DISK_DEVICE_EXCLUDE = re.compile(r"(loop|ram|zram)\d+")


@dataclass(frozen=True)
class Export:
    """How one entry of the snapshot becomes one metric."""

    key: str
    # Full metric name; a counter's name is written here without its _total.
    name: str
    kind: Literal["gauge", "counter"]
    help: str
    # The snapshot's value is divided by this: 100 turns percent into ratio.
    divisor: float = 1.0
    # The module reads 0 when the source cannot be read, and the quantity is
    # never 0 on a running machine: then the series is left out.
    absent_when_zero: bool = False
    # From vcgencmd, whose failure the module reads as 0: left out while
    # hostprobe_firmware_up is 0.
    from_firmware: bool = False


# What the text format 0.0.4 writes for the values that Python's repr writes otherwise.
_NON_FINITE = {"nan": "NaN", "inf": "+Inf", "-inf": "-Inf"}


def _sample_value(value: float) -> str:
    """An int as it is, a float in the fewest digits that read back as the same float."""
    text = repr(value)
    return _NON_FINITE.get(text, text)


def _label_value(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def _header(name: str, kind: str, help_text: str) -> str:
    """The HELP and TYPE lines of a family, without the final newline."""
    escaped_help = help_text.replace("\\", "\\\\").replace("\n", "\\n")
    return f"# HELP {name} {escaped_help}\n# TYPE {name} {kind}"


def _cpu_share(key: str, what: str) -> Export:
    return Export(
        key,
        f"hostprobe_{key.removesuffix('_percent')}_ratio",
        "gauge",
        f"{what} share of all CPU time since boot, not over the scrape interval, "
        "from 0 to 1 (/proc/stat); NaN when /proc/stat cannot be read.",
        divisor=100.0,
    )


def _byte_rate(key: str, what: str, source: str) -> Export:
    return Export(
        key,
        f"hostprobe_{key.removesuffix('_per_sec')}_per_second",
        "gauge",
        f"Bytes {what} over one sampling pass of a few milliseconds, divided by "
        f"--interval-ms ({source}): a bursty sample, not an average over the scrape interval.",
    )


EXPORTS = (
    Export(
        "timestamp",
        "hostprobe_timestamp_seconds",
        "gauge",
        "Wall-clock time at the end of the sampling pass behind this scrape, in seconds since the Unix epoch.",
    ),
    _cpu_share("cpu_usage_percent", "Busy (everything but idle, I/O wait included)"),
    _cpu_share("cpu_user_percent", "User plus nice"),
    _cpu_share("cpu_system_percent", "System"),
    _cpu_share("cpu_idle_percent", "Idle"),
    _cpu_share("cpu_iowait_percent", "I/O-wait"),
    _cpu_share("cpu_irq_percent", "Hard-interrupt"),
    _cpu_share("cpu_softirq_percent", "Soft-interrupt"),
    _cpu_share("cpu_steal_percent", "Steal"),
    Export(
        "run_queue_length",
        "hostprobe_run_queue_length",
        "gauge",
        "Runnable scheduling entities now (/proc/loadavg); 0 when unreadable.",
    ),
    Export(
        "context_switches_per_sec",
        "hostprobe_context_switches",
        "counter",
        "Context switches since boot (ctxt of /proc/stat); absent when unreadable.",
        absent_when_zero=True,
    ),
    Export(
        "cpu_temp_celsius",
        "hostprobe_cpu_temp_celsius",
        "gauge",
        "Temperature of the first readable thermal zone (/sys/class/thermal/thermal_zone*/temp); 0 when there is none.",
    ),
    Export(
        "throttle_status",
        "hostprobe_throttle_status",
        "gauge",
        "Firmware throttle word (vcgencmd get_throttled): bit 0 under-voltage detected, "
        "1 arm frequency capped, 2 currently throttled, 3 soft temperature limit active, "
        "16-19 the same conditions have occurred since boot; 0 without vcgencmd, "
        "absent while it fails (hostprobe_firmware_up 0).",
        from_firmware=True,
    ),
    Export(
        "mem_total_bytes",
        "hostprobe_mem_total_bytes",
        "gauge",
        "MemTotal of /proc/meminfo, in bytes; absent when unreadable.",
        absent_when_zero=True,
    ),
    Export(
        "mem_used_bytes",
        "hostprobe_mem_used_bytes",
        "gauge",
        "MemTotal - (MemFree + Buffers + Cached) of /proc/meminfo, in bytes; absent when unreadable.",
        absent_when_zero=True,
    ),
    Export(
        "page_faults_minor_per_sec",
        "hostprobe_page_faults",
        "counter",
        "Page faults of all kinds, minor and major, since boot (pgfault of /proc/vmstat); absent when unreadable.",
        absent_when_zero=True,
    ),
    Export(
        "page_faults_major_per_sec",
        "hostprobe_page_faults_major",
        "counter",
        "Major page faults since boot (pgmajfault of /proc/vmstat); absent when unreadable.",
        absent_when_zero=True,
    ),
    Export(
        "uptime_seconds",
        "hostprobe_uptime_seconds",
        "gauge",
        "Time since boot, in seconds (/proc/uptime); absent when unreadable.",
        absent_when_zero=True,
    ),
    Export(
        "load_avg_1", "hostprobe_load_avg_1", "gauge", "One-minute load average (/proc/loadavg); 0 when unreadable."
    ),
    Export(
        "load_avg_5", "hostprobe_load_avg_5", "gauge", "Five-minute load average (/proc/loadavg); 0 when unreadable."
    ),
    Export(
        "load_avg_15",
        "hostprobe_load_avg_15",
        "gauge",
        "Fifteen-minute load average (/proc/loadavg); 0 when unreadable.",
    ),
    _byte_rate("disk_read_bytes_per_sec", "read from all block devices, partitions included,", "/proc/diskstats"),
    _byte_rate("disk_write_bytes_per_sec", "written to all block devices, partitions included,", "/proc/diskstats"),
    _byte_rate("net_rx_bytes_per_sec", "received on all interfaces, loopback included,", "/proc/net/dev"),
    _byte_rate("net_tx_bytes_per_sec", "transmitted on all interfaces, loopback included,", "/proc/net/dev"),
    Export(
        "measure_clock",
        "hostprobe_measure_clock_hertz",
        "gauge",
        "ARM clock as vcgencmd measure_clock arm reports it, in hertz; 0 without vcgencmd, "
        "absent while it fails (hostprobe_firmware_up 0).",
        from_firmware=True,
    ),
)


# Per export: its key, its divisor (None for 1, so that an int stays an int),
# its lines up to the value, and when it is left out.
_EXPORT_PREFIXES = tuple(
    (
        export.key,
        None if export.divisor == 1 else export.divisor,
        _header(series := export.name + "_total" * (export.kind == "counter"), export.kind, export.help)
        + f"\n{series} ",
        export.absent_when_zero,
        export.from_firmware,
    )
    for export in EXPORTS
)
_THROTTLE_FLAG_HEADER = _header(
    "hostprobe_throttle_flag",
    "gauge",
    "One documented bit of the firmware throttle word (hostprobe_throttle_status), 1 when set: "
    "a *_now condition holds now, an *_occurred one has held since boot; 0 without vcgencmd, "
    "absent while it fails (hostprobe_firmware_up 0).",
)
# Each documented bit is a series of its own, so that alerts need no
# arithmetic on the word.
_THROTTLE_FLAG_PREFIXES = tuple(
    (mask, f'hostprobe_throttle_flag{{flag="{_label_value(flag)}"}} ') for mask, flag in THROTTLE_FLAGS
)
_FIRMWARE_UP_PREFIX = (
    _header(
        "hostprobe_firmware_up",
        "gauge",
        "1 when vcgencmd answered this snapshot's queries (the ARM clock read non-zero), 0 when it is on the "
        "PATH but failed, hung or answered what cannot be read; absent without vcgencmd. While it is 0, "
        "hostprobe_throttle_status, hostprobe_throttle_flag and hostprobe_measure_clock_hertz are absent.",
    )
    + "\nhostprobe_firmware_up "
)
_SCRAPE_DURATION_PREFIX = (
    _header(
        "hostprobe_scrape_duration_seconds",
        "gauge",
        "How long the get_metrics_once call behind this scrape took, in seconds; "
        "scrapes sharing a snapshot show the same duration.",
    )
    + "\nhostprobe_scrape_duration_seconds "
)
_CPU_SECONDS_HEADER = _header(
    "hostprobe_cpu_seconds_total",
    "counter",
    "Seconds each CPU spent in each mode since boot (/proc/stat); rate() gives the share of the CPU.",
)
_DISK_SOURCE = "since boot (/proc/diskstats); a partition's count in its disk's too."
# Per family of the disks (True) or interfaces (False): its header, its
# samples' name and which of the device's pair of counts it takes.
_DEVICE_FAMILIES = tuple(
    (_header(name, "counter", help_text), name, of_disks, index)
    for name, help_text, of_disks, index in (
        ("hostprobe_disk_read_bytes_total", f"Bytes read from the block device {_DISK_SOURCE}", True, 0),
        ("hostprobe_disk_written_bytes_total", f"Bytes written to the block device {_DISK_SOURCE}", True, 1),
        ("hostprobe_network_receive_bytes_total", "Bytes the interface received since boot (/proc/net/dev).", False, 0),
        ("hostprobe_network_transmit_bytes_total", "Bytes the interface sent since boot (/proc/net/dev).", False, 1),
    )
)


@dataclass(frozen=True)
class Snapshot:
    values: Mapping[str, float]
    duration_seconds: float
    counters: hostprobe_counters.Counters
    # None without vcgencmd on the PATH, else whether it answered.
    firmware_up: bool | None


def take_snapshot(interval_ms: int) -> Snapshot:
    """One read_counters and one get_metrics_once call; raises what the latter raised."""
    try:
        os.close(os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC))
    except OSError as error:
        # The module would read every file as missing: a snapshot of made-up zeros.
        if error.errno in (errno.EMFILE, errno.ENFILE):
            raise OSError(error.errno, "no file descriptor free to read the machine's files with") from None
    # Read first: the counters then belong to the start of the scrape, the
    # time Prometheus stamps them with, however long the snapshot takes.
    counters = hostprobe_counters.read_counters()
    tool_on_path = shutil.which("vcgencmd") is not None
    start_seconds = time.monotonic()
    # Every value of the snapshot is an int or a float.
    values = cast(Mapping[str, float], hostprobe.get_metrics_once(interval_ms))
    duration_seconds = time.monotonic() - start_seconds
    return Snapshot(values, duration_seconds, counters, values["measure_clock"] != 0 if tool_on_path else None)


def failure_line(error: BaseException) -> str:
    """What a snapshot that raised `error` tells the scrape and the log, in one line."""
    return " ".join(f"snapshot failed: {type(error).__name__}: {error}".split())


def _snapshot_lines(snapshot: Snapshot) -> list[str]:
    values = snapshot.values
    firmware_down = snapshot.firmware_up is False
    lines = []
    for key, divisor, prefix, absent_when_zero, from_firmware in _EXPORT_PREFIXES:
        value = values[key]
        if not ((absent_when_zero and value == 0) or (from_firmware and firmware_down)):
            lines.append(prefix + _sample_value(value if divisor is None else value / divisor))
    if not firmware_down:
        word = int(values["throttle_status"])
        lines.append(_THROTTLE_FLAG_HEADER)
        lines += [f"{prefix}{1 if word & mask else 0}" for mask, prefix in _THROTTLE_FLAG_PREFIXES]
    if snapshot.firmware_up is not None:
        lines.append(_FIRMWARE_UP_PREFIX + str(int(snapshot.firmware_up)))
    lines.append(_SCRAPE_DURATION_PREFIX + _sample_value(snapshot.duration_seconds))
    return lines


def _counter_lines(counters: hostprobe_counters.Counters, disk_device_exclude: re.Pattern[str]) -> list[str]:
    """The kernel's cumulative counters under node_exporter's names and labels;
    what read_counters could not read has no sample."""
    lines = [_CPU_SECONDS_HEADER]
    # CPU numbers and the native module's mode names need no escaping.
    lines += [
        f'hostprobe_cpu_seconds_total{{cpu="{cpu}",mode="{mode}"}} {_sample_value(seconds)}'
        for cpu, seconds_by_mode in counters["cpu_seconds_per_cpu"].items()
        for mode, seconds in seconds_by_mode.items()
    ]
    disks = [
        (_label_value(device), pair)
        for device, pair in counters["disks"].items()
        if not disk_device_exclude.fullmatch(device)
    ]
    interfaces = [(_label_value(device), pair) for device, pair in counters["interfaces"].items()]
    for header, name, of_disks, index in _DEVICE_FAMILIES:
        lines.append(header)
        lines += [f'{name}{{device="{device}"}} {pair[index]}' for device, pair in (disks if of_disks else interfaces)]
    return lines


def exposition_of(snapshot: Snapshot, disk_device_exclude: re.Pattern[str]) -> bytes:
    """The snapshot in the Prometheus text format 0.0.4, without timestamps."""
    lines = _snapshot_lines(snapshot)
    lines += _counter_lines(snapshot.counters, disk_device_exclude)
    lines.append("")
    return "\n".join(lines).encode()
