"""hostprobe-exporter: the collector in process, the program over HTTP on loopback, and a real Prometheus."""

import concurrent.futures
import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import hostprobe
import pytest
from fake_machine import comparable

pytest.importorskip("prometheus_client", reason="prometheus_client is not installed (pip install '.[exporter]')")
from prometheus_client import generate_latest  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

SOURCE_DIR = str(Path(__file__).resolve().parents[2] / "python")
sys.path.insert(0, SOURCE_DIR)
from hostprobe_exporter.server import SnapshotCollector  # noqa: E402

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [SOURCE_DIR, os.environ.get("PYTHONPATH")])))
# Each value of a snapshot, the series dashboards and alerts are written against, and the value it takes there.
SERIES = [
    ("timestamp", 1700000000.5, "hostprobe_timestamp_seconds", 1700000000.5),
    ("cpu_usage_percent", 75.0, "hostprobe_cpu_usage_ratio", 0.75),
    ("cpu_user_percent", 50.0, "hostprobe_cpu_user_ratio", 0.5),
    ("cpu_system_percent", 12.5, "hostprobe_cpu_system_ratio", 0.125),
    ("cpu_idle_percent", float("nan"), "hostprobe_cpu_idle_ratio", float("nan")),
    ("cpu_iowait_percent", 1.0, "hostprobe_cpu_iowait_ratio", 0.01),
    ("cpu_irq_percent", 2.0, "hostprobe_cpu_irq_ratio", 0.02),
    ("cpu_softirq_percent", 3.0, "hostprobe_cpu_softirq_ratio", 0.03),
    ("cpu_steal_percent", 4.0, "hostprobe_cpu_steal_ratio", 0.04),
    ("run_queue_length", 2.0, "hostprobe_run_queue_length", 2.0),
    ("context_switches_per_sec", 12345, "hostprobe_context_switches_total", 12345),
    ("cpu_temp_celsius", 45.5, "hostprobe_cpu_temp_celsius", 45.5),
    ("throttle_status", 0x50005, "hostprobe_throttle_status", 0x50005),
    ("mem_total_bytes", 1024000, "hostprobe_mem_total_bytes", 1024000),
    ("mem_used_bytes", 512000, "hostprobe_mem_used_bytes", 512000),
    ("page_faults_minor_per_sec", 77, "hostprobe_page_faults_total", 77),
    ("page_faults_major_per_sec", 7, "hostprobe_page_faults_major_total", 7),
    ("uptime_seconds", 12345.67, "hostprobe_uptime_seconds", 12345.67),
    ("load_avg_1", 0.5, "hostprobe_load_avg_1", 0.5),
    ("load_avg_5", 0.25, "hostprobe_load_avg_5", 0.25),
    ("load_avg_15", 0.125, "hostprobe_load_avg_15", 0.125),
    ("disk_read_bytes_per_sec", 1024, "hostprobe_disk_read_bytes_per_second", 1024),
    ("disk_write_bytes_per_sec", 2048, "hostprobe_disk_write_bytes_per_second", 2048),
    ("net_rx_bytes_per_sec", 300, "hostprobe_net_rx_bytes_per_second", 300),
    ("net_tx_bytes_per_sec", 400, "hostprobe_net_tx_bytes_per_second", 400),
    ("measure_clock", 1500000000, "hostprobe_measure_clock_hertz", 1500000000),
]
SNAPSHOT = {key: value for key, value, _, _ in SERIES}
# The word 0x50005 has bits 0 and 2, 16 and 18 set: under-voltage and throttling, now and since boot.
FLAGS = {
    f'hostprobe_throttle_flag{{flag="{condition}_{when}"}}': int(condition in ("under_voltage", "throttled"))
    for condition in ("under_voltage", "arm_frequency_capped", "throttled", "soft_temperature_limit")
    for when in ("now", "occurred")
}


def samples(exposition: str) -> dict[str, float]:
    return {
        sample.name + "".join(f'{{{name}="{value}"}}' for name, value in sample.labels.items()): sample.value
        for family in text_string_to_metric_families(exposition)
        for sample in family.samples
    }


def test_collector_exposes_every_value_with_its_type(monkeypatch):
    calls = []
    monkeypatch.setattr(hostprobe, "get_metrics_once", lambda ms: calls.append(ms) or time.sleep(0.01) or SNAPSHOT)
    exposed = samples(generate_latest(SnapshotCollector(250)).decode())
    assert (calls, exposed.pop("hostprobe_scrape_duration_seconds") >= 0.01) == ([250], True)  # the call's 0.01 s
    assert comparable(exposed) == comparable({name: value for _, _, name, value in SERIES} | FLAGS)


