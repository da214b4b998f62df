// zorv._cmaes: the private arithmetic of zorv.cma_es.CMAES.
//
// Everything whose bits could depend on the machine lives here, written
// with the four operations and sqrt in a fixed order and compiled like the
// core: the random normal samples, the matrix products, the update of the
// distribution, the eigendecomposition, exp and log; and the box's map and
// penalty sums, which the search applies to the optimizer's points. The
// run's control (the step size's exp, when to decompose, the stop rules)
// stays in Python. Arrays come in as C-contiguous buffers (float64, the
// generator's state uint64); results are written into the caller's arrays.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "call_boundary.hpp"
#include "dispatch/instruction_sets.hpp"
#include "optimizer/box.hpp"
#include "optimizer/fixed_math.hpp"
#include "optimizer/generation.hpp"
#include "optimizer/normals.hpp"
#include "optimizer/products.hpp"
#include "optimizer/ranking.hpp"
#include "optimizer/split.hpp"
#include "optimizer/symmetric_eigen.hpp"
#include "py_ref.hpp"

namespace zorv::cmaes {
namespace {

using py::PyRef;

// One buffer, released when this goes out of scope.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // A C-contiguous array of 8-byte items of `kind` ('d' double, 'u'
    // unsigned 64-bit, 'i' signed 64-bit) with `ndim` dimensions (any for
    // -1); false with TypeError or ValueError set otherwise.
    bool acquire(PyObject* object, const char* name, char kind, int ndim, bool writable) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) < 0) {
            PyErr_Format(PyExc_TypeError, "%s must be a%s C-contiguous array", name,
                         writable ? " writable" : "");
            return false;
        }
        held_ = true;
        if (view_.itemsize != 8 || !format_is(kind)) {
            PyErr_Format(PyExc_TypeError, "%s must hold %s", name,
                         kind == 'd'   ? "float64 values"
                         : kind == 'u' ? "uint64 values"
                                       : "int64 values");
            return false;
        }
        if (ndim >= 0 && view_.ndim != ndim) {
            PyErr_Format(PyExc_ValueError, "%s must have %d dimension(s)", name, ndim);
            return false;
        }
        return true;
    }

    std::size_t size(int dimension) const { return static_cast<std::size_t>(view_.shape[dimension]); }
    std::size_t count() const { return static_cast<std::size_t>(view_.len) / 8; }
    double* doubles() const { return static_cast<double*>(view_.buf); }
    std::uint64_t* words() const { return static_cast<std::uint64_t*>(view_.buf); }
    const char* begin() const { return static_cast<const char*>(view_.buf); }
    const char* end() const { return begin() + view_.len; }

private:
    bool format_is(char kind) const {
        const char* f = view_.format;
        if (f == nullptr) return false;
        if (*f == '<' || *f == '=' || *f == '@') ++f;
        if (f[1] != '\0') return false;
        switch (kind) {
        case 'd': return *f == 'd';
        case 'u': return *f == 'Q' || *f == 'L';
        default: return *f == 'q' || *f == 'l';
        }
    }

    Py_buffer view_{};
    bool held_ = false;
};

bool fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return false;
}

// Output arrays must not share memory with inputs: the loops read inputs
// after writing outputs.
bool separate(const Buffer& out, std::initializer_list<const Buffer*> inputs) {
    for (const Buffer* in : inputs)
        if (out.begin() < in->end() && in->begin() < out.end())
            return fail(PyExc_ValueError, "the output array overlaps an input");
    return true;
}

bool parse(PyObject* args, const char* name, Py_ssize_t count, PyObject** items) {
    if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) != count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments", name, count);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) items[i] = PyTuple_GET_ITEM(args, i);
    return true;
}

// One array argument: the buffer it goes into, and what it must be.
struct Wanted {
    Buffer& buffer;
    const char* name;
    char kind;
    int ndim;
    bool writable;
};

// Acquires items[first], items[first + 1], ... as `wanted` says, in order.
bool acquire_all(PyObject* const* items, std::size_t first, std::initializer_list<Wanted> wanted) {
    for (const Wanted& w : wanted)
        if (!w.buffer.acquire(items[first++], w.name, w.kind, w.ndim, w.writable)) return false;
    return true;
}

