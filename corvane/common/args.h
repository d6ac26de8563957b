// The one argument parser of the exported functions. It reproduces the interpreter's
// texts for compiled functions: counts include `self`/`cls`, and typed parameters accept
// exactly their type (subclasses refused).
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "corvane/common/ref.h"

namespace corvane {

enum class ArgType {
    Any,
    Str,        // exactly str
    StrOrNone,  // exactly str, or None
    Int,        // exactly int (bool refused)
    Dict,       // exactly dict
    List,       // exactly list
    Bytes,      // exactly bytes
};

// Keyword-only parameters come after the others and are optional.
struct Param {
    const char* name;
    ArgType type = ArgType::Any;
    bool required = true;
    bool keyword_only = false;
};

// The parsed arguments: borrowed references, null where an optional one was not given.
template <std::size_t N>
struct Args {
    std::array<PyObject*, N> values{};
    PyObject* operator[](std::size_t index) const noexcept { return values[index]; }
    // The argument, or `fallback` when it was not given.
    PyObject* get(std::size_t index, PyObject* fallback) const noexcept {
        return values[index] != nullptr ? values[index] : fallback;
    }
    bool given(std::size_t index) const noexcept { return values[index] != nullptr; }
};

void parse_args_into(const char* function, std::span<const Param> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <std::size_t N>
Args<N> parse_args(const char* function, const std::array<Param, N>& params,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<N> parsed;
    parse_args_into(function, params, args, nargs, kwnames, parsed.values.data());
    return parsed;
}

// The same for the (args tuple, kwargs dict or null) convention of tp_new and tp_init.
void parse_args_into(const char* function, std::span<const Param> params, PyObject* args,
                     PyObject* kwargs, PyObject** out);

template <std::size_t N>
Args<N> parse_args(const char* function, const std::array<Param, N>& params, PyObject* args,
                   PyObject* kwargs) {
    Args<N> parsed;
    parse_args_into(function, params, args, kwargs, parsed.values.data());
    return parsed;
}

// The type error of a typed parameter given a value of the wrong type.
[[noreturn]] void raise_argument_type(const char* name, const char* expected, PyObject* given);
// True when `value` is acceptable for `type`.
bool argument_type_ok(ArgType type, PyObject* value) noexcept;

}  // namespace corvane
