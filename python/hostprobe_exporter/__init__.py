"""Serves hostprobe snapshots to Prometheus, none older than the scrape.

Every scrape exposes the values of a hostprobe.get_metrics_once snapshot
as metrics named hostprobe_<quantity>_<base unit>: bytes, seconds, celsius
and hertz as they come, CPU shares as ratios from 0 to 1 (the module's
percentages divided by 100), and the three counts since boot as counters
(_total), which is what they are: they only grow until the machine restarts.
The throttle word comes also as one 0/1 series per documented flag, and each
scrape tells how long its snapshot took.

Beside the snapshot, every scrape reads the kernel's cumulative counters once
(hostprobe_counters.read_counters) and serves them under node_exporter's
names and labels, so that Prometheus's rate() gives what the machine did
over any window: CPU seconds by CPU and mode, and bytes read and written by
block device (loop, ram and zram devices left out unless
--disk-device-exclude says otherwise) and received and sent by interface.
What could not be read has no series, rather than a 0.

While a snapshot is being taken the module holds the interpreter, so later
connections wait to be accepted; scrapes whose collection had begun by then
wait for that snapshot, counters included, and share it.

prometheus_client comes only with the exporter extra, so the collector and
the server live in hostprobe_exporter.server, which main imports where it
can tell a user without the extra how to install it.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence

PROGRAM = "hostprobe-exporter"


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the exporter until SIGINT or SIGTERM; returns the exit status."""
    try:
        from hostprobe_exporter import server
    except ModuleNotFoundError as error:
        if error.name != "prometheus_client":
            raise
        print(f"{PROGRAM}: needs prometheus_client: pip install 'hostprobe[exporter]'", file=sys.stderr)
        return 2
    return server.run(argv)
