// libFuzzer target: the shared argument parser (corvane/common/args.cpp) inside an embedded
// interpreter. Each input describes a parameter table as the methods declare them (required
// parameters first), a function name, positional values and keyword arguments of any type,
// passed in the vectorcall layout or as an (args tuple, kwargs dict) pair. The parser must
// either bind every value where it belongs with the types it promises, or raise a TypeError
// whose text is one of the interpreter's; it never changes a reference count.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "corvane/common/args.h"
#include "corvane/common/error.h"
#include "fuzz/require.h"

namespace {

using corvane::ArgType;
using corvane::check;
using corvane::Param;
using corvane::PyError;
using corvane::Ref;

constexpr std::array<const char*, 8> kNames = {"self",       "key",      "max_retries",
                                               "category",   "start_date", "end_date",
                                               "update_method", "é"};
constexpr std::array<ArgType, 7> kTypes = {ArgType::Any,  ArgType::Str,  ArgType::StrOrNone,
                                           ArgType::Int,  ArgType::Dict, ArgType::List,
                                           ArgType::Bytes};

PyObject* as_object(PyTypeObject& type) { return reinterpret_cast<PyObject*>(&type); }

Py_ssize_t length(const std::string& bytes) { return static_cast<Py_ssize_t>(bytes.size()); }

// Any bytes as text: invalid UTF-8 becomes replacement characters.
Ref text_of(const std::string& bytes) {
    return check(PyUnicode_DecodeUTF8(bytes.data(), length(bytes), "replace"));
}

// Subclasses of exact types, which typed parameters must refuse.
struct Subclasses {
    Ref str_type, dict_type, int_type, list_type, bytes_type;
};

Subclasses* subclasses = nullptr;

Ref make_subclass(const char* name, PyTypeObject& base) {
    Ref bases = check(PyTuple_Pack(1, as_object(base)));
    Ref body = check(PyDict_New());
    return check(PyObject_CallFunction(as_object(PyType_Type), "sOO", name, bases.get(),
                                       body.get()));
}

Ref instance_of(const Ref& type, const Ref& value) {
    return check(PyObject_CallOneArg(type.get(), value.get()));
}

// A value of a kind that the input chooses.
Ref make_value(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 15)) {
        case 0: return Ref::borrow(Py_None);
        case 1: return Ref::borrow(input.ConsumeBool() ? Py_True : Py_False);
        case 2: return check(PyLong_FromLongLong(input.ConsumeIntegral<long long>()));
        case 3: return text_of(input.ConsumeRandomLengthString(24));
        case 4: {
            const std::string bytes = input.ConsumeRandomLengthString(24);
            return check(PyBytes_FromStringAndSize(bytes.data(), length(bytes)));
        }
        case 5: return check(PyByteArray_FromStringAndSize("ba", 2));
        case 6: return check(PyDict_New());
        case 7: return check(PyList_New(0));
        case 8: return check(PyTuple_New(0));
        case 9: return check(PyFloat_FromDouble(input.ConsumeFloatingPoint<double>()));
        case 10: return instance_of(subclasses->str_type, text_of("sub"));
        case 11: return check(PyObject_CallNoArgs(subclasses->dict_type.get()));
        case 12: return instance_of(subclasses->int_type, check(PyLong_FromLong(7)));
        case 13: return check(PyObject_CallNoArgs(subclasses->list_type.get()));
        case 14: return instance_of(subclasses->bytes_type, check(PyBytes_FromString("b")));
        default: return check(PyObject_CallNoArgs(as_object(PyBaseObject_Type)));
    }
}

// A keyword name: one of the parameter names, another text, or (rarely) not a text at all.
Ref make_keyword(FuzzedDataProvider& input) {
    const int kind = input.ConsumeIntegralInRange<int>(0, 9);
    if (kind < 6) {
        return check(PyUnicode_FromString(
            kNames[input.ConsumeIntegralInRange<std::size_t>(0, kNames.size() - 1)]));
    }
    if (kind < 9) return text_of(input.ConsumeRandomLengthString(12));
    return check(PyLong_FromLong(input.ConsumeIntegral<std::uint8_t>()));
}

