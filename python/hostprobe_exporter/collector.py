"""Snapshots for the server, from a collector process of the exporter's own,
and the textfile for node_exporter's textfile collector.

hostprobe.get_metrics_once holds the interpreter for its whole call, 4 to 8 s
when vcgencmd hangs. The server's event loop therefore never calls it: a
child Python process takes the snapshots and answers their exposition through
a pipe, while the loop goes on serving.
"""

from __future__ import annotations

import asyncio
import importlib
import json
import os
import re
import signal
import sys
import time
from pathlib import Path

from hostprobe_exporter import PROGRAM
from hostprobe_exporter.exposition import exposition_of, failure_line, take_snapshot

TEXTFILE_NAME = "hostprobe.prom"
_FAILED = b"failed "
# The collector process imports these from where this process did, which
# sys.path alone may not give: the tests and benchmarks run the tree's
# exporter on the installed hostprobe_counters, whose native part the tree
# does not hold.
_PACKAGES = ("hostprobe", "hostprobe_counters", "hostprobe_common", "hostprobe_exporter")
_PROCESS_CODE = """import importlib, json, re, sys
arguments = json.loads(sys.argv[1])
for name, directory in arguments["packages"]:
    sys.path.insert(0, directory)
    importlib.import_module(name)
    del sys.path[0]
from hostprobe_exporter.collector import _answer_requests
_answer_requests(arguments["interval_ms"], re.compile(arguments["pattern"], arguments["flags"]))
"""


class CollectionFailed(Exception):
    """The snapshot failed; the message is one line saying why."""


def _directory_of(name: str) -> str:
    """The directory the import system found the module or package in."""
    module = importlib.import_module(name)
    assert module.__file__ is not None
    location = os.path.dirname(module.__file__)
    # A package's file is its __init__.py, inside the package's own directory.
    return os.path.dirname(location) if hasattr(module, "__path__") else location


def _ending(status: int) -> str:
    return f"was killed by signal {-status}" if status < 0 else f"exited with status {status}"


class Collector:
    """Expositions of snapshots taken in the collector process, for an event loop.

    A snapshot is one reading of the counters and one get_metrics_once call,
    in the text format. Calls that arrive while one is being taken share it;
    one that arrives after it finished asks for a new one, so that no call is
    answered with a snapshot finished before the call began.
    """

    def __init__(self, interval_ms: int, disk_device_exclude: re.Pattern[str]) -> None:
        packages = [(name, _directory_of(name)) for name in _PACKAGES]
        arguments = {"packages": packages, "interval_ms": interval_ms}
        arguments |= {"pattern": disk_device_exclude.pattern, "flags": disk_device_exclude.flags}
        self._command = [sys.executable, "-c", _PROCESS_CODE, json.dumps(arguments)]
        self._process: asyncio.subprocess.Process | None = None
        self._in_flight: asyncio.Future[bytes] | None = None

    async def start(self) -> None:
        """Starts the collector process; raises OSError if it cannot be."""
        self._process = await asyncio.create_subprocess_exec(
            *self._command,
            stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE,
            # Out of the terminal's process group: a ^C is this process's to handle.
            start_new_session=True,
        )

    async def exposition(self, timeout_seconds: float) -> bytes:
        """The exposition of a snapshot finished after this call began.

        Raises TimeoutError when none came within timeout_seconds (the
        snapshot goes on and serves later calls) and CollectionFailed when it
        failed.
        """
        if self._in_flight is None or self._in_flight.done():
            self._in_flight = asyncio.ensure_future(self._snapshot())
        try:
            # Shielded: a call that gives up leaves the snapshot to the others.
            return await asyncio.wait_for(asyncio.shield(self._in_flight), timeout_seconds)
        except asyncio.TimeoutError:  # not yet the built-in TimeoutError in Python 3.10
            raise TimeoutError(f"no snapshot within {timeout_seconds} s") from None

    async def _running_process(self) -> asyncio.subprocess.Process:
        if self._process is None or self._process.returncode is not None:
            try:
                await self.start()
            except OSError as error:
                raise CollectionFailed(f"cannot start the collector process: {error}") from None
        assert self._process is not None
        return self._process

    async def _snapshot(self) -> bytes:
        # A process found ended (killed between snapshots, say) is started
        # again and asked once more.
        retried = False
        while True:
            process = await self._running_process()
            assert process.stdin is not None and process.stdout is not None
            try:
                process.stdin.write(b"\n")
                await process.stdin.drain()
                header = await process.stdout.readline()
                if header.startswith(_FAILED):
                    raise CollectionFailed(header[len(_FAILED) :].decode(errors="replace").rstrip("\n"))
                if header:
                    return await process.stdout.readexactly(int(header))
            except (ConnectionError, asyncio.IncompleteReadError):  # the process ended
                pass
            status = await process.wait()
            if retried:
                raise CollectionFailed(f"the collector process {_ending(status)}")
            retried = True

    async def close(self) -> None:
        """Ends the snapshot in flight, if any, and the collector process."""
        if self._in_flight is not None:
            self._in_flight.cancel()
        process = self._process
        if process is not None and process.returncode is None:
            process.kill()
            await process.wait()


