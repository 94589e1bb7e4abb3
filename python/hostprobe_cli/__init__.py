"""hostprobe: one snapshot of this machine's state, as a table or as JSON lines.

hostprobe                  the snapshot in a table, readable and raw
hostprobe --json           one JSON object a line, NaN written as null
hostprobe --watch 2        a snapshot every 2 seconds until Ctrl-C, and from
                           the second on the live figures: the rates of the
                           kernel's counters since the previous one
"""

from __future__ import annotations

import argparse
import errno
import json
import math
import os
import sys
import time
from collections.abc import Callable, Mapping, Sequence
from typing import cast

import hostprobe
import hostprobe_counters
from hostprobe_common import THROTTLE_FLAGS, add_interval_option
from hostprobe_counters import Counters, Rates

PROGRAM = "hostprobe"
# A longer value, such as a throttle word with its flags, pushes only its own raw value right.
VALUE_COLUMN_WIDTH = 26
# Cursor home, then clear the screen: each table replaces the last one.
REDRAW = "\x1b[H\x1b[2J"
# A year. time.sleep's deadline on the monotonic clock must fit a time_t,
# which is 32 bits wide on some boards' C libraries (Debian 12's armhf).
MAX_WATCH_SECONDS = 365 * 24 * 3600
COUNTS_SINCE_BOOT = ("context_switches_per_sec", "page_faults_minor_per_sec", "page_faults_major_per_sec")
LIVE_FIGURES_NEXT = "live figures come with the next frame\n"
NO_RATE = "n/a"

# Every value of a snapshot is an int or a float.
Snapshot = Mapping[str, float]


class CallFailed(Exception):
    """get_metrics_once raised; the message is the reason."""


def binary_size(byte_count: float) -> str:
    for unit, unit_bytes in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if byte_count >= unit_bytes:
            return f"{byte_count / unit_bytes:.2f} {unit}"
    return f"{byte_count:.0f} B"


def throttle_text(throttle_word: int) -> str:
    set_flags = [name for mask, name in THROTTLE_FLAGS if throttle_word & mask]
    return " ".join([f"0x{throttle_word:x}", *set_flags])


def duration_text(seconds: float) -> str:
    minutes, whole_seconds = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    days, hours = divmod(hours, 24)
    return f"{days}d {hours:02}:{minutes:02}:{whole_seconds:02}"


def readable(key: str, value: float) -> str:
    if math.isnan(value):
        return "NaN"
    if key == "timestamp":
        return time.strftime("%Y-%m-%d %H:%M:%S %z", time.localtime(value))
    if key == "uptime_seconds":
        return duration_text(value)
    if key == "throttle_status":
        return throttle_text(int(value))
    if key == "measure_clock":
        return f"{value / 1e6:.0f} MHz"
    if key == "cpu_temp_celsius":
        return f"{value:.1f} °C"
    if key.endswith("_percent"):
        return f"{value:.2f} %"
    if key.endswith("_bytes"):
        return binary_size(value)
    if key.endswith("_bytes_per_sec"):
        return binary_size(value) + "/s"
    if key in COUNTS_SINCE_BOOT:
        return f"{value:,}"
    return f"{value:.2f}"  # run queue and load averages


def span(key: str) -> str:
    """The span of a snapshot's value whose name alone would pass for a figure of now."""
    if (key.startswith("cpu_") and key.endswith("_percent")) or key in COUNTS_SINCE_BOOT:
        return " since boot"
    if key.endswith("_bytes_per_sec"):
        return " over one pass"
    return ""


def table(snapshot: Snapshot) -> str:
    rows = []
    for key, value in snapshot.items():
        text, raw = readable(key, value) + span(key), json.dumps(value)  # json.dumps writes NaN as NaN
        rows.append((key, text, "" if raw == text else raw))
    key_width = max(len(key) for key, _, _ in rows)
    text_width = min(max(len(text) for _, text, _ in rows), VALUE_COLUMN_WIDTH)
    return "".join(f"{key:<{key_width}}  {text:<{text_width}}  {raw}".rstrip() + "\n" for key, text, raw in rows)


def percent_text(percent: float) -> str:
    return f"{percent:.2f} %"


def byte_rate_text(bytes_per_second: float) -> str:
    return binary_size(bytes_per_second) + "/s"


def count_rate_text(count_per_second: float) -> str:
    return f"{count_per_second:,.0f}/s"


def rate_text(rate: float | None, text: Callable[[float], str]) -> str:
    return NO_RATE if rate is None or math.isnan(rate) else text(rate)