std::string utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    REQUIRE(data != nullptr);
    return std::string(data, static_cast<std::size_t>(size));
}

// The interpreter's texts for calls that do not fit the parameters. Counts and keyword
// complaints begin with the function's name (cut at 200 characters where the interpreter
// cuts it); the quoted keyword may hold any character, line breaks included.
bool is_documented_message(const std::string& message, const std::string& function) {
    static const std::regex count(
        R"([^(]*\(\) takes (exactly|at most|at least) \d+ positional arguments? \(\d+ given\))");
    static const std::regex type(
        R"(Argument '[^']*' has incorrect type \(expected (str|int|dict|list|bytes), got [^)]*\))");
    static const std::regex keyword(
        R"([^(]*\(\) got (an unexpected keyword argument|multiple values for keyword argument) '[\s\S]*')");
    if (std::regex_match(message, type)) return true;
    const std::string cut = function.substr(0, 200);
    const bool named = message.starts_with(cut + "() ") || message.starts_with(function + "() ");
    return named && (std::regex_match(message, count) || std::regex_match(message, keyword) ||
                     message == cut + "() keywords must be strings");
}

std::vector<Py_ssize_t> refcounts(const std::vector<PyObject*>& objects) {
    std::vector<Py_ssize_t> counts;
    for (PyObject* object : objects) counts.push_back(Py_REFCNT(object));
    return counts;
}

// A parameter table as the methods declare one: distinct names, required ones first.
std::vector<Param> make_params(FuzzedDataProvider& input) {
    std::vector<Param> params;
    const std::size_t total = input.ConsumeIntegralInRange<std::size_t>(0, 6);
    const std::size_t required = input.ConsumeIntegralInRange<std::size_t>(0, total);
    std::array<std::size_t, kNames.size()> order{};
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    for (std::size_t i = 0; i < total; ++i) {
        std::swap(order[i], order[input.ConsumeIntegralInRange<std::size_t>(i, order.size() - 1)]);
        const ArgType type =
            kTypes[input.ConsumeIntegralInRange<std::size_t>(0, kTypes.size() - 1)];
        params.push_back(Param{kNames[order[i]], type, i < required});
    }
    return params;
}

// One call, in either layout. `bound` lists the keyword pairs as the parser sees them (a
// dict keeps the last of repeated names).
struct Call {
    std::vector<Ref> positional;
    std::vector<std::pair<Ref, Ref>> keywords;
    bool vectorcall = true;
    std::vector<PyObject*> values;  // the vectorcall array
    Ref kwnames, args_tuple, kwargs;
    std::vector<std::pair<PyObject*, PyObject*>> bound;

    void lay_out() {
        for (const Ref& value : positional) values.push_back(value.get());
        if (vectorcall) {
            if (!keywords.empty()) kwnames = check(PyTuple_New(std::ssize(keywords)));
            for (std::size_t i = 0; i < keywords.size(); ++i) {
                auto& [key, value] = keywords[i];
                PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i), Py_NewRef(key.get()));
                values.push_back(value.get());
                bound.emplace_back(key.get(), value.get());
            }
            return;
        }
        args_tuple = check(PyTuple_New(std::ssize(positional)));
        for (std::size_t i = 0; i < positional.size(); ++i) {
            PyTuple_SET_ITEM(args_tuple.get(), static_cast<Py_ssize_t>(i),
                             Py_NewRef(positional[i].get()));
        }
        if (keywords.empty()) return;
        kwargs = check(PyDict_New());
        for (auto& [key, value] : keywords) {
            REQUIRE(PyDict_SetItem(kwargs.get(), key.get(), value.get()) == 0);
        }
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs.get(), &position, &key, &value)) bound.emplace_back(key, value);
    }

    // Every object whose reference count the parser must leave alone.
    std::vector<PyObject*> watched() const {
        std::vector<PyObject*> objects(values.begin(), values.end());
        for (const auto& [key, value] : keywords) objects.push_back(key.get());
        for (const Ref* held : {&kwnames, &args_tuple, &kwargs}) {
            if (*held) objects.push_back(held->get());
        }
        return objects;
    }

    void parse(const std::string& function, const std::vector<Param>& params,
               PyObject** out) const {
        if (vectorcall) {
            corvane::parse_args_into(function.c_str(), params, values.data(),
                                     std::ssize(positional), kwnames.get(), out);
        } else {
            corvane::parse_args_into(function.c_str(), params, args_tuple.get(), kwargs.get(),
                                     out);
        }
    }
};

