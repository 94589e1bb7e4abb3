"""hostprobe-exporter: the collector in process, the program over HTTP on loopback, and a real Prometheus."""

import concurrent.futures
import json
import math
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from pathlib import Path

import hostprobe
import pytest
from fake_machine import comparable

pytest.importorskip("prometheus_client", reason="prometheus_client is not installed (pip install '.[exporter]')")
from prometheus_client import generate_latest  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402
from prometheus_client.registry import CollectorRegistry  # noqa: E402

SOURCE_DIR = str(Path(__file__).resolve().parents[2] / "python")
sys.path.insert(0, SOURCE_DIR)
from hostprobe_exporter.server import SnapshotCollector  # noqa: E402

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [SOURCE_DIR, os.environ.get("PYTHONPATH")])))

# The names dashboards and alerts are written against, with the value each
# takes from the snapshot below.
EXPECTED = {
    "hostprobe_timestamp_seconds": 1700000000.5,
    "hostprobe_cpu_usage_ratio": 0.75,
    "hostprobe_cpu_user_ratio": 0.5,
    "hostprobe_cpu_system_ratio": 0.125,
    "hostprobe_cpu_idle_ratio": math.nan,
    "hostprobe_cpu_iowait_ratio": 0.01,
    "hostprobe_cpu_irq_ratio": 0.02,
    "hostprobe_cpu_softirq_ratio": 0.03,
    "hostprobe_cpu_steal_ratio": 0.04,
    "hostprobe_run_queue_length": 2.0,
    "hostprobe_context_switches_total": 12345,
    "hostprobe_cpu_temp_celsius": 45.5,
    "hostprobe_throttle_status": 0x50005,
    "hostprobe_mem_total_bytes": 1024000,
    "hostprobe_mem_used_bytes": 512000,
    "hostprobe_page_faults_total": 77,
    "hostprobe_page_faults_major_total": 7,
    "hostprobe_uptime_seconds": 12345.67,
    "hostprobe_load_avg_1": 0.5,
    "hostprobe_load_avg_5": 0.25,
    "hostprobe_load_avg_15": 0.125,
    "hostprobe_disk_read_bytes_per_second": 1024,
    "hostprobe_disk_write_bytes_per_second": 2048,
    "hostprobe_net_rx_bytes_per_second": 300,
    "hostprobe_net_tx_bytes_per_second": 400,
    "hostprobe_measure_clock_hertz": 1500000000,
} | {
    f'hostprobe_throttle_flag{{flag="{flag}"}}': value
    for flag, value in [  # the word 0x50005: bits 0, 2, 16, 18
        ("under_voltage_now", 1),
        ("arm_frequency_capped_now", 0),
        ("throttled_now", 1),
        ("soft_temperature_limit_now", 0),
        ("under_voltage_occurred", 1),
        ("arm_frequency_capped_occurred", 0),
        ("throttled_occurred", 1),
        ("soft_temperature_limit_occurred", 0),
    ]
}
SNAPSHOT = dict(
    zip(
        hostprobe.get_metrics_once(1000),
        [
            1700000000.5,
            75.0,
            50.0,
            12.5,
            math.nan,
            1.0,
            2.0,
            3.0,
            4.0,
            2.0,
            12345,
            45.5,
            0x50005,
            1024000,
            512000,
            77,
            7,
            12345.67,
            0.5,
            0.25,
            0.125,
            1024,
            2048,
            300,
            400,
            1500000000,
        ],
        strict=True,
    )
)


def samples(exposition: str) -> dict[str, float]:
    return {
        sample.name + "".join(f'{{{name}="{value}"}}' for name, value in sample.labels.items()): sample.value
        for family in text_string_to_metric_families(exposition)
        for sample in family.samples
    }


def collecting(interval_ms: int) -> CollectorRegistry:
    registry = CollectorRegistry()
    registry.register(SnapshotCollector(interval_ms))
    return registry


def test_collector_exposes_every_value_typed_and_documented(monkeypatch):
    calls = []
    monkeypatch.setattr(
        hostprobe, "get_metrics_once", lambda interval_ms: calls.append(interval_ms) or time.sleep(0.01) or SNAPSHOT
    )
    exposition = generate_latest(collecting(250)).decode()
    assert calls == [250]
    exposed = samples(exposition)
    assert exposed.pop("hostprobe_scrape_duration_seconds") >= 0.01  # the fake's call lasts at least that
    assert comparable(exposed) == comparable(EXPECTED)
    families = list(text_string_to_metric_families(exposition))
    assert {family.name for family in families if family.type == "counter"} == {
        "hostprobe_context_switches",
        "hostprobe_page_faults",
        "hostprobe_page_faults_major",
    }
    assert all(family.documentation for family in families)


