// zorv._trace: the private recorder behind zorv.trace().
//
// It runs the very step loop that scores a plan, compiled once in the core
// library that zorv_fast loads too, and records where the body points are
// after every step, or all that every step shows (zorv.record_run). It also
// publishes the body's tables, from which Python takes every size and name
// of the body, says which batch path and how
// many worker threads sim_batch takes here, as the core library decides
// them, and which core library file the process has loaded. The scoring
// module stays free of all this.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>

#include "pool/processor_count.hpp"
#include "py/argument_binding.hpp"
#include "py/call_boundary.hpp"
#include "py/core_library.hpp"
#include "py/module_functions.hpp"
#include "py/plan_reader.hpp"
#include "py/py_ref.hpp"
#include "sim/body.hpp"
#include "sim/integrator.hpp"
#include "sim/plan.hpp"
#include "sim/batch_path_choice.hpp"
#include "sim/run.hpp"

namespace zorv::trace {
namespace {

using py::Arguments;
using py::PyRef;
using sim::Plan;

// Reads and rejects a plan exactly as sim() does, with the same messages.
// Returns a bytearray, so that NumPy can wrap it as a writable array.
PyRef run_trace(const Arguments& arguments) {
    Plan plan;
    if (!py::read_plan_argument(arguments[0], arguments.name(0), plan)) return {};
    sim::RunRecording recording;  // 19.2 kB on the stack, like the run's own state
    const unsigned steps = sim::record_run(plan, recording);
    return PyRef::steal(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(recording.data()),
        static_cast<Py_ssize_t>(std::size_t{steps} * sim::recorded_values_per_step * sizeof(double))));
}

// The same run, every step's StepRecord kept: rows of doubles in a
// bytearray, as many as the run took steps. The rows are written straight
// into the bytearray, which holds room for the longest run until the run
// is over: 83 kB that need not live on the stack of the calling thread.
PyRef record_steps(const Arguments& arguments) {
    Plan plan;
    if (!py::read_plan_argument(arguments[0], arguments.name(0), plan)) return {};
    constexpr std::size_t row_bytes = sizeof(sim::StepRecord);
    PyRef rows = PyRef::steal(
        PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(sim::max_steps * row_bytes)));
    if (!rows) return {};
    const unsigned steps =
        sim::record_steps(plan, reinterpret_cast<sim::StepRecord*>(PyByteArray_AS_STRING(rows.get())));
    if (PyByteArray_Resize(rows.get(), static_cast<Py_ssize_t>(steps * row_bytes)) < 0) return {};
    return rows;
}

// The plan as every run reads it: each value clamped to [-1, 1], NaN as -1,
// by the core's own normalisation, so that Python keeps a best plan as it
// was scored without a copy of the rule.
PyRef scored_plan(const Arguments& arguments) {
    Plan plan;
    if (!py::read_plan_argument(arguments[0], arguments.name(0), plan)) return {};
    sim::normalise_plan(plan);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(plan.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < plan.size(); ++i) {
        PyObject* value = PyFloat_FromDouble(plan[i]);
        if (!value) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list;
}

// Tuples of the body's tables, in table order: the names and sizes Python
// draws and checks with.

template <class Make>
PyRef make_tuple(std::size_t size, Make make_item) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(size)));
    if (!tuple) return {};
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* item = make_item(i);
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple;
}

template <class Row, std::size_t size>
PyRef make_names(const std::array<Row, size>& table) {
    return make_tuple(size, [&](std::size_t i) { return PyUnicode_FromString(table[i].name); });
}

PyObject* make_index_pair(std::size_t first, std::size_t second) {
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(first), static_cast<Py_ssize_t>(second));
}

PyRef make_links() {
    return make_tuple(sim::link_count, [](std::size_t l) {
        return make_index_pair(sim::links[l].proximal, sim::links[l].distal);
    });
}

PyRef make_link_limbs() {
    return make_tuple(sim::link_count,
                      [](std::size_t l) { return PyUnicode_FromString(sim::links[l].limb); });
}

PyRef make_joints() {
    return make_tuple(sim::joint_count, [](std::size_t j) {
        return make_index_pair(sim::joints[j].parent, sim::joints[j].child);
    });
}

PyRef make_point_masses() {
    return make_tuple(sim::point_count,
                      [](std::size_t p) { return PyFloat_FromDouble(sim::body_points[p].mass); });
}

PyRef make_point_starts() {
    return make_tuple(sim::point_count, [](std::size_t p) {
        return Py_BuildValue("(dd)", sim::body_points[p].start_x, sim::body_points[p].start_y);
    });
}

// (name, first column, columns) of each field of a step's record row.
PyRef make_record_fields() {
    return make_tuple(sim::step_record_fields.size(), [](std::size_t f) {
        const sim::StepRecordField& field = sim::step_record_fields[f];
        return Py_BuildValue("(snn)", field.name, static_cast<Py_ssize_t>(field.offset),
                             static_cast<Py_ssize_t>(field.count));
    });
}

