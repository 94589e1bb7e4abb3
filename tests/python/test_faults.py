"""Misbehaving tools, long runs, threads, signals, a killed caller, no threads to be had: calls stay right and clean."""

import json
import os
import signal
import subprocess
import time

import pytest
from fake_machine import json_child, python_child, python_command, tool_path

# Answers only if started as by Python's subprocess: no signal blocked, SIGPIPE and SIGXFSZ not ignored, and no
# descriptor but the standard streams (the caller has descriptor 9 open, inheritable, as its socket or pipe may be).
TOOL = """#!/bin/sh
case "$1" in
  get_throttled) answer="throttled=0x50005" ;;
  *) answer="frequency(48)=1500000000" ;;
esac
while read -r field mask; do
  case $field in SigBlk:) blocked=$mask ;; SigIgn:) ignored=$mask ;; esac
done < /proc/$$/status
[ $((0x$blocked)) -eq 0 ] && [ $((0x$ignored & 0x1001000)) -eq 0 ] && [ ! -e /proc/$$/fd/9 ] || answer=wrong
"""
ANSWERS = [0x50005, 1500000000]


def env_with(tmp_path, fault: str | None = 'echo "$answer"') -> dict[str, str]:
    path = tool_path(tmp_path / "bin", None if fault is None else TOOL + fault)
    return dict(os.environ, PATH=path, HELPERS=str(tmp_path / "helpers"))


def running(pids: list[str], seconds: float = 5) -> list[str]:
    """Those of `pids` neither gone nor zombies after up to `seconds`, as a kill takes effect asynchronously."""
    give_up = time.monotonic() + seconds
    while True:
        ps = subprocess.run(["ps", "-o", "pid=,stat=", "-p", ",".join(pids)], capture_output=True, text=True)
        alive = [pid for pid, state in map(str.split, ps.stdout.splitlines()) if not state.startswith("Z")]
        if not alive or time.monotonic() > give_up:
            return alive
        time.sleep(0.05)


# `calls` calls in each of `threads` threads while SIGALRM interrupts every system call, and the resources around them.
STORM = r"""
import pathlib, re, signal, threading, time
threads, calls, interval_ms = json.loads(sys.argv[1])
os.dup2(os.pipe()[1], 9)
def resources():
    try:
        children = os.waitpid(-1, os.WNOHANG) is not None
    except ChildProcessError:
        children = False
    return {"rss_kib": int(re.search(r"VmRSS:\s+(\d+)", pathlib.Path("/proc/self/status").read_text())[1]),
            "fds": sorted(os.listdir("/proc/self/fd")), "threads": len(os.listdir("/proc/self/task")),
            "children": children}
threads_at_start = len(os.listdir("/proc/self/task"))  # an emulator may have threads of its own
for _ in range(200 if calls > 1 else 0):
    hostprobe.get_metrics_once(1000)
before, signals, timed = resources(), [], []
def caller():
    for _ in range(calls):
        start, result = time.monotonic(), hostprobe.get_metrics_once(interval_ms)
        timed.append((time.monotonic() - start, result["mem_total_bytes"], result["throttle_status"],
                      result["measure_clock"]))
signal.signal(signal.SIGALRM, lambda signum, frame: signals.append(signum))
signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
workers = [threading.Thread(target=caller) for _ in range(threads)]
[worker.start() for worker in workers]
[worker.join() for worker in workers]
signal.setitimer(signal.ITIMER_REAL, 0, 0)
# A joined thread leaves the task list a moment after the join returns.
settled = time.monotonic() + 5
while len(os.listdir("/proc/self/task")) > threads_at_start and time.monotonic() < settled:
    time.sleep(0.01)
print(json.dumps({"signals": len(signals), "values": sorted({call[1:] for call in timed}), "calls": len(timed),
                  "slowest": max(call[0] for call in timed), "threads_at_start": threads_at_start,
                  "before": before, "after": resources()}))
"""


