// A view of an object's buffer, released on every path: the one way the
// modules read arrays (the plan reader's fast path, zorv._cmaes's arrays).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace zorv::py {

// The kinds of 8-byte items the modules read, by their buffer format codes.
enum class Items { float64, uint64, int64 };

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // A C-contiguous buffer of `object`, writable where asked; false with the
    // interpreter's error set otherwise (the caller keeps it or replaces it).
    bool acquire(PyObject* object, bool writable) {
        release();
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) == -1) return false;
        held_ = true;
        return true;
    }

    // Whether the items are 8-byte `items` in native order.
    bool holds(Items items) const {
        const char* format = view_.format;
        if (view_.itemsize != 8 || format == nullptr) return false;
        if (*format == '@' || *format == '=' || *format == '<') ++format;
        if (format[0] == '\0' || format[1] != '\0') return false;
        switch (items) {
        case Items::float64: return *format == 'd';
        case Items::uint64: return *format == 'Q' || *format == 'L';
        case Items::int64: return *format == 'q' || *format == 'l';
        }
        return false;
    }

    int dimensions() const { return view_.ndim; }
    std::size_t size(int dimension) const { return static_cast<std::size_t>(view_.shape[dimension]); }
    std::size_t items() const { return static_cast<std::size_t>(view_.len) / 8; }
    void* data() const { return view_.buf; }
    const char* begin() const { return static_cast<const char*>(view_.buf); }
    const char* end() const { return begin() + view_.len; }

private:
    void release() {
        if (std::exchange(held_, false)) PyBuffer_Release(&view_);
    }

    // Filled by acquire, and read only once it has succeeded: left
    // uninitialised until then, since a reader of arrays keeps a row of
    // views, most of them never used, for every call.
    Py_buffer view_;
    bool held_ = false;
};

}  // namespace zorv::py
