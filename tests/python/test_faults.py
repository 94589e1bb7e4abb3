"""Misbehaving tools, long runs, many threads, signal storms and a runtime that
cannot start: every call completes with the right values and gives back what
it took (memory, descriptors, threads, children)."""

import os
import re
import shutil
import subprocess
import sys

import pytest
from fake_machine import MODULE_DIR, json_child, tool_path

TOOL = """#!/bin/sh
case "$1" in
  get_throttled) answer="throttled=0x50005" ;;
  *) answer="frequency(48)=1500000000" ;;
esac
{fault}
"""
ANSWERS = [0x50005, 1500000000]
RESOURCES = """
def resources():
    with open("/proc/self/status") as status:
        rss_kib = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    try:
        children = os.waitpid(-1, os.WNOHANG) is not None
    except ChildProcessError:
        children = False
    return {"rss_kib": rss_kib, "fds": sorted(os.listdir("/proc/self/fd")),
            "threads": len(os.listdir("/proc/self/task")), "children": children}
before = resources()
"""


def env_with(tmp_path, fault: str | None = 'echo "$answer"') -> dict[str, str]:
    return dict(os.environ, PATH=tool_path(tmp_path / "bin", None if fault is None else TOOL.format(fault=fault)))


# The 10 MiB are blanks after a well-formed answer: read in full they would
# still give the answer.
@pytest.mark.parametrize(("fault", "values"), [
    ('echo "$answer"', ANSWERS),
    ("head -c 1000000 /dev/zero >&2; echo \"$answer\"", ANSWERS),
    ('echo "$answer"; exit 1', [0, 0]),
    ('echo "$answer"; kill -9 $$', [0, 0]),
    ("exec >&-; sleep 1", [0, 0]),
    ("echo \"$answer\"; head -c 10485760 /dev/zero | tr '\\0' ' '", [0, 0]),
    ('echo "$answer"; exec sleep 30', [0, 0]),
])
def test_misbehaving_tool(tmp_path, fault, values):
    # One pass: two queries of at most 2 s each, and a margin.
    report = json_child(RESOURCES + """
import time
start = time.monotonic()
result = hostprobe.get_metrics_once(60000)
print(json.dumps({"before": before, "after": resources(), "seconds": time.monotonic() - start,
                  "values": [result["throttle_status"], result["measure_clock"]]}))
""", env_with(tmp_path, fault))
    assert report["values"] == values and report["seconds"] < 10
    assert report["after"]["fds"] == report["before"]["fds"]
    assert report["after"]["threads"] == 1 and not report["after"]["children"]


@pytest.mark.parametrize(("fault", "calls"), [(None, 5000), ('echo "$answer"', 300)], ids=["no tool", "tool"])
def test_many_calls_give_everything_back(tmp_path, fault, calls):
    report = json_child(RESOURCES + f"""
for _ in range(200):
    hostprobe.get_metrics_once(1000)
before = resources()
for _ in range({calls}):
    hostprobe.get_metrics_once(1000)
print(json.dumps({{"before": before, "after": resources()}}))
""", env_with(tmp_path, fault))
    before, after = report["before"], report["after"]
    assert after["rss_kib"] - before["rss_kib"] < 1024
    assert (after["fds"], after["threads"], after["children"]) == (before["fds"], 1, False)


def test_threads_at_the_shortest_period_get_first_pass_snapshots(tmp_path):
    # A pass with the tool takes longer than 1 ms, so ticks are always
    # overdue; a later pass would count only since the pass before.
    report = json_child("""
import threading
def ctxt():
    with open("/proc/stat") as stat:
        return next(int(line.split()[1]) for line in stat if line.startswith("ctxt "))
problems = []
def caller():
    for _ in range(15):
        before = ctxt()
        result = hostprobe.get_metrics_once(1)
        if result["context_switches_per_sec"] < before or result["throttle_status"] != 0x50005:
            problems.append(result)
threads = [threading.Thread(target=caller) for _ in range(8)]
[thread.start() for thread in threads]
[thread.join() for thread in threads]
print(json.dumps({"problems": problems}))
""", env_with(tmp_path))
    assert report["problems"] == []


