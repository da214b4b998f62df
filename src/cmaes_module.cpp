// zorv._cmaes: the private arithmetic of zorv.cma_es.CMAES.
//
// Everything whose bits could depend on the machine lives here, written
// with the four operations and sqrt in a fixed order and compiled like the
// core: the random normal samples, the matrix products, the update of the
// distribution, the eigendecomposition, exp and log; and the box's map and
// penalty sums, which the search applies to the optimizer's points. The
// run's control (the step size's exp, when to decompose, the stop rules)
// stays in Python. Arrays come in as C-contiguous buffers (float64, the
// generator's state uint64, row indices int64), read by py/array_arguments;
// results are written into the caller's arrays.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "optimizer/box.hpp"
#include "optimizer/fixed_math.hpp"
#include "optimizer/generation.hpp"
#include "optimizer/normals.hpp"
#include "optimizer/products.hpp"
#include "optimizer/ranking.hpp"
#include "optimizer/split.hpp"
#include "optimizer/symmetric_eigen.hpp"
#include "py/argument_binding.hpp"
#include "py/array_arguments.hpp"
#include "py/call_boundary.hpp"
#include "py/core_library.hpp"
#include "py/module_functions.hpp"
#include "py/py_ref.hpp"

namespace zorv::cmaes {
namespace {

using optimizer::Split;
using py::Access;
using py::Arguments;
using py::Array;
using py::ArrayArguments;
using py::Items;
using py::PyRef;

PyRef none() { return PyRef::borrow(Py_None); }

// Working memory, which every kernel writes before it reads: left
// uninitialised, since zeroing a population's worth costs as much as some of
// the kernels that use it.
class Scratch {
public:
    explicit Scratch(std::size_t doubles) : data_(std::make_unique_for_overwrite<double[]>(doubles)) {}
    double* data() const { return data_.get(); }

private:
    std::unique_ptr<double[]> data_;
};

// The generator in a 4-word state array, which `use` advances.
template <typename Use>
bool with_generator(ArrayArguments& in, const Array& state, Use use) {
    in.require(state.count() == 4, "state must hold 4 words");
    if (!in.ok()) return false;
    optimizer::Xoshiro256 generator{};
    std::memcpy(generator.state.data(), state.words(), sizeof generator.state);
    in.require((generator.state[0] | generator.state[1] | generator.state[2] | generator.state[3]) != 0,
               "state must not be all zero");
    if (!in.ok()) return false;
    use(generator);
    std::memcpy(state.words(), generator.state.data(), sizeof generator.state);
    return true;
}

PyRef normals(const Arguments& arguments) {
    ArrayArguments in(arguments);
    const Array state = in.array(Items::uint64, 1, Access::write);
    const Array out = in.array(Items::float64, -1, Access::write);
    const Split split = Split::for_size(out.count(), Split::smallest_sampling_split);
    const bool drawn = in.ok() && with_generator(in, state, [&](optimizer::Xoshiro256& generator) {
        optimizer::fill_normals(generator, out.doubles(), out.count(), split);
    });
    return drawn ? none() : PyRef{};
}

// What drawing a population reads, in the order of sample()'s arguments and
// of the first ones of sample_again_outside(): the generator's state, bd,
// the mean and sigma, and z, y and x to write, checked for their shapes and
// for not sharing memory.
struct Drawing {
    Array state, bd, mean;
    double sigma;
    Array z, y, x;
    std::size_t n, rows;

