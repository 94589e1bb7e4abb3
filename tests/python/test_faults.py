"""Misbehaving tools, long runs, threads, signals, a killed caller, no threads to be had: calls stay right and give
everything back."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest
from fake_machine import MODULE_DIR, json_child, python_command, tool_path

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
"""
ANSWERS = [0x50005, 1500000000]
QUERY_DEADLINE = 2  # seconds, after which the module kills the tool


def env_with(tmp_path, fault: str | None = 'echo "$answer"') -> dict[str, str]:
    return dict(os.environ, PATH=tool_path(tmp_path / "bin", None if fault is None else TOOL + fault))


def running(pids: list[str]) -> list[str]:
    """Those of `pids` still running after up to 5 s, as a kill takes effect asynchronously; zombies not yet reaped
    count as gone."""
    give_up = time.monotonic() + 5
    while True:
        ps = subprocess.run(["ps", "-o", "pid=,stat=", "-p", ",".join(pids)], capture_output=True, text=True)
        alive = [pid for pid, state in map(str.split, ps.stdout.splitlines()) if not state.startswith("Z")]
        if not alive or time.monotonic() > give_up:
            return alive
        time.sleep(0.05)


# Calls from `threads` threads, `calls` each, while SIGALRM interrupts every system call; prints the values, the
# slowest call, and the resources before and after.
STORM = """
import signal, threading, time
threads, calls, interval_ms = json.loads(sys.argv[1])
def resources():
    with open("/proc/self/status") as status:
        rss_kib = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    try:
        children = os.waitpid(-1, os.WNOHANG) is not None
    except ChildProcessError:
        children = False
    return {"rss_kib": rss_kib, "fds": sorted(os.listdir("/proc/self/fd")),
            "threads": len(os.listdir("/proc/self/task")), "children": children}
threads_at_start = len(os.listdir("/proc/self/task"))  # an emulator may have threads of its own
for _ in range(200 if calls > 1 else 0):
    hostprobe.get_metrics_once(1000)
before, signals, values, slowest = resources(), 0, [], 0.0
def count(signum, frame):
    global signals
    signals += 1
def caller():
    global slowest
    for _ in range(calls):
        start = time.monotonic()
        result = hostprobe.get_metrics_once(interval_ms)
        slowest = max(slowest, time.monotonic() - start)
        values.append((result["mem_total_bytes"], result["throttle_status"], result["measure_clock"]))
signal.signal(signal.SIGALRM, count)
signal.setitimer(signal.ITIMER_REAL, 0.0001, 0.0001)
workers = [threading.Thread(target=caller) for _ in range(threads)]
[worker.start() for worker in workers]
[worker.join() for worker in workers]
signal.setitimer(signal.ITIMER_REAL, 0, 0)
# A joined thread leaves the task list a moment after the join returns.
settled = time.monotonic() + 5
while len(os.listdir("/proc/self/task")) > threads_at_start and time.monotonic() < settled:
    time.sleep(0.01)
print(json.dumps({"signals": signals, "values": sorted(set(values)), "calls": len(values), "slowest": slowest,
                  "threads_at_start": threads_at_start, "before": before, "after": resources()}))
"""


# Long runs, then single calls with tools that misbehave. The 10 MiB are blanks after a well-formed answer, which read
# in full would still give it. The last three hang in different ways, for 30 s a query unless the deadline ends them.
@pytest.mark.parametrize(
    ("fault", "threads", "calls", "interval_ms", "values"),
    [
        (None, 1, 5000, 1000, [0, 0]),
        # A pass with the tool takes longer than 1 ms, so ticks are always overdue.
        ('echo "$answer"', 8, 40, 1, ANSWERS),
        ('head -c 1000000 /dev/zero >&2; echo "$answer"', 1, 1, 60000, ANSWERS),
        ('echo "$answer"; exit 1', 1, 1, 60000, [0, 0]),
        ('echo "$answer"; kill -9 $$', 1, 1, 60000, [0, 0]),
        ("echo \"$answer\"; head -c 10485760 /dev/zero | tr '\\0' ' '", 1, 1, 60000, [0, 0]),
        ('echo "$answer"; exec sleep 30', 1, 1, 60000, [0, 0]),
        ("exec >&- 2>&-; exec sleep 30", 1, 1, 60000, [0, 0]),
        ('echo "$answer"; sleep 30 &', 1, 1, 60000, [0, 0]),
    ],
)
def test_calls_under_a_signal_storm_are_right_and_give_everything_back(
    tmp_path, fault, threads, calls, interval_ms, values
):
    report = json_child(STORM, env_with(tmp_path, fault), args=(json.dumps([threads, calls, interval_ms]),))
    ((mem_total, *firmware),) = report["values"]  # the same for every call
    assert mem_total > 0 and firmware == values and report["calls"] == threads * calls and report["signals"] > 0
    assert report["slowest"] < 10  # two queries within their deadlines, and a margin
    before, after = report["before"], report["after"]
    # Under user-mode emulation the resident memory is the emulator's, which
    # keeps what every thread ever started cost it.
    assert calls == 1 or "EMULATOR" in os.environ or after["rss_kib"] - before["rss_kib"] < 1024
    assert (after["fds"], after["threads"], after["children"]) == (before["fds"], report["threads_at_start"], False)


@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM, signal.SIGHUP], ids=lambda signum: signum.name)
def test_a_killed_caller_takes_the_tool_with_it(tmp_path, signum):
    recorded = tmp_path / "tool_pid"
    # Under nohup SIGHUP would come ignored.
    code = "import signal, time\nsignal.signal(signal.SIGHUP, signal.SIG_DFL)\nprint(time.monotonic(), flush=True)\n"
    env = env_with(tmp_path, f"echo $$ > {recorded}.new; mv {recorded}.new {recorded}; exec sleep 30")
    caller = subprocess.Popen(
        python_command(code + "hostprobe.get_metrics_once(1000)"), env=env, stdout=subprocess.PIPE
    )
    called = float(caller.stdout.readline())
    while not recorded.exists() and caller.poll() is None:
        time.sleep(0.01)
    caller.send_signal(signum)
    assert caller.wait(timeout=60) == -signum
    # Dead before its query's deadline, the caller cannot have ended the tool itself.
    assert time.monotonic() < called + QUERY_DEADLINE
    assert running([recorded.read_text().strip()]) == []


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


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
@pytest.mark.parametrize("with_tool", [False, True])
def test_a_process_is_started_only_for_the_tool(tmp_path, with_tool):
    # A thread's clone carries CLONE_THREAD, a new process's does not.
    path = tool_path(tmp_path / "bin", "#!/bin/sh\necho throttled=0x1\n" if with_tool else None)
    log = tmp_path / "trace"
    strace = f"strace -f -qq -o {log} -e trace=execve,clone,clone3,fork,vfork".split()
    call = "import hostprobe; hostprobe.get_metrics_once(3600000)"
    env = dict(os.environ, PATH=path, PYTHONPATH=MODULE_DIR)
    subprocess.run([*strace, sys.executable, "-c", call], check=True, timeout=60, env=env)
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
    pids = helpers.read_text().split()
    assert (report["leaked"], len(pids), running(pids)) == ("", 2, [])
