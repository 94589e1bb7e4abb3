"""The exporter's exposition in process: every value as its series, the counter families, the snapshot in flight."""

import concurrent.futures
import re
import sys
import time
from pathlib import Path

import hostprobe
import hostprobe_counters  # the installed package: the tree has no build of its native part
import pytest

pytest.importorskip("prometheus_client", reason="prometheus_client is not installed (pip install '.[exporter]')")
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
from hostprobe_common import THROTTLE_FLAGS  # noqa: E402
from hostprobe_exporter.exposition import EXPORTS, SnapshotCollector  # noqa: E402

MACHINE = hostprobe.get_metrics_once(1)
# Each key a value of its own, but a throttle word of under-voltage and throttling, now and since boot.
SNAPSHOT = {key: number + 0.5 for number, key in enumerate(MACHINE)} | {"throttle_status": 0x50005}
DISKS = {"sda": (1, 2), "loop0": (3, 4), "ram1": (5, 6), "zram0": (7, 8)}  # a disk, and the kinds left out by default
ODD = 'a\\nb"c\nd'  # an interface name with a backslash (before an n), a quote and a newline to escape
COUNTERS = {"cpu_seconds_per_cpu": {3: {"steal": 0.25}}, "disks": DISKS, "interfaces": {ODD: (9, 10)}}


def samples(text: str) -> dict[tuple[str, ...], float]:
    return {(s.name, *s.labels.items()): s.value for f in text_string_to_metric_families(text) for s in f.samples}


def test_collector_exposes_each_value_as_its_series_percentages_as_ratios(monkeypatch):
    calls = []
    monkeypatch.setattr(hostprobe, "get_metrics_once", lambda ms: calls.append(ms) or time.sleep(0.01) or SNAPSHOT)
    monkeypatch.setattr(hostprobe_counters, "read_counters", lambda: COUNTERS)
    exposed = samples(SnapshotCollector(250).exposition().decode())
    assert (calls, exposed.pop(("hostprobe_scrape_duration_seconds",)) >= 0.01) == ([250], True)  # the call's 0.01 s
    series = {export.key: export.name + "_total" * (export.kind == "counter") for export in EXPORTS}
    values = {(series[key],): value / 100 if key.endswith("_percent") else value for key, value in SNAPSHOT.items()}
    flags = {
        ("hostprobe_throttle_flag", ("flag", f)): f.startswith(("under_", "throttled_")) for _, f in THROTTLE_FLAGS
    }
    counters = {
        ("hostprobe_cpu_seconds_total", ("cpu", "3"), ("mode", "steal")): 0.25,
        ("hostprobe_disk_read_bytes_total", ("device", "sda")): 1,
        ("hostprobe_disk_written_bytes_total", ("device", "sda")): 2,
        ("hostprobe_network_receive_bytes_total", ("device", ODD)): 9,
        ("hostprobe_network_transmit_bytes_total", ("device", ODD)): 10,
    }
    assert exposed == values | flags | counters
    for export in EXPORTS:  # named as its key, the key's unit dropped and the series' base unit added
        stem = re.sub(r"_minor|_per_sec$", "", export.key.replace("_percent", "_ratio"))
        assert re.fullmatch(rf"hostprobe_{stem}(_seconds|_per_second|_hertz)?", export.name), export


@pytest.mark.parametrize("failing", [False, True])
def test_concurrent_collections_share_the_snapshot_in_flight_and_later_ones_take_a_new_one(monkeypatch, failing):
    calls = []

    def slow_snapshot(interval_ms):
        calls.append(interval_ms)
        time.sleep(0.5)  # long enough for all eight collections to arrive meanwhile
        if failing:
            raise RuntimeError(f"snapshot {len(calls)} failed")
        return dict(SNAPSHOT, timestamp=len(calls))

    monkeypatch.setattr(hostprobe, "get_metrics_once", slow_snapshot)
    monkeypatch.setattr(hostprobe_counters, "read_counters", lambda: calls.append("read") or COUNTERS)
    collector = SnapshotCollector(1)
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        concurrent.futures.wait(collections := [pool.submit(collector.exposition) for _ in range(8)])
        collections.append(pool.submit(collector.exposition))
    answers = [str(collection.exception() or collection.result()) for collection in collections]
    assert (calls, answers[:8], answers[8] == answers[0]) == (["read", 1] * 2, [answers[0]] * 8, False)
