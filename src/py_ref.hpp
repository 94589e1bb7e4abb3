// An owned (strong) reference to a Python object, released on every path.
#pragma once

#include <Python.h>

#include <utility>

namespace hostprobe {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference; a null pointer stands for a failed call.
    explicit PyRef(PyObject* owned) : object_(owned) {}
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset(PyObject* owned = nullptr) { Py_XDECREF(std::exchange(object_, owned)); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace hostprobe
