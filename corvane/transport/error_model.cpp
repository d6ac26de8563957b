#include "corvane/transport/error_model.h"

#include <array>

#include "corvane/common/args.h"
#include "corvane/common/boundary.h"
#include "corvane/common/call.h"
#include "corvane/transport/error_vocabulary.h"

namespace corvane::transport {

namespace {

constexpr const char* kServiceUnavailable = "SERVICE_UNAVAILABLE";

const char* code_for_status(long long status) {
    switch (status) {
        case 400: return "REQUEST_INVALID";
        case 401: return "AUTH_INVALID";
        case 403: return "PERMISSION_DENIED";
        case 429: return "CONNECTION_LIMIT";
        default: return kServiceUnavailable;
    }
}

// mapping[key], or a null Ref when the key is absent.
Ref lookup(PyObject* mapping, PyObject* key) {
    PyObject* value = nullptr;
    check_status(PyMapping_GetOptionalItem(mapping, key, &value));
    return Ref::steal(value);
}

PyObject* public_code_from_status(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"self"}, {"status_code", ArgType::Int}}};
        auto a = parse_args("_public_code_from_status", params, args, nargs, kwnames);
        return text(code_for_status(saturated_integer(a[1])));
    });
}

PyObject* normalize_error_code(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 3> params{
            {{"self"}, {"raw_code"}, {"status_code", ArgType::Int}}};
        auto a = parse_args("_normalize_error_code", params, args, nargs, kwnames);
        PyObject* self = a[0];
        PyObject* status = a[2];
        if (a[1] == Py_None || !truthy(a[1])) {
            return call_method(self, "_public_code_from_status", status);
        }
        Ref raw_text = check(PyObject_Str(a[1]));
        Ref legacy = getattr(self, "LEGACY_ERROR_CODE_MAP");
        Ref code = lookup(legacy.get(), raw_text.get());
        if (!code) code = raw_text;
        // The service may also send a public code directly.
        Ref messages = getattr(self, "PUBLIC_ERROR_MESSAGES");
        if (check_status(PySequence_Contains(messages.get(), code.get())) != 0) return code;
        return call_method(self, "_public_code_from_status", status);
    });
}

PyObject* build_public_error(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"self"}, {"public_code", ArgType::Str}}};
        auto a = parse_args("_build_public_error", params, args, nargs, kwnames);
        PyObject* self = a[0];
        PyObject* code = a[1];
        Ref classes = getattr(self, "ERROR_CLASS_MAP");
        Ref error_class = lookup(classes.get(), code);
        if (!error_class) error_class = global(module, "ServiceUnavailableError");
        Ref messages = getattr(self, "PUBLIC_ERROR_MESSAGES");
        Ref message = lookup(messages.get(), code);
        if (!message) message = check(PyObject_GetItem(messages.get(), text(kServiceUnavailable).get()));
        Ref retryable = boolean(is_retryable(module, code));
        return call_kw(error_class.get(), {{"code", code},
                                           {"user_message", message.get()},
                                           {"retryable", retryable.get()}});
    });
}

PyObject* public_error_clone(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"self"}, {"error"}}};
        auto a = parse_args("_public_error_clone", params, args, nargs, kwnames);
        PyObject* error = a[1];
        // Only the three public attributes travel: no traceback, cause, context or detail.
        Ref code = getattr(error, "code");
        Ref message = getattr(error, "user_message");
        Ref retryable = getattr(error, "retryable");
        return call_kw(reinterpret_cast<PyObject*>(Py_TYPE(error)),
                       {{"code", code.get()},
                        {"user_message", message.get()},
                        {"retryable", retryable.get()}});
    });
}

PyObject* as_corvane_error(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"self"}, {"error"}}};
        auto a = parse_args("_as_corvane_error", params, args, nargs, kwnames);
        Ref family = global(module, "CorvaneError");
        if (is_instance(a[1], family.get())) return call_method(a[0], "_public_error_clone", a[1]);
        Ref unavailable = global(module, "ServiceUnavailableError");
        return call(unavailable.get());
    });
}

PyObject* display_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"self"}, {"error"}}};
        auto a = parse_args("_display_error", params, args, nargs, kwnames);
        if (!truthy(getattr(a[0], "display_errors").get())) return none();
        // The user message alone: never a code, class name, detail or traceback.
        Ref message = getattr(a[1], "user_message");
        Ref logger = getattr(a[0], "logger");
        call_method(logger.get(), "error", message);
        return none();
    });
}

MethodDef methods[] = {
    method("_display_error", display_error, "(self, error)", "按 display_errors 设置输出错误的用户提示。"),
    method("_public_error_clone", public_error_clone, "(self, error)", "复制公开错误，不携带堆栈、原因和上下文。"),
    method("_as_corvane_error", as_corvane_error, "(self, error)", "把任意异常转换为公开错误。"),
    method("_normalize_error_code", normalize_error_code, "(self, raw_code, status_code)", "把服务端错误码映射为公开错误码。"),
    method("_public_code_from_status", public_code_from_status, "(self, status_code)", "由 HTTP 状态码得到公开错误码。"),
    method("_build_public_error", build_public_error, "(self, public_code)", "按公开错误码构造异常（不抛出）。"),
};

}  // namespace

std::span<MethodDef> error_model_methods() { return methods; }

}  // namespace corvane::transport
