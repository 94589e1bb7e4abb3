// The Python module `hostprobe_counters._native`: the kernel's cumulative
// counters as they stand, read on the calling thread with the interpreter
// released. What cannot be read is left out of the result, never made 0.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "py_ref.hpp"
#include "sys_reader/block_devices.hpp"
#include "sys_reader/byte_counters.hpp"
#include "sys_reader/cpu_times.hpp"
#include "sys_reader/kernel_width.hpp"
#include "sys_reader/memory.hpp"

namespace hostprobe {
namespace {

struct CounterReading {
    double monotonic_seconds = 0;
    long ticks_per_second = 0;
    StatCounters stat;
    VmstatCounters vmstat;
    ByteCounterMap disks;
    ByteCounterMap interfaces;
    std::optional<std::vector<std::string>> whole_disks;
    unsigned kernel_bits = 0;
};

// Kept by the process for as long as the module is loaded; readers on
// several threads take turns.
std::mutex whole_disk_answers_mutex;
WholeDiskAnswers whole_disk_answers;

CounterReading read_counter_files() {
    CounterReading reading;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    reading.monotonic_seconds = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    // Fixed while the system runs: read once, by the first call.
    static const long ticks_per_second = sysconf(_SC_CLK_TCK);
    static const unsigned kernel_bits = read_kernel_bits();
    reading.ticks_per_second = ticks_per_second;
    reading.stat = read_stat_counters();
    reading.vmstat = read_vmstat_counters();
    reading.disks = read_disk_counters();
    reading.interfaces = read_net_counters();
    {
        const std::lock_guard lock(whole_disk_answers_mutex);
        reading.whole_disks = read_hardware_whole_disks(reading.disks, whole_disk_answers);
    }
    reading.kernel_bits = kernel_bits;
    return reading;
}

// The result's keys, made once and kept for the life of the process.
enum Key : std::size_t {
    monotonic_seconds,
    cpu_seconds,
    cpu_seconds_per_cpu,
    context_switches,
    page_faults,
    page_faults_major,
    disks,
    whole_disks,
    interfaces,
    kernel_bits,
    key_count,
};
constexpr const char* key_texts[key_count] = {
    "monotonic_seconds", "cpu_seconds", "cpu_seconds_per_cpu", "context_switches", "page_faults",
    "page_faults_major", "disks",       "whole_disks",         "interfaces",       "kernel_bits",
};
constexpr const char* cpu_mode_texts[cpu_mode_count] = {"user",   "nice", "system",  "idle",
                                                        "iowait", "irq",  "softirq", "steal"};
PyObject* keys[key_count];
PyObject* cpu_mode_keys[cpu_mode_count];

int make_keys() {
    for (std::size_t i = 0; i < key_count; ++i)
        if (keys[i] == nullptr && (keys[i] = PyUnicode_InternFromString(key_texts[i])) == nullptr) return -1;
    for (std::size_t i = 0; i < cpu_mode_count; ++i)
        if (cpu_mode_keys[i] == nullptr &&
            (cpu_mode_keys[i] = PyUnicode_InternFromString(cpu_mode_texts[i])) == nullptr)
            return -1;
    return 0;
}

// Each helper returns a new reference, or null (-1) with an exception set.

int set_item(PyObject* dict, PyObject* key, PyObject* new_value) {
    PyRef value(new_value);
    return value ? PyDict_SetItem(dict, key, value.get()) : -1;
}

PyObject* cpu_seconds_dict(const CpuTicks& ticks, long ticks_per_second) {
    PyRef seconds(PyDict_New());
    if (!seconds) return nullptr;
    for (std::size_t i = 0; i < cpu_mode_count; ++i) {
        if (!ticks.mode[i]) continue;
        const double value = static_cast<double>(*ticks.mode[i]) / static_cast<double>(ticks_per_second);
        if (set_item(seconds.get(), cpu_mode_keys[i], PyFloat_FromDouble(value)) < 0) return nullptr;
    }
    return seconds.release();
}

// Empty when the clock-tick rate is unknown.
PyObject* per_cpu_dict(const StatCounters& stat, long ticks_per_second) {
    PyRef per_cpu(PyDict_New());
    if (!per_cpu || ticks_per_second <= 0) return per_cpu.release();
    for (const auto& [cpu, ticks] : stat.per_cpu) {
        PyRef number(PyLong_FromUnsignedLong(cpu));
        PyRef seconds(cpu_seconds_dict(ticks, ticks_per_second));
        if (!number || !seconds || PyDict_SetItem(per_cpu.get(), number.get(), seconds.get()) < 0) return nullptr;
    }
    return per_cpu.release();
}

PyObject* name_text(const std::string& name) {
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* byte_pair(std::pair<std::uint64_t, std::uint64_t> bytes) {
    PyRef pair(PyTuple_New(2));
    if (!pair) return nullptr;
    for (Py_ssize_t i = 0; i < 2; ++i) {
        // PyTuple_SetItem takes the reference, even when it fails.
        PyObject* count = PyLong_FromUnsignedLongLong(i == 0 ? bytes.first : bytes.second);
        if (count == nullptr || PyTuple_SetItem(pair.get(), i, count) < 0) return nullptr;
    }
    return pair.release();
}

PyObject* byte_pairs_dict(const ByteCounterMap& counters) {
    PyRef pairs(PyDict_New());
    if (!pairs) return nullptr;
    for (const auto& [name, bytes] : counters) {
        PyRef key(name_text(name));
        PyRef value(byte_pair(bytes));
        if (!key || !value || PyDict_SetItem(pairs.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return pairs.release();
}

PyObject* name_set(const std::vector<std::string>& names) {
    PyRef set(PyFrozenSet_New(nullptr));
    if (!set) return nullptr;
    for (const std::string& name : names) {
        PyRef text(name_text(name));
        if (!text || PySet_Add(set.get(), text.get()) < 0) return nullptr;
    }
    return set.release();
}

int set_count(PyObject* dict, Key key, const std::optional<std::uint64_t>& count) {
    return count ? set_item(dict, keys[key], PyLong_FromUnsignedLongLong(*count)) : 0;
}

PyObject* counters_dict(const CounterReading& reading) {
    PyRef result(PyDict_New());
    if (!result) return nullptr;
    PyObject* dict = result.get();
    if (set_item(dict, keys[monotonic_seconds], PyFloat_FromDouble(reading.monotonic_seconds)) < 0) return nullptr;
    if (reading.stat.all_cpus && reading.ticks_per_second > 0 &&
        set_item(dict, keys[cpu_seconds], cpu_seconds_dict(*reading.stat.all_cpus, reading.ticks_per_second)) < 0)
        return nullptr;
    if (set_item(dict, keys[cpu_seconds_per_cpu], per_cpu_dict(reading.stat, reading.ticks_per_second)) < 0 ||
        set_count(dict, context_switches, reading.stat.context_switches) < 0 ||
        set_count(dict, page_faults, reading.vmstat.page_faults) < 0 ||
        set_count(dict, page_faults_major, reading.vmstat.major_page_faults) < 0 ||
        set_item(dict, keys[disks], byte_pairs_dict(reading.disks)) < 0 ||
        (reading.whole_disks && set_item(dict, keys[whole_disks], name_set(*reading.whole_disks)) < 0) ||
        set_item(dict, keys[interfaces], byte_pairs_dict(reading.interfaces)) < 0 ||
        set_item(dict, keys[kernel_bits], PyLong_FromUnsignedLong(reading.kernel_bits)) < 0)
        return nullptr;
    return result.release();
}

PyObject* read_counters(PyObject*, PyObject*) {
    std::optional<CounterReading> reading;
    std::exception_ptr failure;
    PyThreadState* const interpreter = PyEval_SaveThread();
    try {
        reading = read_counter_files();
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(interpreter);
    try {
        if (failure) std::rethrow_exception(failure);
        return counters_dict(*reading);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return nullptr;
}

PyMethodDef methods[] = {
    {"read_counters", read_counters, METH_NOARGS,
     "read_counters()\n--\n\n"
     "The kernel's cumulative counters as they stand now; see hostprobe_counters."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "hostprobe_counters._native", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace hostprobe

PyMODINIT_FUNC PyInit__native(void) {
    if (hostprobe::make_keys() < 0) return nullptr;
    return PyModule_Create2(&hostprobe::module_definition, PYTHON_API_VERSION);
}
