"""Deployment files ship as they are here; the units verify; the README and dashboard name only published series."""

import dataclasses
import importlib.metadata
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import hostprobe_counters  # noqa: F401 (the installed package: the tree has no build of its native part)
import pytest

pytest.importorskip("prometheus_client", reason="prometheus_client is not installed (pip install '.[test]')")
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

DEPLOY = Path(__file__).resolve().parents[2] / "python" / "hostprobe_exporter"
sys.path.insert(0, str(DEPLOY.parent))
from hostprobe_exporter.exposition import DEFAULT_DISK_DEVICE_EXCLUDE, exposition_of, take_snapshot  # noqa: E402

UNITS = ("hostprobe-exporter.service", "hostprobe-exporter-textfile.service", "hostprobe-exporter-textfile.timer")


def test_installed_package_holds_the_units_and_the_dashboard_as_they_are_here():
    installed = Path(importlib.metadata.distribution("hostprobe").locate_file("hostprobe_exporter"))
    for name in (*UNITS, "hostprobe-exporter.env", "grafana-dashboard.json"):
        assert (installed / name).read_bytes() == (DEPLOY / name).read_bytes(), name


@pytest.mark.skipif(not shutil.which("systemd-analyze"), reason="no systemd-analyze (apt-get install systemd)")
@pytest.mark.parametrize("name", UNITS)
def test_unit_verifies_without_a_word_about_it(tmp_path, name):
    shutil.copytree("/usr/lib/systemd/system", tmp_path / "etc/systemd/system", symlinks=True)
    for unit in UNITS:  # the timer with its service
        shutil.copy(DEPLOY / unit, tmp_path / "etc/systemd/system")
    (program := tmp_path / "opt/hostprobe/bin/hostprobe-exporter").parent.mkdir(parents=True)
    shutil.copy("/bin/true", program)
    command = ["systemd-analyze", "verify", f"--root={tmp_path}", name]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert (done.returncode, [line for line in done.stderr.splitlines() if "hostprobe-exporter" in line]) == (0, [])


def test_readme_lists_the_published_series_and_each_dashboard_query_names_them_for_the_chosen_instance():
    snapshot = dataclasses.replace(take_snapshot(100), firmware_up=True)  # every series, hostprobe_firmware_up too
    exposition = list(text_string_to_metric_families(exposition_of(snapshot, DEFAULT_DISK_DEVICE_EXCLUDE).decode()))
    flag_values = {
        sample.labels["flag"] for family in exposition for sample in family.samples if "flag" in sample.labels
    }
    published = {family.name + "_total" * (family.type == "counter") for family in exposition} | flag_values
    table = "".join(re.findall(r"^\| `hostprobe_.*", (DEPLOY.parents[1] / "README.md").read_text(), re.M))
    assert set(re.findall(r'(?<=`)hostprobe_\w+|(?<=flag=")\w+', table)) == published  # the exporter's table
    dashboard = json.loads((DEPLOY / "grafana-dashboard.json").read_text())
    panels, variables = dashboard["panels"], dashboard["templating"]["list"]
    assert [item["name"] for item in dashboard["__inputs"]] == ["DS_PROMETHEUS"]
    selected = [(target["expr"], "$" + variables[0]["name"]) for panel in panels for target in panel["targets"]]
    for query, selector in [*((variable["definition"], "") for variable in variables), *selected]:
        flags = [flag for value in re.findall(r'\bflag\s*=~?\s*"([^"]*)"', query) for flag in value.split("|")]
        names = {*re.findall(r"\bhostprobe_\w*", query), *flags}
        assert names and names <= published and selector in query, query
