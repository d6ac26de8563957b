// The one declaration of a method written in C++: a struct of its parameters and a
// descriptor naming it. From them come the parsing into named fields, the signature that
// inspect.signature shows, the class entry and the calls that name what they call.
//
//     struct CategoryParams {
//         Arg self{"self"};
//         Arg category{"category", ArgType::Str};
//         Arg start_date{"start_date", ArgType::StrOrNone, "None"};
//     };
//     extern const Method<CategoryParams> get_category;     // in the subsystem's header
//     const Method<CategoryParams> get_category{"_get_category", get_category_body, "doc"};
//     ...
//     call(self, methods::get_category, category);          // self._get_category(category)
//
// A parameter struct holds nothing but Arg fields, in the order of the Python parameter list.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "corvane/common/args.h"
#include "corvane/common/boundary.h"
#include "corvane/common/call.h"
#include "corvane/common/classes.h"

namespace corvane {

inline constexpr bool kKeywordOnly = true;

// One parameter: its declaration and, once parsed, the argument (borrowed; null where an
// optional one was not given).
struct Arg {
    const char* name;
    ArgType type = ArgType::Any;
    const char* default_text = nullptr;  // the default as the signature shows it; null: required
    bool keyword_only = false;
    PyObject* value = nullptr;

    operator PyObject*() const noexcept { return value; }
    bool given() const noexcept { return value != nullptr; }
    // The argument, or `fallback` when it was not given.
    PyObject* or_else(PyObject* fallback) const noexcept { return value != nullptr ? value : fallback; }
};

inline PyObject* as_ptr(const Arg& arg) noexcept { return arg.value; }

// The parameters of a method that takes only its instance.
struct SelfParams {
    Arg self{"self"};
};

template <typename Params>
inline constexpr std::size_t kArity = sizeof(Params) / sizeof(Arg);

// Applies `visit` to every parameter of `params`, in order.
template <typename Params, typename Visit>
constexpr void for_each_arg(Params& params, Visit&& visit) {
    constexpr std::size_t n = kArity<std::remove_const_t<Params>>;
    static_assert(sizeof(Params) == n * sizeof(Arg), "a parameter struct holds Arg fields only");
    if constexpr (n == 0) {
    } else if constexpr (n == 1) {
        auto& [a] = params;
        (visit(a));
    } else if constexpr (n == 2) {
        auto& [a, b] = params;
        (visit(a), visit(b));
    } else if constexpr (n == 3) {
        auto& [a, b, c] = params;
        (visit(a), visit(b), visit(c));
    } else if constexpr (n == 4) {
        auto& [a, b, c, d] = params;
        (visit(a), visit(b), visit(c), visit(d));
    } else if constexpr (n == 5) {
        auto& [a, b, c, d, e] = params;
        (visit(a), visit(b), visit(c), visit(d), visit(e));
    } else if constexpr (n == 6) {
        auto& [a, b, c, d, e, f] = params;
        (visit(a), visit(b), visit(c), visit(d), visit(e), visit(f));
    } else if constexpr (n == 7) {
        auto& [a, b, c, d, e, f, g] = params;
        (visit(a), visit(b), visit(c), visit(d), visit(e), visit(f), visit(g));
    } else {
        static_assert(n <= 7, "for_each_arg covers up to seven parameters");
    }
}

// The parser's table of a parameter struct.
template <typename Params>
constexpr std::array<Param, kArity<Params>> param_table() {
    std::array<Param, kArity<Params>> table{};
    const Params declared{};
    std::size_t index = 0;
    for_each_arg(declared, [&](const Arg& arg) {
        table[index++] = Param{arg.name, arg.type, arg.default_text == nullptr, arg.keyword_only};
    });
    return table;
}

// How many positional parameters a call must and may fill (the instance or class excluded).
struct PositionalRange {
    std::size_t required = 0;
    std::size_t allowed = 0;
};

template <typename Params>
constexpr PositionalRange positional_range() {
    PositionalRange range;
    const Params declared{};
    bool first = true;
    for_each_arg(declared, [&](const Arg& arg) {
        const std::string_view name(arg.name);
        const bool receiver = first && (name == "self" || name == "cls");
        first = false;
        if (receiver || arg.keyword_only) return;
        ++range.allowed;
        range.required += arg.default_text == nullptr ? 1 : 0;
    });
    return range;
}

// The arguments of one call bound to the named fields of `Params`; the texts of the
// interpreter's argument errors name `function`.
template <typename Params>
Params parse(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto table = param_table<Params>();
    std::array<PyObject*, kArity<Params>> values;
    parse_args_into(function, table, args, nargs, kwnames, values.data());
    Params parsed;
    std::size_t index = 0;
    for_each_arg(parsed, [&](Arg& arg) { arg.value = values[index++]; });
    return parsed;
}

// The Python parameter list, e.g. "(self, category, start=None, *, only_changed=False)".
template <typename Params>
std::string signature_text() {
    std::string text = "(";
    bool keywords = false;
    const Params declared{};
    for_each_arg(declared, [&](const Arg& arg) {
        if (text.size() > 1) text += ", ";
        if (arg.keyword_only && !keywords) {
            text += "*, ";
            keywords = true;
        }
        text += arg.name;
        if (arg.default_text != nullptr) (text += '=') += arg.default_text;
    });
    return text + ")";
}

// A method of a class. Its body runs with the arguments parsed; calls between the methods
// of a class go through the instance (a replacement on the class or the instance runs).
template <typename P>
struct Method {
    using Params = P;
    const char* name;
    Ref (*body)(PyObject* module, const P& args);
    const char* doc = nullptr;
    Binding binding = Binding::Instance;
};

// What the interpreter calls for the method: the arguments parsed, then `invoke`, found for
// the descriptor's type (a public method's is beside its boundary).
template <typename P>
Ref invoke(PyObject* module, const Method<P>& method, const P& args) {
    return method.body(module, args);
}

template <const auto& M>
PyObject* method_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&] {
        using Params = typename std::remove_cvref_t<decltype(M)>::Params;
        return invoke(module, M, parse<Params>(M.name, args, nargs, kwnames));
    });
}

