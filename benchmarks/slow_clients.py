#!/usr/bin/env python3
"""What idle, slow and hostile clients do to hostprobe-exporter.

usage: python3 benchmarks/slow_clients.py [TREE]

Starts the exporter of TREE (a checkout, this one by default; its python/
packages, on the installed module and hostprobe_counters) as scrapes.py
does, with a fast stand-in vcgencmd first on PATH, and then:

(a) opens IDLE_CONNECTIONS connections that send nothing;
(b) runs SLOW_CLIENTS clients that send a request line and then one byte of
    a header field a second, each connecting again when the exporter closes
    it, for SLOW_SECONDS;
(c) sends, each on a connection of its own, a 1 MiB request line, 10,000
    header fields, a header field of 60 KiB of blanks ending in a control
    byte, a POST announcing a 1 GiB body and sending it, and 64 KiB of
    random bytes, and reads what comes back.

For (a) and (b) it times SCRAPES normal scrapes in a row and reads the
exporter's threads and resident memory (/proc/PID/status), and its
children's (a collector process) resident memory, while the clients are
there and after they have gone; for (c), the first line of the answer, how
the connection ended and how long it took. It raises its own soft RLIMIT_NOFILE to the hard
limit. Needs the module installed for this Python, and prometheus_client for
an exporter that still serves with it.
"""

from __future__ import annotations

import asyncio
import random
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from collections.abc import Callable
from pathlib import Path
from typing import IO
from urllib.parse import urlsplit

from scrapes import ROOT, fast_vcgencmd, start_exporter

IDLE_CONNECTIONS = 1000
SLOW_CLIENTS = 200
SLOW_SECONDS = 30
SCRAPES = 5
SETTLE_SECONDS = 3
ANSWER_TIMEOUT_SECONDS = 15


def process_status(pid: int) -> tuple[int, int]:
    """The threads and resident memory in KiB of a process."""
    fields = dict(line.split(":", 1) for line in Path(f"/proc/{pid}/status").read_text().splitlines())
    return int(fields["Threads"]), int(fields["VmRSS"].split()[0])


def children_rss_kib(pid: int) -> int:
    """The resident memory of the process's children (the collector process), in KiB."""
    children = Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    return sum(process_status(int(child))[1] for child in children)


def scrape_seconds(url: str) -> float:
    """How long a scrape took, or infinity when it failed or took over 30 s."""
    start = time.monotonic()
    try:
        with urllib.request.urlopen(url, timeout=30) as response:
            response.read()
    except OSError:
        return float("inf")
    return time.monotonic() - start


def measure(label: str, pid: int, url: str) -> None:
    threads, rss_kib = process_status(pid)
    seconds = [scrape_seconds(url) for _ in range(SCRAPES)]
    print(
        f"{label:<34} scrape median {statistics.median(seconds):7.3f} s, slowest {max(seconds):7.3f} s; "
        f"threads {threads:5}, VmRSS {rss_kib / 1024:5.1f} MiB, children's {children_rss_kib(pid) / 1024:5.1f} MiB",
        flush=True,
    )


def idle_connections(pid: int, url: str, address: tuple[str, int]) -> None:
    connections = [socket.create_connection(address, timeout=30) for _ in range(IDLE_CONNECTIONS)]
    time.sleep(SETTLE_SECONDS)
    measure(f"(a) {IDLE_CONNECTIONS} idle connections", pid, url)
    for connection in connections:
        connection.close()
    time.sleep(SETTLE_SECONDS)
    measure("(a) after they closed", pid, url)


async def slow_client(address: tuple[str, int], stop: asyncio.Event, closed_by_server: list[int]) -> None:
    while not stop.is_set():
        try:
            reader, writer = await asyncio.open_connection(*address)
        except OSError:
            await asyncio.sleep(1)
            continue
        try:
            writer.write(b"GET /metrics HTTP/1.1\r\nHost: exporter\r\nX-Slow: ")
            while not stop.is_set():
                await writer.drain()
                try:
                    # An answer or the end of the connection, else one more byte.
                    if await asyncio.wait_for(reader.read(4096), 1) == b"":
                        break
                except asyncio.TimeoutError:
                    writer.write(b"a")
            else:
                continue
            closed_by_server[0] += 1
        except OSError:
            closed_by_server[0] += 1
        finally:
            writer.close()


async def slow_clients(address: tuple[str, int], stop: threading.Event, closed_by_server: list[int]) -> None:
    stopping = asyncio.Event()
    clients = [asyncio.ensure_future(slow_client(address, stopping, closed_by_server)) for _ in range(SLOW_CLIENTS)]
    while not stop.is_set():
        await asyncio.sleep(0.1)
    stopping.set()
    await asyncio.gather(*clients)


