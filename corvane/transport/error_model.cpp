#include "corvane/transport/error_model.h"

#include "corvane/common/args.h"
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

Ref public_code_from_status(PyObject*, const methods::PublicCodeFromStatusParams& args) {
    return text(code_for_status(saturated_integer(args.status_code)));
}

Ref normalize_error_code(PyObject*, const methods::NormalizeErrorCodeParams& args) {
    PyObject* self = args.self;
    PyObject* status = args.status_code;
    if (args.raw_code == Py_None || !truthy(args.raw_code)) {
        return call(self, methods::public_code_from_status, status);
    }
    Ref raw_text = check(PyObject_Str(args.raw_code));
    Ref legacy = getattr(self, "LEGACY_ERROR_CODE_MAP");
    Ref code = lookup(legacy.get(), raw_text.get());
    if (!code) code = raw_text;
    // The service may also send a public code directly.
    Ref messages = getattr(self, "PUBLIC_ERROR_MESSAGES");
    if (check_status(PySequence_Contains(messages.get(), code.get())) != 0) return code;
    return call(self, methods::public_code_from_status, status);
}

Ref build_public_error(PyObject* module, const methods::BuildPublicErrorParams& args) {
    PyObject* self = args.self;
    PyObject* code = args.public_code;
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
}

Ref public_error_clone(PyObject*, const methods::ErrorParams& args) {
    PyObject* error = args.error;
    // Only the three public attributes travel: no traceback, cause, context or detail.
    Ref code = getattr(error, "code");
    Ref message = getattr(error, "user_message");
    Ref retryable = getattr(error, "retryable");
    return call_kw(reinterpret_cast<PyObject*>(Py_TYPE(error)),
                   {{"code", code.get()},
                    {"user_message", message.get()},
                    {"retryable", retryable.get()}});
}

Ref as_corvane_error(PyObject* module, const methods::ErrorParams& args) {
    Ref family = global(module, "CorvaneError");
    if (is_instance(args.error, family.get())) return call(args.self, methods::public_error_clone, args.error);
    Ref unavailable = global(module, "ServiceUnavailableError");
    return call(unavailable.get());
}

Ref display_error(PyObject*, const methods::ErrorParams& args) {
    if (!truthy(getattr(args.self, "display_errors").get())) return none();
    // The user message alone: never a code, class name, detail or traceback.
    Ref message = getattr(args.error, "user_message");
    Ref logger = getattr(args.self, "logger");
    call_method(logger.get(), "error", message);
    return none();
}

}  // namespace

}  // namespace corvane::transport

namespace corvane::methods {

const Method<ErrorParams> display_error{"_display_error", transport::display_error, "按 display_errors 设置输出错误的用户提示。"};
const Method<ErrorParams> public_error_clone{"_public_error_clone", transport::public_error_clone,
                                             "复制公开错误，不携带堆栈、原因和上下文。"};
const Method<ErrorParams> as_corvane_error{"_as_corvane_error", transport::as_corvane_error, "把任意异常转换为公开错误。"};
const Method<NormalizeErrorCodeParams> normalize_error_code{"_normalize_error_code", transport::normalize_error_code,
                                                            "把服务端错误码映射为公开错误码。"};
const Method<PublicCodeFromStatusParams> public_code_from_status{"_public_code_from_status", transport::public_code_from_status,
                                                                 "由 HTTP 状态码得到公开错误码。"};
const Method<BuildPublicErrorParams> build_public_error{"_build_public_error", transport::build_public_error,
                                                        "按公开错误码构造异常（不抛出）。"};

}  // namespace corvane::methods
