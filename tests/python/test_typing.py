"""The type stubs (hostprobe-stubs) against the module, and as mypy sees them once installed."""

from __future__ import annotations

import importlib.metadata
import inspect
import os
import subprocess
import sys
import typing
from pathlib import Path

import hostprobe
import pytest

STUB_SOURCE = Path(__file__).resolve().parents[2] / "python" / "hostprobe-stubs" / "__init__.pyi"


def stub_namespace() -> dict[str, typing.Any]:
    # The stub is plain Python as well, so it can be run to inspect what it declares.
    namespace: dict[str, typing.Any] = {}
    exec(compile(STUB_SOURCE.read_text(), str(STUB_SOURCE), "exec"), namespace)
    return namespace


def test_stub_declares_what_the_module_returns() -> None:
    stub = stub_namespace()
    snapshot = hostprobe.get_metrics_once(1000)

    declared = typing.get_type_hints(stub["Metrics"])
    assert list(declared) == list(snapshot)
    assert declared == {key: type(value) for key, value in snapshot.items()}
    assert stub["Metrics"].__total__
    assert stub["__all__"] == hostprobe.__all__
    assert list(inspect.signature(stub["get_metrics_once"]).parameters) == list(
        inspect.signature(hostprobe.get_metrics_once).parameters
    )


def installed_stub() -> Path | None:
    try:
        files = importlib.metadata.distribution("hostprobe").files or []
    except importlib.metadata.PackageNotFoundError:
        return None
    for file in files:
        if file.as_posix() == "hostprobe-stubs/__init__.pyi":
            return Path(str(file.locate()))
    return None


USER_PROGRAM = """\
from typing import TYPE_CHECKING

import hostprobe

if TYPE_CHECKING:
    from hostprobe import Metrics


def busy_and_used(metrics: "Metrics") -> tuple[float, int]:
    return metrics["cpu_usage_percent"], metrics["mem_used_bytes"]


snapshot = hostprobe.get_metrics_once(interval_ms=1000)
busy, used = busy_and_used(snapshot)
under_voltage = snapshot["throttle_status"] & 0x1 != 0
print(f"{busy:.1f} % busy, {used} bytes in use, under-voltage: {under_voltage}")
"""

WRONG_PROGRAMS = [
    pytest.param(
        'import hostprobe\nprint(hostprobe.get_metrics_once(1000)["cpu_usage_precent"])\n',
        'has no key "cpu_usage_precent"',
        id="misspelt-key",
    ),
    pytest.param(
        'import hostprobe\nseconds: int = hostprobe.get_metrics_once(1000)["uptime_seconds"]\n',
        "Incompatible types in assignment",
        id="float-entry-as-int",
    ),
    pytest.param(
        'import hostprobe\nhostprobe.get_metrics_once("1000")\n',
        'incompatible type "str"',
        id="interval-as-str",
    ),
    pytest.param(
        "import hostprobe\nprint(hostprobe.InternalFailure)\n",
        'has no attribute "InternalFailure"',
        id="internal-failure-not-an-attribute",
    ),
]


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    pytest.importorskip("mypy", reason="mypy is not installed (pip install '.[test]')")
    if installed_stub() is None:
        pytest.skip("hostprobe-stubs is not installed in this interpreter (pip install .): only the build is here")
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(program: str, directory: Path, cache: Path) -> subprocess.CompletedProcess[str]:
    source = directory / "program.py"
    source.write_text(program)
    # Only the installed package may answer for hostprobe: no build directory, no source tree.
    env = {name: value for name, value in os.environ.items() if name not in ("PYTHONPATH", "MYPYPATH")}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), str(source)],
        cwd=directory,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_user_program_type_checks_against_installed_stubs(tmp_path: Path, mypy_cache: Path) -> None:
    checked = run_mypy(USER_PROGRAM, tmp_path, mypy_cache)
    assert checked.returncode == 0, checked.stdout + checked.stderr


@pytest.mark.parametrize(("program", "complaint"), WRONG_PROGRAMS)
def test_wrong_program_fails_type_check(program: str, complaint: str, tmp_path: Path, mypy_cache: Path) -> None:
    checked = run_mypy(program, tmp_path, mypy_cache)
    assert checked.returncode == 1, checked.stdout + checked.stderr
    assert complaint in checked.stdout