bool number(PyObject* item, const char* name, double& value) {
    value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "%s must be a number", name);
        return false;
    }
    return true;
}

PyRef none() { return PyRef::borrow(Py_None); }

// Working memory, which every kernel writes before it reads: left
// uninitialised, since zeroing a population's worth costs as much as some of
// the kernels that use it.
class Scratch {
public:
    explicit Scratch(std::size_t doubles)
        : data_(std::make_unique_for_overwrite<double[]>(doubles)) {}
    double* data() const { return data_.get(); }
    double (*lanes())[8] { return reinterpret_cast<double (*)[8]>(data_.get()); }

private:
    std::unique_ptr<double[]> data_;
};

// The generator in a 4-word state array, which `use` advances.
template <typename Use>
bool with_generator(const Buffer& state, Use use) {
    if (state.count() != 4) return fail(PyExc_ValueError, "state must hold 4 words");
    optimizer::Xoshiro256 generator{};
    std::memcpy(generator.state.data(), state.words(), sizeof generator.state);
    if ((generator.state[0] | generator.state[1] | generator.state[2] | generator.state[3]) == 0)
        return fail(PyExc_ValueError, "state must not be all zero");
    use(generator);
    std::memcpy(state.words(), generator.state.data(), sizeof generator.state);
    return true;
}

PyRef normals(PyObject* args) {
    PyObject* a[2];
    Buffer state, out;
    if (!parse(args, "normals", 2, a) ||
        !acquire_all(a, 0, {{state, "state", 'u', 1, true}, {out, "out", 'd', -1, true}}) ||
        !with_generator(state, [&](optimizer::Xoshiro256& generator) {
            optimizer::fill_normals(generator, out.doubles(), out.count(),
                                    optimizer::Split::for_size(
                                        out.count(), optimizer::Split::smallest_sampling_split));
        }))
        return {};
    return none();
}

// sample(state, bd, mean, sigma, z, y, x): see optimizer::sample_population.
PyRef sample(PyObject* args) {
    PyObject* a[7];
    Buffer state, bd, mean, z, y, x;
    double sigma = 0.0;
    if (!parse(args, "sample", 7, a) ||
        !acquire_all(a, 0, {{state, "state", 'u', 1, true}, {bd, "bd", 'd', 2, false},
                            {mean, "mean", 'd', 1, false}}) ||
        !number(a[3], "sigma", sigma) ||
        !acquire_all(a, 4, {{z, "z", 'd', 2, true}, {y, "y", 'd', 2, true},
                            {x, "x", 'd', 2, true}}) ||
        !separate(z, {&bd, &mean, &y, &x}) || !separate(y, {&bd, &mean, &x}) ||
        !separate(x, {&bd, &mean}))
        return {};
    const std::size_t n = mean.count(), rows = z.size(0);
    for (const Buffer* rows_of_n : {&z, &y, &x})
        if (rows_of_n->size(0) != rows || rows_of_n->size(1) != n)
            return fail(PyExc_ValueError, "sample() needs z, y and x of one shape (k, n)"), PyRef{};
    if (bd.size(0) != n || bd.size(1) != n)
        return fail(PyExc_ValueError, "sample() needs bd (n, n)"), PyRef{};
    const optimizer::Split split =
        optimizer::Split::for_size(rows * n, optimizer::Split::smallest_sampling_split);
    if (!with_generator(state, [&](optimizer::Xoshiro256& generator) {
            optimizer::sample_population(generator, bd.doubles(), mean.doubles(), sigma,
                                         {z.doubles(), y.doubles(), x.doubles(), rows}, n,
                                         split);
        }))
        return {};
    return none();
}

// The four arrays of a distribution from a tuple (mean, ps, pc, c).
bool distribution(PyObject* item, const char* name, bool writable, Buffer (&arrays)[4]) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple (mean, ps, pc, c)", name);
        return false;
    }
    PyObject* const* items = &PyTuple_GET_ITEM(item, 0);
    return acquire_all(items, 0, {{arrays[0], "mean", 'd', 1, writable},
                                  {arrays[1], "ps", 'd', 1, writable},
                                  {arrays[2], "pc", 'd', 1, writable},
                                  {arrays[3], "c", 'd', 2, writable}});
}