// The class table entry of a method descriptor.
template <const auto& M>
MethodDef define() {
    using Params = typename std::remove_cvref_t<decltype(M)>::Params;
    return method(M.name, method_entry<M>, signature_text<Params>(), M.doc, M.binding);
}

// True when `method` (an attribute read from an instance) is the default body of `M`.
template <const auto& M>
bool is_default(PyObject* method) noexcept {
    if (!PyMethod_Check(method)) return false;
    PyObject* function = PyMethod_GET_FUNCTION(method);
    return PyCFunction_Check(function) &&
           PyCFunction_GET_FUNCTION(function) ==
               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_entry<M>));
}

// receiver.name for the method that `descriptor` declares, looked up now.
template <typename Descriptor>
    requires requires { typename Descriptor::Params; }
Ref bound(PyObject* receiver, const Descriptor& descriptor) {
    return getattr(receiver, descriptor.name);
}

// receiver.name(*args) for the method that `descriptor` declares: looked up on the
// receiver when the call runs.
template <typename Descriptor, typename... Args>
    requires requires { typename Descriptor::Params; }
Ref call(PyObject* receiver, const Descriptor& descriptor, const Args&... args) {
    constexpr PositionalRange range = positional_range<typename Descriptor::Params>();
    static_assert(sizeof...(Args) >= range.required && sizeof...(Args) <= range.allowed,
                  "the call does not fill the method's positional parameters");
    PyObject* argv[] = {receiver, as_ptr(args)...};
    return call_method_vector(receiver, descriptor.name, argv, sizeof...(Args));
}

// The same with keyword arguments; a keyword with a null value is left out.
template <typename Descriptor, typename... Args>
    requires requires { typename Descriptor::Params; }
Ref call_kw(PyObject* receiver, const Descriptor& descriptor, std::initializer_list<Kwarg> kwargs,
            const Args&... args) {
    constexpr PositionalRange range = positional_range<typename Descriptor::Params>();
    static_assert(sizeof...(Args) <= range.allowed, "more positional arguments than the method takes");
    PyObject* argv[] = {receiver, as_ptr(args)...};
    return call_method_vector(receiver, descriptor.name, argv, sizeof...(Args), kwargs);
}

// receiver.name(...) with the arguments of `args` that were given (`args` begin with the
// receiver): the positional ones up to the first left out, every later one by keyword.
Ref call_given(PyObject* receiver, const char* name, std::span<const Arg> args);

template <typename Params>
Ref call_with_given(PyObject* receiver, const char* name, const Params& args) {
    std::array<Arg, kArity<Params>> flat{};
    std::size_t index = 0;
    for_each_arg(args, [&](const Arg& arg) { flat[index++] = arg; });
    return call_given(receiver, name, flat);
}

}  // namespace corvane
