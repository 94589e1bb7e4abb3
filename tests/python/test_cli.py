"""The hostprobe command: its output on a fake machine, its options, exit statuses and ways to end."""

import json
import os
import pty
import signal
import subprocess
import sys
from pathlib import Path

import hostprobe
import pytest
from fake_machine import MODULE_DIR, FakeMachine, python_child

SOURCE_DIR = str(Path(__file__).resolve().parents[2] / "python")
COMMAND = [sys.executable, "-m", "hostprobe_cli"]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([SOURCE_DIR, MODULE_DIR]))
# The tool sets throttle bits 0, 2, 16, 18 and the unnamed 31.
MACHINE = FakeMachine(
    proc={
        "meminfo": "MemTotal: 8049440 kB\nMemFree: 8000000 kB\n",
        "uptime": "93784.5 1.0\n",
        "loadavg": "0.5 0.25 0.125 3/100 1\n",
    },
    sys_class={"thermal/thermal_zone0/temp": "45500\n"},
    vcgencmd='#!/bin/sh\ncase "$*" in get_throttled) echo throttled=0x80050005 ;; *) echo "x=1500398464" ;; esac\n',
)
PERCENT_KEYS = [key for key in hostprobe.get_metrics_once(1000) if key.endswith("_percent")]
OTHER_ROWS = [
    "run_queue_length 3.00 3.0",
    "context_switches_per_sec 0",
    "cpu_temp_celsius 45.5 °C 45.5",
    "throttle_status 0x80050005 under_voltage_now throttled_now under_voltage_occurred throttled_occurred 2147811333",
    "mem_total_bytes 7.68 GiB 8242626560",
    "mem_used_bytes 48.28 MiB 50626560",
    "page_faults_minor_per_sec 0",
    "page_faults_major_per_sec 0",
    "uptime_seconds 1d 02:03:04 93784.5",
    "load_avg_1 0.50 0.5",
    "load_avg_5 0.25",
    "load_avg_15 0.12 0.125",
    *(f"{way}_bytes_per_sec 0 B/s 0" for way in ("disk_read", "disk_write", "net_rx", "net_tx")),
    "measure_clock 1500 MHz 1500398464",
]


@pytest.mark.parametrize(
    ("stat", "percent_rows"),
    [
        ("", [f"{key} NaN" for key in PERCENT_KEYS]),
        (
            "cpu  1 0 2 5 0 0 0 0\n",
            [
                "cpu_usage_percent 37.50 % 37.5",
                "cpu_user_percent 12.50 % 12.5",
                "cpu_system_percent 25.00 % 25.0",
                "cpu_idle_percent 62.50 % 62.5",
                *(f"{key} 0.00 % 0.0" for key in PERCENT_KEYS[4:]),
            ],
        ),
    ],
)
def test_json_line_and_table_on_a_fake_machine(stat, percent_rows):
    code = (
        f"sys.path.insert(0, {SOURCE_DIR!r})\nimport hostprobe_cli\nprint(json.dumps(hostprobe.get_metrics_once"
        "(1000)), flush=True)\nhostprobe_cli.main(['--json'])\nhostprobe_cli.main([])"
    )
    done = python_child(code, machine=FakeMachine(MACHINE.proc | {"stat": stat}, MACHINE.sys_class, MACHINE.vcgencmd))
    assert done.returncode == 0 and done.stderr == ""
    module_json, command_json, *table = done.stdout.splitlines()
    module, command = json.loads(module_json), json.loads(command_json, parse_constant=pytest.fail)
    assert list(command.items())[1:] == [(key, None if value != value else value) for key, value in module.items()][1:]
    assert table[0].startswith("timestamp ") and [" ".join(r.split()) for r in table[1:]] == percent_rows + OTHER_ROWS


@pytest.mark.parametrize("arguments", [["--json"], []])
@pytest.mark.parametrize(("end", "status"), [("close the pipe", 0), ("interrupt", 130)])
def test_watch_appends_snapshots_until_the_reader_leaves_or_ctrl_c(arguments, end, status):
    child = subprocess.Popen(
        [*COMMAND, "--watch", "0.01", "--interval-ms", "10", *arguments],
        env=ENV,
        text=True,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    lines = [child.stdout.readline() for _ in range(81)]  # 81 JSON lines, or three tables with a blank line after each
    stamps = [json.loads(line)["timestamp"] if arguments else float(line.split()[-1]) for line in lines[::27]]
    child.stdout.close() if end == "close the pipe" else child.send_signal(signal.SIGINT)
    assert child.wait(timeout=60) == status and child.stderr.read() == "" and stamps == sorted(set(stamps))


@pytest.mark.parametrize(("arguments", "redrawn"), [([], True), (["--json"], False)])
def test_a_terminal_gets_the_table_redrawn_in_place(arguments, redrawn):
    leader, follower = pty.openpty()
    child = subprocess.Popen([*COMMAND, "--watch", "0.05", *arguments], env=ENV, stdout=follower)
    os.close(follower)
    output = b""
    while output.count(b"timestamp") < 2:
        output += os.read(leader, 65536)
    child.send_signal(signal.SIGINT)
    status = child.wait(timeout=60)
    os.close(leader)
    assert status == 130 and (output.count(b"\x1b[H\x1b[2J") >= 2) == redrawn


@pytest.mark.parametrize(
    "argument",
    ["--interval-ms=0", "--interval-ms=1.5", f"--interval-ms={2**64}", "--watch=0", "--watch=nan", "--watch=inf"],
)
def test_usage_errors(argument):
    done = subprocess.run([*COMMAND, argument], env=ENV, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr.count("\n"), done.stderr[:16]) == (2, "", 2, "usage: hostprobe")


def test_a_raising_call_gives_one_line_and_status_1():
    code = "import hostprobe, hostprobe_cli\nhostprobe.get_metrics_once = {}.__getitem__  # KeyError(interval_ms)\n"
    done = subprocess.run(
        [sys.executable, "-c", code + "exit(hostprobe_cli.main(['--interval-ms=250']))"],
        env=ENV,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (done.returncode, done.stdout, done.stderr) == (1, "", "hostprobe: 250\n")
