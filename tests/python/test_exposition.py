"""The exporter's exposition: every value as its series, what is left out, and the collector process behind it."""

import asyncio
import os
import re
import resource
import signal
import sys
from pathlib import Path

import hostprobe
import hostprobe_counters  # noqa: F401 (the installed package: the tree has no build of its native part)
import pytest
from fake_machine import tool_path

pytest.importorskip("prometheus_client", reason="prometheus_client is not installed (pip install '.[test]')")
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
from hostprobe_common import THROTTLE_FLAGS  # noqa: E402
from hostprobe_exporter.collector import CollectionFailed, Collector  # noqa: E402
from hostprobe_exporter.exposition import DEFAULT_DISK_DEVICE_EXCLUDE, EXPORTS, Snapshot, exposition_of  # noqa: E402

MACHINE = hostprobe.get_metrics_once(1)
# Each key a value of its own, but a throttle word of under-voltage and throttling, now and since boot.
SNAPSHOT = {key: number + 0.5 for number, key in enumerate(MACHINE)} | {"throttle_status": 0x50005}
DISKS = {"sda": (1, 2), "loop0": (3, 4), "ram1": (5, 6), "zram0": (7, 8)}  # a disk, and the kinds left out by default
ODD = 'a\\nb"c\nd'  # an interface name with a backslash (before an n), a quote and a newline to escape
COUNTERS = {"cpu_seconds_per_cpu": {3: {"steal": 0.25}}, "disks": DISKS, "interfaces": {ODD: (9, 10)}}
# Never 0 on a running machine, so a 0 is what could not be read.
NEVER_ZERO = {"hostprobe_context_switches_total", "hostprobe_page_faults_total", "hostprobe_page_faults_major_total"}
NEVER_ZERO |= {"hostprobe_mem_total_bytes", "hostprobe_mem_used_bytes", "hostprobe_uptime_seconds"}
FIRMWARE = {"hostprobe_throttle_status", "hostprobe_throttle_flag", "hostprobe_measure_clock_hertz"}
ANSWER = 'case "$1" in get_*) echo throttled=0x4;; *) echo "frequency(48)=600000000";; esac'  # as vcgencmd does


def samples(text: str) -> dict[tuple[str, ...], float]:
    return {(s.name, *s.labels.items()): s.value for f in text_string_to_metric_families(text) for s in f.samples}


@pytest.mark.parametrize(
    ("values", "firmware_up", "left_out"),
    [(SNAPSHOT, True, set()), (dict.fromkeys(SNAPSHOT, 0), None, NEVER_ZERO), (SNAPSHOT, False, FIRMWARE)],
)
def test_each_value_is_its_series_percentages_as_ratios_and_no_made_up_zero(values, firmware_up, left_out):
    snapshot = Snapshot(values, 0.25, COUNTERS, firmware_up)
    exposed = samples(exposition_of(snapshot, DEFAULT_DISK_DEVICE_EXCLUDE).decode())
    series = {export.key: export.name + "_total" * (export.kind == "counter") for export in EXPORTS}
    expected = {(series[key],): value / 100 if key.endswith("_percent") else value for key, value in values.items()}
    flags = {flag: values is SNAPSHOT and flag.startswith(("under_", "throttled_")) for _, flag in THROTTLE_FLAGS}
    expected |= {("hostprobe_throttle_flag", ("flag", flag)): is_set for flag, is_set in flags.items()}
    expected |= {
        ("hostprobe_cpu_seconds_total", ("cpu", "3"), ("mode", "steal")): 0.25,
        ("hostprobe_disk_read_bytes_total", ("device", "sda")): 1,
        ("hostprobe_disk_written_bytes_total", ("device", "sda")): 2,
        ("hostprobe_network_receive_bytes_total", ("device", ODD)): 9,
        ("hostprobe_network_transmit_bytes_total", ("device", ODD)): 10,
        ("hostprobe_scrape_duration_seconds",): 0.25,
        ("hostprobe_firmware_up",): firmware_up,
    }
    assert exposed == {key: value for key, value in expected.items() if key[0] not in left_out and value is not None}
    for export in EXPORTS:  # named as its key, the key's unit dropped and the series' base unit added
        stem = re.sub(r"_minor|_per_sec$", "", export.key.replace("_percent", "_ratio"))
        assert re.fullmatch(rf"hostprobe_{stem}(_seconds|_per_second|_hertz)?", export.name), export


def test_collector_process_shares_snapshots_in_flight_outlives_hung_tools_and_makes_up_no_zeros(tmp_path, monkeypatch):
    # The fake vcgencmd: the first pass's two queries hang until their 2 s deadline, later ones fail or answer.
    calls, failing = tmp_path / "calls", tmp_path / "failing"
    hang_first = f'echo >> {calls}; [ "$(wc -l < {calls})" -gt 2 ] || exec sleep 30\n[ -e {failing} ] && exit 1\n'
    monkeypatch.setenv("PATH", tool_path(tmp_path, f"#!/bin/sh\n{hang_first}{ANSWER}\n"))
    ticks = []

    async def tick():
        while True:
            ticks.append(len(ticks))
            await asyncio.sleep(0.01)

    async def scenario():
        collector = Collector(100, DEFAULT_DISK_DEVICE_EXCLUDE)
        await collector.start()
        ticker = asyncio.ensure_future(tick())
        try:
            with pytest.raises(TimeoutError):
                await collector.exposition(1)
            ticker.cancel()
            answers = [await collector.exposition(60)]  # the hung snapshot, which a new one would not be
            answers += await asyncio.gather(*[collector.exposition(60) for _ in range(8)])
            answers.append(await collector.exposition(60))
            failing.touch()
            answers.append(await collector.exposition(60))
            children = Path(f"/proc/{os.getpid()}/task/{os.getpid()}/children").read_text().split()
            (child,) = [int(pid) for pid in children if b"interval_ms" in Path(f"/proc/{pid}/cmdline").read_bytes()]
            resource.prlimit(child, resource.RLIMIT_NOFILE, (3, 3))  # its standard streams only
            with pytest.raises(CollectionFailed) as failure:
                await collector.exposition(60)
            os.kill(child, signal.SIGKILL)  # a new process takes the next snapshot
            return len(ticks), answers, str(failure.value), samples((await collector.exposition(60)).decode())
        finally:
            await collector.close()

    ticked, answers, failure, exposed = asyncio.run(scenario())
    firmware_up = [samples(answers[i].decode())[("hostprobe_firmware_up",)] for i in (0, 9, 10)]
    shared = (answers[1:9] == answers[1:2] * 8, answers[9] != answers[1])
    message = "snapshot failed: OSError: [Errno 24] no file descriptor free to read the machine's files with"
    outcome = (ticked > 10, firmware_up, shared, failure, exposed[("hostprobe_mem_total_bytes",)])
    assert outcome == (True, [0, 1, 0], (True, True), message, MACHINE["mem_total_bytes"])
