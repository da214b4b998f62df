#include "py/argument_binding.hpp"

#include <cstring>
#include <string>

namespace zorv::py {

// These texts are part of the module's interface: callers and stored logs
// match them, so they are never reworded.
namespace text {
constexpr const char* too_many_positional = "%s() takes %zu positional arguments but %zd were given";
constexpr const char* no_keywords = "%s() takes no keyword arguments";
constexpr const char* unexpected_keyword = "%s() got an unexpected keyword argument '%S'";
constexpr const char* multiple_values = "%s() got multiple values for argument '%s'";
constexpr const char* missing_arguments = "%s() missing %zu required positional argument%s: %s";
}  // namespace text

namespace {

// The parameter `keyword` names, or count where it names none.
std::size_t parameter_named(PyObject* keyword, const Signature& signature, std::size_t count) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!name) {  // not encodable: matches no parameter
        PyErr_Clear();
        return count;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const char* parameter = signature.parameters[i];
        if (static_cast<std::size_t>(size) == std::strlen(parameter) &&
            std::memcmp(name, parameter, static_cast<std::size_t>(size)) == 0) {
            return i;
        }
    }
    return count;
}

bool bind_keywords(const Signature& signature, std::size_t count, PyObject* const* args,
                   Py_ssize_t positional, PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywords > 0 && signature.keywords == Keywords::refused) {
        PyErr_Format(PyExc_TypeError, text::no_keywords, signature.function);
        return false;
    }
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t i = parameter_named(keyword, signature, count);
        if (i == count) {
            PyErr_Format(PyExc_TypeError, text::unexpected_keyword, signature.function, keyword);
            return false;
        }
        if (bound[i]) {
            PyErr_Format(PyExc_TypeError, text::multiple_values, signature.function, signature.parameters[i]);
            return false;
        }
        bound[i] = args[positional + k];
    }
    return true;
}

// As Python names them: 'a', 'a' and 'b', 'a', 'b' and 'c'.
bool report_missing(const Signature& signature, std::size_t count, PyObject* const* bound) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < count; ++i) missing += bound[i] == nullptr;
    if (missing == 0) return true;
    std::string names;
    for (std::size_t i = 0, listed = 0; i < count; ++i) {
        if (bound[i]) continue;
        if (listed > 0) names += missing > 2 ? ", " : " ";
        if (listed > 0 && listed + 1 == missing) names += "and ";
        names += std::string("'") + signature.parameters[i] + "'";
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, text::missing_arguments, signature.function, missing,
                 missing == 1 ? "" : "s", names.c_str());
    return false;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, Arguments& bound) {
    bound.signature_ = &signature;
    const std::size_t count = signature.count();
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional > static_cast<Py_ssize_t>(count)) {
        PyErr_Format(PyExc_TypeError, text::too_many_positional, signature.function, count, positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) bound.bound_[i] = args[i];
    return bind_keywords(signature, count, args, positional, kwnames, bound.bound_) &&
           report_missing(signature, count, bound.bound_);
}

}  // namespace zorv::py
