"""hostprobe-exporter: the program over HTTP and HTTPS on loopback, idle and hostile clients, and a real Prometheus."""

import base64
import concurrent.futures
import contextlib
import json
import os
import random
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

import bcrypt
import hostprobe
import hostprobe_counters  # the installed package: the tree has no build of its native part
import pytest

pytest.importorskip("prometheus_client", reason="prometheus_client is not installed (pip install '.[test]')")
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

SOURCE_DIR = str(Path(__file__).resolve().parents[2] / "python")
PRELUDE = f"import sys, hostprobe_counters\nsys.path.insert(0, {SOURCE_DIR!r})\nfrom hostprobe_exporter import main\n"
MACHINE = hostprobe.get_metrics_once(1)
AUTHORISED = {"Authorization": "Basic " + base64.b64encode(b"prometheus:secret").decode()}


def samples(text: str) -> dict[tuple[str, ...], float]:
    return {(s.name, *s.labels.items()): s.value for f in text_string_to_metric_families(text) for s in f.samples}


STARTED: list[subprocess.Popen] = []


@pytest.fixture(autouse=True)
def _end_the_exporters_started():
    yield  # the test's exporters end with it, whatever it raised
    while STARTED:
        STARTED.pop().kill()


def serving(*arguments: str, env: dict | None = None) -> tuple[subprocess.Popen, int]:
    command = [sys.executable, "-c", PRELUDE + "sys.exit(main(sys.argv[1:]))", "--address", "127.0.0.1", "--port", "0"]
    process = subprocess.Popen([*command, *arguments], stderr=subprocess.PIPE, text=True, env=env)
    STARTED.append(process)
    line = process.stderr.readline()
    return process, int(re.fullmatch(r"hostprobe-exporter: serving https?://127\.0\.0\.1:(\d+)/metrics\n", line)[1])


def web_config(directory: Path) -> Path:
    """A CA, a certificate for 127.0.0.1 it signed, and a web configuration serving TLS with it to one user."""
    new_key = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1".split()
    ca = ["-CA", directory / "ca.pem", "-CAkey", directory / "ca.key", "-addext", "subjectAltName=IP:127.0.0.1"]
    # Python 3.13 verifies strictly: a CA's key usage, an end entity's basic constraints.
    marks = {"ca": ["-addext", "keyUsage=critical,keyCertSign"], "server": ["-addext", "basicConstraints=CA:FALSE"]}
    for name, signed in (("ca", marks["ca"]), ("server", ca + marks["server"])):
        files = ["-keyout", directory / f"{name}.key", "-out", directory / f"{name}.pem", "-subj", f"/CN={name}"]
        subprocess.run([*new_key, *files, *signed], check=True, capture_output=True, timeout=60)
    tls = {"cert_file": str(directory / "server.pem"), "key_file": str(directory / "server.key")}
    users = {"prometheus": bcrypt.hashpw(b"secret", bcrypt.gensalt(4)).decode()}
    (path := directory / "web-config.yml").write_text(json.dumps({"tls_server_config": tls, "basic_auth_users": users}))
    return path


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_the_program_serves_scrapes_on_any_path_its_listen_queue_holds_128_and_a_signal_ends_it_cleanly(signum):
    process, port = serving("--interval-ms", "500", "--disk-device-exclude", "")  # every disk
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


@pytest.mark.parametrize(
    ("option", "status", "message"),
    [
        ("--address=127.0.0.1", 1, "cannot listen on 127\\.0\\.0\\.1 port {port}: Address already in use"),
        ("--web-config-file={directory}/absent.yml", 2, "{directory}/absent\\.yml: .+"),
    ],
)
def test_a_port_in_use_or_a_bad_web_configuration_gives_one_line(tmp_path, option, status, message):
    with socket.create_server(("127.0.0.1", 0)) as holder:
        port = holder.getsockname()[1]
        program = f"{PRELUDE}sys.exit(main([{option.format(directory=tmp_path)!r}, '--port={port}']))"
        done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
    line = f"hostprobe-exporter: {message.format(port=port, directory=re.escape(str(tmp_path)))}\n"
    assert (done.returncode, re.fullmatch(line, done.stderr) is not None) == (status, True), done.stderr


def pending(connection: socket.socket) -> bytes | None:
    """b"" once the exporter has closed the connection, None while it is open and silent."""
    with contextlib.suppress(BlockingIOError):
        return connection.recv(1, socket.MSG_DONTWAIT)
    return None


def send_quietly(connection: socket.socket, data: bytes) -> None:
    with contextlib.suppress(OSError):  # the exporter may close before it has read everything
        connection.sendall(data)


