// zorv._cmaes: the private arithmetic of zorv.cma_es.CMAES.
//
// Everything whose bits could depend on the machine lives here, written
// with the four operations and sqrt in a fixed order and compiled like the
// core: the random normal samples, the matrix products, the covariance
// update, the eigendecomposition, exp and log. The algorithm's steps stay
// in Python. Arrays come in as C-contiguous buffers (float64, the
// generator's state uint64); results are written into the caller's arrays.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "call_boundary.hpp"
#include "optimizer/fixed_math.hpp"
#include "optimizer/normals.hpp"
#include "optimizer/products.hpp"
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
    // unsigned 64-bit) with `ndim` dimensions (any for -1); false with TypeError or
    // ValueError set otherwise.
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
                         kind == 'd' ? "float64 values" : "uint64 values");
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
        return kind == 'd' ? *f == 'd' : (*f == 'Q' || *f == 'L');
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

PyRef none() { return PyRef::borrow(Py_None); }

PyRef normals(PyObject* args) {
    PyObject* a[2];
    Buffer state, out;
    if (!parse(args, "normals", 2, a) || !state.acquire(a[0], "state", 'u', 1, true) ||
        !out.acquire(a[1], "out", 'd', -1, true))
        return {};
    if (state.count() != 4) return fail(PyExc_ValueError, "state must hold 4 words"), PyRef{};
    optimizer::Xoshiro256 generator{};
    std::memcpy(generator.state.data(), state.words(), sizeof generator.state);
    if ((generator.state[0] | generator.state[1] | generator.state[2] | generator.state[3]) == 0)
        return fail(PyExc_ValueError, "state must not be all zero"), PyRef{};
    optimizer::fill_normals(generator, out.doubles(), out.count());
    std::memcpy(state.words(), generator.state.data(), sizeof generator.state);
    return none();
}

// shape(z, a, out): out[k] = a z[k] for each row k of z; a is n x n.
PyRef shape(PyObject* args) {
    PyObject* a[3];
    Buffer z, m, out;
    if (!parse(args, "shape", 3, a) || !z.acquire(a[0], "z", 'd', 2, false) ||
        !m.acquire(a[1], "a", 'd', 2, false) || !out.acquire(a[2], "out", 'd', 2, true) ||
        !separate(out, {&z, &m}))
        return {};
    const std::size_t rows = z.size(0), n = z.size(1);
    if (m.size(0) != n || m.size(1) != n || out.size(0) != rows || out.size(1) != n)
        return fail(PyExc_ValueError, "shape() needs z (k, n), a (n, n), out (k, n)"), PyRef{};
    std::vector<double> work(n * 8);
    optimizer::products().shape(z.doubles(), m.doubles(), out.doubles(), rows, n,
                                reinterpret_cast<double (*)[8]>(work.data()));
    return none();
}

// combine(w, x, out): out = sum_k w[k] x[k], in row order.
PyRef combine(PyObject* args) {
    PyObject* a[3];
    Buffer w, x, out;
    if (!parse(args, "combine", 3, a) || !w.acquire(a[0], "w", 'd', 1, false) ||
        !x.acquire(a[1], "x", 'd', 2, false) || !out.acquire(a[2], "out", 'd', 1, true) ||
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
    if (!parse(args, "outer_sum", 3, a) || !w.acquire(a[0], "w", 'd', 1, false) ||
        !y.acquire(a[1], "y", 'd', 2, false) || !out.acquire(a[2], "out", 'd', 2, true) ||
        !separate(out, {&w, &y}))
        return {};
    const std::size_t n = y.size(1);
    if (y.size(0) != w.count() || out.size(0) != n || out.size(1) != n)
        return fail(PyExc_ValueError, "outer_sum() needs w (k,), y (k, n), out (n, n)"), PyRef{};
    double* sum = out.doubles();
    std::vector<double> products(y.size(0) * n), padded(y.size(0) * ((n + 7) / 8 * 8));
    optimizer::products().weighted_outer_sum(w.doubles(), y.doubles(), sum, y.size(0), n,
                                             products.data(), padded.data());
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) sum[i * n + j] = sum[j * n + i];
    return none();
}

// row_dots(x, y, out): out[k] = sum_i x[k][i] y[k][i], in index order.
PyRef row_dots(PyObject* args) {
    PyObject* a[3];
    Buffer x, y, out;
    if (!parse(args, "row_dots", 3, a) || !x.acquire(a[0], "x", 'd', 2, false) ||
        !y.acquire(a[1], "y", 'd', 2, false) || !out.acquire(a[2], "out", 'd', 1, true) ||
        !separate(out, {&x, &y}))
        return {};
    const std::size_t rows = x.size(0), n = x.size(1);
    if (y.size(0) != rows || y.size(1) != n || out.count() != rows)
        return fail(PyExc_ValueError, "row_dots() needs x (k, n), y (k, n), out (k,)"), PyRef{};
    for (std::size_t k = 0; k < rows; ++k) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) sum = sum + x.doubles()[k * n + i] * y.doubles()[k * n + i];
        out.doubles()[k] = sum;
    }
    return none();
}