def live_table(live: Rates, whole_disks: frozenset[str]) -> str:
    """The rates since the previous frame. A device's row, under its total, gives read then written, or received
    then sent; the rows are those of the devices the totals count."""

    def pair_text(first: float | None, second: float | None) -> str:
        return f"{rate_text(first, byte_rate_text)}, {rate_text(second, byte_rate_text)}"

    per_cpu = sorted(live["cpu_busy_percent_per_cpu"].items())
    rows = [
        ("cpu busy", rate_text(live["cpu_busy_percent"], percent_text)),
        *((f"  cpu{cpu}", rate_text(busy, percent_text)) for cpu, busy in per_cpu),
        *((f"cpu {mode}", rate_text(share, percent_text)) for mode, share in live["cpu_mode_percent"].items()),
        ("disk read, written", pair_text(live["disk_read_bytes_per_sec"], live["disk_write_bytes_per_sec"])),
        *((f"  {disk}", pair_text(*pair)) for disk, pair in live["disks"].items() if disk in whole_disks),
        ("net received, sent", pair_text(live["net_rx_bytes_per_sec"], live["net_tx_bytes_per_sec"])),
        *((f"  {name}", pair_text(*pair)) for name, pair in live["interfaces"].items() if name != "lo"),
        ("context switches", rate_text(live["context_switches_per_sec"], count_rate_text)),
        ("page faults", rate_text(live["page_faults_per_sec"], count_rate_text)),
        ("major page faults", rate_text(live["page_faults_major_per_sec"], count_rate_text)),
    ]
    label_width = max(len(label) for label, _ in rows)
    heading = f"live figures, over the last {live['seconds']:.2f} s:\n"
    return heading + "".join(f"{label:<{label_width}}  {text}\n" for label, text in rows)


def json_safe(value: object) -> object:
    """Strict JSON's form of the rates: string keys, lists for tuples, null for NaN."""
    if isinstance(value, dict):
        return {str(key): json_safe(item) for key, item in value.items()}
    if isinstance(value, tuple):
        return [json_safe(item) for item in value]
    if isinstance(value, float) and math.isnan(value):
        return None
    return value


def json_line(snapshot: Snapshot, live: Rates | None) -> str:
    plain: dict[str, object] = {key: None if math.isnan(value) else value for key, value in snapshot.items()}
    if live is not None:
        plain["live"] = json_safe(live)
    return json.dumps(plain, allow_nan=False) + "\n"


def take_snapshot(interval_ms: int) -> Snapshot:
    try:
        return cast(Snapshot, hostprobe.get_metrics_once(interval_ms))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # hostprobe.InternalFailure derives from BaseException
        raise CallFailed(str(error) or type(error).__name__) from error


def write_snapshots(interval_ms: int, as_json: bool, every_seconds: float | None) -> None:
    if every_seconds is None:
        snapshot = take_snapshot(interval_ms)
        sys.stdout.write(json_line(snapshot, None) if as_json else table(snapshot))
        sys.stdout.flush()
        return
    redraw = not as_json and sys.stdout.isatty()
    next_due = time.monotonic()
    previous: Counters | None = None
    while True:
        snapshot = take_snapshot(interval_ms)
        current = hostprobe_counters.read_counters()
        live = None if previous is None else hostprobe_counters.rates(previous, current)
        previous = current
        if as_json:
            frame = json_line(snapshot, live)
        else:
            whole_disks = current.get("whole_disks", frozenset())
            frame = table(snapshot) + "\n" + (LIVE_FIGURES_NEXT if live is None else live_table(live, whole_disks))
            frame = REDRAW + frame if redraw else frame + "\n"
        sys.stdout.write(frame)
        sys.stdout.flush()
        # A call that outlasts the period starts the next one at once, without a burst to catch up.
        next_due = max(next_due + every_seconds, time.monotonic())
        time.sleep(max(0.0, next_due - time.monotonic()))


def watch_period(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not 0 < seconds <= MAX_WATCH_SECONDS:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds above 0 and at most {MAX_WATCH_SECONDS}")
    return seconds


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog=PROGRAM, description="Print snapshots of this machine's state.")
    parser.add_argument("--json", action="store_true", help="one JSON object a line, NaN as null, instead of a table")
    parser.add_argument(
        "--watch",
        type=watch_period,
        metavar="SECONDS",
        help="take a snapshot every SECONDS until interrupted; a terminal shows the table redrawn in place",
    )
    add_interval_option(parser)
    return parser.parse_args(argv)


def discard_unwritten_output() -> None:
    """Puts /dev/null behind stdout, so that the interpreter's last flush of what is still buffered cannot fail."""
    if sys.stdout is not None:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def main(argv: Sequence[str] | None = None) -> int:
    """Prints one snapshot, or one per --watch period; returns the exit status."""
    arguments = parse_arguments(argv)
    try:
        if sys.stdout is None:  # the interpreter started with no file descriptor 1
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        write_snapshots(arguments.interval_ms, arguments.json, arguments.watch)
    except CallFailed as failure:
        print(f"{PROGRAM}: {failure}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # the reader has gone
        discard_unwritten_output()
        return 0
    except OSError as error:
        print(f"{PROGRAM}: cannot write the output: {error.strerror}", file=sys.stderr)
        discard_unwritten_output()
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
