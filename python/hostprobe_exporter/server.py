"""The HTTP server of hostprobe-exporter and its options: one asyncio event
loop, the standard library only.

A connection costs the loop a few kilobytes until its whole request head has
come; only then does the request take one of --max-requests slots, which it
holds until its answer is written. Heads, keep-alive pauses and TLS
handshakes each have READ_TIMEOUT_SECONDS, and a head's size is bounded, so
idle, slow and hostile clients can neither hold the slots nor grow the
process. The snapshot comes from the collector process, so a hung firmware
tool never holds this interpreter.
"""

from __future__ import annotations

import argparse
import asyncio
import gzip
import math
import re
import resource
import signal
import socket
import sys
import urllib.parse
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from http import HTTPStatus
from pathlib import Path

from hostprobe_common import add_interval_option

from hostprobe_exporter import PROGRAM
from hostprobe_exporter.collector import CollectionFailed, Collector, run_textfile
from hostprobe_exporter.exposition import DEFAULT_DISK_DEVICE_EXCLUDE
from hostprobe_exporter.web_config import BasicAuth, WebConfig, WebConfigError, load_web_config

DEFAULT_PORT = 9864
# node_exporter's default for its --web.max-requests.
DEFAULT_MAX_REQUESTS = 40
# For the whole request head, for a kept-alive connection's pause between
# requests, for a TLS handshake and for the client to take an answer.
READ_TIMEOUT_SECONDS = 10.0
# When the scrape does not say its own (X-Prometheus-Scrape-Timeout-Seconds).
DEFAULT_SCRAPE_TIMEOUT_SECONDS = 10.0
MAX_REQUEST_LINE_BYTES = 8 * 1024
MAX_HEADER_FIELDS = 100
MAX_HEADER_BYTES = 64 * 1024
# After an answer that closes the connection, what the client still sends is
# read and dropped for this long: closing a socket with unread bytes resets
# the connection, and the reset can destroy the answer before the client
# reads it.
LINGER_SECONDS = 2.0
# socketserver's default of 5 pending connections overflows under a burst of
# concurrent scrapes, and a client whose SYN is dropped retries only after a
# second or more.
LISTEN_BACKLOG = 128
_READ_BYTES = 64 * 1024

_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
_ALLOWED_METHODS = ("Allow", "OPTIONS, GET")
_UNAUTHORISED = ("WWW-Authenticate", 'Basic realm="hostprobe-exporter"')

_TOKEN = rb"[!#$%&'*+\-.^_`|~0-9A-Za-z]+"
_REQUEST_LINE = re.compile(rb"(" + _TOKEN + rb") ([\x21-\x7e]+) HTTP/1\.([01])\r?")
# What a request line may hold so far, so that garbage is refused on arrival.
_REQUEST_LINE_START = re.compile(rb"[\x20-\x7e]*\r?")
# Without its line end; the value's surrounding blanks are stripped after
# the match (a pattern that left them out itself would take quadratic time).
_HEADER_FIELD = re.compile(rb"(" + _TOKEN + rb"):([\t\x20-\x7e\x80-\xff]*)")
_END_OF_HEAD = re.compile(rb"\n\r?\n")
_DIGITS = re.compile(r"[0-9]+")


class _Refused(Exception):
    """A request answered with an error, after which the connection closes."""

    def __init__(self, status: HTTPStatus, text: str) -> None:
        super().__init__(text)
        self.status = status
        self.text = text


@dataclass(frozen=True)
class _Request:
    method: str
    target: str
    # Lower-case names; a repeated field's values joined by ", ".
    fields: dict[str, str]
    keep_alive: bool


def _response(status: HTTPStatus, body: bytes, headers: Sequence[tuple[str, str]] = (), close: bool = False) -> bytes:
    lines = [f"HTTP/1.1 {status.value} {status.phrase}", *(f"{name}: {value}" for name, value in headers)]
    lines.append(f"Content-Length: {len(body)}")
    if close:
        lines.append("Connection: close")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def _text_response(
    status: HTTPStatus, text: str, headers: Sequence[tuple[str, str]] = (), close: bool = False
) -> bytes:
    headers = [("Content-Type", "text/plain; charset=utf-8"), *headers]
    return _response(status, f"{text}\n".encode(), headers, close)


