"""hostprobe-exporter: the collector in process, and the program over HTTP on loopback."""

from __future__ import annotations

import json
import math
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Iterator
from pathlib import Path

import hostprobe
import pytest

pytest.importorskip("prometheus_client", reason="prometheus_client is not installed (pip install '.[exporter]')")
from prometheus_client import generate_latest  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402
from prometheus_client.registry import CollectorRegistry  # noqa: E402

SOURCE_DIR = str(Path(__file__).resolve().parents[2] / "python")
sys.path.insert(0, SOURCE_DIR)
from hostprobe_exporter import SnapshotCollector  # noqa: E402

# The names dashboards and alerts are written against.
METRIC_NAMES = {
    "hostprobe_timestamp_seconds",
    "hostprobe_cpu_usage_ratio",
    "hostprobe_cpu_user_ratio",
    "hostprobe_cpu_system_ratio",
    "hostprobe_cpu_idle_ratio",
    "hostprobe_cpu_iowait_ratio",
    "hostprobe_cpu_irq_ratio",
    "hostprobe_cpu_softirq_ratio",
    "hostprobe_cpu_steal_ratio",
    "hostprobe_run_queue_length",
    "hostprobe_context_switches_total",
    "hostprobe_cpu_temp_celsius",
    "hostprobe_throttle_status",
    "hostprobe_mem_total_bytes",
    "hostprobe_mem_used_bytes",
    "hostprobe_page_faults_total",
    "hostprobe_page_faults_major_total",
    "hostprobe_uptime_seconds",
    "hostprobe_load_avg_1",
    "hostprobe_load_avg_5",
    "hostprobe_load_avg_15",
    "hostprobe_disk_read_bytes_per_second",
    "hostprobe_disk_write_bytes_per_second",
    "hostprobe_net_rx_bytes_per_second",
    "hostprobe_net_tx_bytes_per_second",
    "hostprobe_measure_clock_hertz",
}
COUNTERS = {"hostprobe_context_switches", "hostprobe_page_faults", "hostprobe_page_faults_major"}


def samples(exposition: str) -> dict[str, float]:
    return {
        sample.name: sample.value
        for family in text_string_to_metric_families(exposition)
        for sample in family.samples
    }


def mem_total_bytes() -> int:
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal:"):
            return int(line.split()[1]) * 1024
    raise AssertionError("no MemTotal in /proc/meminfo")


FAKE_ENTRIES = {
    "cpu_usage_percent": 75.0,
    "cpu_idle_percent": math.nan,
    "context_switches_per_sec": 12345,
    "throttle_status": 0x50005,
    "mem_total_bytes": 1024000,
    "uptime_seconds": 12345.67,
    "disk_read_bytes_per_sec": 1024,
    "measure_clock": 1500000000,
}


@pytest.mark.parametrize(
    ("metric", "expected"),
    [
        ("hostprobe_cpu_usage_ratio", 0.75),
        ("hostprobe_cpu_idle_ratio", math.nan),
        ("hostprobe_cpu_user_ratio", 0.0),
        ("hostprobe_context_switches_total", 12345),
        ("hostprobe_throttle_status", 327685),
        ("hostprobe_mem_total_bytes", 1024000),
        ("hostprobe_uptime_seconds", 12345.67),
        ("hostprobe_disk_read_bytes_per_second", 1024),
        ("hostprobe_measure_clock_hertz", 1500000000),
    ],
)
def test_collector_exposes_each_snapshot_value(
    metric: str, expected: float, monkeypatch: pytest.MonkeyPatch
) -> None:
    snapshot = {key: 0 for key in hostprobe.get_metrics_once(1000)} | FAKE_ENTRIES
    calls: list[int] = []

    def fake_get_metrics_once(interval_ms: int) -> dict[str, float]:
        calls.append(interval_ms)
        return snapshot

    monkeypatch.setattr(hostprobe, "get_metrics_once", fake_get_metrics_once)
    registry = CollectorRegistry()
    registry.register(SnapshotCollector(250))
    values = samples(generate_latest(registry).decode())

    assert calls == [250]
    if math.isnan(expected):
        assert math.isnan(values[metric])
    else:
        assert values[metric] == expected


def test_collector_types_and_documents_every_metric() -> None:
    registry = CollectorRegistry()
    registry.register(SnapshotCollector(1000))
    families = list(text_string_to_metric_families(generate_latest(registry).decode()))

    assert {sample.name for family in families for sample in family.samples} == METRIC_NAMES
    assert {family.name for family in families if family.type == "counter"} == COUNTERS
    assert all(family.documentation for family in families)


def exporter_command(*arguments: str) -> list[str]:
    return [sys.executable, "-m", "hostprobe_exporter", *arguments]


def exporter_env() -> dict[str, str]:
    path = os.pathsep.join(filter(None, [SOURCE_DIR, os.environ.get("PYTHONPATH")]))
    return dict(os.environ, PYTHONPATH=path)