optimizer::Distribution arrays_of(const Buffer (&arrays)[4]) {
    return {arrays[0].doubles(), arrays[1].doubles(), arrays[2].doubles(), arrays[3].doubles()};
}

// update(rates, weights, better, order, z, y, bd, b, sigma, ps_bias, old, new):
// see optimizer::update_distribution; returns the new |ps|.
PyRef update(PyObject* args) {
    PyObject* a[12];
    optimizer::Rates rates{};
    Buffer weights, order, z, y, bd, b, from[4], to[4];
    double sigma = 0.0, ps_bias = 0.0;
    if (!parse(args, "update", 12, a)) return {};
    if (!PyArg_ParseTuple(a[0], "dddddddd;rates must be 8 numbers", &rates.cs, &rates.ps_gain,
                          &rates.cc, &rates.pc_gain, &rates.h_sigma_limit, &rates.c1, &rates.cmu,
                          &rates.keep))
        return {};
    const Py_ssize_t better = PyLong_AsSsize_t(a[2]);
    if (better == -1 && PyErr_Occurred()) return {};
    if (!acquire_all(a, 1, {{weights, "weights", 'd', 1, false}}) ||
        !acquire_all(a, 3, {{order, "order", 'i', 1, false}, {z, "z", 'd', 2, false},
                            {y, "y", 'd', 2, false}, {bd, "bd", 'd', 2, false},
                            {b, "b", 'd', 2, false}}) ||
        !number(a[8], "sigma", sigma) || !number(a[9], "ps_bias", ps_bias) ||
        !distribution(a[10], "old", false, from) || !distribution(a[11], "new", true, to))
        return {};
    const std::size_t n = from[0].count(), rows = weights.count();
    bool sizes = order.count() == rows && better >= 0 && static_cast<std::size_t>(better) <= rows;
    for (const Buffer* rows_of_n : {&z, &y})
        sizes = sizes && rows_of_n->size(0) == rows && rows_of_n->size(1) == n;
    for (const Buffer* square : {&bd, &b, &from[3], &to[3]})
        sizes = sizes && square->size(0) == n && square->size(1) == n;
    for (int v = 0; v < 3; ++v) sizes = sizes && from[v].count() == n && to[v].count() == n;
    if (!sizes)
        return fail(PyExc_ValueError, "update() needs weights and order (k,), z and y (k, n), "
                                      "bd and b (n, n), mean, ps and pc (n,), c (n, n)"),
               PyRef{};
    const std::int64_t* rows_in_order = reinterpret_cast<const std::int64_t*>(order.words());
    for (std::size_t r = 0; r < rows; ++r)
        if (rows_in_order[r] < 0 || static_cast<std::size_t>(rows_in_order[r]) >= rows)
            return fail(PyExc_ValueError, "order must hold row indices"), PyRef{};
    for (const Buffer& out : to)
        if (!separate(out, {&weights, &order, &z, &y, &bd, &b, &from[0], &from[1], &from[2],
                            &from[3]}))
            return {};
    for (int v = 0; v < 4; ++v)
        for (int u = v + 1; u < 4; ++u)
            if (!separate(to[v], {&to[u]})) return {};
    // Kept from call to call: a population's worth of memory.
    const optimizer::Split split = optimizer::Split::for_size(rows * n);
    double* const work =
        optimizer::Split::kept_memory(optimizer::distribution_step_work(rows, n, split));
    const optimizer::RankedPopulation ranked{weights.doubles(), rows_in_order,
                                             static_cast<std::size_t>(better), z.doubles(),
                                             y.doubles(), rows};
    const double ps_norm =
        optimizer::update_distribution(rates, ranked, bd.doubles(), b.doubles(), sigma, ps_bias,
                                       arrays_of(from), arrays_of(to), n, work, split);
    return py::new_float(ps_norm);
}

