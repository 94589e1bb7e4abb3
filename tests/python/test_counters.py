"""hostprobe_counters: read_counters() on fake machines, and rates() between two readings."""

import ast
import struct

import hostprobe_counters
import pytest
from fake_machine import FakeMachine, Link, python_child

MODES = ("user", "nice", "system", "idle", "iowait", "irq", "softirq", "steal")
COUNT_RATES = ("context_switches_per_sec", "page_faults_per_sec", "page_faults_major_per_sec")
DISKSTATS = "".join(
    f"   8 {minor} {name} 10 0 {sectors} 0 20 0 {sectors * 2} 0 0 0 0 0 0 0 0 0 0\n"
    for minor, (name, sectors) in enumerate([("sda", 8), ("sda1", 4), ("loop0", 1), ("zram0", 2), ("nosysfs", 3)])
)
NET_DEV = "Inter-| Receive | Transmit\n face |bytes packets|bytes packets\n" + "".join(
    f"{name}: {received} 1 0 0 0 0 0 0 {received + 1} 1 0 0 0 0 0 0\n" for name, received in [("eth0", 5), ("lo", 7)]
)
BLOCK = {
    "block/sda": Link("../../devices/pci0000:00/0000:00:10.0/host0/block/sda"),
    "block/sda1": Link("../../devices/pci0000:00/0000:00:10.0/host0/block/sda/sda1"),
    "block/loop0": Link("../../devices/virtual/block/loop0"),
    "block/zram0": Link("../../devices/virtual/block/zram0"),
}
MACHINE = FakeMachine(
    proc={
        "stat": "cpu  10 5 20 300 4 3 2 1 0 0\ncpu0 4 2 9 150 2 1 1 1 0 0\ncpu2 6 3 11 150 2 2 1 0 0 0\nctxt 77\n",
        "vmstat": "pgfault 500\npgmajfault x\n",
        "diskstats": DISKSTATS,
        "net/dev": NET_DEV,
    },
    sys_class=BLOCK,
)
# Between the two readings a disk appears and every other goes.
TWO_READINGS = """import hostprobe_counters, time
before = time.monotonic()
first = hostprobe_counters.read_counters()
with open("/proc/diskstats", "w") as diskstats:
    diskstats.write("   8 16 sdb 1 0 2 0 1 0 2 0 0 0 0\\n")
second = hostprobe_counters.read_counters()
readings = [{**reading, "whole_disks": sorted(reading.get("whole_disks", ["absent"]))} for reading in (first, second)]
print(repr([before, *readings]))
"""


def ticks(*values: int) -> dict[str, float]:
    return {mode: value / 100 for mode, value in zip(MODES, values, strict=True)}


@pytest.mark.parametrize(
    ("machine", "expected", "whole_disks_after"),
    [
        (
            MACHINE,
            {
                "cpu_seconds": ticks(10, 5, 20, 300, 4, 3, 2, 1),
                "cpu_seconds_per_cpu": {0: ticks(4, 2, 9, 150, 2, 1, 1, 1), 2: ticks(6, 3, 11, 150, 2, 2, 1, 0)},
                "context_switches": 77,
                "page_faults": 500,
                "disks": {"sda": (4096, 8192), "sda1": (2048, 4096), "loop0": (512, 1024), "zram0": (1024, 2048)}
                | {"nosysfs": (1536, 3072)},
                "interfaces": {"eth0": (5, 6), "lo": (7, 8)},
                "whole_disks": ["sda"],
            },
            [],
        ),
        (
            FakeMachine(),
            {"cpu_seconds_per_cpu": {}, "disks": {}, "interfaces": {}, "whole_disks": []},
            ["absent"],
        ),
    ],
    ids=["machine", "nothing"],
)
def test_read_counters_on_fake_machines(machine, expected, whole_disks_after):
    before, first, second = ast.literal_eval(python_child(TWO_READINGS, machine=machine).stdout)
    assert before <= first.pop("monotonic_seconds") <= second["monotonic_seconds"]
    # A 64-bit kernel here runs a 64-bit userland, and qemu-user reports a 32-bit machine for a 32-bit one.
    assert first.pop("kernel_bits") == 8 * struct.calcsize("P")
    assert first == expected
    assert (second["disks"], second["whole_disks"]) == ({"sdb": (1024, 1024)}, whole_disks_after)