// What a typed parameter admits: exactly its type, no subclass (so no bool for int).
bool admits(ArgType type, PyObject* value) {
    PyTypeObject* given = Py_TYPE(value);
    switch (type) {
        case ArgType::Any: return true;
        case ArgType::Str: return given == &PyUnicode_Type;
        case ArgType::StrOrNone: return value == Py_None || given == &PyUnicode_Type;
        case ArgType::Int: return given == &PyLong_Type;
        case ArgType::Dict: return given == &PyDict_Type;
        case ArgType::List: return given == &PyList_Type;
        case ArgType::Bytes: return given == &PyBytes_Type;
    }
    return false;
}

// A successful parse: every value where it belongs, every required parameter given, every
// given value of its parameter's type, nothing written past the table.
void check_bound(const Call& call, const std::vector<Param>& params,
                 const std::vector<PyObject*>& out) {
    REQUIRE(!PyErr_Occurred());
    REQUIRE(call.positional.size() <= params.size());
    for (std::size_t i = 0; i < call.positional.size(); ++i) {
        REQUIRE(out[i] == call.positional[i].get());
    }
    for (const auto& [key, value] : call.bound) {
        REQUIRE(PyUnicode_Check(key));
        std::size_t index = 0;
        while (index < params.size() && utf8(key) != params[index].name) ++index;
        REQUIRE(index < params.size() && out[index] == value);
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        REQUIRE(out[i] != nullptr || !params[i].required);
        REQUIRE(out[i] == nullptr || admits(params[i].type, out[i]));
    }
    REQUIRE(out[params.size()] == nullptr);
}

void check_refused(const PyError& failure, const std::string& function) {
    REQUIRE(!PyErr_Occurred());
    REQUIRE(Py_IS_TYPE(failure.exception(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError)));
    const std::string text = utf8(check(PyObject_Str(failure.exception())).get());
    if (!is_documented_message(text, function)) {
        std::fprintf(stderr, "undocumented message: %s\n", text.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Py_InitializeEx(0);
    subclasses = new Subclasses{make_subclass("StrSub", PyUnicode_Type),
                                make_subclass("DictSub", PyDict_Type),
                                make_subclass("IntSub", PyLong_Type),
                                make_subclass("ListSub", PyList_Type),
                                make_subclass("BytesSub", PyBytes_Type)};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::vector<Param> params = make_params(input);
    const std::string function = input.ConsumeBool() ? std::string(300, 'f') : "GetCategory";
    Call call;
    call.vectorcall = input.ConsumeBool();
    const std::size_t nargs = input.ConsumeIntegralInRange<std::size_t>(0, 8);
    for (std::size_t i = 0; i < nargs; ++i) call.positional.push_back(make_value(input));
    const std::size_t nkw = input.ConsumeIntegralInRange<std::size_t>(0, 6);
    for (std::size_t i = 0; i < nkw; ++i) {
        Ref key = make_keyword(input);
        call.keywords.emplace_back(std::move(key), make_value(input));
    }
    call.lay_out();

    const std::vector<PyObject*> watched = call.watched();
    const std::vector<Py_ssize_t> before = refcounts(watched);
    // One slot more than the table, to catch a write past its end.
    std::vector<PyObject*> out(params.size() + 1, nullptr);
    try {
        call.parse(function, params, out.data());
        check_bound(call, params, out);
    } catch (const PyError& failure) {
        check_refused(failure, function);
    }
    REQUIRE(refcounts(watched) == before);
    return 0;
}