async def _read_head(reader: asyncio.StreamReader, buffer: bytearray) -> bytes | None:
    """The next request head from the buffer and then the stream, without its
    blank line, which is taken out of the buffer with it; None when the
    client closed between requests. Raises _Refused on a head over the
    limits or one whose request line is not text."""
    request_line_end = -1
    searched = 0  # no end of head starts before this index, and the header lines before it are counted
    header_lines = 0
    while True:
        if request_line_end < 0:
            request_line_end = buffer.find(b"\n")
            request_line = buffer if request_line_end < 0 else buffer[:request_line_end]
            if not _REQUEST_LINE_START.fullmatch(request_line, 0, MAX_REQUEST_LINE_BYTES + 1):
                raise _Refused(HTTPStatus.BAD_REQUEST, "malformed request")
            if len(request_line) > MAX_REQUEST_LINE_BYTES:
                raise _Refused(HTTPStatus.REQUEST_URI_TOO_LONG, "request line too long")
            searched = request_line_end
        if request_line_end >= 0:
            end = _END_OF_HEAD.search(buffer, searched)
            fields_end = max(searched, len(buffer) - 2) if end is None else end.start()
            header_lines += buffer.count(b"\n", searched, fields_end)
            if header_lines > MAX_HEADER_FIELDS:
                raise _Refused(HTTPStatus.REQUEST_HEADER_FIELDS_TOO_LARGE, "too many header fields")
            if (len(buffer) if end is None else fields_end) - request_line_end > MAX_HEADER_BYTES:
                raise _Refused(HTTPStatus.REQUEST_HEADER_FIELDS_TOO_LARGE, "header fields too long")
            if end is not None:
                head = bytes(buffer[:fields_end])
                del buffer[: end.end()]
                return head
            searched = fields_end
        received = await reader.read(_READ_BYTES)
        if not received:
            if buffer:
                raise _Refused(HTTPStatus.BAD_REQUEST, "incomplete request")
            return None
        buffer += received


def _parse_head(head: bytes) -> _Request:
    request_line, *field_lines = head.split(b"\n")
    request = _REQUEST_LINE.fullmatch(request_line)
    if request is None:
        raise _Refused(HTTPStatus.BAD_REQUEST, "malformed request line")
    fields: dict[str, str] = {}
    for line in field_lines:
        field = _HEADER_FIELD.fullmatch(line, 0, len(line) - line.endswith(b"\r"))
        if field is None:
            raise _Refused(HTTPStatus.BAD_REQUEST, "malformed header field")
        name, value = field[1].decode("ascii").lower(), field[2].strip(b" \t").decode("latin-1")
        fields[name] = f"{fields[name]}, {value}" if name in fields else value
    content_length = fields.get("content-length")
    if content_length is not None and not _DIGITS.fullmatch(content_length):
        raise _Refused(HTTPStatus.BAD_REQUEST, "malformed Content-Length")
    if "transfer-encoding" in fields or (content_length is not None and content_length.strip("0")):
        raise _Refused(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "requests have no body here")
    connection = {option.strip().lower() for option in fields.get("connection", "").split(",")}
    keep_alive = request[3] == b"1" and "close" not in connection
    return _Request(request[1].decode("ascii"), request[2].decode("ascii"), fields, keep_alive)


def _scrape_timeout_seconds(text: str | None) -> float:
    """The scraper's timeout if it gave a positive number, else the default."""
    try:
        seconds = float(text) if text is not None else math.nan
    except ValueError:
        seconds = math.nan
    return seconds if 0 < seconds < math.inf else DEFAULT_SCRAPE_TIMEOUT_SECONDS


def _accepts_gzip(accept_encoding: str) -> bool:
    return any(coding.split(";")[0].strip().lower() == "gzip" for coding in accept_encoding.split(","))


class _Deadline:
    """Aborts a connection at a time unless moved or cancelled first: one
    timer for the whole connection, cheaper than a timeout around each wait."""

    def __init__(self, transport: asyncio.WriteTransport) -> None:
        self._transport = transport
        self._timer: asyncio.TimerHandle | None = None

    def in_seconds(self, seconds: float) -> None:
        self.cancel()
        self._timer = asyncio.get_running_loop().call_later(seconds, self._transport.abort)

    def cancel(self) -> None:
        if self._timer is not None:
            self._timer.cancel()


async def _linger(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, deadline: _Deadline) -> None:
    """Sends what is written, then reads and drops what the client sends
    until it closes or LINGER_SECONDS have passed."""
    deadline.in_seconds(LINGER_SECONDS)
    try:
        if writer.can_write_eof():
            writer.write_eof()
        while await reader.read(_READ_BYTES):
            pass
    except OSError:  # the client is gone
        pass


