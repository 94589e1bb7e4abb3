"""Long runs, concurrent callers, signal storms, a runtime that cannot start
and firmware tools that misbehave: every call completes, with the right
values, and gives back what it took (memory, descriptors, threads,
children)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import fake_machine
import pytest

SYSTEM_PATH = "/usr/local/bin:/usr/bin:/bin"
THROTTLE_ANSWER = 0x50005
CLOCK_ANSWER = 1500000000

# A stand-in vcgencmd: the well-formed answer to each query, then what the
# fault adds.
TOOL_TEMPLATE = """#!/bin/sh
case "$1" in
  get_throttled) answer="throttled=0x50005" ;;
  *) answer="frequency(48)=1500000000" ;;
esac
{fault}
"""
WELL_BEHAVED = 'echo "$answer"'


def python_child(code: str, env: dict[str, str] | None = None, timeout: float = 120) -> dict:
    """Runs `code` in a fresh interpreter that imports the module under test;
    the code prints one JSON object, which is returned."""
    paths = [p for p in sys.path if p]
    program = f"import sys\nsys.path[:0] = {paths!r}\nimport json, os, hostprobe\n{code}"
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=timeout, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def tool_dir(tmp_path: Path, fault: str) -> Path:
    directory = tmp_path / "bin"
    directory.mkdir(exist_ok=True)
    tool = directory / "vcgencmd"
    tool.write_text(TOOL_TEMPLATE.format(fault=fault))
    tool.chmod(0o755)
    return directory


def env_with_tool(tmp_path: Path, fault: str = WELL_BEHAVED) -> dict[str, str]:
    return dict(os.environ, PATH=f"{tool_dir(tmp_path, fault)}:{SYSTEM_PATH}")


def env_without_tool(tmp_path: Path) -> dict[str, str]:
    empty = tmp_path / "empty"
    empty.mkdir()
    return dict(os.environ, PATH=f"{empty}:{SYSTEM_PATH}")


RESOURCES = """
def resources():
    with open("/proc/self/status") as status:
        rss_kib = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    try:
        os.waitpid(-1, os.WNOHANG)
        children = True
    except ChildProcessError:
        children = False
    return {"rss_kib": rss_kib, "fds": sorted(os.listdir("/proc/self/fd")),
            "threads": len(os.listdir("/proc/self/task")), "children": children}
"""


@pytest.mark.parametrize("with_tool, calls", [(False, 20_000), (True, 1_000)], ids=["no tool", "tool"])
def test_many_calls_give_back_memory_descriptors_threads_and_children(tmp_path, with_tool, calls):
    env = env_with_tool(tmp_path) if with_tool else env_without_tool(tmp_path)
    report = python_child(
        RESOURCES
        + f"""
for _ in range(200):
    hostprobe.get_metrics_once(1000)
before = resources()
for _ in range({calls}):
    last = hostprobe.get_metrics_once(1000)
after = resources()
print(json.dumps({{"before": before, "after": after, "throttle": last["throttle_status"]}}))
""",
        env=env,
    )
    before, after = report["before"], report["after"]
    assert report["throttle"] == (THROTTLE_ANSWER if with_tool else 0)
    assert after["rss_kib"] - before["rss_kib"] < 1024
    assert after["fds"] == before["fds"]
    assert after["threads"] == before["threads"] == 1
    assert not after["children"]


def test_eight_threads_at_the_shortest_period_get_first_pass_snapshots(tmp_path):
    # With the tool on PATH a pass takes longer than the 1 ms period, so the
    # sampler always has overdue ticks. A snapshot of a later pass would
    # hold counts since the previous pass, far below the counts since boot.
    report = python_child(
        """
import threading

def counter(path, label):
    with open(path) as text:
        return next(int(line.split()[1]) for line in text if line.startswith(label))

problems = []
def caller():
    for _ in range(15):
        ctxt_before = counter("/proc/stat", "ctxt ")
        faults_before = counter("/proc/vmstat", "pgfault ")
        result = hostprobe.get_metrics_once(1)
        if len(result) != 26:
            problems.append("keys")
        if result["context_switches_per_sec"] < ctxt_before:
            problems.append(("ctxt", ctxt_before, result["context_switches_per_sec"]))
        if result["page_faults_minor_per_sec"] < faults_before:
            problems.append(("pgfault", faults_before, result["page_faults_minor_per_sec"]))
        if (result["throttle_status"], result["measure_clock"]) != (0x50005, 1500000000):
            problems.append(("firmware", result["throttle_status"], result["measure_clock"]))

