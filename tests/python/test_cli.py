"""The hostprobe command: its output, its options, exit statuses and ways to end."""

import functools
import json
import math
import os
import pty
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import hostprobe
import hostprobe_counters  # the installed package, which the tree's command also takes: the tree has no native part
import pytest
from fake_machine import MODULE_DIR

SOURCE_DIR = str(Path(__file__).resolve().parents[2] / "python")
sys.path.insert(0, SOURCE_DIR)
import hostprobe_cli  # noqa: E402

PRELUDE = f"import sys, hostprobe_counters\nsys.path.insert(0, {SOURCE_DIR!r})\nimport hostprobe, hostprobe_cli\n"
COMMAND = [sys.executable, "-c", PRELUDE + "import runpy\nrunpy.run_module('hostprobe_cli', run_name='__main__')"]
# Output buffered, as by default: what a failed write leaves in the buffer is flushed again at exit.
ENV = dict(os.environ, PYTHONPATH=MODULE_DIR, PYTHONUNBUFFERED="")
# A shell starts background jobs with SIGINT ignored, which their children would inherit.
start = functools.partial(subprocess.Popen, env=ENV, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
run = functools.partial(subprocess.run, env=ENV, capture_output=True, text=True, timeout=60)
# Table rows, spaces squeezed, of each key the table shows in its own way; the last word is the value in JSON.
ROWS = [
    "timestamp 2023-11-14 22:13:20 +0000 1700000000.5",
    "cpu_usage_percent 37.50 % since boot 37.5",
    "cpu_idle_percent NaN since boot NaN",
    "run_queue_length 3.00 3.0",
    "context_switches_per_sec 1,234,567 since boot 1234567",
    "cpu_temp_celsius 45.5 °C 45.5",
    "throttle_status 0x80050005 under_voltage_now throttled_now under_voltage_occurred throttled_occurred 2147811333",
    "mem_total_bytes 7.68 GiB 8242626560",
    "mem_used_bytes 48.28 MiB 50626560",
    *(f"page_faults_{kind}_per_sec 0 since boot 0" for kind in ("minor", "major")),
    "uptime_seconds 1d 02:03:04 93784.5",
    "net_tx_bytes_per_sec 1.50 KiB/s over one pass 1536",
    "measure_clock 1500 MHz 1500398464",
]
SAMPLE = {row.split()[0]: json.loads(row.split()[-1]) for row in ROWS}


def test_json_line_and_table(monkeypatch, capsys):
    snapshot = {key: SAMPLE.get(key, 0.25) for key in hostprobe.get_metrics_once(1)}
    monkeypatch.setattr(hostprobe, "get_metrics_once", lambda interval_ms: snapshot)
    monkeypatch.setattr(time, "localtime", time.gmtime)
    assert (hostprobe_cli.main(["--json"]), hostprobe_cli.main([])) == (0, 0)
    json_line, *table = capsys.readouterr().out.splitlines()
    assert json.loads(json_line, parse_constant=pytest.fail) == snapshot | {"cpu_idle_percent": None}
    rows = {row.split()[0]: " ".join(row.split()) for row in table}
    assert (list(rows), [rows[key] for key in SAMPLE]) == (list(snapshot), ROWS)


def test_live_figures_from_the_second_frame_on(monkeypatch, capsys):
    no_rates = hostprobe_counters.rates(*[hostprobe_counters.read_counters()] * 2)  # None: no time between them
    readings = iter(range(8))

    def read_counters():  # three readings a run, then Ctrl-C
        if (number := next(readings)) % 4 == 3:
            raise KeyboardInterrupt
        return {"n": number}

    def rates(earlier, later):  # which readings it was given, and a NaN, in a tuple
        return no_rates | {"disks": {"pair": (earlier["n"], later["n"], math.nan)}}

    monkeypatch.setattr(hostprobe, "get_metrics_once", lambda interval_ms: SAMPLE)
    monkeypatch.setattr(hostprobe_counters, "read_counters", read_counters)
    monkeypatch.setattr(hostprobe_counters, "rates", rates)
    assert (hostprobe_cli.main(["--json", "--watch=0.01"]), hostprobe_cli.main(["--watch=0.01"])) == (130, 130)
    output = capsys.readouterr().out
    lines = [json.loads(line, parse_constant=pytest.fail) for line in output.splitlines()[:3]]
    lives = [line.pop("live", "absent") for line in lines]
    live = [json.loads(json.dumps(rates({"n": n}, {"n": n + 1})), parse_constant=lambda nan: None) for n in (0, 1)]
    assert (lines, lives) == ([SAMPLE | {"cpu_idle_percent": None}] * 3, ["absent", *live])
    first, *others = output.split("timestamp")[4:]  # the table's frames: live figures from the second on
    rows = {" ".join(row.split()) for frame in others for row in frame.partition(" s:\n")[2].splitlines() if row}
    assert "live figures come with the next frame" in first and "cpu busy n/a" in rows
    assert len(others) == 2 and all(row.endswith("n/a") for row in rows), output


@pytest.mark.parametrize("arguments", [["--json"], []])
@pytest.mark.parametrize("terminal", [False, True])
def test_watch_shows_fresh_snapshots_until_the_reader_leaves_or_ctrl_c(arguments, terminal):
    # Between two snapshots: a JSON line's end, or after a table a blank line or a terminal's redraw.
    newline = b"\r\n" if terminal else b"\n"
    between = b"}" + newline + b'{"' if arguments else newline + (b"\x1b[H\x1b[2J" if terminal else b"\n")
    reader, writer = pty.openpty() if terminal else os.pipe()
    child = start([*COMMAND, "--watch=0.01", "--interval-ms=10", *arguments], stdout=writer, stderr=subprocess.PIPE)
    os.close(writer)
    output = b""
    with open(reader, "rb", buffering=0) as source:
        while output.count(b"timestamp") < 4:
            output += source.read(65536) or pytest.fail(child.stderr.read().decode())  # ended early
        child.send_signal(signal.SIGINT) if terminal else source.close()
        status = child.wait(timeout=60)
    stamps = [float(stamp) for stamp in re.findall(rb"timestamp.*?([\d.]+)\r?[\n,]", output)][:3]
    ended = (status, child.stderr.read(), output.split(b"timestamp")[2].endswith(between))
    assert ended == (130 if terminal else 0, b"", True) and stamps == sorted(set(stamps)), output


def test_watch_keeps_its_pace_and_a_call_outlasting_the_period_starts_the_next_at_once(monkeypatch):
    starts = []

    def slow_call(interval_ms):
        starts.append(time.monotonic())
        if len(starts) == 5:
            raise KeyboardInterrupt
        time.sleep(0.3 if len(starts) == 1 else 0.1)
        return SAMPLE

    monkeypatch.setattr(hostprobe, "get_metrics_once", slow_call)
    assert hostprobe_cli.main(["--json", "--watch=0.2"]) == 130
    late = [start - starts[0] - due for start, due in zip(starts, [0, 0.3, 0.5, 0.7, 0.9], strict=True)]
    assert all(-0.01 < seconds < 0.15 for seconds in late), late


@pytest.mark.parametrize(
    "argument",
    ["--interval-ms=0", "--interval-ms=1.5", f"--interval-ms={2**64}", "--watch=0", "--watch=nan", "--watch=3e9"],
)
def test_usage_errors(argument):
    done = run([*COMMAND, argument])
    assert (done.returncode, done.stdout, done.stderr.count("\n"), done.stderr[:16]) == (2, "", 2, "usage: hostprobe")


@pytest.mark.parametrize(
    ("code", "arguments", "redirect", "message"),
    [
        ("hostprobe.get_metrics_once = {}.__getitem__", ["--interval-ms=250"], "", "250"),  # KeyError(interval_ms)
        ("", [], ">&-", "cannot write the output: Bad file descriptor"),
        ("", [], ">/dev/full", "cannot write the output: No space left on device"),
        ("", ["--json", "--watch=0.01"], ">/dev/full", "cannot write the output: No space left on device"),
    ],
)
def test_a_raising_call_or_unwritable_output_gives_one_line_and_status_1(code, arguments, redirect, message):
    program = f"{PRELUDE}{code}\nexit(hostprobe_cli.main({arguments!r}))"
    done = run(["sh", "-c", f'exec "$@" {redirect}', "sh", sys.executable, "-c", program])
    assert (done.returncode, done.stdout, done.stderr) == (1, "", f"hostprobe: {message}\n")
