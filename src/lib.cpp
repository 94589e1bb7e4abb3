// The Python module `hostprobe`: its one function turns one sampling pass of
// a per-call runtime into a dictionary, one number per field of the snapshot.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "collector/out_of_memory.hpp"
#include "collector/sampler.hpp"
#include "collector/snapshot.hpp"
#include "collector/task_runtime.hpp"
#include "py_ref.hpp"

namespace hostprobe {

// Receives the first snapshot the sampler publishes, however late this
// thread wakes for it; nothing when the sampler ended first.
std::optional<MetricsSnapshot> collect_metrics(TaskRuntime& runtime, std::uint64_t interval_ms) {
    return start_sampler(runtime, period_from_millis(interval_ms)).receive();
}

namespace {

// Process-wide state, guarded by the interpreter lock and never released.
PyObject* module_cell = nullptr;
PyObject* name_attribute = nullptr;
PyObject* all_attribute = nullptr;
PyObject* internal_failure_type = nullptr;

constexpr const char* internal_failure_doc =
    "Raised when the native code of hostprobe fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally propagates all the way up the stack and ends the interpreter.";

// A raised exception taken out of the interpreter's error state, normalised;
// released unless restored.
struct FetchedError {
    PyRef type;
    PyRef value;
    PyRef traceback;

    static FetchedError fetch() {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        return {PyRef(type), PyRef(value), PyRef(traceback)};
    }
    void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

PyObject* interned(PyObject*& cell, const char* text) {
    if (cell == nullptr) {
        PyObject* string = PyUnicode_FromString(text);
        if (string == nullptr) return nullptr;
        PyUnicode_InternInPlace(&string);
        cell = string;
    }
    return cell;
}

// Writes a diagnostic line and sets InternalFailure with `message`.
void raise_internal_failure(const char* message) {
    std::fprintf(stderr, "hostprobe: internal failure: %s\n", message);
    std::fflush(stderr);
    if (internal_failure_type == nullptr) {
        internal_failure_type =
            PyErr_NewExceptionWithDoc("hostprobe.InternalFailure", internal_failure_doc, PyExc_BaseException, nullptr);
        if (internal_failure_type == nullptr) return;
    }
    PyErr_SetString(internal_failure_type, message);
}

// ---- the call's argument ----

constexpr std::string_view parameter_name = "interval_ms";

// The `interval_ms` object of the call, borrowed, or null with TypeError set.
PyObject* interval_argument(PyObject* const* args, Py_ssize_t positional_count, PyObject* keyword_names) {
    if (positional_count > 1) {
        PyErr_Format(PyExc_TypeError, "get_metrics_once() takes 1 positional arguments but %zd were given",
                     positional_count);
        return nullptr;
    }
    PyObject* value = positional_count == 1 ? args[0] : nullptr;
    const Py_ssize_t keyword_count = keyword_names == nullptr ? 0 : PyTuple_Size(keyword_names);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject* name = PyTuple_GetItem(keyword_names, i);
        if (name == nullptr) return nullptr;
        Py_ssize_t length = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &length);
        if (utf8 != nullptr && std::string_view(utf8, static_cast<std::size_t>(length)) == parameter_name) {
            if (value != nullptr) {
                PyErr_SetString(PyExc_TypeError, "get_metrics_once() got multiple values for argument 'interval_ms'");
                return nullptr;
            }
            value = args[positional_count + i];
            continue;
        }
        // A name that is no str, or not encodable, is reported like any
        // other unexpected one.
        PyErr_Clear();
        PyRef text(PyObject_Str(name));
        if (!text) return nullptr;
        PyErr_Format(PyExc_TypeError, "get_metrics_once() got an unexpected keyword argument '%U'", text.get());
        return nullptr;
    }
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "get_metrics_once() missing 1 required positional argument: 'interval_ms'");
    }
    return value;
}

// A pending TypeError becomes one that names the argument and keeps the
// original's cause; any other exception stays as it is.
void name_argument_in_type_error() {
    FetchedError original = FetchedError::fetch();
    if (original.type.get() != PyExc_TypeError) {
        original.restore();
        return;
    }
    PyRef text(PyObject_Str(original.value.get()));
    if (!text) return;
    PyRef message(PyUnicode_FromFormat("argument 'interval_ms': %U", text.get()));
    if (!message) return;
    PyErr_SetObject(PyExc_TypeError, message.get());

    FetchedError renamed = FetchedError::fetch();
    if (renamed.value) PyException_SetCause(renamed.value.get(), PyException_GetCause(original.value.get()));
    renamed.restore();
}

