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

Snapshots are taken in a collector process of the exporter's own, so a
hung firmware tool never holds the server's interpreter; scrapes whose
collection had begun share the snapshot in flight, and one that gets no
snapshot within its scrape timeout is answered 503. The server
(hostprobe_exporter.server) serves them on one event loop, with TLS and basic
authentication when given a web configuration file; with --textfile-directory
the exporter writes them for node_exporter's textfile collector instead.
"""

from __future__ import annotations

from collections.abc import Sequence

PROGRAM = "hostprobe-exporter"


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the exporter until SIGINT or SIGTERM, or writes the textfile;
    returns the exit status."""
    # Imported here: the collector process imports this package, and needs none of the server.
    from hostprobe_exporter import server

    return server.run(argv)
