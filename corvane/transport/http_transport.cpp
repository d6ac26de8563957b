#include "corvane/transport/http_transport.h"

#include "corvane/common/args.h"
#include "corvane/common/call.h"
#include "corvane/common/quietly.h"
#include "corvane/transport/error_model.h"
#include "corvane/transport/refuse.h"

namespace corvane::transport {

namespace {

// The one owner of an open HTTP reply. close() ends it after a complete read, where a
// failure to close is a failure of the exchange; otherwise the destructor closes it while
// a read failure unwinds, keeping that failure rather than one from closing.
class OpenReply {
public:
    explicit OpenReply(Ref reply) noexcept : reply_(std::move(reply)) {}
    OpenReply(const OpenReply&) = delete;
    OpenReply& operator=(const OpenReply&) = delete;
    ~OpenReply() {
        if (!reply_) return;
        PyObject* pending = PyErr_GetRaisedException();
        close_quietly(reply_.get(), PyExc_BaseException);  // no failure escapes a destructor
        PyErr_SetRaisedException(pending);
    }

    PyObject* get() const noexcept { return reply_.get(); }
    void close() {
        Ref reply = std::move(reply_);
        call_method(reply.get(), "close");
    }

private:
    Ref reply_;
};

Ref urllib_name(PyObject* module, const char* submodule, const char* name) {
    Ref urllib = global(module, "urllib");
    Ref inner = getattr(urllib.get(), submodule);
    return getattr(inner.get(), name);
}

// POST request with the compact pure-ASCII JSON body and the four headers of the API.
Ref build_request(PyObject* module, PyObject* self, PyObject* endpoint, PyObject* payload) {
    Ref api_url = getattr(self, "api_url");
    Ref url = check(PyNumber_Add(api_url.get(), endpoint));

    Ref json = global(module, "json");
    Ref separators = check(PyTuple_Pack(2, text(",").get(), text(":").get()));
    Ref serialized = call_method_kw(json.get(), "dumps",
                                    {{"separators", separators.get()}, {"ensure_ascii", Py_True}},
                                    payload);
    Ref body = call_method(serialized.get(), "encode", text("utf-8"));

    Ref token = getattr(self, "api_token");
    Ref authorization = check(PyNumber_Add(text("Bearer ").get(), token.get()));
    Ref version = global(module, "SDK_VERSION");
    Ref user_agent = check(PyNumber_Add(text("CorvaneSDK/").get(), version.get()));
    Ref json_type = text("application/json");
    Ref headers = check(PyDict_New());
    check_status(PyDict_SetItemString(headers.get(), "Authorization", authorization.get()));
    check_status(PyDict_SetItemString(headers.get(), "Accept", json_type.get()));
    check_status(PyDict_SetItemString(headers.get(), "Content-Type", json_type.get()));
    check_status(PyDict_SetItemString(headers.get(), "User-Agent", user_agent.get()));

    Ref request_class = urllib_name(module, "request", "Request");
    Ref post = text("POST");
    return call_kw(request_class.get(),
                   {{"data", body.get()}, {"headers", headers.get()}, {"method", post.get()}},
                   url);
}

// Opens the request and reads the reply, an HTTP error status (a refused redirect
// included) being read like any other reply.
Ref exchange(PyObject* module, PyObject* self, PyObject* request, PyObject* timeout) {
    Ref opener = getattr(self, "_http_opener");
    Ref http_error = urllib_name(module, "error", "HTTPError");
    Ref reply;
    try {
        reply = call_method_kw(opener.get(), "open", {{"timeout", timeout}}, request);
    } catch (const PyError& failure) {
        if (!failure.matches(http_error.get())) throw;
        reply = Ref::borrow(failure.exception());
    }
    OpenReply open_reply(std::move(reply));
    Ref buffered = call(self, methods::read_api_response, open_reply.get());
    open_reply.close();
    return buffered;
}

Ref read_api_response(PyObject* module, const methods::ResponseParams& args) {
    Ref limit = getattr(args.self, "MAX_API_RESPONSE_BYTES");
    // One bounded read: one byte past the limit tells an oversized body, whose rest
    // is never read.
    Ref amount = check(PyNumber_Add(limit.get(), integer(1).get()));
    Ref body = call_method(args.response, "read", amount);
    const Py_ssize_t received = PyObject_Size(body.get());
    if (received < 0) throw_current();
    Ref size = check(PyLong_FromSsize_t(received));
    if (check_status(PyObject_RichCompareBool(size.get(), limit.get(), Py_GT)) != 0) {
        refuse(module, "ServiceUnavailableError");
    }
    Ref code = call_method(args.response, "getcode");
    Ref status = check(PyNumber_Long(code.get()));
    Ref buffered_class = global(module, "_BufferedResponse");
    return call(buffered_class.get(), status, body);
}

Ref api_post_json(PyObject* module, const methods::ApiPostJsonParams& args) {
    PyObject* self = args.self;
    Ref prefix = text("/api/");
    if (PyUnicode_Tailmatch(args.endpoint, prefix.get(), 0, PY_SSIZE_T_MAX, -1) != 1) {
        refuse(module, "ServiceUnavailableError");
    }
    Ref request = build_request(module, self, args.endpoint, args.payload);
    Ref buffered;
    try {
        buffered = exchange(module, self, request.get(), args.timeout);
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_Exception)) throw;  // interrupts pass untouched
        Ref family = global(module, "CorvaneError");
        if (failure.matches(family.get())) throw;
        Ref url_error = urllib_name(module, "error", "URLError");
        if (failure.matches(url_error.get()) || failure.matches(PyExc_OSError)) {
            refuse(module, "NetworkError");
        }
        refuse(module, "ServiceUnavailableError");
    }
    return call(self, methods::parse_api_response, buffered);
}