std::optional<std::uint64_t> interval_millis(PyObject* value) {
    unsigned long long millis;
    if (PyLong_Check(value)) {
        millis = PyLong_AsUnsignedLongLong(value);
    } else {
        PyRef index(PyNumber_Index(value));
        millis = index ? PyLong_AsUnsignedLongLong(index.get()) : static_cast<unsigned long long>(-1);
    }
    // The conversion's error result, (unsigned long long)-1, is also a valid
    // value: only a pending exception tells them apart.
    if (millis == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        name_argument_in_type_error();
        return std::nullopt;
    }
    return millis;
}

// ---- the result dictionary ----

using ValueMaker = PyObject* (*)(const MetricsSnapshot&);

template <auto Field>
PyObject* float_value(const MetricsSnapshot& snapshot) {
    return PyFloat_FromDouble(static_cast<double>(snapshot.*Field));
}

template <auto Field>
PyObject* integer_value(const MetricsSnapshot& snapshot) {
    return PyLong_FromUnsignedLongLong(snapshot.*Field);
}

PyObject* timestamp_value(const MetricsSnapshot& snapshot) {
    return PyFloat_FromDouble(seconds_since_epoch(snapshot.timestamp));
}

// The word is 32 bits wide and its top bit may be set: a signed long, 32
// bits wide on 32-bit Linux, would turn it negative.
PyObject* throttle_value(const MetricsSnapshot& snapshot) { return PyLong_FromUnsignedLong(snapshot.throttle_status); }

struct ResultField {
    std::string_view key;
    ValueMaker value;
};

using S = MetricsSnapshot;
constexpr ResultField result_fields[] = {
    {"timestamp", timestamp_value},
    {"cpu_usage_percent", float_value<&S::cpu_usage_percent>},
    {"cpu_user_percent", float_value<&S::cpu_user_percent>},
    {"cpu_system_percent", float_value<&S::cpu_system_percent>},
    {"cpu_idle_percent", float_value<&S::cpu_idle_percent>},
    {"cpu_iowait_percent", float_value<&S::cpu_iowait_percent>},
    {"cpu_irq_percent", float_value<&S::cpu_irq_percent>},
    {"cpu_softirq_percent", float_value<&S::cpu_softirq_percent>},
    {"cpu_steal_percent", float_value<&S::cpu_steal_percent>},
    {"run_queue_length", float_value<&S::run_queue_length>},
    {"context_switches_per_sec", integer_value<&S::context_switches_per_sec>},
    {"cpu_temp_celsius", float_value<&S::cpu_temp_celsius>},
    {"throttle_status", throttle_value},
    {"mem_total_bytes", integer_value<&S::mem_total_bytes>},
    {"mem_used_bytes", integer_value<&S::mem_used_bytes>},
    {"page_faults_minor_per_sec", integer_value<&S::page_faults_minor_per_sec>},
    {"page_faults_major_per_sec", integer_value<&S::page_faults_major_per_sec>},
    {"uptime_seconds", float_value<&S::uptime_seconds>},
    {"load_avg_1", float_value<&S::load_avg_1>},
    {"load_avg_5", float_value<&S::load_avg_5>},
    {"load_avg_15", float_value<&S::load_avg_15>},
    {"disk_read_bytes_per_sec", integer_value<&S::disk_read_bytes_per_sec>},
    {"disk_write_bytes_per_sec", integer_value<&S::disk_write_bytes_per_sec>},
    {"net_rx_bytes_per_sec", integer_value<&S::net_rx_bytes_per_sec>},
    {"net_tx_bytes_per_sec", integer_value<&S::net_tx_bytes_per_sec>},
    {"measure_clock", integer_value<&S::measure_clock>},
};

// Prints the pending Python error (which clears it) and raises
// InternalFailure in its place.
void replace_with_api_failure() {
    PyErr_Print();
    raise_internal_failure("Python API call failed");
}

std::string describe(PyObject* object) {
    if (object == nullptr) return "None";
    PyRef text(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return "<unprintable>";
    }
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<unprintable>";
    }
    return utf8;
}

void replace_with_insert_failure(std::string_view key) {
    const FetchedError error = FetchedError::fetch();
    const std::string message = "could not insert '" + std::string(key) +
                                "' into the result dictionary: " + describe(error.type.get()) + ": " +
                                describe(error.value.get()) + " (traceback: " + describe(error.traceback.get()) + ")";
    raise_internal_failure(message.c_str());
}

PyObject* metrics_dict(const MetricsSnapshot& snapshot) {
    PyRef dict(PyDict_New());
    if (!dict) {
        replace_with_api_failure();
        return nullptr;
    }
    for (const ResultField& field : result_fields) {
        PyRef key(PyUnicode_FromStringAndSize(field.key.data(), static_cast<Py_ssize_t>(field.key.size())));
        if (!key) {
            replace_with_api_failure();
            return nullptr;
        }
        PyRef value(field.value(snapshot));
        if (!value) {
            replace_with_api_failure();
            return nullptr;
        }
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            replace_with_insert_failure(field.key);
            return nullptr;
        }
    }
    return dict.release();
}

