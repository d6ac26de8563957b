#include "corvane/transport/http_classes.h"

#include "corvane/common/method.h"

namespace corvane::transport {

namespace {

struct RedirectParams {
    Arg self{"self"};
    Arg req{"req"};
    Arg fp{"fp"};
    Arg code{"code"};
    Arg msg{"msg"};
    Arg headers{"headers"};
    Arg newurl{"newurl"};
};

Ref redirect_request(PyObject*, const RedirectParams&) {
    // Returning None makes the opener report the 3xx reply instead of following it.
    return none();
}

struct BufferedParams {
    Arg self{"self"};
    Arg status_code{"status_code", ArgType::Int};
    Arg body{"body", ArgType::Bytes};
};

Ref buffered_init(PyObject*, const BufferedParams& args) {
    // A status beyond the range of long long is no success status; it must not abort the reply.
    const long long status = saturated_integer(args.status_code);
    setattr(args.self, "status_code", args.status_code);
    setattr(args.self, "ok", boolean(200 <= status && status < 300).get());
    setattr(args.self, "_body", args.body);
    return none();
}

Ref buffered_json(PyObject* module, const SelfParams& args) {
    Ref body = getattr(args.self, "_body");
    // Strict UTF-8 first: json.loads on bytes would also accept UTF-16/32 and a BOM.
    Ref decoded = check(PyUnicode_FromEncodedObject(body.get(), "utf-8", "strict"));
    Ref json = global(module, "json");
    try {
        return call_method(json.get(), "loads", decoded);
    } catch (const PyError& failure) {
        // Nesting deeper than the parser's stack is unparseable JSON like any other,
        // not a fault of the client.
        if (!failure.matches(PyExc_RecursionError)) throw;
        throw_format(PyExc_ValueError, "JSON nested too deeply");
    }
}

const Method<RedirectParams> refuse_redirect{"redirect_request", redirect_request, "拒绝跟随重定向。"};
const Method<BufferedParams> buffered_response_init{"__init__", buffered_init};
const Method<SelfParams> buffered_response_json{"json", buffered_json, "按严格 UTF-8 解码并解析 JSON。"};

std::span<MethodDef> redirect_methods() {
    static MethodDef methods[] = {define<refuse_redirect>()};
    return methods;
}

std::span<MethodDef> buffered_methods() {
    static MethodDef methods[] = {define<buffered_response_init>(), define<buffered_response_json>()};
    return methods;
}

}  // namespace

void define_http_classes(PyObject* module) {
    Ref request = import("urllib.request");
    Ref base = getattr(request.get(), "HTTPRedirectHandler");
    Ref bases = check(PyTuple_Pack(1, base.get()));
    Ref dict = check(PyDict_New());
    add_methods(module, dict.get(), redirect_methods());
    Ref handler = make_class(module, "_NoRedirectHandler", bases.get(), dict.get(),
                             "不跟随重定向的处理器：3xx 响应作为 HTTP 错误返回。");
    setattr(module, "_NoRedirectHandler", handler.get());

    Ref no_bases = check(PyTuple_New(0));
    dict = check(PyDict_New());
    add_methods(module, dict.get(), buffered_methods());
    Ref buffered = make_class(module, "_BufferedResponse", no_bases.get(), dict.get(),
                              "已完整读取的 HTTP 响应（状态码与受限大小的响应体）。");
    setattr(module, "_BufferedResponse", buffered.get());
}

}  // namespace corvane::transport