class _Connections:
    """Answers the requests of every connection, at most max_requests at once."""

    def __init__(self, collector: Collector, basic_auth: BasicAuth | None, max_requests: int) -> None:
        self._collector = collector
        self._basic_auth = basic_auth
        self._max_requests = max_requests
        self._requests_in_flight = 0
        self._connections: dict[asyncio.Task[None], asyncio.StreamWriter] = {}

    def accept(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        # A task of its own rather than the streams' own, so that ending them is this server's to do.
        connection = asyncio.ensure_future(self._serve(reader, writer))
        self._connections[connection] = writer
        connection.add_done_callback(self._connections.pop)

    async def close_all(self) -> None:
        for connection, writer in self._connections.items():
            writer.transport.abort()
            connection.cancel()
        await asyncio.gather(*self._connections, return_exceptions=True)

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        deadline = _Deadline(writer.transport)
        buffer = bytearray()
        try:
            while True:
                deadline.in_seconds(READ_TIMEOUT_SECONDS)
                head = await _read_head(reader, buffer)
                if head is None:
                    break
                # The answer waits for a snapshot as long as the scrape allows.
                deadline.cancel()
                request = _parse_head(head)
                if self._requests_in_flight >= self._max_requests:
                    response = _text_response(HTTPStatus.SERVICE_UNAVAILABLE, "too many requests at once")
                    deadline.in_seconds(READ_TIMEOUT_SECONDS)
                    writer.write(response)
                    await writer.drain()
                else:
                    self._requests_in_flight += 1
                    try:
                        response = await self._answer(request)
                        deadline.in_seconds(READ_TIMEOUT_SECONDS)
                        writer.write(response)
                        await writer.drain()
                    finally:
                        self._requests_in_flight -= 1
                if not request.keep_alive:
                    await _linger(reader, writer, deadline)
                    break
        except _Refused as refused:
            writer.write(_text_response(refused.status, refused.text, close=True))
            await _linger(reader, writer, deadline)
        except OSError:
            pass  # a client gone, or cut off by the deadline: nobody to answer
        finally:
            deadline.in_seconds(READ_TIMEOUT_SECONDS)  # for a TLS client to acknowledge the closing
            writer.close()
            try:
                await writer.wait_closed()
            except OSError:
                pass
            deadline.cancel()

    async def _answer(self, request: _Request) -> bytes:
        close = not request.keep_alive
        if self._basic_auth is not None and not await asyncio.to_thread(
            self._basic_auth.authorised, request.fields.get("authorization")
        ):
            return _text_response(HTTPStatus.UNAUTHORIZED, "unauthorised", [_UNAUTHORISED], close)
        if request.method == "OPTIONS":
            return _response(HTTPStatus.OK, b"", [_ALLOWED_METHODS], close)
        if request.method != "GET":
            return _text_response(HTTPStatus.METHOD_NOT_ALLOWED, "use OPTIONS or GET", [_ALLOWED_METHODS], close)
        if urllib.parse.unquote(urllib.parse.urlsplit(request.target).path) == "/favicon.ico":  # asked by browsers
            return _response(HTTPStatus.OK, b"", close=close)
        scrape_timeout_seconds = _scrape_timeout_seconds(request.fields.get("x-prometheus-scrape-timeout-seconds"))
        # Leaves a quarter of a second, or half a shorter timeout, for the answer to reach the scraper.
        wait_seconds = max(scrape_timeout_seconds - 0.25, scrape_timeout_seconds / 2)
        try:
            body = await self._collector.exposition(wait_seconds)
        except TimeoutError:
            return _text_response(HTTPStatus.SERVICE_UNAVAILABLE, "no snapshot within the scrape timeout", close=close)
        except CollectionFailed as failure:
            return _text_response(HTTPStatus.INTERNAL_SERVER_ERROR, str(failure), close=close)
        headers = [("Content-Type", _CONTENT_TYPE)]
        if _accepts_gzip(request.fields.get("accept-encoding", "")):
            body = gzip.compress(body)
            headers.append(("Content-Encoding", "gzip"))
        return _response(HTTPStatus.OK, body, headers, close)


async def serve(
    address: str,
    port: int,
    collector: Collector,
    web_config: WebConfig | None,
    max_requests: int,
    on_listening: Callable[[str], None],
) -> None:
    """Serves scrapes until cancelled, over IPv4 or IPv6 as the address
    resolves first; on_listening gets the metrics URL once connections are
    taken. Raises OSError when it cannot listen."""
    family, _, _, _, socket_address = socket.getaddrinfo(
        address, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
    )[0]
    listener = socket.socket(family, socket.SOCK_STREAM)
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(socket_address)
    except OSError:
        listener.close()
        raise
    tls_context = web_config.tls_context if web_config is not None else None
    connections = _Connections(collector, web_config.basic_auth if web_config is not None else None, max_requests)
    server = await asyncio.start_server(
        connections.accept,
        sock=listener,
        backlog=LISTEN_BACKLOG,
        ssl=tls_context,
        ssl_handshake_timeout=READ_TIMEOUT_SECONDS if tls_context is not None else None,
    )
    try:
        host, bound_port = listener.getsockname()[:2]
        shown = f"[{host}]" if ":" in host else host
        on_listening(f"{'https' if tls_context is not None else 'http'}://{shown}:{bound_port}/metrics")
        await server.serve_forever()
    finally:
        server.close()
        await connections.close_all()


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


def _positive_seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not 0 < seconds < math.inf:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number of seconds")
    return seconds


def _regular_expression(text: str) -> re.Pattern[str]:
    try:
        return re.compile(text)
    except re.error as error:
        raise argparse.ArgumentTypeError(f"{text!r} is not a regular expression: {error}") from None


def _parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Serve a fresh hostprobe snapshot and the kernel's cumulative counters to every scrape "
        "in the Prometheus text format, on any path; or write them to a textfile collector's directory.",
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
    parser.add_argument(
        "--web-config-file",
        metavar="FILE",
        help="TLS and basic authentication from this web configuration file (the format of Prometheus's "
        "exporters); without one, plain HTTP open to anyone who can reach the port",
    )
    parser.add_argument(
        "--max-requests",
        type=_bounded_int(1, 10000),
        default=DEFAULT_MAX_REQUESTS,
        metavar="N",
        help="requests served at once; one more is answered 503 at once (default: %(default)s)",
    )
    parser.add_argument(
        "--textfile-directory",
        type=Path,
        metavar="DIR",
        help="write DIR/hostprobe.prom for node_exporter's textfile collector instead of serving, "
        "with --once or --every",
    )
    when = parser.add_mutually_exclusive_group()
    when.add_argument("--once", action="store_true", help="write the textfile once and exit")
    when.add_argument(
        "--every",
        type=_positive_seconds,
        metavar="SECONDS",
        help="write the textfile every SECONDS until SIGINT or SIGTERM",
    )
    arguments = parser.parse_args(argv)
    textfile_timing = arguments.once or arguments.every is not None
    if arguments.textfile_directory is not None and not textfile_timing:
        parser.error("--textfile-directory needs --once or --every")
    if arguments.textfile_directory is None and textfile_timing:
        parser.error("--once and --every need --textfile-directory")
    return arguments


def _raise_descriptor_limit() -> None:
    """Lets every connection the hard limit allows be open, as Go programs do."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def _show_listening(url: str) -> None:
    print(f"{PROGRAM}: serving {url}", file=sys.stderr, flush=True)


async def _serve_until_stopped(arguments: argparse.Namespace, web_config: WebConfig | None) -> int:
    main_task = asyncio.current_task()
    assert main_task is not None
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, main_task.cancel)
    collector = Collector(arguments.interval_ms, arguments.disk_device_exclude)
    await collector.start()
    try:
        await serve(arguments.address, arguments.port, collector, web_config, arguments.max_requests, _show_listening)
    except OSError as error:
        reason = error.strerror or str(error)
        print(f"{PROGRAM}: cannot listen on {arguments.address} port {arguments.port}: {reason}", file=sys.stderr)
        return 1
    finally:
        await collector.close()
    return 0


def run(argv: Sequence[str] | None) -> int:
    """Runs the exporter until SIGINT or SIGTERM, or writes the textfile;
    returns the exit status."""
    arguments = _parse_arguments(argv)
    if arguments.textfile_directory is not None:
        return run_textfile(
            arguments.textfile_directory, arguments.every, arguments.interval_ms, arguments.disk_device_exclude
        )
    web_config = None
    if arguments.web_config_file is not None:
        try:
            web_config = load_web_config(arguments.web_config_file)
        except WebConfigError as error:
            print(f"{PROGRAM}: {error}", file=sys.stderr)
            return 2
    _raise_descriptor_limit()
    try:
        return asyncio.run(_serve_until_stopped(arguments, web_config))
    except asyncio.CancelledError:  # by SIGINT or SIGTERM
        return 0
