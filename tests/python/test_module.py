"""The module's surface: attributes, the argument and its errors, the result, a second initialisation."""

import importlib
import inspect
import subprocess
import sys

import hostprobe
import hostprobe_counters._native
import pytest


def test_module_and_function_attributes():
    assert hostprobe.__all__ == ["get_metrics_once"] and hostprobe.__doc__ == ""
    assert {name for name in dir(hostprobe) if not name.startswith("__")} == {"get_metrics_once"}
    function = hostprobe.get_metrics_once
    assert (function.__doc__, function.__module__, function.__self__) == (None, "hostprobe", hostprobe)
    assert list(inspect.signature(function).parameters) == ["interval_ms"]
    for module, name in ((hostprobe, "hostprobe"), (hostprobe_counters._native, "_native")):
        symbols = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True)
        assert [line.split()[-1] for line in symbols.stdout.splitlines()] == [f"PyInit_{name}"]


CAUSE = KeyError("root")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value from CAUSE
        return self.value


class TypeErrorSubclass(TypeError):
    pass


PREFIX = "get_metrics_once() "
NOT_INT = "argument 'interval_ms': '{}' object cannot be interpreted as an integer"


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message", "cause"),
    [
        ((), {}, TypeError, PREFIX + "missing 1 required positional argument: 'interval_ms'", None),
        ((1, 2, 3), {"interval_ms": 1}, TypeError, PREFIX + "takes 1 positional arguments but 3 were given", None),
        ((1,), {"interval_ms": 1}, TypeError, PREFIX + "got multiple values for argument 'interval_ms'", None),
        ((), {"interval_ms": 1, "foo": 1}, TypeError, PREFIX + "got an unexpected keyword argument 'foo'", None),
        ((), {"x\udc80": 1}, TypeError, PREFIX + "got an unexpected keyword argument 'x\udc80'", None),
        ((1.5,), {}, TypeError, NOT_INT.format("float"), None),
        ((), {"interval_ms": "100"}, TypeError, NOT_INT.format("str"), None),
        ((-1,), {}, OverflowError, "can't convert negative int to unsigned", None),
        ((2**64,), {}, OverflowError, "int too big to convert", None),
        ((Index(-5),), {}, OverflowError, "can't convert negative int to unsigned", None),
        ((Index(ValueError("custom")),), {}, ValueError, "custom", CAUSE),
        ((Index(TypeErrorSubclass("subclass")),), {}, TypeErrorSubclass, "subclass", CAUSE),
        ((Index(TypeError("plain")),), {}, TypeError, "argument 'interval_ms': plain", CAUSE),
        ((0,), {}, RuntimeError, "failed to collect metrics", None),
    ],
)
def test_argument_errors(args, kwargs, error, message, cause, capfd):
    with pytest.raises(BaseException) as raised:
        hostprobe.get_metrics_once(*args, **kwargs)
    assert (type(raised.value), str(raised.value), raised.value.__cause__) == (error, message, cause)
    assert ("`period` must be non-zero." in capfd.readouterr().err) == (args == (0,))  # the only diagnostic


def test_a_second_initialisation_is_refused_and_the_first_module_works_on(monkeypatch):
    monkeypatch.delitem(sys.modules, "hostprobe")
    with pytest.raises(ImportError) as refused:
        importlib.import_module("hostprobe")
    assert str(refused.value) == "hostprobe: this extension module may only be initialized once per interpreter process"
    assert type(hostprobe.get_metrics_once(10)) is dict
