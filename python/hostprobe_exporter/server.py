"""The collector and the HTTP server of hostprobe-exporter; needs prometheus_client."""

from __future__ import annotations

import argparse
import re
import signal
import socket
import sys
import threading
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from types import FrameType
from typing import Any, Literal, cast
from wsgiref.simple_server import WSGIRequestHandler

import hostprobe
import hostprobe_counters
from hostprobe_common import THROTTLE_FLAGS, add_interval_option
from prometheus_client import make_wsgi_app
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.exposition import ThreadingWSGIServer
from prometheus_client.registry import CollectorRegistry

from hostprobe_exporter import PROGRAM

DEFAULT_PORT = 9864
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

    def family(self, value: float) -> Metric:
        exposed = value / self.divisor
        if self.kind == "counter":
            return CounterMetricFamily(self.name, self.help, value=exposed)
        return GaugeMetricFamily(self.name, self.help, value=exposed)


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
        "Context switches since boot (ctxt of /proc/stat); 0 when unreadable.",
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
        "16-19 the same conditions have occurred since boot; 0 also without vcgencmd.",
    ),
    Export(
        "mem_total_bytes",
        "hostprobe_mem_total_bytes",
        "gauge",
        "MemTotal of /proc/meminfo, in bytes; 0 when unreadable.",
    ),
    Export(
        "mem_used_bytes",
        "hostprobe_mem_used_bytes",
        "gauge",
        "MemTotal - (MemFree + Buffers + Cached) of /proc/meminfo, in bytes; 0 when unreadable.",
    ),
    Export(
        "page_faults_minor_per_sec",
        "hostprobe_page_faults",
        "counter",
        "Page faults of all kinds, minor and major, since boot (pgfault of /proc/vmstat); 0 when unreadable.",
    ),
    Export(
        "page_faults_major_per_sec",
        "hostprobe_page_faults_major",
        "counter",
        "Major page faults since boot (pgmajfault of /proc/vmstat); 0 when unreadable.",
    ),
    Export(
        "uptime_seconds",
        "hostprobe_uptime_seconds",
        "gauge",
        "Time since boot, in seconds (/proc/uptime); 0 when unreadable.",
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
        "ARM clock as vcgencmd measure_clock arm reports it, in hertz; 0 without vcgencmd.",
    ),
)


def _throttle_flags(word: int) -> Metric:
    family = GaugeMetricFamily(
        "hostprobe_throttle_flag",
        "One documented bit of the firmware throttle word (hostprobe_throttle_status), 1 when set: "
        "a *_now condition holds now, an *_occurred one has held since boot; 0 also without vcgencmd.",
        labels=["flag"],
    )
    # Each documented bit is a series of its own, so that alerts need no
    # arithmetic on the word.
    for mask, flag in THROTTLE_FLAGS:
        family.add_metric([flag], 1 if word & mask else 0)
    return family


@dataclass(frozen=True)
class Snapshot:
    values: Mapping[str, float]
    duration_seconds: float
    counters: hostprobe_counters.Counters


def _take_snapshot(interval_ms: int) -> Snapshot | Exception:
    """One read_counters and one get_metrics_once call, or what the latter
    raised, for every collection sharing them."""
    # Read first: the counters then belong to the start of the scrape, the
    # time Prometheus stamps them with, however long the snapshot takes.
    counters = hostprobe_counters.read_counters()
    start_seconds = time.monotonic()
    try:
        # Every value of the snapshot is an int or a float.
        values = cast(Mapping[str, float], hostprobe.get_metrics_once(interval_ms))
    except Exception as error:
        return error
    return Snapshot(values, time.monotonic() - start_seconds, counters)


def _counter_families(counters: hostprobe_counters.Counters, disk_device_exclude: re.Pattern[str]) -> Iterator[Metric]:
    """The kernel's cumulative counters under node_exporter's names and labels;
    what read_counters could not read has no sample."""
    cpu_seconds = CounterMetricFamily(
        "hostprobe_cpu_seconds",
        "Seconds each CPU spent in each mode since boot (/proc/stat); rate() gives the share of the CPU.",
        labels=["cpu", "mode"],
    )
    for cpu, seconds_by_mode in counters["cpu_seconds_per_cpu"].items():
        for mode, seconds in seconds_by_mode.items():
            cpu_seconds.add_metric([str(cpu), mode], seconds)
    yield cpu_seconds
    disks = {device: pair for device, pair in counters["disks"].items() if not disk_device_exclude.fullmatch(device)}
    interfaces = counters["interfaces"]
    for name, help_text, pairs, index in (
        (
            "hostprobe_disk_read_bytes",
            "Bytes read from the block device since boot (/proc/diskstats); a partition's count in its disk's too.",
            disks,
            0,
        ),
        (
            "hostprobe_disk_written_bytes",
            "Bytes written to the block device since boot (/proc/diskstats); a partition's count in its disk's too.",
            disks,
            1,
        ),
        ("hostprobe_network_receive_bytes", "Bytes the interface received since boot (/proc/net/dev).", interfaces, 0),
        ("hostprobe_network_transmit_bytes", "Bytes the interface sent since boot (/proc/net/dev).", interfaces, 1),
    ):
        family = CounterMetricFamily(name, help_text, labels=["device"])
        for device, pair in pairs.items():
            family.add_metric([device], pair[index])
        yield family


