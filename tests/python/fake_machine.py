"""Runs the built module in a child process on a fake machine.

The child lives in a private mount namespace with a tmpfs over /proc and one
over /sys/class holding the test's texts, and with a directory holding a fake
vcgencmd first on PATH. A file the test does not give is simply absent.
"""

from __future__ import annotations

import functools
import json
import os
import shlex
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import hostprobe
import pytest

MODULE_DIR = str(Path(hostprobe.__file__).resolve().parent)
SYSTEM_PATH = "/usr/local/bin:/usr/bin:/bin"


@dataclass(frozen=True)
class Symlink:
    """A symbolic link to `target` (relative targets as the kernel writes them)."""

    target: str


Tree = dict[str, "str | bytes | Symlink"]


@dataclass
class FakeMachine:
    # Paths relative to /proc, e.g. "stat" or "net/dev", to their contents.
    proc: Tree = field(default_factory=dict)
    # Paths relative to /sys/class, e.g. "thermal/thermal_zone0/temp"; a
    # directory is made for every parent. Empty: no /sys/class/thermal.
    sys_class: Tree = field(default_factory=dict)
    # The text of an executable vcgencmd (usually a shell script), or None
    # for a machine without the tool.
    vcgencmd: str | None = None


@functools.cache
def namespaces_permitted() -> bool:
    try:
        probe = subprocess.run(
            ["unshare", "-m", "--propagation", "private", "sh", "-c", "mount -t tmpfs none /proc"],
            capture_output=True,
            timeout=30,
        )
    except (OSError, subprocess.TimeoutExpired):
        return False
    return probe.returncode == 0


def _write_tree(root: Path, tree: Tree) -> None:
    root.mkdir(parents=True, exist_ok=True)
    for relative, content in tree.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, Symlink):
            path.symlink_to(content.target)
        elif isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_bytes(content.encode())


def run_on(machine: FakeMachine, snippet: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    """Runs `snippet` (Python, with hostprobe importable) on the fake machine."""
    if not namespaces_permitted():
        pytest.skip("private mount namespaces (unshare -m, mount tmpfs) are not permitted here")
    with tempfile.TemporaryDirectory(prefix="hostprobe-fake-") as scratch:
        root = Path(scratch)
        _write_tree(root / "proc", machine.proc)
        _write_tree(root / "sys_class", machine.sys_class)
        tool_dir = root / "bin"
        tool_dir.mkdir()
        if machine.vcgencmd is not None:
            tool = tool_dir / "vcgencmd"
            tool.write_text(machine.vcgencmd)
            tool.chmod(0o755)
        script = (
            f"mount -t tmpfs none /proc && cp -a {shlex.quote(str(root / 'proc'))}/. /proc/"
            f" && mount -t tmpfs none /sys/class && cp -a {shlex.quote(str(root / 'sys_class'))}/. /sys/class/"
            ' && exec "$0" -c "$1"'
        )
        program = f"import sys\nsys.path.insert(0, {MODULE_DIR!r})\nimport hostprobe\n{snippet}"
        env = dict(os.environ, PATH=f"{tool_dir}:{SYSTEM_PATH}")
        return subprocess.run(
            ["unshare", "-m", "--propagation", "private", "sh", "-c", script, sys.executable, program],
            capture_output=True,
            text=True,
            timeout=timeout,
            env=env,
        )


def snapshot_on(machine: FakeMachine, interval_ms: int = 1000) -> dict[str, float | int]:
    """One get_metrics_once(interval_ms) on the fake machine, as a dict."""
    done = run_on(machine, f"import json\nprint(json.dumps(hostprobe.get_metrics_once({interval_ms})))")
    assert done.returncode == 0, done.stderr
    result: dict[str, float | int] = json.loads(done.stdout)
    return result