threads = [threading.Thread(target=caller) for _ in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(json.dumps({"problems": problems}))
""",
        env=env_with_tool(tmp_path),
        timeout=120,
    )
    assert report["problems"] == []


@pytest.mark.skipif(os.geteuid() != 0, reason="switching to an unprivileged user needs root")
def test_runtime_that_cannot_start_raises_the_os_error_then_recovers():
    # Threads count against RLIMIT_NPROC, which root is exempt from: the
    # child drops to `nobody` after importing the module (which root's
    # home holds), then sets the limit to the tasks `nobody` already has.
    report = python_child(
        """
import pwd, resource

nobody = pwd.getpwnam("nobody")
os.setgroups([])
os.setgid(nobody.pw_gid)
os.setuid(nobody.pw_uid)

def tasks_of(uid):
    count = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            for tid in os.listdir(f"/proc/{pid}/task"):
                with open(f"/proc/{pid}/task/{tid}/status") as status:
                    real_uid = next(int(line.split()[1]) for line in status if line.startswith("Uid:"))
                count += real_uid == uid
        except (FileNotFoundError, ProcessLookupError, PermissionError):
            pass
    return count

_, hard = resource.getrlimit(resource.RLIMIT_NPROC)
resource.setrlimit(resource.RLIMIT_NPROC, (tasks_of(nobody.pw_uid), hard))
try:
    hostprobe.get_metrics_once(1000)
    error = None
except RuntimeError as failure:
    error = str(failure)
resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))
print(json.dumps({"error": error, "keys": len(hostprobe.get_metrics_once(1000))}))
"""
    )
    assert report["error"] == "Resource temporarily unavailable (os error 11)"
    assert report["keys"] == 26


@pytest.mark.parametrize("with_tool, calls", [(False, 3_000), (True, 150)], ids=["no tool", "tool"])
def test_calls_complete_with_right_values_under_a_signal_storm(tmp_path, with_tool, calls):
    env = env_with_tool(tmp_path) if with_tool else env_without_tool(tmp_path)
    report = python_child(
        f"""
import signal

with open("/proc/meminfo") as meminfo:
    mem_total = next(int(line.split()[1]) * 1024 for line in meminfo if line.startswith("MemTotal:"))
calm = hostprobe.get_metrics_once(1000)
shape = [(key, type(value).__name__) for key, value in calm.items()]

signals = 0
def count(signum, frame):
    global signals
    signals += 1

signal.signal(signal.SIGALRM, count)
signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
wrong = []
for _ in range({calls}):
    result = hostprobe.get_metrics_once(1000)
    if [(key, type(value).__name__) for key, value in result.items()] != shape:
        wrong.append("shape")
    elif result["mem_total_bytes"] != mem_total:
        wrong.append(("mem_total_bytes", result["mem_total_bytes"]))
    elif (result["throttle_status"], result["measure_clock"]) != (calm["throttle_status"], calm["measure_clock"]):
        wrong.append(("firmware", result["throttle_status"], result["measure_clock"]))
signal.setitimer(signal.ITIMER_REAL, 0, 0)
print(json.dumps({{"signals": signals, "wrong": wrong, "firmware": [calm["throttle_status"], calm["measure_clock"]]}}))
""",
        env=env,
    )
    assert report["wrong"] == []
    assert report["signals"] > 0
    assert report["firmware"] == ([THROTTLE_ANSWER, CLOCK_ANSWER] if with_tool else [0, 0])


# Each fault gives 0 for both queries. The 10 MiB are blanks after a
# well-formed answer: read in full they would still give the answer.
TOOL_FAULTS = {
    "killed by a signal": 'echo "$answer"; kill -9 $$',
    "stdout closed, still running": "exec >&-; sleep 1",
    "10 MiB of output": "echo \"$answer\"; head -c 10485760 /dev/zero | tr '\\0' ' '",
    "hanging": 'echo "$answer"; exec sleep 30',
}
CASES = [(WELL_BEHAVED, THROTTLE_ANSWER, CLOCK_ANSWER)] + [(fault, 0, 0) for fault in TOOL_FAULTS.values()]
CASE_IDS = ["well behaved"] + list(TOOL_FAULTS)

# One pass: two queries, each abandoned after 2 s at most, and a margin. A
# bound on a hang, not a speed requirement. The period is longer than such
# a pass, so that no second pass starts before the call shuts its runtime
# down.
CALL_BOUND_SECONDS = 10

TIMED_CALL = """
import time
start = time.monotonic()
result = hostprobe.get_metrics_once(60000)
seconds = time.monotonic() - start
"""


@pytest.mark.parametrize("fault, throttle, clock", CASES, ids=CASE_IDS)
def test_misbehaving_tool_on_a_fake_machine(fault, throttle, clock):
    machine = fake_machine.FakeMachine(
        proc={"meminfo": "MemTotal: 1000 kB\nMemFree: 200 kB\n"}, vcgencmd=TOOL_TEMPLATE.format(fault=fault)
    )
    done = fake_machine.run_on(
        machine,
        "import json\n"
        + TIMED_CALL
        + 'print(json.dumps([seconds, result["throttle_status"], result["measure_clock"], result["mem_total_bytes"]]))',
    )
    assert done.returncode == 0, done.stderr
    seconds, *values = json.loads(done.stdout)
    assert values == [throttle, clock, 1024000]
    assert seconds < CALL_BOUND_SECONDS


@pytest.mark.parametrize("fault, throttle, clock", CASES, ids=CASE_IDS)
def test_misbehaving_tool_leaves_no_descriptor_zombie_or_thread(tmp_path, fault, throttle, clock):
    # Outside any namespace, so that /proc/self is the real one.
    report = python_child(
        RESOURCES
        + "before = resources()\n"
        + TIMED_CALL
        + 'print(json.dumps({"before": before, "after": resources(), "seconds": seconds,'
        + ' "values": [result["throttle_status"], result["measure_clock"]]}))',
        env=env_with_tool(tmp_path, fault),
    )
    assert report["values"] == [throttle, clock]
    assert report["seconds"] < CALL_BOUND_SECONDS
    assert report["after"]["fds"] == report["before"]["fds"]
    assert report["after"]["threads"] == 1
    assert not report["after"]["children"]
