"""The HTTP server of hostprobe-exporter and its options; needs prometheus_client."""

from __future__ import annotations

import argparse
import gzip
import re
import signal
import socket
import sys
import threading
from collections.abc import Callable, Iterable, Sequence
from types import FrameType
from typing import TYPE_CHECKING, Any, cast
from wsgiref.simple_server import WSGIRequestHandler

from hostprobe_common import add_interval_option
from prometheus_client import exposition

from hostprobe_exporter import PROGRAM
from hostprobe_exporter.exposition import DEFAULT_DISK_DEVICE_EXCLUDE, SnapshotCollector

if TYPE_CHECKING:
    from _typeshed.wsgi import StartResponse, WSGIEnvironment

DEFAULT_PORT = 9864

_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
_ALLOWED_METHODS = ("Allow", "OPTIONS,GET")


def _scrape_app(collector: SnapshotCollector) -> Callable[[WSGIEnvironment, StartResponse], Iterable[bytes]]:
    """Serves the exposition on any path to GET, in the text format whatever
    the client accepts, compressed if it accepts gzip."""

    def answer(environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        method = environ["REQUEST_METHOD"]
        if method == "OPTIONS":
            start_response("200 OK", [_ALLOWED_METHODS])
            return [b""]
        if method != "GET":
            start_response("405 Method Not Allowed", [_ALLOWED_METHODS])
            return [f"# HTTP 405 Method Not Allowed: {method}; use OPTIONS or GET\n".encode()]
        if environ["PATH_INFO"] == "/favicon.ico":  # asked for by browsers
            start_response("200 OK", [])
            return [b""]
        body = collector.exposition()
        headers = [("Content-Type", _CONTENT_TYPE)]
        accepted_encodings = environ.get("HTTP_ACCEPT_ENCODING", "").split(",")
        if any(encoding.split(";")[0].strip().lower() == "gzip" for encoding in accepted_encodings):
            body = gzip.compress(body)
            headers.append(("Content-Encoding", "gzip"))
        start_response("200 OK", headers)
        return [body]

    return answer


class _QuietRequestHandler(WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:
        """Scrapes are not logged: they come every few seconds from every Prometheus server."""


class _ScrapeServer(exposition.ThreadingWSGIServer):
    """Answers each scrape on a daemon thread, over IPv4 or IPv6 as the address resolves."""

    # socketserver's default of 5 pending connections overflows under a burst
    # of concurrent scrapes, and a client whose SYN is dropped retries only
    # after a second or more.
    request_queue_size = 128

    def __init__(self, address: str, port: int) -> None:
        family, _, _, _, socket_address = socket.getaddrinfo(
            address, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        )[0]
        self.address_family = family
        # A stream socket's address: (host, port) for IPv4, (host, port, flow, scope) for IPv6.
        super().__init__(cast("tuple[str, int] | tuple[str, int, int, int]", socket_address), _QuietRequestHandler)


class _Stopped(Exception):
    pass


def _raise_stopped(signum: int, frame: FrameType | None) -> None:
    raise _Stopped


def _bounded_int(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value: int | None = int(text)
        except ValueError:
            value = None
        if value is None or not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer from {low} to {high}")
        return value

    return parse


def _regular_expression(text: str) -> re.Pattern[str]:
    try:
        return re.compile(text)
    except re.error as error:
        raise argparse.ArgumentTypeError(f"{text!r} is not a regular expression: {error}") from None


def _parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Serve a fresh hostprobe snapshot and the kernel's cumulative counters to every scrape "
        "in the Prometheus text format, on any path.",
    )
    parser.add_argument("--address", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    parser.add_argument(
        "--port",
        type=_bounded_int(0, 65535),
        default=DEFAULT_PORT,
        help="TCP port to listen on, 0 for any free one (default: %(default)s)",
    )
    add_interval_option(parser)
    parser.add_argument(
        "--disk-device-exclude",
        type=_regular_expression,
        default=DEFAULT_DISK_DEVICE_EXCLUDE.pattern,
        metavar="REGEX",
        help="leave out of hostprobe_disk_read_bytes_total and hostprobe_disk_written_bytes_total every block "
        "device whose whole name matches this Python regular expression; '' leaves out none (default: %(default)s)",
    )
    return parser.parse_args(argv)


def run(argv: Sequence[str] | None) -> int:
    """Runs the exporter until SIGINT or SIGTERM; returns the exit status."""
    arguments = _parse_arguments(argv)
    collector = SnapshotCollector(arguments.interval_ms, arguments.disk_device_exclude)
    # Set for SIGINT too: a shell starts background jobs with SIGINT ignored.
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, _raise_stopped)
    try:
        try:
            server = _ScrapeServer(arguments.address, arguments.port)
        except OSError as error:
            reason = error.strerror or str(error)
            print(f"{PROGRAM}: cannot listen on {arguments.address} port {arguments.port}: {reason}", file=sys.stderr)
            return 1
        server.set_app(_scrape_app(collector))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            host, port = server.socket.getsockname()[:2]
            shown = f"[{host}]" if ":" in host else host
            print(f"{PROGRAM}: serving http://{shown}:{port}/metrics", file=sys.stderr, flush=True)
            while True:
                signal.pause()
        finally:
            server.shutdown()
            server.server_close()
    except _Stopped:
        return 0
