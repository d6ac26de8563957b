// Plain Python classes whose methods are C++ functions.
//
// A method is a builtin function bound to the module (so its body can reach the module's
// namespace), wrapped like a Python `def`: as an instance method, a staticmethod, a
// classmethod or a read-only property. The class itself is made by calling the metaclass, so subclassing,
// instance dictionaries and replacing a method behave as for a class written in Python.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "corvane/common/ref.h"

namespace corvane {

// The signature of every exported method body: `module` is the defining module, `args`
// start with the instance (or the class) except for static methods.
using MethodBody = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

enum class Binding { Instance, Static, Class, Property };

struct MethodDef {
    PyMethodDef def;
    Binding binding;
    const char* signature;  // the Python parameter list, e.g. "(self, key, max_retries=2)"
    std::string doc;        // backs def.ml_doc: the signature line and the help text
};

// A method definition; `doc` is its help text (or null). The signature makes the method
// introspectable (inspect.signature, help()).
inline MethodDef method(const char* name, MethodBody body, const char* signature,
                        const char* doc, Binding binding = Binding::Instance) {
    return MethodDef{
        {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(body)),
         METH_FASTCALL | METH_KEYWORDS, nullptr},
        binding, signature, doc == nullptr ? std::string() : std::string(doc)};
}

// The class attribute for one method definition (which must outlive the module).
Ref make_method(PyObject* module, MethodDef& def);

// Adds the methods of `tables` to `dict` in the order of `order`. Every method of the
// tables must be named in `order`, so none is forgotten.
void add_methods(PyObject* module, PyObject* dict, std::span<const std::string_view> order,
                 std::initializer_list<std::span<MethodDef>> tables);

// type(name, bases, dict) with __module__ and __qualname__ set from the module.
Ref make_class(PyObject* module, const char* name, PyObject* bases, PyObject* dict,
               const char* doc);

}  // namespace corvane
