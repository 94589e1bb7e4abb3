"""What the hostprobe command and hostprobe-exporter share: the throttle word's flags and --interval-ms."""

from __future__ import annotations

import argparse

MAX_INTERVAL_MS = 2**64 - 1
# The documented bits of the firmware's throttle word, named as the command
# prints them and as the exporter labels its flag series.
THROTTLE_FLAGS = (
    (0x1, "under_voltage_now"),
    (0x2, "arm_frequency_capped_now"),
    (0x4, "throttled_now"),
    (0x8, "soft_temperature_limit_now"),
    (0x10000, "under_voltage_occurred"),
    (0x20000, "arm_frequency_capped_occurred"),
    (0x40000, "throttled_occurred"),
    (0x80000, "soft_temperature_limit_occurred"),
)


def _interval_ms(text: str) -> int:
    try:
        milliseconds = int(text)
    except ValueError:
        milliseconds = 0
    if not 1 <= milliseconds <= MAX_INTERVAL_MS:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer from 1 to {MAX_INTERVAL_MS}")
    return milliseconds


def add_interval_option(parser: argparse.ArgumentParser) -> None:
    """Adds --interval-ms, the interval every snapshot is taken with."""
    parser.add_argument(
        "--interval-ms",
        type=_interval_ms,
        default=1000,
        metavar="N",
        help="interval passed to hostprobe.get_metrics_once, the divisor of the byte rates (default: %(default)s)",
    )
