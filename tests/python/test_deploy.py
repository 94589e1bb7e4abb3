"""Deployment files ship as they are here; the unit verifies as it is; the dashboard queries only published series."""

import importlib.metadata
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("prometheus_client", reason="prometheus_client is not installed (pip install '.[exporter]')")
from prometheus_client import generate_latest  # noqa: E402
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402
from prometheus_client.registry import CollectorRegistry  # noqa: E402

DEPLOY = Path(__file__).resolve().parents[2] / "python" / "hostprobe_exporter"
sys.path.insert(0, str(DEPLOY.parent))
from hostprobe_exporter.server import SnapshotCollector  # noqa: E402


def test_installed_package_holds_both_files_as_they_are_here():
    installed = Path(importlib.metadata.distribution("hostprobe").locate_file("hostprobe_exporter"))
    for name in ("hostprobe-exporter.service", "grafana-dashboard.json"):
        assert (installed / name).read_bytes() == (DEPLOY / name).read_bytes(), name


@pytest.mark.skipif(
    shutil.which("systemd-analyze") is None, reason="systemd-analyze is not installed (apt-get install systemd)"
)
def test_unit_verifies_without_a_word_about_it(tmp_path):
    shutil.copytree("/usr/lib/systemd/system", tmp_path / "etc/systemd/system", symlinks=True)
    unit = shutil.copy(DEPLOY / "hostprobe-exporter.service", tmp_path / "etc/systemd/system")
    program = tmp_path / re.search(r"^ExecStart=/(\S+)", Path(unit).read_text(), re.M)[1]
    program.parent.mkdir(parents=True)
    shutil.copy("/bin/true", program)
    done = subprocess.run(
        ["systemd-analyze", "verify", f"--root={tmp_path}", "hostprobe-exporter.service"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (done.returncode, [line for line in done.stderr.splitlines() if "hostprobe-exporter" in line]) == (0, [])


def test_dashboard_imports_and_queries_only_published_series():
    registry = CollectorRegistry()
    registry.register(SnapshotCollector(100))
    samples = [s for f in text_string_to_metric_families(generate_latest(registry).decode()) for s in f.samples]
    names, flags = {s.name for s in samples}, {s.labels["flag"] for s in samples if "flag" in s.labels}
    dashboard = json.loads((DEPLOY / "grafana-dashboard.json").read_text())
    panels, variables = dashboard["panels"], dashboard["templating"]["list"]
    assert dashboard["schemaVersion"] >= 38 and [i["name"] for i in dashboard["__inputs"]] == ["DS_PROMETHEUS"]
    assert [v["name"] for v in variables] == ["instance"] and panels
    assert all(p["type"] in {"timeseries", "stat", "state-timeline"} and p["targets"] for p in panels)
    targets = [(t["expr"], "$instance") for p in panels for t in p["targets"]] + [
        (v["definition"], "") for v in variables
    ]
    for expr, selector in targets:
        found = set(re.findall(r"\bhostprobe_[\w:]*", re.sub(r'"[^"]*"', '""', expr)))
        named_flags = {f for value in re.findall(r'\bflag\s*=~?\s*"([^"]*)"', expr) for f in value.split("|")}
        assert found and found <= names and named_flags <= flags and selector in expr, expr