@pytest.mark.parametrize("tls", [False, True])
def test_silent_connections_hold_no_request_slot_and_last_the_read_timeout_a_request_over_the_limit_gets_503(
    tmp_path, tls
):
    (tool := tmp_path / "vcgencmd").write_text("#!/bin/sh\nsleep 0.5\necho throttled=0x0\n")  # slow snapshots
    tool.chmod(0o755)
    options = ["--web-config-file", str(web_config(tmp_path))] if tls else []
    process, port = serving("--max-requests=2", *options, env=os.environ | {"PATH": f"{tmp_path}:{os.environ['PATH']}"})
    request = urllib.request.Request(f"{'https' if tls else 'http'}://127.0.0.1:{port}/", headers=AUTHORISED)
    context = ssl.create_default_context(cafile=tmp_path / "ca.pem") if tls else None

    def scrape() -> int:
        try:
            with urllib.request.urlopen(request, timeout=60, context=context) as response:
                return response.status
        except urllib.error.HTTPError as error:
            return error.code

    silent = [socket.create_connection(("127.0.0.1", port)) for _ in range(200)]
    try:
        with concurrent.futures.ThreadPoolExecutor() as pool:  # statuses in the order they came
            statuses = [f.result() for f in concurrent.futures.as_completed([pool.submit(scrape) for _ in range(3)])]
        open_after_the_scrapes = [pending(connection) for connection in silent]
        for connection in silent:
            connection.settimeout(30)
        closed = [connection.recv(1) for connection in silent]
        assert (statuses, open_after_the_scrapes, closed) == ([503, 200, 200], [None] * 200, [b""] * 200)
    finally:
        for connection in silent:
            connection.close()


def test_hostile_requests_get_a_short_error_status_and_the_connection_closes():
    process, port = serving()
    requests = {  # what is sent, the status answered
        "a 1 MiB request line": (b"GET /" + b"a" * 2**20 + b" HTTP/1.1\r\n\r\n", 414),
        "10,000 header fields": (b"GET / HTTP/1.1\r\n" + b"X-Field: value\r\n" * 10_000 + b"\r\n", 431),
        "a POST with a body": (b"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 413),
        "binary garbage, no line end": (random.Random(18).randbytes(4096).replace(b"\n", b""), 400),
    }
    answers = {}
    for name, (data, _) in requests.items():
        with socket.create_connection(("127.0.0.1", port), timeout=60) as connection:
            threading.Thread(target=send_quietly, args=(connection, data), daemon=True).start()
            answer = b"".join(iter(lambda: connection.recv(65536), b""))  # to the end of the connection
        answers[name] = (answer[:12], len(answer) < 200)
    assert answers == {name: (f"HTTP/1.1 {status}".encode(), True) for name, (_, status) in requests.items()}


@pytest.mark.skipif(not shutil.which("prometheus"), reason="no Prometheus nor promtool (apt-get install prometheus)")
def test_promtool_has_nothing_to_say_and_prometheus_answers_every_dashboard_query_showing_a_loaded_machine(tmp_path):
    process, port = serving("--interval-ms", "100", "--web-config-file", str(web_config(tmp_path)))
    context = ssl.create_default_context(cafile=tmp_path / "ca.pem")
    request = urllib.request.Request(f"https://127.0.0.1:{port}/", headers=AUTHORISED)
    with urllib.request.urlopen(request, timeout=30, context=context) as response:
        checked = subprocess.run(
            ["promtool", "check", "metrics"], input=response.read(), capture_output=True, timeout=60
        )
    assert (checked.returncode, checked.stdout + checked.stderr) == (0, b"")
    target = {"scheme": "https", "tls_config": {"ca_file": str(tmp_path / "ca.pem")}, "scrape_interval": "1s"}
    target["static_configs"] = [{"targets": [f"127.0.0.1:{port}"]}]
    jobs = [
        {"job_name": job, "basic_auth": {"username": "prometheus", "password": password}} | target
        for job, password in (("hostprobe", "secret"), ("intruder", "wrong"))
    ]
    (config := tmp_path / "prometheus.yml").write_text(json.dumps({"scrape_configs": jobs}))  # YAML holds JSON
    with socket.create_server(("127.0.0.1", 0)) as probe:
        address = f"127.0.0.1:{probe.getsockname()[1]}"
    arguments = [f"--config.file={config}", f"--storage.tsdb.path={tmp_path}/data", f"--web.listen-address={address}"]
    server = subprocess.Popen(["prometheus", *arguments], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    dashboard = json.loads((Path(SOURCE_DIR) / "hostprobe_exporter/grafana-dashboard.json").read_text())
    variables = {v["name"]: v.get("allValue") for v in dashboard["templating"]["list"]}  # All devices
    variables |= {"instance": f"127.0.0.1:{port}", "__rate_interval": "4s"}  # four scrapes, as Grafana would take

    def api(path: str) -> dict | list:
        with urllib.request.urlopen(f"http://{address}/api/v1/{path}", timeout=10) as answer:
            return json.load(answer)["data"]

    def query(expression: str, at_seconds: float) -> list:
        filled_in = re.sub(r"\$(\w+)", lambda variable: variables[variable[1]], expression)
        return api(f"query?time={at_seconds}&query={urllib.parse.quote(filled_in)}")["result"]

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
        targets = {t["labels"]["job"]: (t["health"], t["lastError"]) for t in api("targets")["activeTargets"]}
        refused = ("down", "server returned HTTP status 401 Unauthorized")
        assert targets == {"hostprobe": ("up", ""), "intruder": refused}
    finally:
        burner.kill()
        server.terminate()
        server.wait(timeout=30)
