// The module entry: initialisation, the call boundary, argument binding and
// conversion, and the entries of `sim` and `sim_batch`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "batch/batch_evaluator.hpp"
#include "py_ref.hpp"
#include "sim/plan.hpp"
#include "sim/run.hpp"

namespace zorv {
namespace {

using py::PyRef;
using batch::InternalFailure;
using sim::Plan;

namespace text {
constexpr const char* module_doc =
    "Fast, bit-reproducible simulation of a planar two-legged runner driven by a 40-number plan.";
constexpr const char* sim_doc =
    "sim(plan)\n--\n\nSimulates a plan and returns the distance traveled.";
constexpr const char* sim_batch_doc =
    "sim_batch(plans)\n--\n\nSimulates multiple plans in batches and returns the distances traveled.";
constexpr const char* panic_name = "pyo3_runtime.PanicException";
constexpr const char* panic_doc =
    "Raised when the native code of zorv_fast fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it usually "
    "propagates all the way up and ends the interpreter.";
constexpr const char* no_error_set = "attempted to fetch exception but none was set";
constexpr const char* initialised_twice =
    "PyO3 modules may only be initialized once per interpreter process";
constexpr const char* api_call_failed = "Python API call failed";
constexpr const char* unknown_failure = "native code failed without a description";
constexpr const char* append_to_all_failed = "could not append __name__ to __all__";
constexpr const char* boundary_failure = "uncaught panic at ffi boundary\n";
constexpr const char* unknown_type_name = "<failed to extract type name>";
constexpr const char* str_as_plans = "Can't extract `str` to `Vec`";
}  // namespace text

// The C-API version of the full, version-specific interface.
constexpr int python_api_version = 1013;

// Sequences that report a larger length are still read in full; only the
// room reserved up front is capped, so a lying length cannot exhaust memory.
constexpr Py_ssize_t max_reserved_plans = 1 << 16;

// ---------------------------------------------------------------------------
// Errors

// A failed C-API call is expected to have set an error; if it did not, the
// caller still gets one.
void ensure_error_set() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, text::no_error_set);
}

// Takes the current error out of the interpreter as one exception object.
PyRef take_current_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

void raise_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Created on first need and kept for the life of the process; never a
// module attribute.
PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(text::panic_name, text::panic_doc, PyExc_BaseException,
                                         nullptr);
    }
    return type;
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (!type) return;  // its creation left its own error set
    PyErr_SetString(type, message);
}

// A new Python object the module needs could not be made: the interpreter's
// error is printed and replaced by an internal failure.
[[noreturn]] void fail_api_call() {
    if (PyErr_Occurred()) PyErr_PrintEx(0);
    throw InternalFailure(text::api_call_failed);
}

PyRef new_float(double value) {
    PyRef result = PyRef::steal(PyFloat_FromDouble(value));
    if (!result) fail_api_call();
    return result;
}

// Every entry point runs its body here. A body returns a new reference, or
// null with a Python error set; C++ failures are turned into Python errors
// here and nowhere else. A failure while doing that aborts the process.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
    try {
        try {
            PyRef result = body();
            if (!result) ensure_error_set();
            return result.release();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& failure) {
            raise_panic(failure.what());
        } catch (...) {
            raise_panic(text::unknown_failure);
        }
        return nullptr;
    } catch (...) {
        std::fputs(text::boundary_failure, stderr);
        std::abort();
    }
}

// ---------------------------------------------------------------------------
// Argument binding

struct Signature {
    const char* function;   // as shown in messages, without "()"
    const char* parameter;  // the one positional-or-keyword parameter
};

constexpr Signature sim_signature{"sim", "plan"};
constexpr Signature sim_batch_signature{"sim_batch", "plans"};

bool is_parameter_name(PyObject* keyword, const char* parameter) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!name) {  // not encodable: matches no parameter
        PyErr_Clear();
        return false;
    }
    return static_cast<std::size_t>(size) == std::strlen(parameter) &&
           std::memcmp(name, parameter, static_cast<std::size_t>(size)) == 0;
}

// Returns the borrowed argument bound to the parameter, or null with the
// binding error set.
PyObject* bind_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional >= 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given",
                     signature.function, positional);
        return nullptr;
    }
    PyObject* bound = positional == 1 ? args[0] : nullptr;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!is_parameter_name(keyword, signature.parameter)) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         signature.function, keyword);
            return nullptr;
        }
        if (bound) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         signature.function, signature.parameter);
            return nullptr;
        }
        bound = args[positional + i];
    }
    if (!bound) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                     signature.function, signature.parameter);
    }
    return bound;
}

