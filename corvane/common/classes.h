// Plain Python classes whose methods are C++ functions.
//
// A method is a builtin function bound to the module (so its body can reach the module's
// namespace), wrapped like a Python `def`: as an instance method, a staticmethod, a
// classmethod or a read-only property. The class itself is made by calling the metaclass, so subclassing,
// instance dictionaries and replacing a method behave as for a class written in Python.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "corvane/common/ref.h"

namespace corvane {

// The entry the interpreter calls for every exported method: `module` is the defining module, `args`
// start with the instance (or the class) except for static methods.
using MethodBody = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

// Function: a plain function of the module, not of a class.
enum class Binding { Instance, Static, Class, Property, Function };

struct MethodDef {
    PyMethodDef def;
    Binding binding;
    std::string doc;  // backs def.ml_doc: the signature line and the help text
};

// A method definition; `signature` is the Python parameter list, e.g. "(self, key,
// max_retries=2)", which makes the method introspectable (inspect.signature, help()), and
// `doc` its help text (or null).
MethodDef method(const char* name, MethodBody body, std::string_view signature, const char* doc,
                 Binding binding);

// The class attribute for one method definition (which must outlive the module).
Ref make_method(PyObject* module, MethodDef& def);

// Adds the methods to `dict` in their order.
void add_methods(PyObject* module, PyObject* dict, std::span<MethodDef> methods);

// type(name, bases, dict) with __module__ and __qualname__ set from the module.
Ref make_class(PyObject* module, const char* name, PyObject* bases, PyObject* dict,
               const char* doc);

}  // namespace corvane
