"""Misbehaving tools, long runs, threads, signals, no threads to be had: calls stay right and give everything back."""

import os
import re
import shutil
import subprocess
import sys
import time

import pytest
from fake_machine import MODULE_DIR, json_child, tool_path

# Answers only if started as by Python's subprocess: no signal blocked, SIGPIPE and SIGXFSZ not ignored.
TOOL = """#!/bin/sh
case "$1" in
  get_throttled) answer="throttled=0x50005" ;;
  *) answer="frequency(48)=1500000000" ;;
esac
while read -r field mask; do
  case $field in SigBlk:) blocked=$mask ;; SigIgn:) ignored=$mask ;; esac
done < /proc/$$/status
[ $((0x$blocked)) -eq 0 ] && [ $((0x$ignored & 0x1001000)) -eq 0 ] || answer=wrong
{fault}
"""
ANSWERS = [0x50005, 1500000000]


def env_with(tmp_path, fault: str | None = 'echo "$answer"') -> dict[str, str]:
    return dict(os.environ, PATH=tool_path(tmp_path / "bin", None if fault is None else TOOL.format(fault=fault)))


# Long runs, then single calls with tools that misbehave; the 10 MiB are
# blanks after a well-formed answer, which read in full would still give it.
@pytest.mark.parametrize(
    ("fault", "calls", "values"),
    [
        (None, 5000, [0, 0]),
        ('echo "$answer"', 300, ANSWERS),
        ('head -c 1000000 /dev/zero >&2; echo "$answer"', 1, ANSWERS),
        ('echo "$answer"; exit 1', 1, [0, 0]),
        ('echo "$answer"; kill -9 $$', 1, [0, 0]),
        ("exec >&-; sleep 1", 1, [0, 0]),
        ("echo \"$answer\"; head -c 10485760 /dev/zero | tr '\\0' ' '", 1, [0, 0]),
        ('echo "$answer"; exec sleep 30', 1, [0, 0]),
    ],
)
def test_calls_under_a_signal_storm_are_right_and_give_everything_back(tmp_path, fault, calls, values):
    report = json_child(
        f"""
import signal, time
def resources():
    with open("/proc/self/status") as status:
        rss_kib = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    try:
        children = os.waitpid(-1, os.WNOHANG) is not None
    except ChildProcessError:
        children = False
    return {{"rss_kib": rss_kib, "fds": sorted(os.listdir("/proc/self/fd")),
            "threads": len(os.listdir("/proc/self/task")), "children": children}}
threads_at_start = len(os.listdir("/proc/self/task"))  # an emulator may have threads of its own
for _ in range(200 if {calls} > 1 else 0):
    hostprobe.get_metrics_once(1000)
before, signals, values, slowest = resources(), 0, set(), 0.0
def count(signum, frame):
    global signals
    signals += 1
signal.signal(signal.SIGALRM, count)
signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
for _ in range({calls}):
    start = time.monotonic()
    result = hostprobe.get_metrics_once(60000)
    slowest = max(slowest, time.monotonic() - start)
    values.add((result["mem_total_bytes"], result["throttle_status"], result["measure_clock"]))
signal.setitimer(signal.ITIMER_REAL, 0, 0)
# A joined thread leaves the task list a moment after the join returns.
settled = time.monotonic() + 5
while len(os.listdir("/proc/self/task")) > threads_at_start and time.monotonic() < settled:
    time.sleep(0.01)
print(json.dumps({{"signals": signals, "values": list(values), "slowest": slowest,
                  "threads_at_start": threads_at_start, "before": before, "after": resources()}}))
""",
        env_with(tmp_path, fault),
    )
    ((mem_total, *firmware),) = report["values"]  # the same for every call
    assert mem_total > 0 and firmware == values and report["signals"] > 0
    assert report["slowest"] < 10  # two queries of at most 2 s each, and a margin
    before, after = report["before"], report["after"]
    # Under user-mode emulation the resident memory is the emulator's, which
    # keeps what every thread ever started cost it.
    assert calls == 1 or "EMULATOR" in os.environ or after["rss_kib"] - before["rss_kib"] < 1024
    assert (after["fds"], after["threads"], after["children"]) == (before["fds"], report["threads_at_start"], False)


def test_threads_calling_at_the_shortest_period(tmp_path):
    # A pass with the tool takes longer than 1 ms, so ticks are always overdue.
    report = json_child(
        """
import threading
results = []
def caller():
    results.extend(hostprobe.get_metrics_once(1)["throttle_status"] for _ in range(15))
threads = [threading.Thread(target=caller) for _ in range(8)]
[thread.start() for thread in threads]
[thread.join() for thread in threads]
print(json.dumps({"throttle": sorted(set(results)), "calls": len(results)}))
""",
        env_with(tmp_path),
    )
    assert report == {"throttle": [0x50005], "calls": 120}


@pytest.mark.skipif(os.geteuid() != 0, reason="switching to an unprivileged user needs root")
def test_runtime_that_cannot_start_raises_the_os_error_then_recovers():
    # Threads count against RLIMIT_NPROC, which root is exempt from.
    report = json_child("""
import pwd, resource
nobody = pwd.getpwnam("nobody")
os.setgroups([]); os.setgid(nobody.pw_gid); os.setuid(nobody.pw_uid)
_, hard = resource.getrlimit(resource.RLIMIT_NPROC)
resource.setrlimit(resource.RLIMIT_NPROC, (0, hard))
try:
    error = str(hostprobe.get_metrics_once(1000))
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
    path = tool_path(tmp_path / "bin", "#!/bin/sh\necho throttled=0x1\n" if with_tool else None)
    log = tmp_path / "trace"
    subprocess.run(
        [
            "strace",
            "-f",
            "-qq",
            "-o",
            str(log),
            "-e",
            "trace=execve,clone,clone3,fork,vfork",
            sys.executable,
            "-c",
            "import hostprobe; hostprobe.get_metrics_once(3600000)",
        ],
        check=True,
        timeout=60,
        env=dict(os.environ, PATH=path, PYTHONPATH=MODULE_DIR),
    )
    calls = [line for line in log.read_text().splitlines() if "resumed>" not in line]
    execs = [line for line in calls if "execve(" in line]
    processes = [line for line in calls if re.search(r"\b(clone3?|v?fork)\(", line) and "CLONE_THREAD" not in line]
    assert (len(execs), len(processes)) == ((3, 2) if with_tool else (1, 0))


def test_the_tool_inherits_no_descriptor_and_its_helpers_end_with_it(tmp_path):
    # The tool writes to descriptor 9 if it has it, starts a helper, then hangs.
    helpers = tmp_path / "helpers"
    fault = f"{{ echo leaked >&9; }} 2>/dev/null; sleep 60 & echo $! >> {helpers}; exec sleep 60"
    report = json_child(
        """
read_end, write_end = os.pipe()
os.dup2(write_end, 9)  # inheritable, as a caller's socket or pipe may be
os.close(write_end)
hostprobe.get_metrics_once(60000)
os.close(9)
print(json.dumps({"leaked": os.read(read_end, 100).decode()}))
""",
        env_with(tmp_path, fault),
    )
    assert report["leaked"] == ""

    pids = helpers.read_text().split()

    def states():
        return subprocess.run(
            ["ps", "-o", "stat=", "-p", ",".join(pids)], capture_output=True, text=True
        ).stdout.split()

    deadline = time.monotonic() + 5  # SIGKILL takes effect asynchronously
    while any(not state.startswith("Z") for state in states()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert len(pids) == 2 and all(state.startswith("Z") for state in states())  # gone, or zombies not yet reaped
