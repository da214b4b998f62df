// Reading plans from Python objects: the one way `sim`, `sim_batch` and the
// trace module read their plan arguments.
//
// A plan is any sequence of exactly 40 items that float() accepts. Fast
// paths read exact lists and tuples of exact floats and plain float64
// buffers directly, but only where the general conversion could not run
// Python code or fail, so values, errors and messages never depend on the
// path taken.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "sim/plan.hpp"
#include "support/shared_api.hpp"

namespace zorv::py {

// The parameter name under which sim() and zorv.trace() take one plan; their
// messages name it, so both give the same ones.
inline constexpr const char* plan_parameter = "plan";

// Reads the argument named `parameter` as one plan. Returns false with the
// error set; a TypeError's message then starts with the parameter's name.
// The argument is only read.
ZORV_SHARED_API bool read_plan_argument(PyObject* argument, const char* parameter, sim::Plan& plan);

// Reads the argument named `parameter` as a sequence of plans, any sequence
// but a str. Errors as for one plan. May throw std::bad_alloc.
ZORV_SHARED_API bool read_plan_list_argument(PyObject* argument, const char* parameter,
                                             std::vector<sim::Plan>& plans);

}  // namespace zorv::py
