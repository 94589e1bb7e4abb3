# Types of the hostprobe extension module, which carries no annotations of
# its own.
#
# Besides TypeError, OverflowError and RuntimeError, get_metrics_once can
# raise hostprobe.InternalFailure when its native code fails. That class is
# not an attribute of the module, so it cannot be named here or caught by
# name; it derives from BaseException, not Exception, like SystemExit.

from typing import TypedDict

__all__ = ["get_metrics_once"]

class Metrics(TypedDict):
    """One snapshot: its entries in the order get_metrics_once inserts them.

    Exists only for type checkers: import it under `if TYPE_CHECKING:`.
    """

    timestamp: float
    cpu_usage_percent: float
    cpu_user_percent: float
    cpu_system_percent: float
    cpu_idle_percent: float
    cpu_iowait_percent: float
    cpu_irq_percent: float
    cpu_softirq_percent: float
    cpu_steal_percent: float
    run_queue_length: float
    context_switches_per_sec: int
    cpu_temp_celsius: float
    throttle_status: int
    mem_total_bytes: int
    mem_used_bytes: int
    page_faults_minor_per_sec: int
    page_faults_major_per_sec: int
    uptime_seconds: float
    load_avg_1: float
    load_avg_5: float
    load_avg_15: float
    disk_read_bytes_per_sec: int
    disk_write_bytes_per_sec: int
    net_rx_bytes_per_sec: int
    net_tx_bytes_per_sec: int
    measure_clock: int

def get_metrics_once(interval_ms: int) -> Metrics: ...
