// Binding the arguments of a vectorcall to an entry's one parameter, the way
// a Python function `name(parameter)` binds them, with the same messages.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "support/shared_api.hpp"

namespace zorv::py {

struct Signature {
    const char* function;   // as shown in messages, without "()"
    const char* parameter;  // the one positional-or-keyword parameter
};

// Returns the borrowed argument bound to the parameter, or null with the
// binding error set.
ZORV_SHARED_API PyObject* bind_argument(const Signature& signature, PyObject* const* args,
                                        Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace zorv::py
