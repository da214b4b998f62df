#include "py/call_boundary.hpp"

#include <utility>

#include "support/internal_failure.hpp"

namespace zorv::py {

// These texts are part of the module's interface: callers and stored logs
// match them, so they are never reworded.
namespace text {
constexpr const char* panic_name = "pyo3_runtime.PanicException";
constexpr const char* panic_doc =
    "Raised when the native code of zorv_fast fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it usually "
    "propagates all the way up and ends the interpreter.";
constexpr const char* no_error_set = "attempted to fetch exception but none was set";
constexpr const char* api_call_failed = "Python API call failed";
constexpr const char* prefixed_type_error = "argument '%s': %U";
}  // namespace text

namespace {

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

}  // namespace

void ensure_error_set() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, text::no_error_set);
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (!type) return;  // its creation left its own error set
    PyErr_SetString(type, message);
}

[[noreturn]] void fail_api_call() {
    if (PyErr_Occurred()) PyErr_PrintEx(0);
    throw InternalFailure(text::api_call_failed);
}

PyRef new_float(double value) {
    PyRef result = PyRef::steal(PyFloat_FromDouble(value));
    if (!result) fail_api_call();
    return result;
}

void report_conversion_error(const char* parameter) {
    ensure_error_set();
    if (PyErr_Occurred() != PyExc_TypeError) return;
    PyRef caught = take_current_exception();
    PyRef message = PyRef::steal(PyObject_Str(caught.get()));
    if (!message) return;
    PyRef prefixed =
        PyRef::steal(PyUnicode_FromFormat(text::prefixed_type_error, parameter, message.get()));
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

}  // namespace zorv::py
