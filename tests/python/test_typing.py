"""The type stubs (hostprobe-stubs) against the module, and as mypy sees them once installed."""

import inspect
import os
import subprocess
import sys
import typing
from pathlib import Path

import hostprobe
import pytest

STUB = Path(__file__).resolve().parents[2] / "python" / "hostprobe-stubs" / "__init__.pyi"


def test_stub_declares_what_the_module_returns():
    stub: dict[str, typing.Any] = {}
    exec(compile(STUB.read_text(), str(STUB), "exec"), stub)  # a stub is plain Python too
    snapshot = hostprobe.get_metrics_once(1000)
    assert typing.get_type_hints(stub["Metrics"]) == {key: type(value) for key, value in snapshot.items()}
    assert list(typing.get_type_hints(stub["Metrics"])) == list(snapshot) and stub["Metrics"].__total__
    assert stub["__all__"] == hostprobe.__all__
    assert inspect.signature(stub["get_metrics_once"]).parameters.keys() == {"interval_ms"}


GOOD = """import hostprobe
from hostprobe import Metrics
def busy_and_used(metrics: Metrics) -> tuple[float, int]:
    return metrics["cpu_usage_percent"], metrics["mem_used_bytes"]
print(busy_and_used(hostprobe.get_metrics_once(interval_ms=1000)))
"""


@pytest.mark.parametrize(
    ("program", "complaint"),
    [
        (GOOD, None),
        (
            'import hostprobe\nprint(hostprobe.get_metrics_once(1000)["cpu_usage_precent"])\n',
            'no key "cpu_usage_precent"',
        ),
        ('import hostprobe\nseconds: int = hostprobe.get_metrics_once(1000)["uptime_seconds"]\n', "Incompatible types"),
        ('import hostprobe\nhostprobe.get_metrics_once("1000")\n', 'incompatible type "str"'),
        ("import hostprobe\nprint(hostprobe.InternalFailure)\n", 'has no attribute "InternalFailure"'),
    ],
)
def test_mypy_checks_user_programs_against_the_installed_stubs(program, complaint, tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed (pip install '.[test]')")
    (tmp_path / "program.py").write_text(program)
    # Only the installed package may answer for hostprobe.
    env = {name: value for name, value in os.environ.items() if name not in ("PYTHONPATH", "MYPYPATH")}
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "program.py"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert checked.returncode == (0 if complaint is None else 1), checked.stdout + checked.stderr
    assert complaint is None or complaint in checked.stdout
