#include "corvane/common/call.h"

#include <climits>
#include <vector>

namespace corvane {

Ref text(std::string_view utf8) {
    return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref integer(long long value) { return check(PyLong_FromLongLong(value)); }

long long saturated_integer(PyObject* value) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) throw_current();
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    return number;
}

Ref floating(double value) { return check(PyFloat_FromDouble(value)); }

Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

std::string_view utf8(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) throw_current();
    return {data, static_cast<std::size_t>(size)};
}

bool truthy(PyObject* obj) { return check_status(PyObject_IsTrue(obj)) != 0; }

bool is_instance(PyObject* obj, PyObject* type) {
    return check_status(PyObject_IsInstance(obj, type)) != 0;
}

bool equal(PyObject* a, PyObject* b) {
    return check_status(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

Ref getattr(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

Ref getattr_optional(PyObject* obj, const char* name) {
    PyObject* value = nullptr;
    check_status(PyObject_GetOptionalAttrString(obj, name, &value));
    return Ref::steal(value);
}

void setattr(PyObject* obj, const char* name, PyObject* value) {
    check_status(PyObject_SetAttrString(obj, name, value));
}

Ref get_item_optional(PyObject* mapping, const char* key) {
    PyObject* value = nullptr;
    check_status(PyMapping_GetOptionalItemString(mapping, key, &value));
    return Ref::steal(value);
}

Ref import(const char* module) { return check(PyImport_ImportModule(module)); }

Ref global(PyObject* module, const char* name) {
    PyObject* value = nullptr;
    check_status(PyDict_GetItemStringRef(PyModule_GetDict(module), name, &value));
    if (value != nullptr) return Ref::steal(value);
    PyObject* builtins = PyEval_GetFrameBuiltins();
    Ref owned = Ref::steal(builtins);
    if (builtins != nullptr) {
        check_status(PyDict_GetItemStringRef(builtins, name, &value));
        if (value != nullptr) return Ref::steal(value);
    }
    throw_format(PyExc_NameError, "name '%s' is not defined", name);
}

namespace {

// Builds the vectorcall form of positional plus keyword arguments (those with a value).
Ref vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargs,
               std::initializer_list<Kwarg> kwargs) {
    Py_ssize_t given = 0;
    for (const Kwarg& kwarg : kwargs) given += kwarg.value != nullptr ? 1 : 0;
    if (given == 0) {
        return check(PyObject_Vectorcall(callable, args, nargs, nullptr));
    }
    std::vector<PyObject*> argv(args, args + nargs);
    Ref names = check(PyTuple_New(given));
    Py_ssize_t index = 0;
    for (const Kwarg& kwarg : kwargs) {
        if (kwarg.value == nullptr) continue;
        PyTuple_SET_ITEM(names.get(), index++, check(PyUnicode_InternFromString(kwarg.name)).release());
        argv.push_back(kwarg.value);
    }
    return check(PyObject_Vectorcall(callable, argv.data(), nargs, names.get()));
}

}  // namespace

Ref call_vector(PyObject* callable, PyObject* const* args, std::size_t nargs,
                std::initializer_list<Kwarg> kwargs) {
    return vectorcall(callable, args, nargs, kwargs);
}

Ref call_method_vector(PyObject* obj, const char* name, PyObject* const* args,
                       std::size_t nargs, std::initializer_list<Kwarg> kwargs) {
    Ref method = getattr(obj, name);
    return vectorcall(method.get(), args + 1, nargs, kwargs);
}

void raise_new(PyObject* exception_class) {
    raise_bare(check(PyObject_CallNoArgs(exception_class)));
}

void raise_bare(Ref exception) {
    if (PyExceptionInstance_Check(exception.get())) {
        PyException_SetCause(exception.get(), nullptr);
        PyException_SetContext(exception.get(), nullptr);
        check_status(PyObject_SetAttrString(exception.get(), "__suppress_context__", Py_True));
    }
    throw PyError(std::move(exception));
}

}  // namespace corvane