// ranks(values, order): see optimizer::stable_order.
PyRef ranks(PyObject* args) {
    PyObject* a[2];
    Buffer values, order;
    if (!parse(args, "ranks", 2, a) ||
        !acquire_all(a, 0, {{values, "values", 'd', 1, false}, {order, "order", 'i', 1, true}}) ||
        !separate(order, {&values}))
        return {};
    if (order.count() != values.count())
        return fail(PyExc_ValueError, "ranks() needs order as long as values"), PyRef{};
    optimizer::stable_order(values.doubles(), values.count(),
                            reinterpret_cast<std::int64_t*>(order.words()));
    return none();
}

// penalised_values(points, plans, distances, values): see
// optimizer::penalised_values.
PyRef penalised_values(PyObject* args) {
    PyObject* a[4];
    Buffer points, plans, distances, values;
    if (!parse(args, "penalised_values", 4, a) ||
        !acquire_all(a, 0, {{points, "points", 'd', 2, false}, {plans, "plans", 'd', 2, false},
                            {distances, "distances", 'd', 1, false},
                            {values, "values", 'd', 1, true}}) ||
        !separate(values, {&points, &plans, &distances}))
        return {};
    const std::size_t rows = points.size(0), n = points.size(1);
    if (plans.size(0) != rows || plans.size(1) != n || distances.count() != rows ||
        values.count() != rows)
        return fail(PyExc_ValueError,
                    "penalised_values() needs points and plans (k, n), distances and values (k,)"),
               PyRef{};
    const optimizer::Split split = optimizer::Split::for_size(rows * n);
    double* const work =
        optimizer::Split::kept_memory(optimizer::penalised_values_work(rows, n, split));
    optimizer::penalised_values(points.doubles(), plans.doubles(), distances.doubles(),
                                values.doubles(), rows, n, work, split);
    return none();
}

// name(points, out) for a map of each value into the box: see
// optimizer::clip_to_box and optimizer::into_box.
template <void (*map)(const double*, double*, std::size_t)>
PyRef map_into_box(PyObject* args, const char* name) {
    PyObject* a[2];
    Buffer points, out;
    if (!parse(args, name, 2, a) ||
        !acquire_all(a, 0, {{points, "points", 'd', -1, false}, {out, "out", 'd', -1, true}}) ||
        !separate(out, {&points}))
        return {};
    if (out.count() != points.count()) {
        PyErr_Format(PyExc_ValueError, "%s() needs out as large as points", name);
        return {};
    }
    map(points.doubles(), out.doubles(), points.count());
    return none();
}

// A population's worth of clamping, split like the rest of its work.
void clip_to_box_split(const double* points, double* out, std::size_t count) {
    optimizer::clip_to_box(points, out, count, optimizer::Split::for_size(count));
}

PyRef clip_to_box(PyObject* args) { return map_into_box<clip_to_box_split>(args, "clip_to_box"); }

PyRef into_box(PyObject* args) { return map_into_box<optimizer::into_box>(args, "into_box"); }

// shape(z, a, out): out[k] = a z[k] for each row k of z; a is n x n.
PyRef shape(PyObject* args) {
    PyObject* a[3];
    Buffer z, m, out;
    if (!parse(args, "shape", 3, a) ||
        !acquire_all(a, 0, {{z, "z", 'd', 2, false}, {m, "a", 'd', 2, false},
                            {out, "out", 'd', 2, true}}) ||
        !separate(out, {&z, &m}))
        return {};
    const std::size_t rows = z.size(0), n = z.size(1);
    if (m.size(0) != n || m.size(1) != n || out.size(0) != rows || out.size(1) != n)
        return fail(PyExc_ValueError, "shape() needs z (k, n), a (n, n), out (k, n)"), PyRef{};
    Scratch work(optimizer::shape_work(n));
    optimizer::products().shape(z.doubles(), m.doubles(), out.doubles(), rows, n,
                                work.lanes());
    return none();
}

