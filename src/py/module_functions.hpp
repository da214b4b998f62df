// Filling a module: its functions and its other attributes, the one way the
// three modules add them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py/py_ref.hpp"
#include "support/shared_api.hpp"

namespace zorv::py {

// Sets the module's attribute `name` to `value` (null: the error that made
// it is left set, and this fails). False with the error set.
ZORV_SHARED_API bool add_to_module(PyObject* module, const char* name, const PyRef& value);

// Whether a function's name goes into the module's __all__ too.
enum class Listing { in_all, not_listed };

// Makes the function of `definition` (which must outlive the process) with
// the module as its __self__ and the module's name as its __module__, and
// adds it under its __name__; Listing::in_all also appends that name to the
// module's __all__, made as an empty list on first need. False with the
// error set; an __all__ that cannot be appended to is an internal failure.
ZORV_SHARED_API bool add_function(PyObject* module, PyMethodDef& definition, Listing listing);

}  // namespace zorv::py
