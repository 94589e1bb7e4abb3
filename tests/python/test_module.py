"""The module's surface: attributes, the argument, the result's keys and types."""

import inspect
import subprocess

import hostprobe
import pytest
from fake_machine import python_child

KEYS = """timestamp cpu_usage_percent cpu_user_percent cpu_system_percent cpu_idle_percent cpu_iowait_percent
cpu_irq_percent cpu_softirq_percent cpu_steal_percent run_queue_length context_switches_per_sec cpu_temp_celsius
throttle_status mem_total_bytes mem_used_bytes page_faults_minor_per_sec page_faults_major_per_sec uptime_seconds
load_avg_1 load_avg_5 load_avg_15 disk_read_bytes_per_sec disk_write_bytes_per_sec net_rx_bytes_per_sec
net_tx_bytes_per_sec measure_clock""".split()


def test_module_and_function_attributes():
    assert hostprobe.__all__ == ["get_metrics_once"] and hostprobe.__doc__ == ""
    assert {name for name in dir(hostprobe) if not name.startswith("__")} == {"get_metrics_once"}
    function = hostprobe.get_metrics_once
    assert (function.__doc__, function.__module__, function.__self__) == (None, "hostprobe", hostprobe)
    assert list(inspect.signature(function).parameters) == ["interval_ms"]
    symbols = subprocess.run(["nm", "-D", "--defined-only", hostprobe.__file__], capture_output=True, text=True)
    assert [line.split()[-1] for line in symbols.stdout.splitlines()] == ["PyInit_hostprobe"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class TypeErrorSubclass(TypeError):
    pass


PREFIX = "get_metrics_once() "
NOT_INT = "argument 'interval_ms': '{}' object cannot be interpreted as an integer"


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((), {}, TypeError, PREFIX + "missing 1 required positional argument: 'interval_ms'"),
        ((1, 2, 3), {"interval_ms": 1}, TypeError, PREFIX + "takes 1 positional arguments but 3 were given"),
        ((1,), {"interval_ms": 1}, TypeError, PREFIX + "got multiple values for argument 'interval_ms'"),
        ((), {"interval_ms": 1, "foo": 1}, TypeError, PREFIX + "got an unexpected keyword argument 'foo'"),
        ((), {"x\udc80": 1}, TypeError, PREFIX + "got an unexpected keyword argument 'x\udc80'"),
        ((1.5,), {}, TypeError, NOT_INT.format("float")),
        ((), {"interval_ms": "100"}, TypeError, NOT_INT.format("str")),
        ((-1,), {}, OverflowError, "can't convert negative int to unsigned"),
        ((2**64,), {}, OverflowError, "int too big to convert"),
        ((Index(-5),), {}, OverflowError, "can't convert negative int to unsigned"),
        ((Index(ValueError("custom")),), {}, ValueError, "custom"),
        ((Index(TypeErrorSubclass("subclass")),), {}, TypeErrorSubclass, "subclass"),
        ((Index(TypeError("plain")),), {}, TypeError, "argument 'interval_ms': plain"),
    ],
)
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(BaseException) as raised:
        hostprobe.get_metrics_once(*args, **kwargs)
    assert (type(raised.value), str(raised.value)) == (error, message)


def test_rewritten_type_error_keeps_only_the_original_cause():
    original = TypeError("inner")
    original.__cause__ = KeyError("root")
    with pytest.raises(TypeError) as raised:
        hostprobe.get_metrics_once(Index(original))
    assert raised.value is not original and raised.value.__cause__ is original.__cause__
    with pytest.raises(TypeError) as raised:
        hostprobe.get_metrics_once(1.5)
    assert raised.value.__cause__ is None


# The types of the values are those of the stub, checked with it.
@pytest.mark.parametrize("interval", [1, True, Index(100), 2**64 - 1])
def test_accepted_intervals_give_the_keys_in_order(interval):
    for result in (hostprobe.get_metrics_once(interval), hostprobe.get_metrics_once(interval_ms=interval)):
        assert type(result) is dict and list(result) == KEYS


def test_zero_interval_and_second_initialisation():
    done = python_child(
        "try:\n    hostprobe.get_metrics_once(0)\nexcept RuntimeError as error:\n    print(error)\n"
        "first = hostprobe\ndel sys.modules['hostprobe']\n"
        "try:\n    import hostprobe\nexcept ImportError as error:\n    print(error)\n"
        "print(len(first.get_metrics_once(10)))\n"
    )
    assert done.stdout.splitlines() == [
        "failed to collect metrics",
        "hostprobe: extension modules compiled for CPython 3.8 or older may only be initialized once per "
        "interpreter process",
        "26",
    ]
    assert "`period` must be non-zero." in done.stderr