// combine(w, x, out): out = sum_k w[k] x[k], in row order.
PyRef combine(PyObject* args) {
    PyObject* a[3];
    Buffer w, x, out;
    if (!parse(args, "combine", 3, a) ||
        !acquire_all(a, 0, {{w, "w", 'd', 1, false}, {x, "x", 'd', 2, false},
                            {out, "out", 'd', 1, true}}) ||
        !separate(out, {&w, &x}))
        return {};
    if (x.size(0) != w.count() || out.count() != x.size(1))
        return fail(PyExc_ValueError, "combine() needs w (k,), x (k, n), out (n,)"), PyRef{};
    optimizer::products().combine(w.doubles(), x.doubles(), out.doubles(), x.size(0), x.size(1));
    return none();
}

// outer_sum(w, y, out): out = sum_k w[k] y[k] y[k]^T, exactly symmetric.
PyRef outer_sum(PyObject* args) {
    PyObject* a[3];
    Buffer w, y, out;
    if (!parse(args, "outer_sum", 3, a) ||
        !acquire_all(a, 0, {{w, "w", 'd', 1, false}, {y, "y", 'd', 2, false},
                            {out, "out", 'd', 2, true}}) ||
        !separate(out, {&w, &y}))
        return {};
    const std::size_t n = y.size(1);
    if (y.size(0) != w.count() || out.size(0) != n || out.size(1) != n)
        return fail(PyExc_ValueError, "outer_sum() needs w (k,), y (k, n), out (n, n)"), PyRef{};
    double* sum = out.doubles();
    Scratch work(optimizer::outer_sum_work(n));
    optimizer::products().weighted_outer_sum(w.doubles(), y.doubles(), sum, y.size(0), n,
                                             work.data());
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) sum[i * n + j] = sum[j * n + i];
    return none();
}

// row_dots(x, y, out): out[k] = sum_i x[k][i] y[k][i], in index order.
PyRef row_dots(PyObject* args) {
    PyObject* a[3];
    Buffer x, y, out;
    if (!parse(args, "row_dots", 3, a) ||
        !acquire_all(a, 0, {{x, "x", 'd', 2, false}, {y, "y", 'd', 2, false},
                            {out, "out", 'd', 1, true}}) ||
        !separate(out, {&x, &y}))
        return {};
    const std::size_t rows = x.size(0), n = x.size(1);
    if (y.size(0) != rows || y.size(1) != n || out.count() != rows)
        return fail(PyExc_ValueError, "row_dots() needs x (k, n), y (k, n), out (k,)"), PyRef{};
    Scratch work(optimizer::row_dots_work(n));
    optimizer::products().row_dots(x.doubles(), y.doubles(), out.doubles(), rows, n,
                                   work.lanes());
    return none();
}

// eigen(c, basis, values): see optimizer::symmetric_eigen; returns the sweeps.
PyRef eigen(PyObject* args) {
    PyObject* a[3];
    Buffer c, basis, values;
    if (!parse(args, "eigen", 3, a) ||
        !acquire_all(a, 0, {{c, "c", 'd', 2, false}, {basis, "basis", 'd', 2, true},
                            {values, "values", 'd', 1, true}}) ||
        !separate(basis, {&c}) || !separate(values, {&c, &basis}))
        return {};
    const std::size_t n = c.size(0);
    if (c.size(1) != n || basis.size(0) != n || basis.size(1) != n || values.count() != n)
        return fail(PyExc_ValueError, "eigen() needs c (n, n), basis (n, n), values (n,)"), PyRef{};
    Scratch work(optimizer::symmetric_eigen_work(n));
    const int sweeps =
        optimizer::symmetric_eigen(c.doubles(), basis.doubles(), values.doubles(), work.data(), n);
    return PyRef::steal(PyLong_FromLong(sweeps));
}

PyRef unary(PyObject* argument, double (*function)(double)) {
    const double x = PyFloat_AsDouble(argument);
    if (x == -1.0 && PyErr_Occurred()) return {};
    return py::new_float(function(x));
}

PyRef exp(PyObject* argument) { return unary(argument, optimizer::fixed_exp); }
PyRef log(PyObject* argument) { return unary(argument, optimizer::fixed_log); }
PyRef build(PyObject*) {
    return PyRef::steal(
        PyUnicode_FromString(dispatch::this_process_instruction_set().name));
}

