// A move-only owner of one Python reference.
//
// Every reference the module takes is held by one of these from the moment
// it is obtained, so that each path out of a function, error paths included,
// releases exactly what it took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zorv::py {

class PyRef {
public:
    PyRef() noexcept = default;

    // Takes over a new reference (as C-API calls return them); may be null.
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }

    // Adds a reference to a borrowed object and owns that one.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller, e.g. as a return value to Python or
    // to a C-API call that steals it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    // Drops the reference now, right after its last use.
    void reset() noexcept {
        Py_XDECREF(object_);
        object_ = nullptr;
    }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace zorv::py