def slow_loris(pid: int, url: str, address: tuple[str, int]) -> None:
    stop = threading.Event()
    closed_by_server = [0]
    clients = threading.Thread(target=asyncio.run, args=(slow_clients(address, stop, closed_by_server),))
    clients.start()
    start = time.monotonic()
    for at_seconds in (5, 15, 25):
        time.sleep(max(0.0, start + at_seconds - time.monotonic()))
        measure(f"(b) {SLOW_CLIENTS} slow clients, {at_seconds} s", pid, url)
    time.sleep(max(0.0, start + SLOW_SECONDS - time.monotonic()))
    stop.set()
    clients.join()
    print(f"    connections the exporter closed in {SLOW_SECONDS} s: {closed_by_server[0]}")
    time.sleep(SETTLE_SECONDS)
    measure("(b) after they closed", pid, url)


def huge_post(connection: socket.socket) -> None:
    connection.sendall(b"POST /metrics HTTP/1.1\r\nHost: exporter\r\nContent-Length: 1073741824\r\n\r\n")
    chunk = bytes(64 * 1024)
    for _ in range(2**30 // len(chunk)):
        connection.sendall(chunk)


HOSTILE: dict[str, Callable[[socket.socket], None]] = {
    "1 MiB request line": lambda c: c.sendall(b"GET /" + b"a" * 2**20 + b" HTTP/1.1\r\nHost: exporter\r\n\r\n"),
    "10,000 header fields": lambda c: c.sendall(b"GET / HTTP/1.1\r\n" + b"X-Field: value\r\n" * 10_000 + b"\r\n"),
    "60 KiB of blanks in a field": lambda c: c.sendall(
        b"GET / HTTP/1.1\r\nX-Field: a" + b" " * 61440 + b"\x01\r\n\r\n"
    ),
    "POST of 1 GiB": huge_post,
    "64 KiB of random bytes": lambda c: c.sendall(random.Random(18).randbytes(64 * 1024)),
}


def hostile_request(address: tuple[str, int], send: Callable[[socket.socket], None]) -> str:
    with socket.create_connection(address) as connection:
        connection.settimeout(ANSWER_TIMEOUT_SECONDS)
        start = time.monotonic()
        sender = threading.Thread(target=lambda: _ignore_os_errors(send, connection), daemon=True)
        sender.start()
        answer = b""
        try:
            while received := connection.recv(65536):
                answer += received
            ending = "closed"
        except TimeoutError:
            ending = f"still open after {ANSWER_TIMEOUT_SECONDS} s"
        except OSError as error:
            ending = f"reset ({error.strerror})"
        seconds = time.monotonic() - start
    first_line = answer.split(b"\n", 1)[0].rstrip(b"\r").decode("latin-1") if answer else "no answer"
    return f"{first_line[:50]!r}, {ending} after {seconds:.2f} s"


def _ignore_os_errors(send: Callable[[socket.socket], None], connection: socket.socket) -> None:
    try:
        send(connection)
    except OSError:
        pass


def keep_lines(stream: IO[str], lines: list[str]) -> None:
    lines.extend(stream)


def main() -> None:
    tree = Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else ROOT
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    with tempfile.TemporaryDirectory() as work:
        fast_vcgencmd(Path(work))
        exporter, url = start_exporter(tree, Path(work))
        # Whatever the exporter logs is kept, and read so that it never blocks on a full pipe.
        logged_lines: list[str] = []
        threading.Thread(target=keep_lines, args=(exporter.stderr, logged_lines), daemon=True).start()
        parts = urlsplit(url)
        address = (parts.hostname or "127.0.0.1", parts.port or 80)
        try:
            commit = subprocess.run(
                ["git", "-C", str(tree), "log", "-1", "--format=%h"], capture_output=True, text=True
            ).stdout.strip()
            print(f"exporter of {tree} ({commit}) at {url}, descriptors {hard}")
            scrape_seconds(url)
            measure("at rest", exporter.pid, url)
            idle_connections(exporter.pid, url, address)
            slow_loris(exporter.pid, url, address)
            for name, send in HOSTILE.items():
                print(f"(c) {name:<28} {hostile_request(address, send)}", flush=True)
            time.sleep(SETTLE_SECONDS)
            measure("(c) after the hostile requests", exporter.pid, url)
            print(
                f"lines the exporter logged: {len(logged_lines)}",
                *(line.rstrip() for line in logged_lines[:30]),
                sep="\n    ",
            )
        finally:
            exporter.terminate()
            exporter.wait(timeout=30)


if __name__ == "__main__":
    main()