Ref parse_api_response(PyObject* module, const methods::ResponseParams& args) {
    PyObject* self = args.self;
    PyObject* response = args.response;
    Ref status = getattr_optional(response, "status_code");
    if (!status) status = integer(200);
    Ref ok_value = getattr_optional(response, "ok");
    bool ok = false;
    if (ok_value) {
        ok = truthy(ok_value.get());
    } else {
        ok = check_status(PyObject_RichCompareBool(integer(200).get(), status.get(), Py_LE)) &&
             check_status(PyObject_RichCompareBool(status.get(), integer(300).get(), Py_LT));
    }

    Ref envelope;
    try {
        envelope = call_method(response, "json");
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_ValueError)) throw;
        Ref code = call(self, methods::public_code_from_status, status);
        raise_bare(call(self, methods::build_public_error, code));
    }
    if (!PyDict_Check(envelope.get())) {
        Ref unavailable = global(module, "ServiceUnavailableError");
        Ref shape = text("invalid response shape");
        raise_bare(call_kw(unavailable.get(), {{"detail", shape.get()}}));
    }
    if (ok) {
        Ref success = get_item_optional(envelope.get(), "success");
        if (!success || truthy(success.get())) return envelope;
    }
    Ref raw_code = get_item_optional(envelope.get(), "error");
    if (!raw_code) raw_code = none();
    Ref code = call(self, methods::normalize_error_code, raw_code, status);
    raise_bare(call(self, methods::build_public_error, code));
}

}  // namespace

}  // namespace corvane::transport

namespace corvane::methods {

const Method<ResponseParams> read_api_response{"_read_api_response", transport::read_api_response,
                                               "有界读取 HTTP 响应体（最多 MAX_API_RESPONSE_BYTES 字节）。"};
const Method<ApiPostJsonParams> api_post_json{"_api_post_json", transport::api_post_json,
                                              "以 POST 发送 JSON 请求并返回成功响应的 JSON 对象。"};
const Method<ResponseParams> parse_api_response{"_parse_api_response", transport::parse_api_response,
                                                "解析响应；失败时抛出对应的公开错误。"};

}  // namespace corvane::methods