    optimizer::Population population() const { return {z.doubles(), y.doubles(), x.doubles(), rows}; }
};

Drawing read_drawing(ArrayArguments& in) {
    Drawing d;
    d.state = in.array(Items::uint64, 1, Access::write);
    d.bd = in.array(Items::float64, 2);
    d.mean = in.array(Items::float64, 1);
    d.sigma = in.number();
    d.z = in.array(Items::float64, 2, Access::write);
    d.y = in.array(Items::float64, 2, Access::write);
    d.x = in.array(Items::float64, 2, Access::write);
    in.separate(d.z, {&d.bd, &d.mean, &d.y, &d.x});
    in.separate(d.y, {&d.bd, &d.mean, &d.x});
    in.separate(d.x, {&d.bd, &d.mean});
    d.n = d.mean.count();
    d.rows = d.z.size(0);
    for (const Array* rows_of_n : {&d.z, &d.y, &d.x}) {
        in.require(rows_of_n->size(0) == d.rows && rows_of_n->size(1) == d.n,
                   "sample() and sample_again_outside() need z, y and x of one shape (k, n)");
    }
    in.require(d.bd.size(0) == d.n && d.bd.size(1) == d.n, "sample() and sample_again_outside() need bd (n, n)");
    return d;
}

// See optimizer::sample_population.
PyRef sample(const Arguments& arguments) {
    ArrayArguments in(arguments);
    const Drawing d = read_drawing(in);
    const Split split = Split::for_size(d.rows * d.n, Split::smallest_sampling_split);
    const bool drawn = in.ok() && with_generator(in, d.state, [&](optimizer::Xoshiro256& generator) {
        optimizer::sample_population(generator, d.bd.doubles(), d.mean.doubles(), d.sigma, d.population(), d.n,
                                     split);
    });
    return drawn ? none() : PyRef{};
}

// See optimizer::sample_again_outside.
PyRef sample_again_outside(const Arguments& arguments) {
    ArrayArguments in(arguments);
    const Drawing d = read_drawing(in);
    const double lower = in.number(), upper = in.number();
    const Py_ssize_t tries = in.whole_number(), block = in.whole_number();
    in.require(tries >= 0 && block >= 1, "sample_again_outside() needs tries >= 0 and block >= 1");
    const bool drawn = in.ok() && with_generator(in, d.state, [&](optimizer::Xoshiro256& generator) {
        optimizer::sample_again_outside(generator, d.bd.doubles(), d.mean.doubles(), d.sigma, d.population(),
                                        d.n, lower, upper, static_cast<std::size_t>(tries),
                                        static_cast<std::size_t>(block));
    });
    return drawn ? none() : PyRef{};
}

using Distribution = std::array<Array, 4>;

// The four arrays of a distribution, from a tuple (mean, ps, pc, c).
Distribution distribution(ArrayArguments& in, Access access) {
    PyObject* const* items = in.tuple(4, "a tuple (mean, ps, pc, c)");
    const char* const names[] = {"mean", "ps", "pc", "c"};
    Distribution arrays;
    for (std::size_t v = 0; v < 4; ++v) {
        arrays[v] = in.array_of(items ? items[v] : nullptr, names[v], Items::float64, v == 3 ? 2 : 1, access);
    }
    return arrays;
}

optimizer::Distribution doubles_of(const Distribution& arrays) {
    return {arrays[0].doubles(), arrays[1].doubles(), arrays[2].doubles(), arrays[3].doubles()};
}

// update()'s arrays, in the order it reads them.
struct UpdateArrays {
    Array weights, order, z, y, bd, b;
    Distribution from, to;
};

// The sizes update() needs, and its outputs apart from its inputs and from
// each other.
void check_update(ArrayArguments& in, Py_ssize_t better, const UpdateArrays& a) {
    const std::size_t n = a.from[0].count(), rows = a.weights.count();
    bool sizes = a.order.count() == rows && better >= 0 && static_cast<std::size_t>(better) <= rows;
    for (const Array* rows_of_n : {&a.z, &a.y}) sizes = sizes && rows_of_n->size(0) == rows && rows_of_n->size(1) == n;
    for (const Array* square : {&a.bd, &a.b, &a.from[3], &a.to[3]}) {
        sizes = sizes && square->size(0) == n && square->size(1) == n;
    }
    for (std::size_t v = 0; v < 3; ++v) sizes = sizes && a.from[v].count() == n && a.to[v].count() == n;
    in.require(sizes, "update() needs weights and order (k,), z and y (k, n), bd and b (n, n), "
                      "mean, ps and pc (n,), c (n, n)");
    for (std::size_t r = 0; in.ok() && r < rows; ++r) {
        const std::int64_t row = a.order.indices()[r];
        in.require(row >= 0 && static_cast<std::size_t>(row) < rows, "order must hold row indices");
    }
    for (const Array& out : a.to) {
        in.separate(out, {&a.weights, &a.order, &a.z, &a.y, &a.bd, &a.b, &a.from[0], &a.from[1], &a.from[2],
                          &a.from[3]});
    }
    for (std::size_t v = 0; v < 4; ++v) {
        for (std::size_t u = v + 1; u < 4; ++u) in.separate(a.to[v], {&a.to[u]});
    }
}

// See optimizer::update_distribution; returns the new |ps|.
PyRef update(const Arguments& arguments) {
    ArrayArguments in(arguments);
    double r[8];
    in.numbers(r, 8);
    const optimizer::Rates rates{.cs = r[0], .ps_gain = r[1], .cc = r[2], .pc_gain = r[3],
                                 .h_sigma_limit = r[4], .c1 = r[5], .cmu = r[6], .keep = r[7]};
    UpdateArrays a;
    a.weights = in.array(Items::float64, 1);
    const Py_ssize_t better = in.whole_number();
    a.order = in.array(Items::int64, 1);
    for (Array* matrix : {&a.z, &a.y, &a.bd, &a.b}) *matrix = in.array(Items::float64, 2);
    const double sigma = in.number(), ps_bias = in.number();
    a.from = distribution(in, Access::read);
    a.to = distribution(in, Access::write);
    if (in.ok()) check_update(in, better, a);
    if (!in.ok()) return {};
    const std::size_t n = a.from[0].count(), rows = a.weights.count();
    // Kept from call to call: a population's worth of memory.
    const Split split = Split::for_size(rows * n);
    double* const work = Split::kept_memory(optimizer::distribution_step_work(rows, n, split));
    const optimizer::RankedPopulation ranked{a.weights.doubles(), a.order.indices(),
                                             static_cast<std::size_t>(better), a.z.doubles(), a.y.doubles(), rows};
    return py::new_float(optimizer::update_distribution(rates, ranked, a.bd.doubles(), a.b.doubles(), sigma,
                                                        ps_bias, doubles_of(a.from), doubles_of(a.to), n, work,
                                                        split));
}

// See optimizer::stable_order.
PyRef ranks(const Arguments& arguments) {
    ArrayArguments in(arguments);
    const Array values = in.array(Items::float64, 1), order = in.array(Items::int64, 1, Access::write);
    in.separate(order, {&values});
    in.require(order.count() == values.count(), "ranks() needs order as long as values");
    if (!in.ok()) return {};
    optimizer::stable_order(values.doubles(), values.count(), order.indices());
    return none();
}

// See optimizer::penalised_values.
PyRef penalised_values(const Arguments& arguments) {
    ArrayArguments in(arguments);
    const Array points = in.array(Items::float64, 2), plans = in.array(Items::float64, 2),
                distances = in.array(Items::float64, 1), values = in.array(Items::float64, 1, Access::write);
    in.separate(values, {&points, &plans, &distances});
    const std::size_t rows = points.size(0), n = points.size(1);
    in.require(plans.size(0) == rows && plans.size(1) == n && distances.count() == rows && values.count() == rows,
               "penalised_values() needs points and plans (k, n), distances and values (k,)");
    if (!in.ok()) return {};
    const Split split = Split::for_size(rows * n);
    double* const work = Split::kept_memory(optimizer::penalised_values_work(rows, n, split));
    optimizer::penalised_values(points.doubles(), plans.doubles(), distances.doubles(), values.doubles(), rows, n,
                                work, split);
    return none();
}

// A map of each value into the box, from points into out: see
// optimizer::clip_to_box and optimizer::into_box.
template <void (*map)(const double*, double*, std::size_t)>
PyRef map_into_box(const Arguments& arguments) {
    ArrayArguments in(arguments);
    const Array points = in.array(Items::float64, -1), out = in.array(Items::float64, -1, Access::write);
    in.separate(out, {&points});
    if (out.count() != points.count()) {
        char message[64];
        std::snprintf(message, sizeof message, "%s() needs out as large as points", arguments.function());
        in.require(false, message);
    }
    if (!in.ok()) return {};
    map(points.doubles(), out.doubles(), points.count());
    return none();
}

// A population's worth of clamping, split like the rest of its work.
void clip_to_box_split(const double* points, double* out, std::size_t count) {
    optimizer::clip_to_box(points, out, count, Split::for_size(count));
}

// out[k] = a z[k] for each row k of z; a is n x n.
PyRef shape(const Arguments& arguments) {
    ArrayArguments in(arguments);
    const Array z = in.array(Items::float64, 2), a = in.array(Items::float64, 2),
                out = in.array(Items::float64, 2, Access::write);
    in.separate(out, {&z, &a});
    const std::size_t rows = z.size(0), n = z.size(1);
    in.require(a.size(0) == n && a.size(1) == n && out.size(0) == rows && out.size(1) == n,
               "shape() needs z (k, n), a (n, n), out (k, n)");
    if (!in.ok()) return {};
    Scratch work(optimizer::shape_work(n));
    optimizer::products().shape(z.doubles(), a.doubles(), out.doubles(), rows, n,
                                reinterpret_cast<double (*)[8]>(work.data()));
    return none();
}

// See optimizer::symmetric_eigen; returns the sweeps.
PyRef eigen(const Arguments& arguments) {
    ArrayArguments in(arguments);
    const Array c = in.array(Items::float64, 2), basis = in.array(Items::float64, 2, Access::write),
                values = in.array(Items::float64, 1, Access::write);
    in.separate(basis, {&c});
    in.separate(values, {&c, &basis});
    const std::size_t n = c.size(0);
    in.require(c.size(1) == n && basis.size(0) == n && basis.size(1) == n && values.count() == n,
               "eigen() needs c (n, n), basis (n, n), values (n,)");
    if (!in.ok()) return {};
    Scratch work(optimizer::symmetric_eigen_work(n));
    return PyRef::steal(PyLong_FromLong(
        optimizer::symmetric_eigen(c.doubles(), basis.doubles(), values.doubles(), work.data(), n)));
}

template <double (*function)(double)>
PyRef unary(const Arguments& arguments) {
    const double x = PyFloat_AsDouble(arguments[0]);
    if (x == -1.0 && PyErr_Occurred()) return {};
    return py::new_float(function(x));
}

// ---------------------------------------------------------------------------
// The module

using py::Function;

constexpr Function normals_function{
    {"normals", {"state", "out"}}, normals,
    "normals(state, out, /)\n--\n\nFills out with standard normal samples from the "
    "xoshiro256** state (4 uint64), which it advances."};
constexpr Function sample_function{
    {"sample", {"state", "bd", "mean", "sigma", "z", "y", "x"}}, sample,
    "sample(state, bd, mean, sigma, z, y, x, /)\n--\n\nA population: z standard normal "
    "samples from the state (advanced), y[k] = bd @ z[k], x[k] = mean + sigma * y[k]."};
constexpr Function sample_again_outside_function{
    {"sample_again_outside",
     {"state", "bd", "mean", "sigma", "z", "y", "x", "lower", "upper", "tries", "block"}},
    sample_again_outside,
    "sample_again_outside(state, bd, mean, sigma, z, y, x, lower, upper, tries, block, /)\n--\n\n"
    "The rows of x with a value outside [lower, upper] (a row with NaN counts as inside) drawn "
    "again, rows z, y and x alike, as sample() would draw them in blocks of at most block rows, "
    "until none is outside or tries rounds are done."};
constexpr Function update_function{
    {"update", {"rates", "weights", "better", "order", "z", "y", "bd", "b", "sigma", "ps_bias", "old", "new"}},
    update,
    "update(rates, weights, better, order, z, y, bd, b, sigma, ps_bias, old, new, /)\n--\n\n"
    "One generation's update of the distribution old = (mean, ps, pc, c) into the separate "
    "arrays new, from the rows of z and y ranked by order (best first) and weighted by rank; "
    "rates = (cs, ps_gain, cc, pc_gain, h_sigma_limit, c1, cmu, keep). Returns the new |ps|."};
constexpr Function ranks_function{
    {"ranks", {"values", "order"}}, ranks,
    "ranks(values, order, /)\n--\n\norder = the indices of values from the smallest up, "
    "equal values (and every NaN, last) in index order: NumPy's stable argsort."};
constexpr Function penalised_values_function{
    {"penalised_values", {"points", "plans", "distances", "values"}}, penalised_values,
    "penalised_values(points, plans, distances, values, /)\n--\n\nvalues = -distances + the "
    "penalty on the points outside the box (plans, the points clamped into it): "
    "|points[k] - plans[k]|^2, weighted so that the distances' interquartile range is worth "
    "as much as a step of the points' spread; each sum in index order."};
constexpr Function clip_to_box_function{
    {"clip_to_box", {"points", "out"}}, map_into_box<clip_to_box_split>,
    "clip_to_box(points, out, /)\n--\n\nout = points clamped into [-1, 1]; NaN stays NaN."};
constexpr Function into_box_function{
    {"into_box", {"points", "out"}}, map_into_box<optimizer::into_box>,
    "into_box(points, out, /)\n--\n\nout = points mapped into [-1, 1]: unchanged within "
    "0.9 of 0, bent smoothly onto the bound within 0.1 of it, folded back periodically beyond."};
constexpr Function shape_function{
    {"shape", {"z", "a", "out"}}, shape,
    "shape(z, a, out, /)\n--\n\nout[k] = a @ z[k] for every row k, each sum in index order."};
constexpr Function eigen_function{
    {"eigen", {"c", "basis", "values"}}, eigen,
    "eigen(c, basis, values, /)\n--\n\nEigenvectors (into basis's columns, which start "
    "the rotations) and eigenvalues of the symmetric c's upper triangle by cyclic Jacobi "
    "sweeps; returns the sweeps taken."};
constexpr Function exp_function{{"exp", {"x"}}, unary<optimizer::fixed_exp>,
                                "exp(x, /)\n--\n\ne**x, the same bits on every machine."};
constexpr Function log_function{{"log", {"x"}}, unary<optimizer::fixed_log>,
                                "log(x, /)\n--\n\nThe natural log, the same bits on every machine."};

// The interpreter keeps pointers to these for the life of the process.
PyMethodDef methods[] = {
    py::method_definition<normals_function>(),
    py::method_definition<sample_function>(),
    py::method_definition<sample_again_outside_function>(),
    py::method_definition<update_function>(),
    py::method_definition<ranks_function>(),
    py::method_definition<penalised_values_function>(),
    py::method_definition<clip_to_box_function>(),
    py::method_definition<into_box_function>(),
    py::method_definition<shape_function>(),
    py::method_definition<eigen_function>(),
    py::method_definition<exp_function>(),
    py::method_definition<log_function>(),
};

PyModuleDef module_def{PyModuleDef_HEAD_INIT,
                       "zorv._cmaes",
                       "The arithmetic of zorv.cma_es, the same bits on every machine.",
                       0,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

PyRef init_module() {
    if (!py::core_library_is_this_builds("zorv._cmaes")) return {};
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return {};
    for (PyMethodDef& definition : methods) {
        if (!py::add_function(module.get(), definition, py::Listing::not_listed)) return {};
    }
    return module;
}

}  // namespace
}  // namespace zorv::cmaes

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__cmaes() {
    return zorv::py::call_boundary([] { return zorv::cmaes::init_module(); });
}