// ---------------------------------------------------------------------------
// Conversion

void raise_not_a_sequence(PyObject* object) {
    PyRef qualname = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get())) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'",
                     qualname.get());
        return;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 text::unknown_type_name);
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
        PyErr_Format(PyExc_ValueError, "expected a sequence of length 40 (got %zd)", length);
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

// An exact TypeError from converting a parameter gets the parameter's name
// in front of its message; its own cause, if any, is kept, its context is
// not. Every other error passes unchanged.
void report_conversion_error(const char* parameter) {
    ensure_error_set();
    if (PyErr_Occurred() != PyExc_TypeError) return;
    PyRef caught = take_current_exception();
    PyRef message = PyRef::steal(PyObject_Str(caught.get()));
    if (!message) return;
    PyRef prefixed =
        PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, message.get()));
    message.reset();
    if (!prefixed) return;
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, prefixed.get()));
    prefixed.reset();
    if (!replacement) return;
    // Steals the cause; also marks the new exception as suppressing its context.
    PyException_SetCause(replacement.get(), PyException_GetCause(caught.get()));
    caught.reset();
    raise_exception(std::move(replacement));
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
// Fast input paths
//
// Each one reads exactly what the general conversion would read, but only
// for inputs on which the general conversion cannot run Python code or fail:
// an exact list or tuple of exact floats, and a C-contiguous float64 buffer
// of an exact NumPy array (or of a memoryview, for one plan). Anything else,
// or any doubt, goes the general way, so values, errors and messages never
// depend on the path.

bool is_exact_float_sequence(PyObject* object, Py_ssize_t expected_length) {
    if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) return false;
    return Py_SIZE(object) == expected_length;
}

PyObject** sequence_items(PyObject* object) {
    return PyList_CheckExact(object) ? &PyList_GET_ITEM(object, 0) : &PyTuple_GET_ITEM(object, 0);
}

// An exact list or tuple of 40 exact floats.
bool read_exact_floats(PyObject* object, Plan& plan) {
    if (!is_exact_float_sequence(object, static_cast<Py_ssize_t>(sim::plan_size))) return false;
    PyObject** items = sequence_items(object);
    for (std::size_t i = 0; i < sim::plan_size; ++i) {
        if (!PyFloat_CheckExact(items[i])) return false;
        plan[i] = PyFloat_AS_DOUBLE(items[i]);
    }
    return true;
}

// An exact list or tuple whose elements are all such plans. Nothing is kept
// when any element does not qualify.
bool read_exact_plan_list(PyObject* object, std::vector<Plan>& plans) {
    if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) return false;
    const Py_ssize_t count = Py_SIZE(object);
    plans.resize(static_cast<std::size_t>(count));
    PyObject** elements = sequence_items(object);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!read_exact_floats(elements[i], plans[static_cast<std::size_t>(i)])) {
            plans.clear();
            return false;
        }
    }
    return true;
}

// A buffer view released on every path.
class BufferView {
public:
    // Succeeds only for a C-contiguous buffer of native doubles whose last
    // dimension is a plan and which has `dimensions` dimensions.
    bool acquire(PyObject* object, int dimensions) {
        if (!is_plain_array_type(object, dimensions)) return false;
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == -1) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return view_.ndim == dimensions && view_.itemsize == sizeof(double) &&
               is_native_double(view_.format) &&
               view_.shape[dimensions - 1] == static_cast<Py_ssize_t>(sim::plan_size);
    }
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::size_t rows() const { return view_.ndim == 2 ? static_cast<std::size_t>(view_.shape[0]) : 1; }
    const void* data() const { return view_.buf; }

private:
    static bool is_native_double(const char* format) {
        if (!format) return false;
        if (format[0] == '@' || format[0] == '=' || format[0] == '<') ++format;
        return format[0] == 'd' && format[1] == '\0';
    }
    // Subclasses may change what their items are; only the plain types read
    // as their buffers say. NumPy is looked up only if it is already loaded.
    // A memoryview qualifies only as one plan: iterating a multi-dimensional
    // one fails, so a plan list given as one must fail the same way.
    static bool is_plain_array_type(PyObject* object, int dimensions) {
        if (PyMemoryView_Check(object)) return dimensions == 1;  // cannot be subclassed
        PyObject* name = numpy_name();
        PyObject* numpy = name ? PyImport_GetModule(name) : nullptr;
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
    static PyObject* numpy_name() {
        static PyObject* name = PyUnicode_InternFromString("numpy");
        return name;
    }

    Py_buffer view_{};
    bool held_ = false;
};

