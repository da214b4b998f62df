#include "py/plan_reader.hpp"

#include <algorithm>
#include <cstring>

#include "py/buffer_view.hpp"
#include "py/call_boundary.hpp"
#include "py/py_ref.hpp"

namespace zorv::py {

// These texts are part of the module's interface: callers and stored logs
// match them, so they are never reworded.
namespace text {
constexpr const char* not_a_sequence = "'%U' object cannot be converted to 'Sequence'";
constexpr const char* unnamed_not_a_sequence = "'%s' object cannot be converted to 'Sequence'";
constexpr const char* unknown_type_name = "<failed to extract type name>";
constexpr const char* wrong_length = "expected a sequence of length 40 (got %zd)";
constexpr const char* str_as_plans = "Can't extract `str` to `Vec`";
}  // namespace text

namespace {

using sim::Plan;

// Sequences that report a larger length are still read in full; only the
// room reserved up front is capped, so a lying length cannot exhaust memory.
constexpr Py_ssize_t max_reserved_plans = 1 << 16;

// ---------------------------------------------------------------------------
// The general conversion

void raise_not_a_sequence(PyObject* object) {
    PyRef qualname = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get())) {
        PyErr_Format(PyExc_TypeError, text::not_a_sequence, qualname.get());
        return;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, text::unnamed_not_a_sequence, text::unknown_type_name);
}

// Fills `plan` from a sequence of exactly 40 float-convertible items.
// Returns false with the error set; the object is only read.
bool convert_plan(PyObject* object, Plan& plan) {
    if (!PySequence_Check(object)) {
        raise_not_a_sequence(object);
        return false;
    }
    const Py_ssize_t length = PySequence_Size(object);
    if (length == -1) return false;
    if (length != static_cast<Py_ssize_t>(sim::plan_size)) {
        PyErr_Format(PyExc_ValueError, text::wrong_length, length);
        return false;
    }
    for (std::size_t i = 0; i < sim::plan_size; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(object, static_cast<Py_ssize_t>(i)));
        if (!item) return false;
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) return false;
        plan[i] = value;
    }
    return true;
}

bool convert_plan_list(PyObject* object, std::vector<Plan>& plans) {
    const int is_str = PyObject_IsInstance(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str == 1) {
        PyErr_SetString(PyExc_TypeError, text::str_as_plans);
        return false;
    }
    if (is_str == -1) PyErr_Clear();
    if (!PySequence_Check(object)) {
        raise_not_a_sequence(object);
        return false;
    }
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint == -1) PyErr_Clear();
    plans.reserve(static_cast<std::size_t>(std::clamp<Py_ssize_t>(hint, 0, max_reserved_plans)));

    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    while (PyRef element = PyRef::steal(PyIter_Next(iterator.get()))) {
        Plan plan;
        if (!convert_plan(element.get(), plan)) return false;
        plans.push_back(plan);
    }
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------------------
// Fast paths
//
// Each one reads exactly what the general conversion would read, but only
// for inputs on which the general conversion cannot run Python code or fail:
// an exact list or tuple of exact floats, and a C-contiguous float64 buffer
// of an exact NumPy array (or of a memoryview, for one plan). Anything else,
// or any doubt, goes the general way.

bool is_exact_list_or_tuple(PyObject* object) {
    return PyList_CheckExact(object) || PyTuple_CheckExact(object);
}

PyObject** sequence_items(PyObject* object) {
    return PyList_CheckExact(object) ? &PyList_GET_ITEM(object, 0) : &PyTuple_GET_ITEM(object, 0);
}

// An exact list or tuple of 40 exact floats.
bool is_exact_float_plan(PyObject* object) {
    if (!is_exact_list_or_tuple(object) || Py_SIZE(object) != static_cast<Py_ssize_t>(sim::plan_size)) {
        return false;
    }
    PyObject** items = sequence_items(object);
    for (std::size_t i = 0; i < sim::plan_size; ++i) {
        if (!PyFloat_CheckExact(items[i])) return false;
    }
    return true;
}