@pytest.mark.parametrize(("fault", "calls"), [(None, 3000), ('echo "$answer"', 150)], ids=["no tool", "tool"])
def test_calls_complete_under_a_signal_storm(tmp_path, fault, calls):
    report = json_child(f"""
import signal
calm = hostprobe.get_metrics_once(1000)
signals = 0
def count(signum, frame):
    global signals
    signals += 1
signal.signal(signal.SIGALRM, count)
signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
keys = ["mem_total_bytes", "throttle_status", "measure_clock"]
wrong = [result for result in (hostprobe.get_metrics_once(1000) for _ in range({calls}))
         if [result[key] for key in keys] != [calm[key] for key in keys]]
signal.setitimer(signal.ITIMER_REAL, 0, 0)
print(json.dumps({{"signals": signals, "wrong": wrong, "firmware": [calm[key] for key in keys[1:]]}}))
""", env_with(tmp_path, fault))
    assert report["wrong"] == [] and report["signals"] > 0
    assert report["firmware"] == (ANSWERS if fault else [0, 0])


@pytest.mark.skipif(os.geteuid() != 0, reason="switching to an unprivileged user needs root")
def test_runtime_that_cannot_start_raises_the_os_error_then_recovers():
    # Threads count against RLIMIT_NPROC, which root is exempt from: drop to
    # `nobody`, then allow only the tasks `nobody` already has.
    report = json_child("""
import pwd, resource
nobody = pwd.getpwnam("nobody")
os.setgroups([]); os.setgid(nobody.pw_gid); os.setuid(nobody.pw_uid)
def uid_of(task):
    try:
        with open(task + "/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("Uid:"))
    except OSError:
        return None
tasks = [f"/proc/{pid}/task/{tid}" for pid in filter(str.isdigit, os.listdir("/proc"))
         for tid in (os.listdir(f"/proc/{pid}/task") if os.path.isdir(f"/proc/{pid}/task") else [])]
_, hard = resource.getrlimit(resource.RLIMIT_NPROC)
resource.setrlimit(resource.RLIMIT_NPROC, (sum(uid_of(task) == nobody.pw_uid for task in tasks), hard))
error = None
try:
    hostprobe.get_metrics_once(1000)
except RuntimeError as failure:
    error = str(failure)
resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))
print(json.dumps({"error": error, "keys": len(hostprobe.get_metrics_once(1000))}))
""")
    assert report == {"error": "Resource temporarily unavailable (os error 11)", "keys": 26}


@pytest.mark.parametrize("with_tool", [False, True])
def test_a_process_is_started_only_for_the_tool(tmp_path, with_tool):
    # A thread's clone carries CLONE_THREAD, a new process's does not.
    if shutil.which("strace") is None:
        pytest.skip("strace is not installed")
    path = tool_path(tmp_path / "bin", TOOL.format(fault='echo "$answer"') if with_tool else None)
    log = tmp_path / "trace"
    subprocess.run(["strace", "-f", "-qq", "-o", str(log), "-e", "trace=execve,clone,clone3,fork,vfork",
                    sys.executable, "-c", "import hostprobe; hostprobe.get_metrics_once(3600000)"],
                   check=True, timeout=60, env=dict(os.environ, PATH=path, PYTHONPATH=MODULE_DIR))
    calls = [line for line in log.read_text().splitlines() if "resumed>" not in line]
    execs = [line for line in calls if "execve(" in line]
    processes = [line for line in calls if re.search(r"\b(clone3?|v?fork)\(", line) and "CLONE_THREAD" not in line]
    assert (len(execs), len(processes)) == ((3, 2) if with_tool else (1, 0))
