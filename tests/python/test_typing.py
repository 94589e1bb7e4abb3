"""The type stubs (hostprobe-stubs) against the module, and as mypy sees them once installed."""

import os
import re
import runpy
import subprocess
import sys
import typing
from pathlib import Path

import hostprobe
import hostprobe_counters
import pytest

STUB = Path(__file__).resolve().parents[2] / "python" / "hostprobe-stubs" / "__init__.pyi"


def test_stub_declares_what_the_module_returns():
    stub = runpy.run_path(str(STUB))  # a stub is plain Python too
    snapshot = hostprobe.get_metrics_once(1000)
    hints = typing.get_type_hints(stub["Metrics"])
    assert list(hints.items()) == [(key, type(value)) for key, value in snapshot.items()] and stub["Metrics"].__total__
    assert stub["__all__"] == hostprobe.__all__
    counters = hostprobe_counters.read_counters()
    declared = hostprobe_counters.Counters
    assert declared.__required_keys__ <= counters.keys() <= declared.__required_keys__ | declared.__optional_keys__


# The clean lines must stay clean, and each of the last five gets its error.
PROGRAM = """import hostprobe
from hostprobe_counters import rates, read_counters
from hostprobe import Metrics
def busy_and_used(metrics: Metrics) -> tuple[float, int]:
    return metrics["cpu_usage_percent"], metrics["mem_used_bytes"]
metrics = hostprobe.get_metrics_once(interval_ms=1000)
print(busy_and_used(metrics), metrics["cpu_usage_precent"])
seconds: int = metrics["uptime_seconds"]
hostprobe.get_metrics_once("1000")
print(hostprobe.InternalFailure)
busy: float = rates(read_counters(), read_counters())["cpu_busy_percent"]
"""


def test_mypy_checks_user_programs_against_the_installed_stubs(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed (pip install '.[test]')")
    (tmp_path / "program.py").write_text(PROGRAM)
    # Only the installed package may answer for hostprobe.
    env = {name: value for name, value in os.environ.items() if name not in ("PYTHONPATH", "MYPYPATH")}
    mypy = [sys.executable, "-m", "mypy", "--strict", "program.py"]
    checked = subprocess.run(mypy, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    errors = re.findall(r"^program\.py:(\d+): error: .*\[([\w-]+)\]$", checked.stdout, re.MULTILINE)
    codes = "typeddict-item assignment arg-type attr-defined assignment".split()
    expected = [(str(line), code) for line, code in enumerate(codes, start=7)]
    assert errors == expected, checked.stdout + checked.stderr
