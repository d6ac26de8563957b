// Object, attribute and call helpers over the C API; every failure throws PyError.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "corvane/common/error.h"

namespace corvane {

inline PyObject* as_ptr(PyObject* obj) noexcept { return obj; }
inline PyObject* as_ptr(const Ref& ref) noexcept { return ref.get(); }

// One keyword argument of a call: a name and a borrowed value; a null value leaves the
// keyword out of the call.
struct Kwarg {
    const char* name;
    PyObject* value;
};

Ref text(std::string_view utf8);
Ref integer(long long value);
Ref floating(double value);
Ref boolean(bool value);
inline Ref none() { return Ref::borrow(Py_None); }

// The value of an int as a long long; one beyond that range saturates at LLONG_MIN or
// LLONG_MAX, which callers take as "out of every range they accept".
long long saturated_integer(PyObject* value);

// The UTF-8 form of a str object; valid while the object lives.
std::string_view utf8(PyObject* str);
bool truthy(PyObject* obj);
bool is_instance(PyObject* obj, PyObject* type);
bool equal(PyObject* a, PyObject* b);

Ref getattr(PyObject* obj, const char* name);
// The attribute, or a null Ref when the object has none (other errors still throw).
Ref getattr_optional(PyObject* obj, const char* name);
void setattr(PyObject* obj, const char* name, PyObject* value);
// An item of a mapping, or a null Ref when the key is absent (other errors still throw).
Ref get_item_optional(PyObject* mapping, const char* key);
Ref import(const char* module);

// A name of the module's namespace, looked up when the caller runs so that a test may
// replace it; falls back to the builtins.
Ref global(PyObject* module, const char* name);

Ref call_vector(PyObject* callable, PyObject* const* args, std::size_t nargs,
                std::initializer_list<Kwarg> kwargs = {});
Ref call_method_vector(PyObject* obj, const char* name, PyObject* const* args,
                       std::size_t nargs, std::initializer_list<Kwarg> kwargs = {});

template <typename... Args>
Ref call(PyObject* callable, const Args&... args) {
    PyObject* argv[] = {nullptr, as_ptr(args)...};
    return call_vector(callable, argv + 1, sizeof...(Args));
}

template <typename... Args>
Ref call_kw(PyObject* callable, std::initializer_list<Kwarg> kwargs, const Args&... args) {
    PyObject* argv[] = {nullptr, as_ptr(args)...};
    return call_vector(callable, argv + 1, sizeof...(Args), kwargs);
}

// obj.name(*args): an attribute lookup on the object, then a call.
template <typename... Args>
Ref call_method(PyObject* obj, const char* name, const Args&... args) {
    PyObject* argv[] = {obj, as_ptr(args)...};
    return call_method_vector(obj, name, argv, sizeof...(Args));
}

template <typename... Args>
Ref call_method_kw(PyObject* obj, const char* name, std::initializer_list<Kwarg> kwargs,
                   const Args&... args) {
    PyObject* argv[] = {obj, as_ptr(args)...};
    return call_method_vector(obj, name, argv, sizeof...(Args), kwargs);
}

// A new instance of an exception class created with no arguments, thrown.
[[noreturn]] void raise_new(PyObject* exception_class);
// Throws `exception` (an instance) with no cause and no context.
[[noreturn]] void raise_bare(Ref exception);

}  // namespace corvane
