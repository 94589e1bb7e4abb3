"""Textfile mode: node_exporter serves the file, no reader sees it partial, and a signal ends the writing."""

import os
import shutil
import signal
import socket
import subprocess
import threading
import urllib.request

import pytest
from test_exposition import samples  # puts the tree's packages on the path, the installed hostprobe_counters first

NODE_EXPORTER = shutil.which("prometheus-node-exporter")  # Debian's name for node_exporter
from hostprobe_exporter.collector import run_textfile  # noqa: E402
from hostprobe_exporter.exposition import DEFAULT_DISK_DEVICE_EXCLUDE  # noqa: E402


@pytest.mark.skipif(NODE_EXPORTER is None, reason="no node_exporter (apt-get install prometheus-node-exporter)")
def test_node_exporter_serves_every_series_of_the_textfile_without_an_error(tmp_path):
    assert run_textfile(tmp_path, None, 100, DEFAULT_DISK_DEVICE_EXCLUDE) == 0
    with socket.create_server(("127.0.0.1", 0)) as probe:
        address = f"127.0.0.1:{probe.getsockname()[1]}"
    command = [NODE_EXPORTER, "--collector.disable-defaults", "--collector.textfile", f"--web.listen-address={address}"]
    with subprocess.Popen([*command, f"--collector.textfile.directory={tmp_path}"], stderr=subprocess.PIPE) as server:
        try:
            next(line for line in server.stderr if b"Listening on" in line)
            with urllib.request.urlopen(f"http://{address}/metrics", timeout=30) as answer:
                served = samples(answer.read().decode())
        finally:
            server.kill()
    ours = {key: value for key, value in served.items() if key[0].startswith("hostprobe_")}
    written = samples((tmp_path / "hostprobe.prom").read_text())
    assert (ours, served[("node_textfile_scrape_error",)]) == (written, 0)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=lambda signum: signum.name)
def test_a_reader_never_sees_the_file_partial_and_a_signal_ends_the_writing_with_0(tmp_path, signum):
    versions, writing_thread = set(), threading.get_ident()

    def read():  # the file as it is rewritten every 0.05 s, till 20 versions are seen; then the signal
        while len(versions) < 20:
            if (tmp_path / "hostprobe.prom").exists():
                versions.add((tmp_path / "hostprobe.prom").read_text())
        signal.pthread_kill(writing_thread, signum)

    threading.Thread(target=read, daemon=True).start()
    status = run_textfile(tmp_path, 0.05, 1, DEFAULT_DISK_DEVICE_EXCLUDE)
    series = [samples(version).keys() for version in versions]
    assert (status, os.listdir(tmp_path), len(series)) == (0, ["hostprobe.prom"], 20)
    assert [keys for keys in series if keys != series[0]] == []