// eigen(c, basis, values): see optimizer::symmetric_eigen; returns the sweeps.
PyRef eigen(PyObject* args) {
    PyObject* a[3];
    Buffer c, basis, values;
    if (!parse(args, "eigen", 3, a) || !c.acquire(a[0], "c", 'd', 2, false) ||
        !basis.acquire(a[1], "basis", 'd', 2, true) ||
        !values.acquire(a[2], "values", 'd', 1, true) || !separate(basis, {&c}) ||
        !separate(values, {&c, &basis}))
        return {};
    const std::size_t n = c.size(0);
    if (c.size(1) != n || basis.size(0) != n || basis.size(1) != n || values.count() != n)
        return fail(PyExc_ValueError, "eigen() needs c (n, n), basis (n, n), values (n,)"), PyRef{};
    std::vector<double> work(optimizer::symmetric_eigen_work(n));
    const int sweeps =
        optimizer::symmetric_eigen(c.doubles(), basis.doubles(), values.doubles(), work.data(), n);
    return PyRef::steal(PyLong_FromLong(sweeps));
}

PyRef unary(PyObject* argument, double (*function)(double)) {
    const double x = PyFloat_AsDouble(argument);
    if (x == -1.0 && PyErr_Occurred()) return {};
    return py::new_float(function(x));
}

PyObject* normals_entry(PyObject*, PyObject* args) noexcept {
    return py::call_boundary([&] { return normals(args); });
}
PyObject* shape_entry(PyObject*, PyObject* args) noexcept {
    return py::call_boundary([&] { return shape(args); });
}
PyObject* combine_entry(PyObject*, PyObject* args) noexcept {
    return py::call_boundary([&] { return combine(args); });
}
PyObject* outer_sum_entry(PyObject*, PyObject* args) noexcept {
    return py::call_boundary([&] { return outer_sum(args); });
}
PyObject* row_dots_entry(PyObject*, PyObject* args) noexcept {
    return py::call_boundary([&] { return row_dots(args); });
}
PyObject* eigen_entry(PyObject*, PyObject* args) noexcept {
    return py::call_boundary([&] { return eigen(args); });
}
PyObject* exp_entry(PyObject*, PyObject* argument) noexcept {
    return py::call_boundary([&] { return unary(argument, optimizer::fixed_exp); });
}
PyObject* log_entry(PyObject*, PyObject* argument) noexcept {
    return py::call_boundary([&] { return unary(argument, optimizer::fixed_log); });
}
PyObject* build_entry(PyObject*, PyObject*) noexcept {
    return py::call_boundary([] {
        return PyRef::steal(
            PyUnicode_FromString(optimizer::products_build_name(optimizer::products_build())));
    });
}

PyMethodDef methods[] = {
    {"normals", normals_entry, METH_VARARGS,
     "normals(state, out, /)\n--\n\nFills out with standard normal samples from the "
     "xoshiro256** state (4 uint64), which it advances."},
    {"shape", shape_entry, METH_VARARGS,
     "shape(z, a, out, /)\n--\n\nout[k] = a @ z[k] for every row k, each sum in index order."},
    {"combine", combine_entry, METH_VARARGS,
     "combine(w, x, out, /)\n--\n\nout = sum of w[k] * x[k] over the rows, in row order."},
    {"outer_sum", outer_sum_entry, METH_VARARGS,
     "outer_sum(w, y, out, /)\n--\n\nout = sum of w[k] * outer(y[k], y[k]) in row order, "
     "exactly symmetric."},
    {"row_dots", row_dots_entry, METH_VARARGS,
     "row_dots(x, y, out, /)\n--\n\nout[k] = x[k] @ y[k], each sum in index order."},
    {"eigen", eigen_entry, METH_VARARGS,
     "eigen(c, basis, values, /)\n--\n\nEigenvectors (into basis's columns, which start "
     "the rotations) and eigenvalues of the symmetric c's upper triangle by cyclic Jacobi "
     "sweeps; returns the sweeps taken."},
    {"exp", exp_entry, METH_O, "exp(x, /)\n--\n\ne**x, the same bits on every machine."},
    {"log", log_entry, METH_O, "log(x, /)\n--\n\nThe natural log, the same bits on every machine."},
    {"products_build", build_entry, METH_NOARGS,
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