PyObject* call_get_metrics_once(PyObject* const* args, Py_ssize_t positional_count, PyObject* keyword_names) {
    PyObject* argument = interval_argument(args, positional_count, keyword_names);
    if (argument == nullptr) return nullptr;
    const std::optional<std::uint64_t> interval_ms = interval_millis(argument);
    if (!interval_ms) return nullptr;

    TaskRuntime runtime(available_processors());
    std::optional<MetricsSnapshot> snapshot;
    try {
        snapshot = collect_metrics(runtime, *interval_ms);
    } catch (const std::system_error& failure) {
        // The runtime's threads could not be started.
        const std::string text = failure.code().message();
        PyErr_Format(PyExc_RuntimeError, "%s (os error %d)", text.c_str(), failure.code().value());
        return nullptr;
    }
    if (!snapshot) {
        runtime.shutdown();
        PyErr_SetString(PyExc_RuntimeError, "failed to collect metrics");
        return nullptr;
    }
    PyObject* result = metrics_dict(*snapshot);
    runtime.shutdown();
    return result;
}

PyObject* get_metrics_once(PyObject*, PyObject* const* args, Py_ssize_t positional_count, PyObject* keyword_names) {
    try {
        return call_get_metrics_once(args, positional_count, keyword_names);
    } catch (const std::bad_alloc&) {
        end_process_out_of_memory();
    } catch (const std::exception& failure) {
        raise_internal_failure(failure.what());
    } catch (...) {
        raise_internal_failure("unidentified native failure");
    }
    return nullptr;
}

// ---- the module ----

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "hostprobe", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMethodDef get_metrics_once_definition = {
    "get_metrics_once",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_metrics_once)),
    METH_FASTCALL | METH_KEYWORDS,
    "get_metrics_once(interval_ms)\n--\n\n",
};

// The module's `__all__` list, created when it is missing.
PyObject* module_all_list(PyObject* module) {
    PyObject* all_name = interned(all_attribute, "__all__");
    if (all_name == nullptr) return nullptr;
    PyRef all(PyObject_GetAttr(module, all_name));
    if (all) {
        if (!PyList_Check(all.get())) {
            PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
            return nullptr;
        }
        return all.release();
    }
    FetchedError missing = FetchedError::fetch();
    if (!PyErr_GivenExceptionMatches(missing.type.get(), PyExc_AttributeError)) {
        missing.restore();
        return nullptr;
    }
    PyRef list(PyList_New(0));
    if (!list || PyObject_SetAttr(module, all_name, list.get()) < 0) return nullptr;
    return list.release();
}

int add_function(PyObject* module) {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef function(PyCFunction_NewEx(&get_metrics_once_definition, module, module_name.get()));
    if (!function) return -1;
    module_name.reset();

    PyObject* name_key = interned(name_attribute, "__name__");
    if (name_key == nullptr) return -1;
    PyRef function_name(PyObject_GetAttr(function.get(), name_key));
    if (!function_name) return -1;
    if (!PyUnicode_Check(function_name.get())) {
        PyErr_SetString(PyExc_TypeError, "the function's __name__ must be a str");
        return -1;
    }
    PyRef all(module_all_list(module));
    if (!all) return -1;
    if (PyList_Append(all.get(), function_name.get()) < 0) {
        PyErr_Clear();
        raise_internal_failure("could not append __name__ to __all__");
        return -1;
    }
    return PyObject_SetAttr(module, function_name.get(), function.get());
}

PyObject* initialise_module() {
    if (module_cell != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "hostprobe: this extension module may only be initialized once per interpreter process");
        return nullptr;
    }
    // CPython checks this number only to warn of a mismatch, and takes both
    // the C API's version (1013 on every CPython 3) and the stable ABI's (3)
    // without a warning; PyModule_Create would pass the latter.
    PyRef module(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module) return nullptr;
    if (add_function(module.get()) < 0) return nullptr;
    Py_INCREF(module.get());
    module_cell = module.get();
    return module.release();
}

}  // namespace
}  // namespace hostprobe

PyMODINIT_FUNC PyInit_hostprobe(void) {
    try {
        return hostprobe::initialise_module();
    } catch (const std::bad_alloc&) {
        hostprobe::end_process_out_of_memory();
    } catch (const std::exception& failure) {
        hostprobe::raise_internal_failure(failure.what());
    } catch (...) {
        hostprobe::raise_internal_failure("unidentified native failure");
    }
    return nullptr;
}
