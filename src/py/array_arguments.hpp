// Reading a call's bound arguments as the arrays and numbers that
// zorv._cmaes's kernels take: C-contiguous buffers of 8-byte items, checked
// for their kind, their dimensions and, for outputs, writability and
// overlap with the inputs. Each argument is read in its parameter's order
// and named in messages by its parameter's name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "py/argument_binding.hpp"
#include "py/buffer_view.hpp"

namespace zorv::py {

enum class Access { read, write };

// An array argument as the kernels read it; empty where reading failed.
struct Array {
    const BufferView* view = nullptr;

    std::size_t size(int dimension) const { return view ? view->size(dimension) : 0; }
    std::size_t count() const { return view ? view->items() : 0; }
    double* doubles() const { return static_cast<double*>(data()); }
    std::uint64_t* words() const { return static_cast<std::uint64_t*>(data()); }
    std::int64_t* indices() const { return static_cast<std::int64_t*>(data()); }
    void* data() const { return view ? view->data() : nullptr; }
};

// Reads the arguments one after another. The first failure sets the error
// (TypeError for what an argument is, ValueError for its sizes and overlaps)
// and every later read or check then does nothing, so that a body reads and
// checks everything and asks ok() once. Holds the buffers until it goes.
class ArrayArguments {
public:
    explicit ArrayArguments(const Arguments& arguments) : arguments_(arguments) {}
    ArrayArguments(const ArrayArguments&) = delete;
    ArrayArguments& operator=(const ArrayArguments&) = delete;

    // The next argument as an array of `items` with `dimensions` dimensions
    // (any number for -1).
    Array array(Items items, int dimensions, Access access = Access::read);
    // The next argument as a number, as a whole number, as a tuple of
    // `count` numbers into `out`.
    double number();
    Py_ssize_t whole_number();
    void numbers(double* out, std::size_t count);
    // The next argument as a tuple of `size` items (borrowed; null after a
    // failure), described in the message as `what`.
    PyObject* const* tuple(std::size_t size, const char* what);
    // `object`, an item of such a tuple, as an array named `name`.
    Array array_of(PyObject* object, const char* name, Items items, int dimensions, Access access);

    // A ValueError with `message` unless `condition` holds.
    void require(bool condition, const char* message);
    // A ValueError if `out` shares memory with any of `inputs`: the kernels
    // read inputs after writing outputs.
    void separate(const Array& out, std::initializer_list<const Array*> inputs);

    bool ok() const { return !failed_; }

private:
    // The next argument and its parameter's name; null after a failure.
    PyObject* next(const char*& name);
    // Sets the error, formatted as PyErr_Format does, and fails the reader.
    void fail(PyObject* type, const char* format, ...);

    static constexpr std::size_t most_arrays = 16;
    const Arguments& arguments_;
    std::size_t next_ = 0;
    bool failed_ = false;
    std::array<BufferView, most_arrays> views_;
    std::size_t views_taken_ = 0;
};

}  // namespace zorv::py
