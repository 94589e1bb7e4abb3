"""hostprobe-exporter: the program over HTTP on loopback, and a real Prometheus."""

import contextlib
import json
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
import hostprobe_counters  # the installed package: the tree has no build of its native part
import pytest

pytest.importorskip("prometheus_client", reason="prometheus_client is not installed (pip install '.[exporter]')")
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

SOURCE_DIR = str(Path(__file__).resolve().parents[2] / "python")
sys.path.insert(0, SOURCE_DIR)
from hostprobe_exporter.exposition import SnapshotCollector  # noqa: E402

PRELUDE = f"import sys, hostprobe_counters\nsys.path.insert(0, {SOURCE_DIR!r})\nfrom hostprobe_exporter import main\n"
MACHINE = hostprobe.get_metrics_once(1)


def samples(text: str) -> dict[tuple[str, ...], float]:
    return {(s.name, *s.labels.items()): s.value for f in text_string_to_metric_families(text) for s in f.samples}


def serving(*arguments: str) -> tuple[subprocess.Popen, int]:
    command = [sys.executable, "-c", PRELUDE + "sys.exit(main(sys.argv[1:]))", "--address", "127.0.0.1", "--port", "0"]
    process = subprocess.Popen([*command, *arguments], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    line = process.stderr.readline()
    return process, int(re.fullmatch(r"hostprobe-exporter: serving http://127\.0\.0\.1:(\d+)/metrics\n", line)[1])


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_the_program_serves_scrapes_on_any_path_its_listen_queue_holds_128_and_a_signal_ends_it_cleanly(signum):
    process, port = serving("--interval-ms", "500", "--disk-device-exclude", "")  # every disk
    try:
        listening = subprocess.run(["ss", "-Hltn", f"sport = :{port}"], capture_output=True, text=True, timeout=30)
        # Send-Q of a listening socket is its backlog, which ss reads as 0 through qemu's user-mode emulation.
        assert "EMULATOR" in os.environ or int(listening.stdout.split()[2]) >= 128
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=30) as response:
            exposed = samples(response.read().decode())
        disks = {key[1][1] for key in exposed if key[0] == "hostprobe_disk_read_bytes_total"}
        every_disk = {*hostprobe_counters.read_counters()["disks"]}
        assert (exposed[("hostprobe_mem_total_bytes",)], disks) == (MACHINE["mem_total_bytes"], every_disk)
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
        program = f"{PRELUDE}{prelude}\nsys.exit(main(['--port={port}']))"
        done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (status, f"hostprobe-exporter: {message.format(port=port)}\n")


@pytest.mark.skipif(not shutil.which("prometheus"), reason="no Prometheus nor promtool (apt-get install prometheus)")
def test_promtool_has_nothing_to_say_and_prometheus_answers_every_dashboard_query_showing_a_loaded_machine(tmp_path):
    exposition = SnapshotCollector(1000).exposition()
    checked = subprocess.run(["promtool", "check", "metrics"], input=exposition, capture_output=True, timeout=60)
    assert (checked.returncode, checked.stdout + checked.stderr) == (0, b"")
    process, port = serving("--interval-ms", "100")
    job = {"job_name": "hostprobe", "scrape_interval": "1s", "static_configs": [{"targets": [f"127.0.0.1:{port}"]}]}
    (config := tmp_path / "prometheus.yml").write_text(json.dumps({"scrape_configs": [job]}))  # YAML holds JSON
    with socket.create_server(("127.0.0.1", 0)) as probe:
        address = f"127.0.0.1:{probe.getsockname()[1]}"
    arguments = [f"--config.file={config}", f"--storage.tsdb.path={tmp_path}/data", f"--web.listen-address={address}"]
    server = subprocess.Popen(["prometheus", *arguments], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    dashboard = json.loads((Path(SOURCE_DIR) / "hostprobe_exporter/grafana-dashboard.json").read_text())
    variables = {v["name"]: v.get("allValue") for v in dashboard["templating"]["list"]}  # All devices
    variables |= {"instance": f"127.0.0.1:{port}", "__rate_interval": "4s"}  # four scrapes, as Grafana would take

    def query(expression: str, at_seconds: float) -> list:
        filled_in = re.sub(r"\$(\w+)", lambda variable: variables[variable[1]], expression)
        url = f"http://{address}/api/v1/query?time={at_seconds}&query={urllib.parse.quote(filled_in)}"
        with urllib.request.urlopen(url, timeout=10) as answer:
            return json.load(answer)["data"]["result"]

    result, deadline = [], time.monotonic() + 90
    burner = subprocess.Popen([sys.executable, "-c", "while True: pass"])  # one CPU busy
    try:
        while not result and time.monotonic() < deadline:
            time.sleep(0.5)
            with contextlib.suppress(OSError):
                result = query("hostprobe_mem_total_bytes", time.time())
        listener = socket.create_server(("127.0.0.1", 0))
        with listener, socket.create_connection(listener.getsockname()) as sender, listener.accept()[0] as receiver:
            start, sent = time.time(), 0
            while time.time() < start + 6:  # some megabytes through the loopback over six scrapes
                sent += len(receiver.recv(sender.send(bytes(2**16)), socket.MSG_WAITALL))
                time.sleep(0.01)
        panels = {p["title"]: [query(t["expr"], start + 6) for t in p["targets"]] for p in dashboard["panels"]}
        assert [title for title, results in panels.items() if not all(results)] == []
        (overall,), per_cpu = [[float(s["value"][1]) for s in result] for result in panels["CPU busy"]]
        lo = [float(s["value"][1]) for r in panels["Network throughput"] for s in r if s["metric"]["device"] == "lo"]
        modes = sum(float(s["value"][1]) for s in panels["CPU time by mode"][0])  # stacked up to the busy share
        busy_cpus = min(overall * len(per_cpu), sum(per_cpu))  # a burnt CPU's worth, from either query
        shown = (busy_cpus > 0.8, abs(modes - overall) < 1e-9, len(lo), min(lo) > sent / 6 / 4)
        assert shown == (True, True, 2, True), (overall, per_cpu, modes, lo, sent)  # a quarter of the bytes per second
    finally:
        burner.kill()
        server.terminate()
        server.wait(timeout=30)
        process.kill()