def reading(seconds, cpu, disks, interfaces, count, whole_disks=("sda", "sdb")):
    modes = dict(zip(MODES, cpu, strict=True))
    counts = dict.fromkeys(("context_switches", "page_faults", "page_faults_major"), count)
    devices = {"disks": disks, "interfaces": interfaces, "whole_disks": frozenset(whole_disks), "kernel_bits": 64}
    return {"monotonic_seconds": seconds, "cpu_seconds": modes, "cpu_seconds_per_cpu": {0: modes}} | counts | devices


EARLIER = reading(10.0, [50.0] * 8, {"sda": (1000, 1000), "sda1": (1000, 1000)}, {"eth0": (1000, 1000)}, 1000, ["sda"])
EARLIER_32 = EARLIER | {"interfaces": {"eth0": (2**32 - 100, 1000), "lo": (5, 5)}, "kernel_bits": 32}
MOVED = {"sda": (3000, 2000), "sda1": (2000, 1000), "sdb": (10, 10)}
LATER = reading(12.0, [51.0, 50, 50.5, 52.5, 50, 50, 50, 50], MOVED, {"eth0": (1200, 1000), "lo": (9, 9)}, 1300)
# Each CPU line moved by 4 s: 1 user, 0.5 system, 2.5 idle. The disk totals are over the whole disks in both
# readings, the network's over every interface but the loopback.
SHARES = {"cpu_mode_percent": dict(zip(MODES, [25.0, 0.0, 12.5, 62.5, 0.0, 0.0, 0.0, 0.0], strict=True))}
TOTALS = {"disk_read_bytes_per_sec": 1000.0, "disk_write_bytes_per_sec": 500.0, "net_rx_bytes_per_sec": 100.0}
DEVICES = {"disks": {"sda": (1000.0, 500.0), "sda1": (500.0, 0.0), "sdb": (None, None)}, "net_tx_bytes_per_sec": 0.0}
ORDINARY = {"seconds": 2.0, "cpu_busy_percent": 37.5, "cpu_busy_percent_per_cpu": {0: 37.5}} | SHARES | TOTALS | DEVICES
ORDINARY |= {"interfaces": {"eth0": (100.0, 0.0), "lo": (None, None)}} | dict.fromkeys(COUNT_RATES, 150.0)
# Counts, a disk's reads and an interface's received bytes below the earlier reading's, on a 64-bit kernel.
RESET = LATER | dict.fromkeys(("context_switches", "page_faults", "page_faults_major"), 5)
RESET |= {"disks": MOVED | {"sda": (5, 2000)}, "interfaces": {"eth0": (900, 1000), "lo": (9, 9)}}
LO = {"lo": (None, None)}
WRAPPED = {"eth0": (650.0, 0.0), "lo": (2.0, 2.0)}
NO_RATES = dict.fromkeys(COUNT_RATES) | {"disk_read_bytes_per_sec": None, "net_rx_bytes_per_sec": None}
NO_RATES |= {"disks": DEVICES["disks"] | {"sda": (None, 500.0)}, "interfaces": {"eth0": (None, 0.0)} | LO}


@pytest.mark.parametrize(
    ("earlier", "later", "expected"),
    [
        (EARLIER, LATER, ORDINARY),
        (EARLIER, RESET, ORDINARY | NO_RATES),
        # A 32-bit kernel's /proc/net/dev counters wrap at 2^32; its other counters do not.
        (EARLIER_32, LATER | {"kernel_bits": 32}, ORDINARY | {"net_rx_bytes_per_sec": 650.0, "interfaces": WRAPPED}),
        # Not known which devices are whole disks: no disk totals.
        (EARLIER, LATER | {"whole_disks": None}, ORDINARY | dict.fromkeys(TOTALS) | {"net_rx_bytes_per_sec": 100.0}),
    ],
    ids=["ordinary", "reset", "32-bit-wrap", "no-sysfs"],
)
def test_rates(earlier, later, expected):
    later = {key: value for key, value in later.items() if value is not None}
    assert hostprobe_counters.rates(earlier, later) == expected
