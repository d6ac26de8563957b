#include "corvane/common/args.h"

#include <vector>

#include "corvane/common/error.h"

namespace corvane {

namespace {

const char* type_name(ArgType type) noexcept {
    switch (type) {
        case ArgType::Str:
        case ArgType::StrOrNone: return "str";
        case ArgType::Int: return "int";
        case ArgType::Dict: return "dict";
        case ArgType::List: return "list";
        case ArgType::Bytes: return "bytes";
        case ArgType::Any: break;
    }
    return "object";
}

[[noreturn]] void raise_count(const char* function, bool exact, Py_ssize_t expected,
                              bool too_many, Py_ssize_t given) {
    const char* more_or_less = exact ? "exactly" : (too_many ? "at most" : "at least");
    throw_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function, more_or_less, expected, expected == 1 ? "" : "s", given);
}

}  // namespace

bool argument_type_ok(ArgType type, PyObject* value) noexcept {
    switch (type) {
        case ArgType::Any: return true;
        case ArgType::Str: return PyUnicode_CheckExact(value);
        case ArgType::StrOrNone: return value == Py_None || PyUnicode_CheckExact(value);
        case ArgType::Int: return PyLong_CheckExact(value);
        case ArgType::Dict: return PyDict_CheckExact(value);
        case ArgType::List: return PyList_CheckExact(value);
        case ArgType::Bytes: return PyBytes_CheckExact(value);
    }
    return false;
}

void raise_argument_type(const char* name, const char* expected, PyObject* given) {
    throw_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(given)->tp_name);
}

void parse_args_into(const char* function, std::span<const Param> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const auto total = static_cast<Py_ssize_t>(params.size());
    Py_ssize_t positional = 0;
    Py_ssize_t required = 0;
    for (const Param& param : params) {
        if (param.keyword_only) continue;
        ++positional;
        required += param.required ? 1 : 0;
    }
    const bool exact = required == positional;

    if (nargs > positional) raise_count(function, exact, positional, true, nargs);
    for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            throw_format(PyExc_TypeError, "%.200s() keywords must be strings", function);
        }
        Py_ssize_t index = 0;
        while (index < total && PyUnicode_CompareWithASCIIString(key, params[index].name) != 0) {
            ++index;
        }
        if (index == total) {
            throw_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
        }
        if (out[index] != nullptr) {
            throw_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function, key);
        }
        out[index] = args[nargs + k];
    }

    for (Py_ssize_t i = 0; i < total; ++i) {
        if (out[i] == nullptr && params[i].required) {
            raise_count(function, exact, exact ? positional : required, false, i);
        }
    }
    for (Py_ssize_t i = 0; i < total; ++i) {
        if (out[i] != nullptr && !argument_type_ok(params[i].type, out[i])) {
            raise_argument_type(params[i].name, type_name(params[i].type), out[i]);
        }
    }
}

void parse_args_into(const char* function, std::span<const Param> params, PyObject* args,
                     PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    // The vectorcall layout: positional values, then keyword values named by a tuple.
    std::vector<PyObject*> values(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Ref kwnames;
    if (nkw != 0) {
        kwnames = check(PyTuple_New(nkw));
        Py_ssize_t position = 0;
        Py_ssize_t index = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), index, Py_NewRef(key));
            values[static_cast<std::size_t>(nargs + index)] = value;
            ++index;
        }
    }
    parse_args_into(function, params, values.data(), nargs, kwnames.get(), out);
}

}  // namespace corvane
