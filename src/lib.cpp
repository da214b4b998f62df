// The module entry: the module's definition and initialisation, and the
// entries of `sim` and `sim_batch`. The call boundary, argument binding and
// plan reading live beside it, shared with the trace module.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <vector>

#include "argument_binding.hpp"
#include "batch/batch_evaluator.hpp"
#include "call_boundary.hpp"
#include "plan_reader.hpp"
#include "py_ref.hpp"
#include "sim/plan.hpp"
#include "sim/scoring.hpp"
#include "support/internal_failure.hpp"

namespace zorv {
namespace {

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
constexpr const char* append_to_all_failed = "could not append __name__ to __all__";
constexpr const char* name_not_a_string = "'%s' object cannot be converted to 'PyString'";
}  // namespace text

// The C-API version of the full, version-specific interface.
constexpr int python_api_version = 1013;

constexpr py::Signature sim_signature{"sim", py::plan_parameter};
constexpr py::Signature sim_batch_signature{"sim_batch", "plans"};

// ---------------------------------------------------------------------------
// Entries

PyRef run_sim(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* argument = py::bind_argument(sim_signature, args, nargsf, kwnames);
    if (!argument) return {};
    Plan plan;
    if (!py::read_plan_argument(argument, sim_signature.parameter, plan)) return {};
    return py::new_float(sim::_sim(plan));
}

PyRef run_sim_batch(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* argument = py::bind_argument(sim_batch_signature, args, nargsf, kwnames);
    if (!argument) return {};
    std::vector<Plan> plans;
    if (!py::read_plan_list_argument(argument, sim_batch_signature.parameter, plans)) return {};
    const std::vector<double> scores = batch::evaluate_batch(std::move(plans));
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(scores.size())));
    if (!list) py::fail_api_call();
    for (std::size_t i = 0; i < scores.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::new_float(scores[i]).release());
    }
    return list;
}

PyObject* sim_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::call_boundary([&] { return run_sim(args, nargsf, kwnames); });
}

PyObject* sim_batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    return py::call_boundary([&] { return run_sim_batch(args, nargsf, kwnames); });
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
        PyErr_Format(PyExc_TypeError, text::name_not_a_string, Py_TYPE(name.get())->tp_name);
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
    return zorv::py::call_boundary([] { return zorv::init_module(); });
}