def serving_url(process: subprocess.Popen[bytes], timeout: float = 60.0) -> str:
    """Reads the exporter's first line of standard error, which names its address."""
    assert process.stderr is not None
    received = b""
    deadline = time.monotonic() + timeout
    while b"\n" not in received:
        remaining = deadline - time.monotonic()
        assert remaining > 0, f"the exporter announced no address: {received!r}"
        readable, _, _ = select.select([process.stderr], [], [], remaining)
        if readable:
            chunk = os.read(process.stderr.fileno(), 4096)
            assert chunk, f"the exporter ended early: {received!r}"
            received += chunk
    line = received.split(b"\n")[0].decode()
    match = re.fullmatch(r"hostprobe-exporter: serving (http://127\.0\.0\.1:\d+/metrics)", line)
    assert match, line
    return match[1]


def stop(process: subprocess.Popen[bytes]) -> None:
    if process.poll() is None:
        process.kill()
    process.wait(timeout=30)


@pytest.fixture
def exporter() -> Iterator[tuple[subprocess.Popen[bytes], str]]:
    process = subprocess.Popen(
        exporter_command("--address", "127.0.0.1", "--port", "0", "--interval-ms", "500"),
        env=exporter_env(),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    )
    try:
        yield process, serving_url(process)
    finally:
        stop(process)


def scrape(url: str) -> tuple[str, str]:
    with urllib.request.urlopen(url, timeout=30) as response:
        return response.headers["Content-Type"], response.read().decode()


def test_each_scrape_serves_a_new_snapshot(exporter: tuple[subprocess.Popen[bytes], str]) -> None:
    _, url = exporter
    content_type, first = scrape(url)
    _, second = scrape(url)

    assert content_type.startswith("text/plain")
    assert set(samples(first)) == METRIC_NAMES
    assert samples(first)["hostprobe_mem_total_bytes"] == mem_total_bytes()
    assert samples(second)["hostprobe_timestamp_seconds"] > samples(first)["hostprobe_timestamp_seconds"]
    assert "# HELP hostprobe_uptime_seconds Time since boot" in first
    assert "# TYPE hostprobe_page_faults_total counter" in first


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_signal_ends_the_exporter_cleanly(signum: int, exporter: tuple[subprocess.Popen[bytes], str]) -> None:
    process, url = exporter
    scrape(url)
    process.send_signal(signum)
    _, error = process.communicate(timeout=30)

    assert process.returncode == 0
    assert b"Traceback" not in error


def test_port_in_use_is_reported_without_traceback() -> None:
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        done = subprocess.run(
            exporter_command("--port", str(port)), env=exporter_env(), capture_output=True, text=True, timeout=60
        )

    assert done.returncode == 1
    assert done.stderr == f"hostprobe-exporter: cannot listen on 127.0.0.1 port {port}: Address already in use\n"


def test_installed_console_script_starts() -> None:
    script = shutil.which("hostprobe-exporter")
    if script is None:
        pytest.skip("the hostprobe-exporter script is not installed (pip install '.[exporter]')")
    done = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("usage: hostprobe-exporter")


def free_loopback_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def query_prometheus(base: str, expression: str) -> list[dict[str, object]]:
    url = f"{base}/api/v1/query?{urllib.parse.urlencode({'query': expression})}"
    with urllib.request.urlopen(url, timeout=10) as response:
        answer = json.load(response)
    assert answer["status"] == "success", answer
    result: list[dict[str, object]] = answer["data"]["result"]
    return result


def test_prometheus_server_stores_what_the_exporter_serves(
    exporter: tuple[subprocess.Popen[bytes], str], tmp_path: Path
) -> None:
    binary = shutil.which("prometheus")
    if binary is None:
        pytest.skip("the prometheus server is not installed (apt-get install prometheus)")
    _, url = exporter
    target = urllib.parse.urlsplit(url).netloc
    config = tmp_path / "prometheus.yml"
    config.write_text(
        "global:\n"
        "  scrape_interval: 1s\n"
        "  scrape_timeout: 1s\n"
        "scrape_configs:\n"
        "  - job_name: hostprobe\n"
        "    static_configs:\n"
        f"      - targets: ['{target}']\n"
    )
    port = free_loopback_port()
    with open(tmp_path / "prometheus.log", "wb") as log:
        server = subprocess.Popen(
            [
                binary,
                f"--config.file={config}",
                f"--storage.tsdb.path={tmp_path / 'data'}",
                f"--web.listen-address=127.0.0.1:{port}",
            ],
            stdout=log,
            stderr=subprocess.STDOUT,
        )
    try:
        result: list[dict[str, object]] = []
        deadline = time.monotonic() + 90
        while not result and time.monotonic() < deadline:
            assert server.poll() is None, (tmp_path / "prometheus.log").read_text()
            try:
                result = query_prometheus(f"http://127.0.0.1:{port}", "hostprobe_mem_total_bytes")
            except (urllib.error.URLError, ConnectionError):
                pass
            if not result:
                time.sleep(0.5)
        assert result, "Prometheus stored no hostprobe_mem_total_bytes within 90 s"
        _, value = result[0]["value"]  # type: ignore[misc]
        assert float(value) == mem_total_bytes()
    finally:
        server.terminate()
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            stop(server)
