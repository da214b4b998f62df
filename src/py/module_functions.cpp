#include "py/module_functions.hpp"

#include "support/internal_failure.hpp"

namespace zorv::py {

// These texts are part of the module's interface: callers and stored logs
// match them, so they are never reworded.
namespace text {
constexpr const char* append_to_all_failed = "could not append __name__ to __all__";
constexpr const char* name_not_a_string = "'%s' object cannot be converted to 'PyString'";
}  // namespace text

namespace {

PyRef all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (all || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) return {};
    if (!add_to_module(module, "__all__", all)) return {};
    return all;
}

bool list_in_all(PyObject* module, PyObject* name) {
    PyRef all = all_list(module);
    if (!all) return false;
    if (PyList_Append(all.get(), name) == -1) {
        PyErr_Clear();
        throw InternalFailure(text::append_to_all_failed);
    }
    return true;
}

}  // namespace

bool add_to_module(PyObject* module, const char* name, const PyRef& value) {
    return value && PyObject_SetAttrString(module, name, value.get()) == 0;
}

bool add_function(PyObject* module, PyMethodDef& definition, Listing listing) {
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return false;
    PyRef module_name_object = PyRef::steal(PyUnicode_FromString(module_name));
    if (!module_name_object) return false;
    PyRef function = PyRef::steal(PyCMethod_New(&definition, module, module_name_object.get(), nullptr));
    module_name_object.reset();
    if (!function) return false;

    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        PyErr_Format(PyExc_TypeError, text::name_not_a_string, Py_TYPE(name.get())->tp_name);
        return false;
    }
    if (listing == Listing::in_all && !list_in_all(module, name.get())) return false;
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

}  // namespace zorv::py