@pytest.mark.skipif(shutil.which("promtool") is None, reason="promtool is not installed (apt-get install prometheus)")
def test_promtool_has_nothing_to_say_about_the_exposition():
    exposition = generate_latest(SnapshotCollector(1000))
    checked = subprocess.run(["promtool", "check", "metrics"], input=exposition, capture_output=True, timeout=60)
    assert (checked.returncode, checked.stdout + checked.stderr) == (0, b"")


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
    collector = SnapshotCollector(1)
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        concurrent.futures.wait(collections := [pool.submit(generate_latest, collector) for _ in range(8)])
        collections.append(pool.submit(generate_latest, collector))
    answers = [str(collection.exception() or collection.result()) for collection in collections]
    assert (len(calls), answers[:8], answers[8] == answers[0]) == (2, [answers[0]] * 8, False)


def serving(*arguments: str) -> tuple[subprocess.Popen, int]:
    command = [sys.executable, "-m", "hostprobe_exporter", "--address", "127.0.0.1", "--port", "0", *arguments]
    process = subprocess.Popen(command, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    line = process.stderr.readline()
    assert line.startswith("hostprobe-exporter: serving http://127.0.0.1:") and line.endswith("/metrics\n"), line
    return process, int(line.removesuffix("/metrics\n").rsplit(":", 1)[1])


def scrape(port: int) -> dict[str, float]:
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=30) as response:
        return samples(response.read().decode())


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_the_program_serves_scrapes_on_any_path_its_listen_queue_holds_128_and_a_signal_ends_it_cleanly(signum):
    process, port = serving("--interval-ms", "500")
    try:
        listening = subprocess.run(["ss", "-Hltn", f"sport = :{port}"], capture_output=True, text=True, timeout=30)
        # Send-Q of a listening socket is its backlog, which ss reads as 0 through qemu's user-mode emulation.
        assert "EMULATOR" in os.environ or int(listening.stdout.split()[2]) >= 128
        assert scrape(port)["hostprobe_mem_total_bytes"] == hostprobe.get_metrics_once(1)["mem_total_bytes"]
        process.send_signal(signum)
        assert process.wait(timeout=30) == 0 and "Traceback" not in process.stderr.read()
    finally:
        process.kill()


@pytest.mark.parametrize(
    ("prelude", "status", "message"),
    [
        ("sys.modules['prometheus_client'] = None", 2, "needs prometheus_client: pip install 'hostprobe[exporter]'"),
        ("", 1, "cannot listen on 127.0.0.1 port {port}: Address already in use"),
    ],
)
def test_a_missing_prometheus_client_or_a_port_in_use_gives_one_line(prelude, status, message):
    with socket.create_server(("127.0.0.1", 0)) as holder:
        port = holder.getsockname()[1]
        program = f"import runpy, sys\n{prelude}\nrunpy.run_module('hostprobe_exporter', run_name='__main__')"
        command = [sys.executable, "-c", program, f"--port={port}"]
        done = subprocess.run(command, env=ENV, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (status, f"hostprobe-exporter: {message.format(port=port)}\n")


@pytest.mark.skipif(shutil.which("prometheus") is None, reason="no prometheus server (apt-get install prometheus)")
def test_prometheus_server_stores_what_the_exporter_serves(tmp_path):
    process, port = serving()
    job = {"job_name": "hostprobe", "scrape_interval": "1s", "static_configs": [{"targets": [f"127.0.0.1:{port}"]}]}
    (config := tmp_path / "prometheus.yml").write_text(json.dumps({"scrape_configs": [job]}))  # YAML holds JSON
    with socket.create_server(("127.0.0.1", 0)) as probe:
        address = f"127.0.0.1:{probe.getsockname()[1]}"
    arguments = [f"--config.file={config}", f"--storage.tsdb.path={tmp_path}/data", f"--web.listen-address={address}"]
    server = subprocess.Popen(["prometheus", *arguments], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    query = f"http://{address}/api/v1/query?query=hostprobe_mem_total_bytes"
    result, deadline = [], time.monotonic() + 90
    try:
        while not result and time.monotonic() < deadline:
            time.sleep(0.5)
            with contextlib.suppress(OSError), urllib.request.urlopen(query, timeout=10) as response:
                result = json.load(response)["data"]["result"]
        assert result, "Prometheus stored no hostprobe_mem_total_bytes within 90 s"
        assert float(result[0]["value"][1]) == hostprobe.get_metrics_once(1000)["mem_total_bytes"]
    finally:
        server.terminate()
        server.wait(timeout=30)
        process.kill()