class SnapshotCollector:
    """A Prometheus collector whose collections share the snapshot in flight.

    A snapshot is one reading of the counters and one get_metrics_once call.
    The module holds the interpreter while it samples, so concurrent scrapes
    that each took their own snapshot would wait for one another in turn. A
    collection that arrives while a snapshot is being taken exposes that one
    instead; one that arrives after it finished takes a new one, so that no
    scrape is answered with a snapshot finished before the scrape arrived.
    """

    # Set by the first collection, which always takes a snapshot.
    _latest: Snapshot | Exception

    def __init__(self, interval_ms: int, disk_device_exclude: re.Pattern[str] = DEFAULT_DISK_DEVICE_EXCLUDE) -> None:
        self._interval_ms = interval_ms
        self._disk_device_exclude = disk_device_exclude
        self._taking = threading.Lock()
        self._snapshots_finished = 0

    def _fresh_snapshot(self) -> Snapshot:
        # Any snapshot finishing after this point will do: the one in flight,
        # if there is one, else the next.
        needed = self._snapshots_finished + 1
        with self._taking:
            if self._snapshots_finished < needed:
                self._latest = _take_snapshot(self._interval_ms)
                self._snapshots_finished += 1
            latest = self._latest
        if isinstance(latest, Exception):
            raise latest
        return latest

    def collect(self) -> Iterator[Metric]:
        snapshot = self._fresh_snapshot()
        for export in EXPORTS:
            yield export.family(snapshot.values[export.key])
        yield _throttle_flags(int(snapshot.values["throttle_status"]))
        yield GaugeMetricFamily(
            "hostprobe_scrape_duration_seconds",
            "How long the get_metrics_once call behind this scrape took, in seconds; "
            "scrapes sharing a snapshot show the same duration.",
            value=snapshot.duration_seconds,
        )
        yield from _counter_families(snapshot.counters, self._disk_device_exclude)


class _QuietRequestHandler(WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:
        """Scrapes are not logged: they come every few seconds from every Prometheus server."""


class _ScrapeServer(ThreadingWSGIServer):
    """Answers each scrape on a daemon thread, over IPv4 or IPv6 as the address resolves."""

    # socketserver's default of 5 pending connections overflows under a burst
    # of concurrent scrapes, and a client whose SYN is dropped retries only
    # after a second or more.
    request_queue_size = 128

    def __init__(self, address: str, port: int) -> None:
        family, _, _, _, socket_address = socket.getaddrinfo(
            address, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        )[0]
        self.address_family = family
        # A stream socket's address: (host, port) for IPv4, (host, port, flow, scope) for IPv6.
        super().__init__(cast("tuple[str, int] | tuple[str, int, int, int]", socket_address), _QuietRequestHandler)


class _Stopped(Exception):
    pass


def _raise_stopped(signum: int, frame: FrameType | None) -> None:
    raise _Stopped


def _bounded_int(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value: int | None = int(text)
        except ValueError:
            value = None
        if value is None or not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer from {low} to {high}")
        return value

    return parse


def _regular_expression(text: str) -> re.Pattern[str]:
    try:
        return re.compile(text)
    except re.error as error:
        raise argparse.ArgumentTypeError(f"{text!r} is not a regular expression: {error}") from None


def _parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Serve a fresh hostprobe snapshot and the kernel's cumulative counters to every scrape "
        "in the Prometheus text format, on any path.",
    )
    parser.add_argument("--address", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    parser.add_argument(
        "--port",
        type=_bounded_int(0, 65535),
        default=DEFAULT_PORT,
        help="TCP port to listen on, 0 for any free one (default: %(default)s)",
    )
    add_interval_option(parser)
    parser.add_argument(
        "--disk-device-exclude",
        type=_regular_expression,
        default=DEFAULT_DISK_DEVICE_EXCLUDE.pattern,
        metavar="REGEX",
        help="leave out of hostprobe_disk_read_bytes_total and hostprobe_disk_written_bytes_total every block "
        "device whose whole name matches this Python regular expression; '' leaves out none (default: %(default)s)",
    )
    return parser.parse_args(argv)


def run(argv: Sequence[str] | None) -> int:
    """Runs the exporter until SIGINT or SIGTERM; returns the exit status."""
    arguments = _parse_arguments(argv)
    registry = CollectorRegistry()
    registry.register(SnapshotCollector(arguments.interval_ms, arguments.disk_device_exclude))
    # Set for SIGINT too: a shell starts background jobs with SIGINT ignored.
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, _raise_stopped)
    try:
        try:
            server = _ScrapeServer(arguments.address, arguments.port)
        except OSError as error:
            reason = error.strerror or str(error)
            print(f"{PROGRAM}: cannot listen on {arguments.address} port {arguments.port}: {reason}", file=sys.stderr)
            return 1
        server.set_app(make_wsgi_app(registry))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            host, port = server.socket.getsockname()[:2]
            shown = f"[{host}]" if ":" in host else host
            print(f"{PROGRAM}: serving http://{shown}:{port}/metrics", file=sys.stderr, flush=True)
            while True:
                signal.pause()
        finally:
            server.shutdown()
            server.server_close()
    except _Stopped:
        return 0
