#include "argument_binding.hpp"

#include <cstddef>
#include <cstring>

namespace zorv::py {

// These texts are part of the module's interface: callers and stored logs
// match them, so they are never reworded.
namespace text {
constexpr const char* too_many_positional = "%s() takes 1 positional arguments but %zd were given";
constexpr const char* unexpected_keyword = "%s() got an unexpected keyword argument '%S'";
constexpr const char* multiple_values = "%s() got multiple values for argument '%s'";
constexpr const char* missing_argument = "%s() missing 1 required positional argument: '%s'";
}  // namespace text

namespace {

bool is_parameter_name(PyObject* keyword, const char* parameter) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!name) {  // not encodable: matches no parameter
        PyErr_Clear();
        return false;
    }
    return static_cast<std::size_t>(size) == std::strlen(parameter) &&
           std::memcmp(name, parameter, static_cast<std::size_t>(size)) == 0;
}

}  // namespace

PyObject* bind_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional >= 2) {
        PyErr_Format(PyExc_TypeError, text::too_many_positional, signature.function, positional);
        return nullptr;
    }
    PyObject* bound = positional == 1 ? args[0] : nullptr;
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!is_parameter_name(keyword, signature.parameter)) {
            PyErr_Format(PyExc_TypeError, text::unexpected_keyword, signature.function, keyword);
            return nullptr;
        }
        if (bound) {
            PyErr_Format(PyExc_TypeError, text::multiple_values, signature.function,
                         signature.parameter);
            return nullptr;
        }
        bound = args[positional + i];
    }
    if (!bound) {
        PyErr_Format(PyExc_TypeError, text::missing_argument, signature.function,
                     signature.parameter);
    }
    return bound;
}

}  // namespace zorv::py
