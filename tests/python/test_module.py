"""The module's surface: attributes, argument handling and the result."""

import inspect
import math
import shutil
import struct
import subprocess
import sys
import threading

import hostprobe
import pytest

KEYS = [
    "timestamp",
    "cpu_usage_percent",
    "cpu_user_percent",
    "cpu_system_percent",
    "cpu_idle_percent",
    "cpu_iowait_percent",
    "cpu_irq_percent",
    "cpu_softirq_percent",
    "cpu_steal_percent",
    "run_queue_length",
    "context_switches_per_sec",
    "cpu_temp_celsius",
    "throttle_status",
    "mem_total_bytes",
    "mem_used_bytes",
    "page_faults_minor_per_sec",
    "page_faults_major_per_sec",
    "uptime_seconds",
    "load_avg_1",
    "load_avg_5",
    "load_avg_15",
    "disk_read_bytes_per_sec",
    "disk_write_bytes_per_sec",
    "net_rx_bytes_per_sec",
    "net_tx_bytes_per_sec",
    "measure_clock",
]
FLOAT_KEYS = set(KEYS[0:10] + [KEYS[11]] + KEYS[17:21])


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    path = [p for p in sys.path if p]
    program = f"import sys\nsys.path[:0] = {path!r}\n{code}"
    return subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)


def test_module_attributes():
    assert hostprobe.__all__ == ["get_metrics_once"]
    assert hostprobe.__doc__ == ""
    public = {name for name in dir(hostprobe) if not name.startswith("__")}
    assert public == {"get_metrics_once"}


def test_function_introspection():
    function = hostprobe.get_metrics_once
    assert function.__doc__ is None
    assert function.__text_signature__ == "(interval_ms)"
    assert function.__module__ == "hostprobe"
    assert function.__self__ is hostprobe
    assert list(inspect.signature(function).parameters) == ["interval_ms"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exception):
        self.exception = exception

    def __index__(self):
        raise self.exception


class TypeErrorSubclass(TypeError):
    pass


ARGUMENT_ERRORS = [
    ((), {}, TypeError, "get_metrics_once() missing 1 required positional argument: 'interval_ms'"),
    ((1, 2), {}, TypeError, "get_metrics_once() takes 1 positional arguments but 2 were given"),
    ((1, 2, 3), {"interval_ms": 1}, TypeError, "get_metrics_once() takes 1 positional arguments but 3 were given"),
    ((1,), {"interval_ms": 1}, TypeError, "get_metrics_once() got multiple values for argument 'interval_ms'"),
    ((), {"foo": 1}, TypeError, "get_metrics_once() got an unexpected keyword argument 'foo'"),
    ((), {"interval_ms": 1, "foo": 1}, TypeError, "get_metrics_once() got an unexpected keyword argument 'foo'"),
    ((), {"foo": 1, "interval_ms": 1}, TypeError, "get_metrics_once() got an unexpected keyword argument 'foo'"),
    ((), {"interval_ms\udc80": 1}, TypeError, "get_metrics_once() got an unexpected keyword argument 'interval_ms\udc80'"),
    ((1.5,), {}, TypeError, "argument 'interval_ms': 'float' object cannot be interpreted as an integer"),
    ((None,), {}, TypeError, "argument 'interval_ms': 'NoneType' object cannot be interpreted as an integer"),
    (("100",), {}, TypeError, "argument 'interval_ms': 'str' object cannot be interpreted as an integer"),
    ((), {"interval_ms": 2.0}, TypeError, "argument 'interval_ms': 'float' object cannot be interpreted as an integer"),
    ((-1,), {}, OverflowError, "can't convert negative int to unsigned"),
    ((2**64,), {}, OverflowError, "int too big to convert"),
    ((Index(-5),), {}, OverflowError, "can't convert negative int to unsigned"),
    ((RaisingIndex(ValueError("custom")),), {}, ValueError, "custom"),
    ((RaisingIndex(TypeErrorSubclass("subclass")),), {}, TypeErrorSubclass, "subclass"),
    ((RaisingIndex(TypeError("plain")),), {}, TypeError, "argument 'interval_ms': plain"),
]


@pytest.mark.parametrize(("args", "kwargs", "error", "message"), ARGUMENT_ERRORS)
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(BaseException) as raised:
        hostprobe.get_metrics_once(*args, **kwargs)
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_rewritten_type_error_keeps_the_original_cause_only():
    cause = KeyError("root")
    original = TypeError("inner")
    original.__cause__ = cause
    with pytest.raises(TypeError) as raised:
        hostprobe.get_metrics_once(RaisingIndex(original))
    assert raised.value is not original
    assert raised.value.__cause__ is cause


def test_rewritten_type_error_without_cause_has_none():
    with pytest.raises(TypeError) as raised:
        hostprobe.get_metrics_once(1.5)
    assert raised.value.__cause__ is None


@pytest.mark.parametrize("interval", [1, 250, True, Index(100), 2**64 - 1])
def test_accepted_intervals(interval):
    by_position = hostprobe.get_metrics_once(interval)
    by_keyword = hostprobe.get_metrics_once(interval_ms=interval)
    assert list(by_position) == KEYS
    assert list(by_keyword) == KEYS


def test_result_keys_order_and_types():
    result = hostprobe.get_metrics_once(1000)
    assert type(result) is dict
    assert list(result) == KEYS
    for key, value in result.items():
        assert type(value) is (float if key in FLOAT_KEYS else int), key
        if type(value) is int:
            assert value >= 0, key
    assert 0 <= result["throttle_status"] <= 0xFFFFFFFF
    assert result["timestamp"] > 1.6e9


def test_single_precision_values_are_widened_exactly():
    result = hostprobe.get_metrics_once(1000)
    for key in FLOAT_KEYS - {"timestamp", "uptime_seconds"}:
        value = result[key]
        assert math.isnan(value) or struct.unpack("f", struct.pack("f", value))[0] == value, key


def test_zero_interval_fails_then_a_valid_call_works():
    done = run_python(
        "import hostprobe\n"
        "try:\n"
        "    hostprobe.get_metrics_once(0)\n"
        "except RuntimeError as error:\n"
        "    print(repr(str(error)))\n"
        "print(len(hostprobe.get_metrics_once(10)))\n"
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["'failed to collect metrics'", "26"]
    assert "`period` must be non-zero." in done.stderr


def test_second_initialisation_raises_import_error_and_the_first_module_works():
    done = run_python(
        "import sys, hostprobe\n"
        "first = hostprobe\n"
        "del sys.modules['hostprobe']\n"
        "try:\n"
        "    import hostprobe\n"
        "except ImportError as error:\n"
        "    print('ImportError', 'may only be initialized once per interpreter process' in str(error))\n"
        "print(len(first.get_metrics_once(1000)))\n"
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["ImportError True", "26"]


def test_calls_from_several_threads():
    results: list[dict] = []
    errors: list[BaseException] = []

    def call():
        try:
            for _ in range(20):
                results.append(hostprobe.get_metrics_once(5))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=call) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert len(results) == 80
    assert all(list(result) == KEYS for result in results)


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", hostprobe.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_hostprobe"]
    assert hostprobe.__file__.endswith("hostprobe.abi3.so")