const char* processors_name(const std::optional<pool::ProcessorCountSource>& source) {
    if (!source) return nullptr;
    switch (*source) {
        case pool::ProcessorCountSource::cgroup_quota: return "cgroup_quota";
        case pool::ProcessorCountSource::affinity_mask: return "affinity_mask";
        case pool::ProcessorCountSource::online_processors: return "online_processors";
    }
    return "unknown";
}

// The path this process's batches take and the thread count the worker pool
// would be built with: counted now, as the pool's first build counts it.
//
// The path is the core library's one choice of the process
// (sim::batch_path_choice), the very one sim and sim_batch take, made once
// from the CPU and its operating system, the switches in the environment
// and the agreement check against the C library, by whichever asks first.
// The names and descriptions are the core's own.
PyRef batch_settings(const Arguments&) {
    const sim::BatchPathChoice choice = sim::batch_path_choice();
    const pool::ThreadCountOrigin threads = pool::thread_count_origin_from_environment();
    return PyRef::steal(Py_BuildValue(
        "(ssssssnzz)", sim::batch_path_name(choice.path), sim::batch_path_description(choice.path),
        sim::batch_path_reason_name(choice.reason), sim::batch_path_reason_description(choice.reason),
        sim::avx512_reason_name(choice.avx512), sim::avx512_reason_description(choice.avx512),
        static_cast<Py_ssize_t>(threads.count), threads.request.variable,
        processors_name(threads.processors)));
}

constexpr py::Function batch_settings_function{
    {"batch_settings", {}}, batch_settings,
    "batch_settings()\n--\n\n"
    "Returns (path, path_text, reason, reason_text, avx512, avx512_text,\n"
    "threads, variable, processors): the batch path sim_batch takes in this\n"
    "process and why, whether its lanes are AVX-512's and why (each as a name\n"
    "and a line for a person), the worker threads it would\n"
    "start, the environment variable that set that count (None: neither),\n"
    "and where the processors were counted (None: not counted)."};
constexpr py::Function run_function{
    {"run", {py::plan_parameter}}, run_trace,
    "run(plan, /)\n--\n\n"
    "Runs a plan and returns the x, y of the body points after every step\n"
    "as native doubles, step by step, point by point."};
constexpr py::Function scored_plan_function{
    {"scored_plan", {py::plan_parameter}}, scored_plan,
    "scored_plan(plan, /)\n--\n\n"
    "Returns the plan as every run reads it: a list of its values clamped to\n"
    "[-1, 1], NaN as -1."};
constexpr py::Function record_function{
    {"record", {py::plan_parameter}}, record_steps,
    "record(plan, /)\n--\n\n"
    "Runs a plan and returns every step's record as native doubles, one row\n"
    "of record_row_size values a step, laid out as record_fields says."};

// The interpreter keeps pointers to these for the life of the process.
PyMethodDef methods[] = {
    py::method_definition<batch_settings_function>(),
    py::method_definition<run_function>(),
    py::method_definition<record_function>(),
    py::method_definition<scored_plan_function>(),
};

PyModuleDef module_def{PyModuleDef_HEAD_INIT,
                       "zorv._trace",
                       "Records the positions of a run step by step; use zorv.trace().",
                       0,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

PyRef init_module() {
    if (!py::core_library_is_this_builds("zorv._trace")) return {};
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return {};
    for (PyMethodDef& definition : methods) {
        if (!py::add_function(module.get(), definition, py::Listing::not_listed)) return {};
    }
    PyObject* const m = module.get();
    const bool added = py::add_to_module(m, "point_names", make_names(sim::body_points)) &&
                       py::add_to_module(m, "link_names", make_names(sim::links)) &&
                       py::add_to_module(m, "links", make_links()) &&
                       py::add_to_module(m, "link_limbs", make_link_limbs()) &&
                       py::add_to_module(m, "joint_names", make_names(sim::joints)) &&
                       py::add_to_module(m, "joints", make_joints()) &&
                       py::add_to_module(m, "point_masses", make_point_masses()) &&
                       py::add_to_module(m, "point_starts", make_point_starts()) &&
                       py::add_to_module(m, "record_fields", make_record_fields()) &&
                       py::add_to_module(m, "record_row_size",
                                         PyRef::steal(PyLong_FromSize_t(sim::record_values_per_row))) &&
                       py::add_to_module(m, "time_step", PyRef::steal(PyFloat_FromDouble(sim::time_step))) &&
                       py::add_to_module(m, "gravity", PyRef::steal(PyFloat_FromDouble(sim::gravity))) &&
                       py::add_to_module(m, "thread_variables",
                                         PyRef::steal(Py_BuildValue("(ss)", pool::thread_count_variable,
                                                                    pool::cpu_count_variable))) &&
                       py::add_to_module(m, "plan_size", PyRef::steal(PyLong_FromSize_t(sim::plan_size))) &&
                       py::add_to_module(m, "max_steps", PyRef::steal(PyLong_FromSize_t(sim::max_steps))) &&
                       py::add_to_module(m, "core_library",
                                         PyRef::steal(PyUnicode_DecodeFSDefault(py::loaded_core_library())));
    if (!added) return {};
    return module;
}

}  // namespace
}  // namespace zorv::trace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__trace() {
    return zorv::py::call_boundary([] { return zorv::trace::init_module(); });
}
