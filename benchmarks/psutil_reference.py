"""The values of hostprobe.get_metrics_once, obtained the way a Python
program would without it: psutil, the standard library, and subprocess for
the firmware tool."""

from __future__ import annotations

import shutil
import subprocess
import time

import psutil


def _vcgencmd(*words: str) -> str:
    tool = shutil.which("vcgencmd")
    if tool is None:
        return ""
    try:
        done = subprocess.run([tool, *words], capture_output=True, text=True, timeout=2)
    except (OSError, subprocess.TimeoutExpired):
        return ""
    return done.stdout if done.returncode == 0 else ""


def _throttle_status() -> int:
    _, marker, rest = _vcgencmd("get_throttled").partition("0x")
    try:
        return int(rest.strip(), 16) if marker else 0
    except ValueError:
        return 0


def _arm_clock() -> int:
    _, marker, rest = _vcgencmd("measure_clock", "arm").partition("=")
    try:
        return int(rest.strip()) if marker else 0
    except ValueError:
        return 0


def _cpu_temperature() -> float:
    for readings in psutil.sensors_temperatures().values():
        if readings:
            return readings[0].current
    return 0.0


def _page_faults() -> tuple[int, int]:
    counts = {}
    with open("/proc/vmstat") as vmstat:
        for line in vmstat:
            name, _, value = line.partition(" ")
            if name in ("pgfault", "pgmajfault"):
                counts[name] = int(value)
    return counts.get("pgfault", 0), counts.get("pgmajfault", 0)


def _increase(before: dict, after: dict, first: str, second: str) -> tuple[int, int]:
    up_first = up_second = 0
    for name, now in after.items():
        then = before.get(name)
        if then is not None:
            up_first += max(getattr(now, first) - getattr(then, first), 0)
            up_second += max(getattr(now, second) - getattr(then, second), 0)
    return up_first, up_second


def snapshot(interval_ms: int) -> dict[str, float | int]:
    seconds = interval_ms / 1000
    disks_before = psutil.disk_io_counters(perdisk=True)
    nics_before = psutil.net_io_counters(pernic=True)

    times = psutil.cpu_times()
    shares = {
        "user": times.user + times.nice,
        "system": times.system,
        "idle": times.idle,
        "iowait": times.iowait,
        "irq": times.irq,
        "softirq": times.softirq,
        "steal": times.steal,
    }
    total = sum(shares.values())
    with open("/proc/loadavg") as loadavg:
        load_1, load_5, load_15, entities = loadavg.read().split()[:4]
    temperature = _cpu_temperature()
    throttle = _throttle_status()
    clock = _arm_clock()
    memory = psutil.virtual_memory()
    faults, major_faults = _page_faults()
    uptime = time.time() - psutil.boot_time()
    disk_read, disk_written = _increase(
        disks_before, psutil.disk_io_counters(perdisk=True), "read_bytes", "write_bytes"
    )
    net_received, net_sent = _increase(nics_before, psutil.net_io_counters(pernic=True), "bytes_recv", "bytes_sent")

    return {
        "timestamp": time.time(),
        "cpu_usage_percent": (total - shares["idle"]) / total * 100,
        "cpu_user_percent": shares["user"] / total * 100,
        "cpu_system_percent": shares["system"] / total * 100,
        "cpu_idle_percent": shares["idle"] / total * 100,
        "cpu_iowait_percent": shares["iowait"] / total * 100,
        "cpu_irq_percent": shares["irq"] / total * 100,
        "cpu_softirq_percent": shares["softirq"] / total * 100,
        "cpu_steal_percent": shares["steal"] / total * 100,
        "run_queue_length": float(entities.split("/")[0]),
        "context_switches_per_sec": psutil.cpu_stats().ctx_switches,
        "cpu_temp_celsius": temperature,
        "throttle_status": throttle,
        "mem_total_bytes": memory.total,
        "mem_used_bytes": max(memory.total - memory.free - memory.buffers - memory.cached, 0),
        "page_faults_minor_per_sec": faults,
        "page_faults_major_per_sec": major_faults,
        "uptime_seconds": uptime,
        "load_avg_1": float(load_1),
        "load_avg_5": float(load_5),
        "load_avg_15": float(load_15),
        "disk_read_bytes_per_sec": int(disk_read / seconds),
        "disk_write_bytes_per_sec": int(disk_written / seconds),
        "net_rx_bytes_per_sec": int(net_received / seconds),
        "net_tx_bytes_per_sec": int(net_sent / seconds),
        "measure_clock": clock,
    }