bool read_plan_buffer(PyObject* object, Plan& plan) {
    BufferView view;
    if (!view.acquire(object, 1)) return false;
    std::memcpy(plan.data(), view.data(), sizeof(Plan));
    return true;
}

bool read_plan_list_buffer(PyObject* object, std::vector<Plan>& plans) {
    BufferView view;
    if (!view.acquire(object, 2)) return false;
    plans.resize(view.rows());
    if (!plans.empty()) std::memcpy(plans.data(), view.data(), plans.size() * sizeof(Plan));
    return true;
}

// ---------------------------------------------------------------------------
// Entries

PyRef run_sim(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* argument = bind_argument(sim_signature, args, nargsf, kwnames);
    if (!argument) return {};
    Plan plan;
    const bool read_fast = read_exact_floats(argument, plan) || read_plan_buffer(argument, plan);
    if (!read_fast && !convert_plan(argument, plan)) {
        report_conversion_error(sim_signature.parameter);
        return {};
    }
    Plan private_copy = plan;
    return new_float(sim::_sim(private_copy));
}

PyRef run_sim_batch(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* argument = bind_argument(sim_batch_signature, args, nargsf, kwnames);
    if (!argument) return {};
    std::vector<Plan> plans;
    const bool read_fast =
        read_exact_plan_list(argument, plans) || read_plan_list_buffer(argument, plans);
    if (!read_fast && !convert_plan_list(argument, plans)) {
        report_conversion_error(sim_batch_signature.parameter);
        return {};
    }
    const std::vector<double> scores = batch::evaluate_batch(std::move(plans));
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(scores.size())));
    if (!list) fail_api_call();
    for (std::size_t i = 0; i < scores.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_float(scores[i]).release());
    }
    return list;
}

PyObject* sim_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_boundary([&] { return run_sim(args, nargsf, kwnames); });
}

PyObject* sim_batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    return call_boundary([&] { return run_sim_batch(args, nargsf, kwnames); });
}

// ---------------------------------------------------------------------------
// Initialisation

// The interpreter keeps pointers to these for the life of the process.
PyMethodDef sim_def{"sim", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sim_entry)),
                    METH_FASTCALL | METH_KEYWORDS, text::sim_doc};
PyMethodDef sim_batch_def{
    "sim_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sim_batch_entry)),
    METH_FASTCALL | METH_KEYWORDS, text::sim_batch_doc};

// State size 0: no per-module state, and the interpreter calls the init
// function again on a later import, which the once flag then refuses.
PyModuleDef module_def{PyModuleDef_HEAD_INIT, "zorv_fast", text::module_doc, 0,
                       nullptr,               nullptr,     nullptr,          nullptr,
                       nullptr};

std::atomic<bool> module_initialised{false};

PyRef all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (all || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) return {};
    if (PyObject_SetAttrString(module, "__all__", all.get()) == -1) return {};
    return all;
}

bool add_function(PyObject* module, PyMethodDef* definition) {
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return false;
    PyRef module_name_object = PyRef::steal(PyUnicode_FromString(module_name));
    if (!module_name_object) return false;
    PyRef function =
        PyRef::steal(PyCMethod_New(definition, module, module_name_object.get(), nullptr));
    module_name_object.reset();
    if (!function) return false;

    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                     Py_TYPE(name.get())->tp_name);
        return false;
    }
    PyRef all = all_list(module);
    if (!all) return false;
    if (PyList_Append(all.get(), name.get()) == -1) {
        PyErr_Clear();
        throw InternalFailure(text::append_to_all_failed);
    }
    all.reset();
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyRef init_module() {
    PyRef module = PyRef::steal(PyModule_Create2(&module_def, python_api_version));
    if (!module) return {};
    if (module_initialised.exchange(true, std::memory_order_seq_cst)) {
        PyErr_SetString(PyExc_ImportError, text::initialised_twice);
        return {};
    }
    if (!add_function(module.get(), &sim_def)) return {};
    if (!add_function(module.get(), &sim_batch_def)) return {};
    return module;
}

}  // namespace
}  // namespace zorv

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_zorv_fast() {
    return zorv::call_boundary([] { return zorv::init_module(); });
}
