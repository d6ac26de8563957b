#include "corvane/transport/api_address.h"

#include "corvane/common/args.h"
#include "corvane/common/call.h"
#include "corvane/transport/ip_literal.h"
#include "corvane/transport/refuse.h"
#include "corvane/transport/validators.h"

namespace corvane::transport {

namespace {

constexpr long kMaxPort = 65535;

[[noreturn]] void refuse_address(PyObject* module) { refuse(module, "HostSelectionError"); }

bool text_is(PyObject* value, const char* ascii) {
    return PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, ascii) == 0;
}

Ref is_loopback_host(PyObject* module, const methods::IsLoopbackHostParams& args) {
    Ref lowered = call_method(args.host, "lower");
    if (text_is(lowered.get(), "localhost")) return boolean(true);
    // Only literals count besides "localhost": resolving a name could be steered.
    Ref address = parse_ip_address(module, args.host);
    if (!address) return boolean(false);
    return boolean(truthy(getattr(address.get(), "is_loopback").get()));
}

// The split address with its host name and port, read while the splitter's value errors
// (malformed brackets, NFKC-changing characters, bad ports) can still be refused.
struct SplitAddress {
    Ref parts;
    Ref hostname;
    Ref port;
};

SplitAddress split_address(PyObject* module, PyObject* address) {
    Ref urllib = global(module, "urllib");
    Ref parse = getattr(urllib.get(), "parse");
    try {
        SplitAddress split;
        split.parts = call_method(parse.get(), "urlsplit", address);
        split.hostname = getattr(split.parts.get(), "hostname");
        split.port = getattr(split.parts.get(), "port");
        return split;
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_ValueError)) throw;
        refuse_address(module);
    }
}

bool has_extras(const SplitAddress& split) {
    PyObject* parts = split.parts.get();
    // Any "@" in the network location gives a user name, even an empty one.
    if (!getattr(parts, "username").is_none() || !getattr(parts, "password").is_none()) {
        return true;
    }
    if (truthy(getattr(parts, "query").get()) || truthy(getattr(parts, "fragment").get())) {
        return true;
    }
    Ref path = getattr(parts, "path");
    return !text_is(path.get(), "") && !text_is(path.get(), "/");
}

void check_host(PyObject* module, PyObject* cls, PyObject* hostname) {
    try {
        call(cls, methods::validate_redis_host, hostname);
    } catch (const PyError& failure) {
        Ref family = global(module, "CorvaneError");
        if (!failure.matches(family.get())) throw;
        refuse_address(module);
    }
}

Ref normalize_api_url(PyObject* module, const methods::NormalizeApiUrlParams& args) {
    PyObject* cls = args.cls;
    Ref trimmed = call_method(args.api_url, "strip");
    if (PyUnicode_GET_LENGTH(trimmed.get()) == 0) refuse_address(module);

    SplitAddress split = split_address(module, trimmed.get());
    Ref scheme = getattr(split.parts.get(), "scheme");
    if (!truthy(split.hostname.get()) || has_extras(split) ||
        !(text_is(scheme.get(), "http") || text_is(scheme.get(), "https"))) {
        refuse_address(module);
    }
    check_host(module, cls, split.hostname.get());
    if (!split.port.is_none()) {
        // The splitter already refuses values above 65535; port 0 is no destination.
        const long port = PyLong_AsLong(split.port.get());
        if (port == -1 && PyErr_Occurred()) throw_current();
        if (port < 1 || port > kMaxPort) refuse_address(module);
    }
    if (!text_is(scheme.get(), "https") &&
        !truthy(call(cls, methods::is_loopback_host, split.hostname).get())) {
        refuse_address(module);
    }
    Ref netloc = getattr(split.parts.get(), "netloc");
    return check(PyUnicode_FromFormat("%U://%U", scheme.get(), netloc.get()));
}

}  // namespace

}  // namespace corvane::transport

namespace corvane::methods {

const Method<IsLoopbackHostParams> is_loopback_host{"_is_loopback_host", transport::is_loopback_host,
                                                    "判断主机是否为本机回环地址（不做域名解析）。", Binding::Static};
const Method<NormalizeApiUrlParams> normalize_api_url{"_normalize_api_url", transport::normalize_api_url,
                                                      "规范化 API 地址为 scheme://host[:port]；明文 http 仅限本机。", Binding::Class};

}  // namespace corvane::methods