@pytest.mark.skipif(shutil.which("promtool") is None, reason="promtool is not installed (apt-get install prometheus)")
def test_promtool_has_nothing_to_say_about_the_exposition():
    checked = subprocess.run(
        ["promtool", "check", "metrics"], input=generate_latest(collecting(1000)), capture_output=True, timeout=60
    )
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

    def outcome():
        try:
            return generate_latest(registry)
        except RuntimeError as error:
            return str(error)

    monkeypatch.setattr(hostprobe, "get_metrics_once", slow_snapshot)
    registry = collecting(1)
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(lambda _: outcome(), range(8)))
    later = outcome()
    assert (len(calls), answers, later == answers[0]) == (2, [answers[0]] * 8, False)


def serving(*arguments: str) -> tuple[subprocess.Popen, str]:
    process = subprocess.Popen(
        [sys.executable, "-m", "hostprobe_exporter", "--address", "127.0.0.1", "--port", "0", *arguments],
        env=ENV,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    line = process.stderr.readline().strip()
    match = re.fullmatch(r"hostprobe-exporter: serving (http://127\.0\.0\.1:\d+/metrics)", line)
    assert match, line
    return process, match[1]


def scrape(url: str) -> dict[str, float]:
    with urllib.request.urlopen(url, timeout=30) as response:
        assert response.headers["Content-Type"].startswith("text/plain")
        return samples(response.read().decode())


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_each_scrape_is_a_new_snapshot_the_listen_queue_holds_128_and_a_signal_ends_cleanly(signum):
    process, url = serving("--interval-ms", "500")
    try:
        listening = subprocess.run(
            ["ss", "-Hltn", f"sport = :{urllib.parse.urlsplit(url).port}"], capture_output=True, text=True, timeout=30
        ).stdout.split()
        # Send-Q of a listening socket is its backlog; through qemu's user-mode
        # emulation ss's netlink answers read 0 there.
        assert "EMULATOR" in os.environ or int(listening[2]) >= 128
        first, second = scrape(url), scrape(url)
        assert second["hostprobe_timestamp_seconds"] > first["hostprobe_timestamp_seconds"]
        assert first["hostprobe_mem_total_bytes"] == hostprobe.get_metrics_once(1000)["mem_total_bytes"]
        process.send_signal(signum)
        assert process.wait(timeout=30) == 0 and "Traceback" not in process.stderr.read()
    finally:
        process.kill()


def test_the_console_script_reports_a_port_in_use():
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        done = subprocess.run(
            ["hostprobe-exporter", "--port", str(port)], env=ENV, capture_output=True, text=True, timeout=60
        )
    assert (done.returncode, done.stderr) == (
        1,
        f"hostprobe-exporter: cannot listen on 127.0.0.1 port {port}: Address already in use\n",
    )


@pytest.mark.parametrize(
    "entry",
    [
        "from hostprobe_exporter import main; sys.exit(main())",  # the console script
        "import runpy; runpy.run_module('hostprobe_exporter', run_name='__main__')",
    ],
)
def test_without_prometheus_client_it_says_how_to_install_it(entry):
    done = subprocess.run(
        [sys.executable, "-c", f"import sys; sys.modules['prometheus_client'] = None; {entry}"],
        env=ENV,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (done.returncode, done.stdout, done.stderr) == (
        2,
        "",
        "hostprobe-exporter: needs prometheus_client: pip install 'hostprobe[exporter]'\n",
    )


def test_prometheus_server_stores_what_the_exporter_serves(tmp_path):
    if shutil.which("prometheus") is None:
        pytest.skip("the prometheus server is not installed (apt-get install prometheus)")
    process, url = serving()
    config = tmp_path / "prometheus.yml"
    config.write_text(
        "global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs:\n  - job_name: hostprobe\n"
        f"    static_configs: [{{targets: ['{urllib.parse.urlsplit(url).netloc}']}}]\n"
    )
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen(
        [
            "prometheus",
            f"--config.file={config}",
            f"--storage.tsdb.path={tmp_path / 'data'}",
            f"--web.listen-address=127.0.0.1:{port}",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    query = f"http://127.0.0.1:{port}/api/v1/query?query=hostprobe_mem_total_bytes"
    try:
        result, deadline = [], time.monotonic() + 90
        while not result and time.monotonic() < deadline:
            time.sleep(0.5)
            try:
                with urllib.request.urlopen(query, timeout=10) as response:
                    result = json.load(response)["data"]["result"]
            except OSError:
                pass
        assert result, "Prometheus stored no hostprobe_mem_total_bytes within 90 s"
        assert float(result[0]["value"][1]) == hostprobe.get_metrics_once(1000)["mem_total_bytes"]
    finally:
        server.terminate()
        server.wait(timeout=30)
        process.kill()