def _write_all(descriptor: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view) :]


def _answer_requests(interval_ms: int, disk_device_exclude: re.Pattern[str]) -> None:
    """The collector process: for each line on standard input, a snapshot on
    standard output, as its length in a line and then its exposition, or as
    the failure in one line after "failed ", also logged on standard error.
    Ends when standard input or output closes."""
    requests = sys.stdin.buffer
    try:
        while requests.readline():
            try:
                exposition = exposition_of(take_snapshot(interval_ms), disk_device_exclude)
            except Exception as error:
                line = failure_line(error)
                print(f"{PROGRAM}: {line}", file=sys.stderr, flush=True)
                _write_all(sys.stdout.fileno(), _FAILED + line.encode() + b"\n")
            else:
                _write_all(sys.stdout.fileno(), b"%d\n" % len(exposition) + exposition)
    except BrokenPipeError:  # the server is gone
        pass


def _write_textfile(path: Path, interval_ms: int, disk_device_exclude: re.Pattern[str]) -> bool:
    """Writes the file anew, or removes it if the snapshot failed, so that its
    series go rather than repeat old values; returns whether the snapshot
    succeeded. Raises OSError when the directory cannot be written."""
    try:
        exposition = exposition_of(take_snapshot(interval_ms), disk_device_exclude)
    except Exception as error:
        print(f"{PROGRAM}: {failure_line(error)}", file=sys.stderr, flush=True)
        path.unlink(missing_ok=True)
        return False
    # Not ending in .prom, so node_exporter does not read it; renamed over the
    # file once whole, so no reader ever sees part of it.
    temporary = path.with_name(f".{path.name}.{os.getpid()}")
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    try:
        with open(descriptor, "wb") as file:
            file.write(exposition)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return True


def run_textfile(
    directory: Path, every_seconds: float | None, interval_ms: int, disk_device_exclude: re.Pattern[str]
) -> int:
    """Writes directory/hostprobe.prom once (every_seconds None) or every
    every_seconds until SIGINT or SIGTERM; returns the exit status: 0, or 1
    when the directory cannot be written or the only snapshot failed."""
    path = directory / TEXTFILE_NAME
    stopping = {signal.SIGINT, signal.SIGTERM}
    # Held back until the pause between writes, so that none ends a write halfway.
    previous_mask = signal.pthread_sigmask(signal.SIG_BLOCK, stopping)
    try:
        due_seconds = time.monotonic()
        while True:
            try:
                written = _write_textfile(path, interval_ms, disk_device_exclude)
            except OSError as error:
                print(f"{PROGRAM}: cannot write {path}: {error.strerror or error}", file=sys.stderr)
                return 1
            if every_seconds is None:
                return 0 if written else 1
            # On a fixed grid; after a write that overran, at once.
            due_seconds = max(due_seconds + every_seconds, time.monotonic())
            if signal.sigtimedwait(stopping, max(0.0, due_seconds - time.monotonic())) is not None:
                return 0
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous_mask)
