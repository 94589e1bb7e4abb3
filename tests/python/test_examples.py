"""The runnable examples beside the README."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import hostprobe
from fake_machine import FakeMachine, run_on

LOG_JSON = Path(__file__).resolve().parents[2] / "examples" / "log_json.py"


def strict_json(line: str) -> dict[str, object]:
    def reject(constant: str) -> None:
        raise ValueError(f"{constant} is not JSON")

    parsed: dict[str, object] = json.loads(line, parse_constant=reject)
    return parsed


def test_log_json_writes_one_valid_json_line_per_snapshot() -> None:
    done = subprocess.run(
        [sys.executable, str(LOG_JSON), "--count", "2", "--interval-ms", "100"],
        capture_output=True,
        text=True,
        timeout=60,
    )

    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 2
    snapshots = [strict_json(line) for line in lines]
    assert all(list(snapshot) == list(hostprobe.get_metrics_once(1000)) for snapshot in snapshots)


def test_log_json_writes_nan_as_null() -> None:
    # Without /proc/stat every CPU share is NaN.
    done = run_on(
        FakeMachine(proc={"uptime": "12345.67 54321.00\n"}),
        f"import runpy\nsys.argv = ['log_json.py', '--count', '1']\nrunpy.run_path({str(LOG_JSON)!r}, run_name='__main__')",
    )

    assert done.returncode == 0, done.stderr
    snapshot = strict_json(done.stdout)
    assert {key for key, value in snapshot.items() if value is None} == {
        key for key in snapshot if key.startswith("cpu_") and key.endswith("_percent")
    }
    assert snapshot["uptime_seconds"] == 12345.67