// A plan that is_exact_float_plan has accepted.
void copy_exact_floats(PyObject* object, Plan& plan) {
    PyObject** items = sequence_items(object);
    for (std::size_t i = 0; i < sim::plan_size; ++i) plan[i] = PyFloat_AS_DOUBLE(items[i]);
}

bool read_exact_floats(PyObject* object, Plan& plan) {
    if (!is_exact_float_plan(object)) return false;
    copy_exact_floats(object, plan);
    return true;
}

// An exact list or tuple whose elements are all such plans. Every element
// is checked before the plans are sized from the list's length, so that a
// long list of anything else fails the general way, as a short one does,
// and a list that qualifies is copied into room of exactly its size. No
// Python code runs between the check and the copy, so nothing can change
// the list in between.
bool read_exact_plan_list(PyObject* object, std::vector<Plan>& plans) {
    if (!is_exact_list_or_tuple(object)) return false;
    const std::size_t count = static_cast<std::size_t>(Py_SIZE(object));
    PyObject** elements = sequence_items(object);
    for (std::size_t i = 0; i < count; ++i) {
        if (!is_exact_float_plan(elements[i])) return false;
    }
    plans.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        Plan plan;
        copy_exact_floats(elements[i], plan);
        plans.push_back(plan);
    }
    return true;
}

// Subclasses may change what their items are; only the plain types read as
// their buffers say. NumPy is looked up only if it is already loaded. A
// memoryview qualifies only as one plan: iterating a multi-dimensional one
// fails, so a plan list given as one must fail the same way.
bool is_plain_array_type(PyObject* object, int dimensions) {
    if (PyMemoryView_Check(object)) return dimensions == 1;  // cannot be subclassed
    static PyObject* const numpy_name = PyUnicode_InternFromString("numpy");
    PyObject* numpy = numpy_name ? PyImport_GetModule(numpy_name) : nullptr;
    if (!numpy) {
        PyErr_Clear();
        return false;
    }
    PyRef numpy_module = PyRef::steal(numpy);
    PyRef ndarray = PyRef::steal(PyObject_GetAttrString(numpy_module.get(), "ndarray"));
    if (!ndarray) {
        PyErr_Clear();
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(object)) == ndarray.get();
}

// Succeeds only for a C-contiguous buffer of native doubles of a plain array
// type whose last dimension is a plan and which has `dimensions` dimensions;
// anything else leaves no error set.
bool acquire_plans(BufferView& view, PyObject* object, int dimensions) {
    if (!is_plain_array_type(object, dimensions)) return false;
    if (!view.acquire(object, false)) {
        PyErr_Clear();
        return false;
    }
    return view.dimensions() == dimensions && view.holds(Items::float64) &&
           view.size(dimensions - 1) == sim::plan_size;
}

bool read_plan_buffer(PyObject* object, Plan& plan) {
    BufferView view;
    if (!acquire_plans(view, object, 1)) return false;
    std::memcpy(plan.data(), view.data(), sizeof(Plan));
    return true;
}

bool read_plan_list_buffer(PyObject* object, std::vector<Plan>& plans) {
    BufferView view;
    if (!acquire_plans(view, object, 2)) return false;
    plans.resize(view.size(0));
    if (!plans.empty()) std::memcpy(plans.data(), view.data(), plans.size() * sizeof(Plan));
    return true;
}

}  // namespace

bool read_plan_argument(PyObject* argument, const char* parameter, Plan& plan) {
    if (read_exact_floats(argument, plan) || read_plan_buffer(argument, plan)) return true;
    if (convert_plan(argument, plan)) return true;
    report_conversion_error(parameter);
    return false;
}

bool read_plan_list_argument(PyObject* argument, const char* parameter, std::vector<Plan>& plans) {
    if (read_exact_plan_list(argument, plans) || read_plan_list_buffer(argument, plans)) return true;
    if (convert_plan_list(argument, plans)) return true;
    report_conversion_error(parameter);
    return false;
}

}  // namespace zorv::py