# Long runs, then tools that misbehave: 10 MiB of blanks after an answer would still give it if read in full; the
# last three hang for 30 s a query unless the deadline ends them, with streams open, closed, or held by a helper.
@pytest.mark.parametrize(
    ("fault", "threads", "calls", "interval_ms", "values", "hangs"),
    [
        (None, 1, 5000, 1000, [0, 0], False),
        # A pass with the tool takes longer than 1 ms, so ticks are always overdue.
        ('echo "$answer"', 8, 40, 1, ANSWERS, False),
        ('head -c 1000000 /dev/zero >&2; echo "$answer"', 1, 1, 60000, ANSWERS, False),
        ('echo "$answer"; exit 1', 1, 1, 60000, [0, 0], False),
        ('echo "$answer"; kill -9 $$', 1, 1, 60000, [0, 0], False),
        ("echo \"$answer\"; head -c 10485760 /dev/zero | tr '\\0' ' '", 1, 1, 60000, [0, 0], False),
        ('echo "$answer"; exec sleep 30', 1, 1, 60000, [0, 0], True),
        ("exec >&- 2>&-; exec sleep 30", 1, 1, 60000, [0, 0], True),
        ('sleep 30 & echo $! >> "$HELPERS"; echo "$answer"', 1, 1, 60000, [0, 0], True),
    ],
)
def test_calls_under_a_signal_storm_stay_right_and_clean(tmp_path, fault, threads, calls, interval_ms, values, hangs):
    report = json_child(STORM, env_with(tmp_path, fault), args=(json.dumps([threads, calls, interval_ms]),))
    ((mem_total, *firmware),) = report["values"]  # the same for every call
    assert mem_total > 0 and firmware == values and report["calls"] == threads * calls and report["signals"] > 0
    assert (4 if hangs else 0) <= report["slowest"] < 10  # two queries, each ended by its 2 s deadline if it hangs
    before, after = report["before"], report["after"]
    # Under user-mode emulation the resident memory is the emulator's, which keeps what every thread ever cost it.
    assert calls == 1 or "EMULATOR" in os.environ or after["rss_kib"] - before["rss_kib"] < 1024
    assert (after["fds"], after["threads"], after["children"]) == (before["fds"], report["threads_at_start"], False)
    helpers = tmp_path / "helpers"
    assert not helpers.exists() or running(helpers.read_text().split()) == []


@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM, signal.SIGHUP], ids=lambda signum: signum.name)
def test_a_killed_caller_takes_the_tool_with_it(tmp_path, signum):
    recorded = tmp_path / "tool_pid"
    env = env_with(tmp_path, f"echo $$ > {recorded}.new; mv {recorded}.new {recorded}; exec sleep 30")
    # Under nohup SIGHUP would come ignored.
    code = "import signal\nsignal.signal(signal.SIGHUP, signal.SIG_DFL)\nhostprobe.get_metrics_once(1)"
    caller = subprocess.Popen(python_command(code), env=env)
    while not recorded.exists() and caller.poll() is None:
        time.sleep(0.01)
    tool = recorded.read_text().strip()
    # Still running when the caller is killed: its query's deadline has not ended it.
    assert running([tool], seconds=0) == [tool]
    caller.send_signal(signum)
    assert caller.wait(timeout=60) == -signum and running([tool]) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="switching to an unprivileged user needs root")
def test_runtime_that_cannot_start_raises_the_os_error_then_recovers():
    # Threads count against RLIMIT_NPROC, which root is exempt from.
    done = python_child("""
import pwd, resource
nobody = pwd.getpwnam("nobody")
os.setgroups([]); os.setgid(nobody.pw_gid); os.setuid(nobody.pw_uid)
hard = resource.getrlimit(resource.RLIMIT_NPROC)[1]
for soft in (0, hard):
    resource.setrlimit(resource.RLIMIT_NPROC, (soft, hard))
    try:
        print(type(hostprobe.get_metrics_once(1000)).__name__)
    except RuntimeError as failure:
        print(failure)
""")
    assert done.stdout.splitlines() == ["Resource temporarily unavailable (os error 11)", "dict"]
