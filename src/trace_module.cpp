// zorv._trace: the private recorder behind zorv.trace().
//
// It runs the very step loop that scores a plan, compiled once in the core
// library that zorv_fast loads too, and records where the body points are
// after every step, or all that every step shows (zorv.record_run). It also publishes the body's tables, from which Python
// takes every size and name of the body, and says which batch path and how
// many worker threads sim_batch takes here, as the core library decides
// them. The scoring module stays free of all this.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>

#include "batch/processor_count.hpp"
#include "call_boundary.hpp"
#include "plan_reader.hpp"
#include "py_ref.hpp"
#include "sim/body.hpp"
#include "sim/integrator.hpp"
#include "sim/plan.hpp"
#include "sim/run.hpp"

namespace zorv::trace {
namespace {

using py::PyRef;
using sim::Plan;

// Reads and rejects a plan exactly as sim() does, with the same messages.
// Returns a bytearray, so that NumPy can wrap it as a writable array.
PyRef run_trace(PyObject* argument) {
    Plan plan;
    if (!py::read_plan_argument(argument, py::plan_parameter, plan)) return {};
    sim::RunRecording recording;  // 19.2 kB on the stack, like the run's own state
    const unsigned steps = sim::record_run(plan, recording);
    return PyRef::steal(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(recording.data()),
        static_cast<Py_ssize_t>(std::size_t{steps} * sim::recorded_values_per_step * sizeof(double))));
}

PyObject* run_entry(PyObject*, PyObject* argument) noexcept {
    return py::call_boundary([&] { return run_trace(argument); });
}

// The same run, every step's StepRecord kept: rows of doubles in a
// bytearray, as many as the run took steps. The rows are written straight
// into the bytearray, which holds room for the longest run until the run
// is over: 83 kB that need not live on the stack of the calling thread.
PyRef record_steps(PyObject* argument) {
    Plan plan;
    if (!py::read_plan_argument(argument, py::plan_parameter, plan)) return {};
    constexpr std::size_t row_bytes = sizeof(sim::StepRecord);
    PyRef rows = PyRef::steal(
        PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(sim::max_steps * row_bytes)));
    if (!rows) return {};
    const unsigned steps =
        sim::record_steps(plan, reinterpret_cast<sim::StepRecord*>(PyByteArray_AS_STRING(rows.get())));
    if (PyByteArray_Resize(rows.get(), static_cast<Py_ssize_t>(steps * row_bytes)) < 0) return {};
    return rows;
}

PyObject* record_entry(PyObject*, PyObject* argument) noexcept {
    return py::call_boundary([&] { return record_steps(argument); });
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

const char* processors_name(const std::optional<batch::ProcessorCountSource>& source) {
    if (!source) return nullptr;
    switch (*source) {
        case batch::ProcessorCountSource::cgroup_quota: return "cgroup_quota";
        case batch::ProcessorCountSource::affinity_mask: return "affinity_mask";
        case batch::ProcessorCountSource::online_processors: return "online_processors";
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
PyRef batch_settings() {
    const sim::BatchPathChoice choice = sim::batch_path_choice();
    const batch::ThreadCountOrigin threads = batch::thread_count_origin_from_environment();
    return PyRef::steal(Py_BuildValue(
        "(ssssssnzz)", sim::batch_path_name(choice.path), sim::batch_path_description(choice.path),
        sim::batch_path_reason_name(choice.reason), sim::batch_path_reason_description(choice.reason),
        sim::avx512_reason_name(choice.avx512), sim::avx512_reason_description(choice.avx512),
        static_cast<Py_ssize_t>(threads.count), threads.request.variable,
        processors_name(threads.processors)));
}

PyObject* batch_settings_entry(PyObject*, PyObject*) noexcept {
    return py::call_boundary([] { return batch_settings(); });
}

PyMethodDef methods[] = {
    {"batch_settings", batch_settings_entry, METH_NOARGS,
     "batch_settings()\n--\n\n"
     "Returns (path, path_text, reason, reason_text, avx512, avx512_text,\n"
     "threads, variable, processors): the batch path sim_batch takes in this\n"
     "process and why, whether its lanes are AVX-512's and why (each as a name\n"
     "and a line for a person), the worker threads it would\n"
     "start, the environment variable that set that count (None: neither),\n"
     "and where the processors were counted (None: not counted)."},
    {"run", run_entry, METH_O,
     "run(plan, /)\n--\n\n"
     "Runs a plan and returns the x, y of the body points after every step\n"
     "as native doubles, step by step, point by point."},
    {"record", record_entry, METH_O,
     "record(plan, /)\n--\n\n"
     "Runs a plan and returns every step's record as native doubles, one row\n"
     "of record_row_size values a step, laid out as record_fields says."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def{PyModuleDef_HEAD_INIT,
                       "zorv._trace",
                       "Records the positions of a run step by step; use zorv.trace().",
                       0,
                       methods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

// Adds `value` as `name`; the module takes a reference of its own.
bool add_object(PyObject* module, const char* name, const PyRef& value) {
    if (!value) return false;
    Py_INCREF(value.get());
    if (PyModule_AddObject(module, name, value.get()) < 0) {
        Py_DECREF(value.get());
        return false;
    }
    return true;
}

PyRef init_module() {
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return {};
    if (!add_object(module.get(), "point_names", make_names(sim::body_points))) return {};
    if (!add_object(module.get(), "link_names", make_names(sim::links))) return {};
    if (!add_object(module.get(), "links", make_links())) return {};
    if (!add_object(module.get(), "link_limbs", make_link_limbs())) return {};
    if (!add_object(module.get(), "joint_names", make_names(sim::joints))) return {};
    if (!add_object(module.get(), "joints", make_joints())) return {};
    if (!add_object(module.get(), "point_masses", make_point_masses())) return {};
    if (!add_object(module.get(), "point_starts", make_point_starts())) return {};
    if (!add_object(module.get(), "record_fields", make_record_fields())) return {};
    if (PyModule_AddIntConstant(module.get(), "record_row_size",
                                static_cast<long>(sim::record_values_per_row)) < 0) {
        return {};
    }
    if (!add_object(module.get(), "time_step", PyRef::steal(PyFloat_FromDouble(sim::time_step)))) {
        return {};
    }
    if (!add_object(module.get(), "gravity", PyRef::steal(PyFloat_FromDouble(sim::gravity)))) {
        return {};
    }
    if (PyModule_AddIntConstant(module.get(), "plan_size", sim::plan_size) < 0) return {};
    if (PyModule_AddIntConstant(module.get(), "max_steps", sim::max_steps) < 0) return {};
    return module;
}

}  // namespace
}  // namespace zorv::trace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__trace() {
    return zorv::py::call_boundary([] { return zorv::trace::init_module(); });
}
