// The boundary between the interpreter and the modules' C++ code, and the
// errors that cross it. Its functions and the internal-failure exception
// class they raise live in libzorv_core.so, once per process, whichever
// module's entry a failure crosses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "py/py_ref.hpp"
#include "support/shared_api.hpp"

namespace zorv::py {

// These texts are part of the module's interface: callers and stored logs
// match them, so they are never reworded.
namespace text {
inline constexpr const char* unknown_failure = "native code failed without a description";
inline constexpr const char* boundary_failure = "uncaught panic at ffi boundary\n";
}  // namespace text

// A failed C-API call is expected to have set an error; if it did not, the
// caller still gets one.
ZORV_SHARED_API void ensure_error_set();

// Raises the internal-failure exception, a BaseException, with `message` as
// its text. Its class is made on first need and kept for the process.
ZORV_SHARED_API void raise_panic(const char* message);

// A new Python object the module needs could not be made: the interpreter's
// error is printed and replaced by an internal failure.
[[noreturn]] ZORV_SHARED_API void fail_api_call();

// A new float, or an internal failure.
ZORV_SHARED_API PyRef new_float(double value);

// An exact TypeError from converting a parameter gets the parameter's name
// in front of its message; its own cause, if any, is kept, its context is
// not. Every other error passes unchanged.
void report_conversion_error(const char* parameter);

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

}  // namespace zorv::py
