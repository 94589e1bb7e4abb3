"""Runs the built module in a child process, on the real machine or a fake one: a private mount
namespace with tmpfs over /proc and /sys/class holding the test's texts, and a fake vcgencmd on PATH."""

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
PRIVATE_MOUNTS = ["unshare", "-m", "--propagation", "private", "sh", "-c"]


class Link(str):
    """A symbolic link to this target, made in its turn among the files."""


@dataclass
class FakeMachine:
    proc: dict[str, str | bytes] = field(default_factory=dict)  # e.g. "net/dev": text
    sys_class: dict[str, str | bytes] = field(default_factory=dict)  # e.g. "thermal/thermal_zone0/temp"
    vcgencmd: str | None = None  # the tool's script, or no tool


@functools.cache
def namespaces_permitted() -> bool:
    probe = subprocess.run([*PRIVATE_MOUNTS, "mount -t tmpfs none /proc"], capture_output=True, timeout=30)
    return probe.returncode == 0


def _write(root: Path, tree: dict[str, str | bytes]) -> None:
    root.mkdir(parents=True, exist_ok=True)
    for relative, content in tree.items():
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, Link):
            (root / relative).symlink_to(content)
        else:
            (root / relative).write_bytes(content if isinstance(content, bytes) else content.encode())


def tool_path(directory: Path, script: str | None) -> str:
    directory.mkdir(parents=True, exist_ok=True)
    if script is not None:
        (directory / "vcgencmd").write_text(script)
        (directory / "vcgencmd").chmod(0o755)
    return f"{directory}:{SYSTEM_PATH}"


def python_command(code: str, *args: str) -> list[str]:
    """Python running `code` with hostprobe imported and `args` as sys.argv[1:]."""
    prelude = f"import sys\nsys.path.insert(0, {MODULE_DIR!r})\nimport json, os, hostprobe\n"
    return [sys.executable, "-c", prelude + code, *args]


def python_child(
    code: str, env: dict[str, str] | None = None, machine: FakeMachine | None = None, args: tuple[str, ...] = ()
) -> subprocess.CompletedProcess[str]:
    """Runs `code` with hostprobe imported, on `machine` if one is given."""
    command = python_command(code, *args)
    run = functools.partial(subprocess.run, capture_output=True, text=True, timeout=300)
    if machine is None:
        return run(command, env=env)
    if not namespaces_permitted():
        pytest.skip("private mount namespaces (unshare -m, mount tmpfs) are not permitted here")
    with tempfile.TemporaryDirectory(prefix="hostprobe-fake-") as scratch:
        root, mounts = Path(scratch), []
        for tree, point in ((machine.proc, "/proc"), (machine.sys_class, "/sys/class")):
            _write(root / point[1:], tree)
            mounts.append(f"mount -t tmpfs none {point} && cp -a {shlex.quote(str(root / point[1:]))}/. {point}/")
        tool_path(root / "bin", machine.vcgencmd)
        env = dict(os.environ, PATH=":" + SYSTEM_PATH)  # an empty entry is the working directory, as in a shell
        return run([*PRIVATE_MOUNTS, f'{" && ".join(mounts)} && exec "$0" "$@"', *command], env=env, cwd=root / "bin")


def json_child(*args, **kwargs) -> dict:
    """Runs python_child's `code`, which prints one JSON object, and returns that object."""
    done = python_child(*args, **kwargs)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)
