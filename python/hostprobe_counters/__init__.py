"""What the machine is doing now: the kernel's cumulative counters, read
natively, and the rates between two readings.

``read_counters()`` reads ``/proc/stat``, ``/proc/vmstat``,
``/proc/diskstats``, ``/proc/net/dev`` and ``/sys/class/block`` on the
calling thread, with the interpreter released: no threads, no child
process. It never fails; what cannot be read is absent from its result,
never a made-up 0, so that a consumer can tell a missing value from a real
one. ``rates(earlier, later)`` turns two such readings into per-second
rates and CPU shares over the time between them::

    import time
    import hostprobe_counters as hc

    earlier = hc.read_counters()
    time.sleep(1)
    print(hc.rates(earlier, hc.read_counters())["cpu_busy_percent"])
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Literal, TypedDict

from hostprobe_counters._native import read_counters

__all__ = ["Counters", "Rates", "rates", "read_counters"]

# /proc/net/dev counters are unsigned long in a 32-bit kernel: they wrap at
# 2^32 bytes, every 34 s at a gigabit per second.
_NET_COUNTER_MODULUS_32_BIT = 2**32


class _CountersAlwaysPresent(TypedDict):
    monotonic_seconds: float
    cpu_seconds_per_cpu: dict[int, dict[str, float]]
    disks: dict[str, tuple[int, int]]
    interfaces: dict[str, tuple[int, int]]
    kernel_bits: int


class Counters(_CountersAlwaysPresent, total=False):
    """One reading of ``read_counters()``.

    - ``monotonic_seconds``: the monotonic clock at the reading.
    - ``cpu_seconds``: seconds since boot by mode ("user", "nice", "system",
      "idle", "iowait", "irq", "softirq", "steal") over all CPUs;
      ``cpu_seconds_per_cpu`` the same by CPU number (offline CPUs have none).
    - ``context_switches``, ``page_faults``, ``page_faults_major``: counts
      since boot.
    - ``disks``: every device of /proc/diskstats to (read, written) bytes;
      ``whole_disks`` those that sysfs places as whole disks of real hardware
      (no partition, loop, ram, zram, device-mapper or md device).
    - ``interfaces``: every interface of /proc/net/dev to (received,
      transmitted) bytes.
    - ``kernel_bits``: 32 or 64, the width of the running kernel (not of the
      userland).
    """

    cpu_seconds: dict[str, float]
    context_switches: int
    page_faults: int
    page_faults_major: int
    whole_disks: frozenset[str]


class Rates(TypedDict):
    """What ``rates()`` makes of two readings; None where there is no rate."""

    seconds: float
    cpu_busy_percent: float | None
    cpu_mode_percent: dict[str, float | None]
    cpu_busy_percent_per_cpu: dict[int, float | None]
    disk_read_bytes_per_sec: float | None
    disk_write_bytes_per_sec: float | None
    net_rx_bytes_per_sec: float | None
    net_tx_bytes_per_sec: float | None
    disks: dict[str, tuple[float | None, float | None]]
    interfaces: dict[str, tuple[float | None, float | None]]
    context_switches_per_sec: float | None
    page_faults_per_sec: float | None
    page_faults_major_per_sec: float | None


def _increase(earlier: float | None, later: float | None, modulus: int | None = None) -> float | None:
    if earlier is None or later is None:
        return None
    if modulus is not None:
        return (later - earlier) % modulus
    return later - earlier if later >= earlier else None


def _cpu_shares(
    earlier: Mapping[str, float], later: Mapping[str, float]
) -> tuple[float | None, dict[str, float | None]]:
    """Busy share (everything but idle) and each mode's share of the time
    the modes that went forward advanced by."""
    increases = {mode: _increase(earlier.get(mode), seconds) for mode, seconds in later.items()}
    total = sum(increase for increase in increases.values() if increase is not None)
    shares = {
        mode: None if increase is None or total <= 0 else 100.0 * increase / total
        for mode, increase in increases.items()
    }
    idle = shares.get("idle")
    return (None if idle is None else 100.0 - idle), shares


def rates(earlier: Counters, later: Counters) -> Rates:
    """Rates per second and CPU shares in percent between two readings of
    ``read_counters()``, the earlier first.

    A counter that went backwards, or one present in only one reading, has
    no rate (None) for the interval: never a negative number, never a spike.
    The one exception: on a 32-bit kernel the /proc/net/dev counters wrap at
    2^32, and their increase is taken modulo 2^32. The totals are over the
    devices present in both readings, ``disk_*`` the whole hardware disks
    (None when sysfs did not say which they are), ``net_*`` every interface
    but the loopback "lo"; a total is None when one of its devices has no
    rate. Every rate is None when the later reading is not later.
    """
    seconds = later["monotonic_seconds"] - earlier["monotonic_seconds"]

    def per_second(increase: float | None) -> float | None:
        return None if increase is None or seconds <= 0 else increase / seconds

    def pair_rates(
        earlier_pairs: Mapping[str, tuple[int, int]], later_pairs: Mapping[str, tuple[int, int]], modulus: int | None
    ) -> dict[str, tuple[float | None, float | None]]:
        result: dict[str, tuple[float | None, float | None]] = {}
        for name, (first, second) in later_pairs.items():
            before = earlier_pairs.get(name)
            if before is None:
                result[name] = (None, None)
            else:
                result[name] = (
                    per_second(_increase(before[0], first, modulus)),
                    per_second(_increase(before[1], second, modulus)),
                )
        return result

    def total(
        pairs: Mapping[str, tuple[float | None, float | None]], names: Iterable[str] | None, index: int
    ) -> float | None:
        if names is None:
            return None
        rates = [pairs[name][index] for name in names]
        return None if None in rates or seconds <= 0 else sum((rate for rate in rates if rate is not None), 0.0)

    busy, mode_shares = _cpu_shares(earlier.get("cpu_seconds", {}), later.get("cpu_seconds", {}))
    earlier_per_cpu = earlier["cpu_seconds_per_cpu"]
    busy_per_cpu = {
        cpu: _cpu_shares(earlier_per_cpu[cpu], seconds)[0] if cpu in earlier_per_cpu else None
        for cpu, seconds in later["cpu_seconds_per_cpu"].items()
    }
    disks = pair_rates(earlier["disks"], later["disks"], None)
    whole_disks = None
    if "whole_disks" in earlier and "whole_disks" in later:
        whole_disks = earlier["whole_disks"] & later["whole_disks"]
    net_modulus = _NET_COUNTER_MODULUS_32_BIT if later["kernel_bits"] == 32 else None
    interfaces = pair_rates(earlier["interfaces"], later["interfaces"], net_modulus)
    not_loopback = [name for name in interfaces if name != "lo" and name in earlier["interfaces"]]

    def count_rate(key: Literal["context_switches", "page_faults", "page_faults_major"]) -> float | None:
        return per_second(_increase(earlier.get(key), later.get(key)))

    return {
        "seconds": seconds,
        "cpu_busy_percent": busy,
        "cpu_mode_percent": mode_shares,
        "cpu_busy_percent_per_cpu": busy_per_cpu,
        "disk_read_bytes_per_sec": total(disks, whole_disks, 0),
        "disk_write_bytes_per_sec": total(disks, whole_disks, 1),
        "net_rx_bytes_per_sec": total(interfaces, not_loopback, 0),
        "net_tx_bytes_per_sec": total(interfaces, not_loopback, 1),
        "disks": disks,
        "interfaces": interfaces,
        "context_switches_per_sec": count_rate("context_switches"),
        "page_faults_per_sec": count_rate("page_faults"),
        "page_faults_major_per_sec": count_rate("page_faults_major"),
    }
