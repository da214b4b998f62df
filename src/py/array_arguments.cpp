#include "py/array_arguments.hpp"

#include <cstdarg>
#include <cstdio>

#include "support/internal_failure.hpp"

namespace zorv::py {
namespace {

const char* items_text(Items items) {
    switch (items) {
    case Items::float64: return "float64 values";
    case Items::uint64: return "uint64 values";
    case Items::int64: return "int64 values";
    }
    return "8-byte values";
}

}  // namespace

PyObject* ArrayArguments::next(const char*& name) {
    if (failed_ || next_ >= arguments_.count()) return nullptr;
    name = arguments_.name(next_);
    return arguments_[next_++];
}

void ArrayArguments::fail(PyObject* type, const char* format, ...) {
    failed_ = true;
    std::va_list values;
    va_start(values, format);
    PyErr_FormatV(type, format, values);
    va_end(values);
}

Array ArrayArguments::array(Items items, int dimensions, Access access) {
    const char* name = nullptr;
    PyObject* object = next(name);
    return array_of(object, name, items, dimensions, access);
}

Array ArrayArguments::array_of(PyObject* object, const char* name, Items items, int dimensions,
                               Access access) {
    if (failed_ || object == nullptr) return {};
    if (views_taken_ == most_arrays) throw InternalFailure("more array arguments than buffers to hold them");
    BufferView& view = views_[views_taken_++];
    const bool writable = access == Access::write;
    if (!view.acquire(object, writable)) {
        fail(PyExc_TypeError, "%s must be a%s C-contiguous array", name, writable ? " writable" : "");
    } else if (!view.holds(items)) {
        fail(PyExc_TypeError, "%s must hold %s", name, items_text(items));
    } else if (dimensions >= 0 && view.dimensions() != dimensions) {
        fail(PyExc_ValueError, "%s must have %d dimension(s)", name, dimensions);
    }
    return failed_ ? Array{} : Array{&view};
}

double ArrayArguments::number() {
    const char* name = nullptr;
    PyObject* object = next(name);
    if (object == nullptr) return 0.0;
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) fail(PyExc_TypeError, "%s must be a number", name);
    return value;
}

Py_ssize_t ArrayArguments::whole_number() {
    const char* name = nullptr;
    PyObject* object = next(name);
    if (object == nullptr) return 0;
    const Py_ssize_t value = PyLong_AsSsize_t(object);
    if (value == -1 && PyErr_Occurred()) failed_ = true;  // its own TypeError or OverflowError
    return value;
}

PyObject* const* ArrayArguments::tuple(std::size_t size, const char* what) {
    const char* name = nullptr;
    PyObject* object = next(name);
    if (object == nullptr) return nullptr;
    if (!PyTuple_Check(object) || static_cast<std::size_t>(PyTuple_GET_SIZE(object)) != size) {
        fail(PyExc_TypeError, "%s must be %s", name, what);
        return nullptr;
    }
    return &PyTuple_GET_ITEM(object, 0);
}

void ArrayArguments::numbers(double* out, std::size_t count) {
    char what[40];
    std::snprintf(what, sizeof what, "a tuple of %zu numbers", count);
    PyObject* const* items = tuple(count, what);
    for (std::size_t i = 0; items != nullptr && i < count; ++i) {
        out[i] = PyFloat_AsDouble(items[i]);
        if (out[i] == -1.0 && PyErr_Occurred()) {
            failed_ = true;
            return;
        }
    }
}

void ArrayArguments::require(bool condition, const char* message) {
    if (failed_ || condition) return;
    failed_ = true;
    PyErr_SetString(PyExc_ValueError, message);
}

void ArrayArguments::separate(const Array& out, std::initializer_list<const Array*> inputs) {
    if (failed_) return;
    for (const Array* in : inputs) {
        if (out.view->begin() < in->view->end() && in->view->begin() < out.view->end()) {
            require(false, "the output array overlaps an input");
            return;
        }
    }
}

}  // namespace zorv::py