// The interpreter's entry to `body`: no C++ exception gets past it.
template <PyRef (*body)(PyObject*)>
PyObject* entry(PyObject*, PyObject* args) noexcept {
    return py::call_boundary([&] { return body(args); });
}

PyMethodDef methods[] = {
    {"normals", entry<normals>, METH_VARARGS,
     "normals(state, out, /)\n--\n\nFills out with standard normal samples from the "
     "xoshiro256** state (4 uint64), which it advances."},
    {"sample", entry<sample>, METH_VARARGS,
     "sample(state, bd, mean, sigma, z, y, x, /)\n--\n\nA population: z standard normal "
     "samples from the state (advanced), y[k] = bd @ z[k], x[k] = mean + sigma * y[k]."},
    {"update", entry<update>, METH_VARARGS,
     "update(rates, weights, better, order, z, y, bd, b, sigma, ps_bias, old, new, /)\n--\n\n"
     "One generation's update of the distribution old = (mean, ps, pc, c) into the separate "
     "arrays new, from the rows of z and y ranked by order (best first) and weighted by rank; "
     "rates = (cs, ps_gain, cc, pc_gain, h_sigma_limit, c1, cmu, keep). Returns the new |ps|."},
    {"ranks", entry<ranks>, METH_VARARGS,
     "ranks(values, order, /)\n--\n\norder = the indices of values from the smallest up, "
     "equal values (and every NaN, last) in index order: NumPy's stable argsort."},
    {"penalised_values", entry<penalised_values>, METH_VARARGS,
     "penalised_values(points, plans, distances, values, /)\n--\n\nvalues = -distances + the "
     "penalty on the points outside the box (plans, the points clamped into it): "
     "|points[k] - plans[k]|^2, weighted so that the distances' interquartile range is worth "
     "as much as a step of the points' spread; each sum in index order."},
    {"clip_to_box", entry<clip_to_box>, METH_VARARGS,
     "clip_to_box(points, out, /)\n--\n\nout = points clamped into [-1, 1]; NaN stays NaN."},
    {"into_box", entry<into_box>, METH_VARARGS,
     "into_box(points, out, /)\n--\n\nout = points mapped into [-1, 1]: unchanged within "
     "0.9 of 0, bent smoothly onto the bound within 0.1 of it, folded back periodically beyond."},
    {"shape", entry<shape>, METH_VARARGS,
     "shape(z, a, out, /)\n--\n\nout[k] = a @ z[k] for every row k, each sum in index order."},
    {"combine", entry<combine>, METH_VARARGS,
     "combine(w, x, out, /)\n--\n\nout = sum of w[k] * x[k] over the rows, in row order."},
    {"outer_sum", entry<outer_sum>, METH_VARARGS,
     "outer_sum(w, y, out, /)\n--\n\nout = sum of w[k] * outer(y[k], y[k]) in row order, "
     "exactly symmetric."},
    {"row_dots", entry<row_dots>, METH_VARARGS,
     "row_dots(x, y, out, /)\n--\n\nout[k] = x[k] @ y[k], each sum in index order."},
    {"eigen", entry<eigen>, METH_VARARGS,
     "eigen(c, basis, values, /)\n--\n\nEigenvectors (into basis's columns, which start "
     "the rotations) and eigenvalues of the symmetric c's upper triangle by cyclic Jacobi "
     "sweeps; returns the sweeps taken."},
    {"exp", entry<exp>, METH_O, "exp(x, /)\n--\n\ne**x, the same bits on every machine."},
    {"log", entry<log>, METH_O, "log(x, /)\n--\n\nThe natural log, the same bits on every machine."},
    {"products_build", entry<build>, METH_NOARGS,
     "products_build()\n--\n\nWhich build of the products runs here: portable, avx2 or avx512."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def{PyModuleDef_HEAD_INIT,
                       "zorv._cmaes",
                       "The arithmetic of zorv.cma_es, the same bits on every machine.",
                       0,
                       methods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace
}  // namespace zorv::cmaes

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__cmaes() {
    return zorv::py::call_boundary(
        [] { return zorv::py::PyRef::steal(PyModule_Create(&zorv::cmaes::module_def)); });
}
