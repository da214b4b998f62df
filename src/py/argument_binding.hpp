// Binding the arguments of a call to a function's parameters: the one way
// every entry of the three modules takes its arguments (a vectorcall, bound
// as a Python function of the same signature binds them, with the same
// messages), and the function descriptions that the modules are built from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "py/call_boundary.hpp"
#include "py/py_ref.hpp"
#include "support/shared_api.hpp"

namespace zorv::py {

// Whether a function's parameters may also be given by keyword (`f(plan)`)
// or only by position (`f(state, out, /)`).
enum class Keywords { accepted, refused };

inline constexpr std::size_t most_parameters = 12;

struct Signature {
    const char* function;                      // as shown in messages, without "()"
    const char* parameters[most_parameters];   // in order, the first null ends them
    Keywords keywords = Keywords::refused;

    constexpr std::size_t count() const {
        std::size_t n = 0;
        while (n < most_parameters && parameters[n] != nullptr) ++n;
        return n;
    }
};

// The objects a call bound to each parameter, borrowed from the call.
class Arguments {
public:
    PyObject* operator[](std::size_t i) const { return bound_[i]; }
    // The parameter's name, as messages about its argument give it.
    const char* name(std::size_t i) const { return signature_->parameters[i]; }
    const char* function() const { return signature_->function; }
    std::size_t count() const { return signature_->count(); }

private:
    friend ZORV_SHARED_API bool bind_arguments(const Signature& signature, PyObject* const* args,
                                               Py_ssize_t nargsf, PyObject* kwnames, Arguments& bound);
    const Signature* signature_ = nullptr;
    PyObject* bound_[most_parameters] = {};
};

// Binds the arguments of a vectorcall to the signature's parameters, into
// `bound` as it is made (every parameter unbound): every parameter gets
// exactly one. False with the binding error set (TypeError) otherwise.
ZORV_SHARED_API bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames, Arguments& bound);

// A function of a module: its signature, its body (a new reference, or null
// with an error set) and its docstring, whose first line is the signature
// in the interpreter's text-signature form.
struct Function {
    Signature signature;
    PyRef (*body)(const Arguments& arguments);
    const char* doc;
};

// Whether `doc` begins with the text signature of `signature`:
// "name(a, b)\n--\n\n", with ", /" before the ")" where keywords are refused.
consteval bool documents(const char* doc, const Signature& signature) {
    const auto take = [&doc](const char* text) {
        for (; *text != '\0'; ++text, ++doc) {
            if (*doc != *text) return false;
        }
        return true;
    };
    if (!take(signature.function) || !take("(")) return false;
    const std::size_t count = signature.count();
    for (std::size_t i = 0; i < count; ++i) {
        if ((i > 0 && !take(", ")) || !take(signature.parameters[i])) return false;
    }
    if (count > 0 && signature.keywords == Keywords::refused && !take(", /")) return false;
    return take(")\n--\n\n");
}

// The interpreter's entry to a function: binds the call's arguments and runs
// the body in the call boundary.
template <const Function& function>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return call_boundary([&]() -> PyRef {
        Arguments bound;
        if (!bind_arguments(function.signature, args, nargsf, kwnames, bound)) return {};
        return function.body(bound);
    });
}

// The method definition of a function, for the life of the process.
template <const Function& function>
PyMethodDef method_definition() {
    static_assert(documents(function.doc, function.signature),
                  "a function's docstring must begin with its signature");
    return {function.signature.function,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<function>)),
            METH_FASTCALL | METH_KEYWORDS, function.doc};
}

}  // namespace zorv::py
