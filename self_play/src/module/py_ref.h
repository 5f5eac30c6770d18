// The one owned-reference type of the module: holds a strong reference to a Python object and
// releases it when it goes out of scope. A null PyRef means "failed, a Python error is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tralix {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Takes a new reference to a borrowed object (may be null).
    static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

    PyRef(const PyRef& other) : object_(Py_XNewRef(other.object_)) {}
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Gives up ownership: the caller now holds the reference.
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Thrown where a Python error is already set; the entry functions turn it into a null return.
struct PythonErrorSet {};

}  // namespace tralix
