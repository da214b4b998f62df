// The module entry: the module's definition and initialisation, and the
// entries of `sim` and `sim_batch`. The call boundary, argument binding and
// plan reading live in src/py, shared with the other modules.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <vector>

#include "batch/batch_evaluator.hpp"
#include "py/argument_binding.hpp"
#include "py/call_boundary.hpp"
#include "py/core_library.hpp"
#include "py/module_functions.hpp"
#include "py/plan_reader.hpp"
#include "py/py_ref.hpp"
#include "sim/plan.hpp"
#include "sim/scoring.hpp"

namespace zorv {
namespace {

using py::Arguments;
using py::PyRef;
using sim::Plan;

// These texts are part of the module's interface: callers and stored logs
// match them, so they are never reworded.
namespace text {
constexpr const char* module_doc =
    "Fast, bit-reproducible simulation of a planar two-legged runner driven by a 40-number plan.";
constexpr const char* sim_doc =
    "sim(plan)\n--\n\nSimulates a plan and returns the distance traveled.";
constexpr const char* sim_batch_doc =
    "sim_batch(plans)\n--\n\nSimulates multiple plans in batches and returns the distances traveled.";
constexpr const char* initialised_twice =
    "PyO3 modules may only be initialized once per interpreter process";
}  // namespace text

// The C-API version of the full, version-specific interface.
constexpr int python_api_version = 1013;

// ---------------------------------------------------------------------------
// Entries

PyRef run_sim(const Arguments& arguments) {
    Plan plan;
    if (!py::read_plan_argument(arguments[0], arguments.name(0), plan)) return {};
    return py::new_float(sim::_sim(plan));
}

PyRef run_sim_batch(const Arguments& arguments) {
    std::vector<Plan> plans;
    if (!py::read_plan_list_argument(arguments[0], arguments.name(0), plans)) return {};
    const std::vector<double> scores = batch::evaluate_batch(std::move(plans));
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(scores.size())));
    if (!list) py::fail_api_call();
    for (std::size_t i = 0; i < scores.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::new_float(scores[i]).release());
    }
    return list;
}

constexpr py::Function sim_function{{"sim", {py::plan_parameter}, py::Keywords::accepted}, run_sim, text::sim_doc};
constexpr py::Function sim_batch_function{{"sim_batch", {"plans"}, py::Keywords::accepted}, run_sim_batch,
                                          text::sim_batch_doc};

// ---------------------------------------------------------------------------
// Initialisation

// The interpreter keeps pointers to these for the life of the process.
PyMethodDef sim_def = py::method_definition<sim_function>();
PyMethodDef sim_batch_def = py::method_definition<sim_batch_function>();

// State size 0: no per-module state, and the interpreter calls the init
// function again on a later import, which the once flag then refuses.
PyModuleDef module_def{PyModuleDef_HEAD_INIT, "zorv_fast", text::module_doc, 0,
                       nullptr,               nullptr,     nullptr,          nullptr,
                       nullptr};

std::atomic<bool> module_initialised{false};

PyRef init_module() {
    if (!py::core_library_is_this_builds("zorv_fast")) return {};
    PyRef module = PyRef::steal(PyModule_Create2(&module_def, python_api_version));
    if (!module) return {};
    if (module_initialised.exchange(true, std::memory_order_seq_cst)) {
        PyErr_SetString(PyExc_ImportError, text::initialised_twice);
        return {};
    }
    for (PyMethodDef* definition : {&sim_def, &sim_batch_def}) {
        if (!py::add_function(module.get(), *definition, py::Listing::in_all)) return {};
    }
    return module;
}

}  // namespace
}  // namespace zorv

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_zorv_fast() {
    return zorv::py::call_boundary([] { return zorv::init_module(); });
}
