#include "corvane/transport/http_classes.h"

#include <array>

#include "corvane/common/args.h"
#include "corvane/common/boundary.h"
#include "corvane/common/classes.h"

namespace corvane::transport {

namespace {

PyObject* redirect_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 7> params{{{"self"}, {"req"}, {"fp"}, {"code"}, {"msg"},
                                                      {"headers"}, {"newurl"}}};
        parse_args("redirect_request", params, args, nargs, kwnames);
        // Returning None makes the opener report the 3xx reply instead of following it.
        return none();
    });
}

PyObject* buffered_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 3> params{
            {{"self"}, {"status_code", ArgType::Int}, {"body", ArgType::Bytes}}};
        auto a = parse_args("__init__", params, args, nargs, kwnames);
        // A status beyond the range of long long is no success status; it must not abort the reply.
        const long long status = saturated_integer(a[1]);
        setattr(a[0], "status_code", a[1]);
        setattr(a[0], "ok", boolean(200 <= status && status < 300).get());
        setattr(a[0], "_body", a[2]);
        return none();
    });
}

PyObject* buffered_json(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 1> params{{{"self"}}};
        auto a = parse_args("json", params, args, nargs, kwnames);
        Ref body = getattr(a[0], "_body");
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
    });
}

MethodDef redirect_methods[] = {
    method("redirect_request", redirect_request, "(self, req, fp, code, msg, headers, newurl)", "拒绝跟随重定向。"),
};

MethodDef buffered_methods[] = {
    method("__init__", buffered_init, "(self, status_code, body)", nullptr),
    method("json", buffered_json, "(self)", "按严格 UTF-8 解码并解析 JSON。"),
};

constexpr std::string_view redirect_order[] = {"redirect_request"};
constexpr std::string_view buffered_order[] = {"__init__", "json"};

}  // namespace

void define_http_classes(PyObject* module) {
    Ref request = import("urllib.request");
    Ref base = getattr(request.get(), "HTTPRedirectHandler");
    Ref bases = check(PyTuple_Pack(1, base.get()));
    Ref dict = check(PyDict_New());
    add_methods(module, dict.get(), redirect_order, {redirect_methods});
    Ref handler = make_class(module, "_NoRedirectHandler", bases.get(), dict.get(),
                             "不跟随重定向的处理器：3xx 响应作为 HTTP 错误返回。");
    setattr(module, "_NoRedirectHandler", handler.get());

    Ref no_bases = check(PyTuple_New(0));
    dict = check(PyDict_New());
    add_methods(module, dict.get(), buffered_order, {buffered_methods});
    Ref buffered = make_class(module, "_BufferedResponse", no_bases.get(), dict.get(),
                              "已完整读取的 HTTP 响应（状态码与受限大小的响应体）。");
    setattr(module, "_BufferedResponse", buffered.get());
}

}  // namespace corvane::transport
