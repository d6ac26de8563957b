#include "corvane/transport/validators.h"

#include <array>

#include "corvane/common/args.h"
#include "corvane/common/boundary.h"
#include "corvane/common/call.h"
#include "corvane/transport/ip_literal.h"
#include "corvane/transport/refuse.h"

namespace corvane::transport {

namespace {

constexpr Py_ssize_t kMaxTokenLength = 4096;
constexpr Py_ssize_t kMaxHostLength = 253;
constexpr Py_ssize_t kMaxLabelLength = 63;
constexpr Py_ssize_t kMaxScopeItemLength = 256;
constexpr long long kDefaultMaxScopeItems = 10000;

bool ascii_alnum(Py_UCS4 ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}

// One DNS label: an ASCII letter or digit, or a run of letters, digits and hyphens that
// begins and ends with a letter or digit; at most 63 characters.
bool valid_label(PyObject* host, Py_ssize_t start, Py_ssize_t end) {
    const Py_ssize_t length = end - start;
    if (length < 1 || length > kMaxLabelLength) return false;
    for (Py_ssize_t i = start; i < end; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(host, i);
        const bool edge = i == start || i == end - 1;
        if (!ascii_alnum(ch) && (edge || ch != '-')) return false;
    }
    return true;
}

bool whole_match(PyObject* owner, const char* pattern_name, PyObject* value) {
    Ref pattern = getattr(owner, pattern_name);
    Ref match = call_method(pattern.get(), "fullmatch", value);
    return !match.is_none();
}

PyObject* validate_api_token(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 1> params{{{"api_token", ArgType::Str}}};
        auto a = parse_args("_validate_api_token", params, args, nargs, kwnames);
        PyObject* token = a[0];
        const Py_ssize_t length = PyUnicode_GET_LENGTH(token);
        if (length == 0 || length > kMaxTokenLength) refuse(module, "AuthError");
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 ch = PyUnicode_READ_CHAR(token, i);
            if (ch < 33 || ch == 127 || Py_UNICODE_ISSPACE(ch)) refuse(module, "AuthError");
        }
        return Ref::borrow(token);
    });
}

PyObject* required_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"value"}, {"max_length", ArgType::Int}}};
        auto a = parse_args("_required_text", params, args, nargs, kwnames);
        PyObject* value = a[0];
        if (!PyUnicode_Check(value)) refuse(module, "ProtocolError");
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        if (length == 0 || length > saturated_integer(a[1])) refuse(module, "ProtocolError");
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 ch = PyUnicode_READ_CHAR(value, i);
            if (ch < 32 || ch == 127) refuse(module, "ProtocolError");
        }
        return Ref::borrow(value);
    });
}

PyObject* validate_redis_host(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"cls"}, {"value"}}};
        auto a = parse_args("_validate_redis_host", params, args, nargs, kwnames);
        Ref host = call_method(a[0], "_required_text", a[1], integer(kMaxHostLength));
        // A subclass may override _required_text; whatever it returns is read as text below.
        if (!PyUnicode_Check(host.get())) refuse(module, "ProtocolError");
        if (parse_ip_address(module, host.get())) return host;
        Py_ssize_t end = PyUnicode_GET_LENGTH(host.get());
        while (end > 0 && PyUnicode_READ_CHAR(host.get(), end - 1) == '.') --end;
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i <= end; ++i) {
            if (i == end || PyUnicode_READ_CHAR(host.get(), i) == '.') {
                if (!valid_label(host.get(), start, i)) refuse(module, "ProtocolError");
                start = i + 1;
            }
        }
        return host;
    });
}

PyObject* validate_scope_list(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 3> params{
            {{"cls"}, {"value"}, {"max_items", ArgType::Int, false}}};
        auto a = parse_args("_validate_scope_list", params, args, nargs, kwnames);
        PyObject* value = a[1];
        const long long max_items = a.given(2) ? saturated_integer(a[2]) : kDefaultMaxScopeItems;
        if (!PyList_Check(value) || PyList_GET_SIZE(value) > max_items) {
            refuse(module, "ProtocolError");
        }
        Ref limit = integer(kMaxScopeItemLength);
        Ref items = check(PyList_New(0));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            Ref entry = Ref::borrow(PyList_GET_ITEM(value, i));
            Ref accepted = call_method(a[0], "_required_text", entry, limit);
            check_status(PyList_Append(items.get(), accepted.get()));
        }
        return items;
    });
}

PyObject* validate_partition_name(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"cls"}, {"partition"}}};
        auto a = parse_args("_validate_partition_name", params, args, nargs, kwnames);
        if (!PyUnicode_Check(a[1]) || !whole_match(a[0], "PARTITION_PATTERN", a[1])) {
            refuse(module, "ProtocolError");
        }
        return Ref::borrow(a[1]);
    });
}

PyObject* validate_hash(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"cls"}, {"hash_value"}}};
        auto a = parse_args("_validate_hash", params, args, nargs, kwnames);
        // A malformed hash is a verification failure of the data, not a protocol fault.
        if (!PyUnicode_Check(a[1]) || !whole_match(a[0], "HASH_PATTERN", a[1])) {
            refuse(module, "SerializationError");
        }
        return Ref::borrow(a[1]);
    });
}

MethodDef methods[] = {
    method("_validate_api_token", validate_api_token, "(api_token)", "校验 API Token。", Binding::Static),
    method("_required_text", required_text, "(value, max_length)", "校验必填文本字段。", Binding::Static),
    method("_validate_redis_host", validate_redis_host, "(cls, value)", "校验 Redis 主机名或 IP 地址。",
           Binding::Class),
    method("_validate_scope_list", validate_scope_list, "(cls, value, max_items=10000)", "校验授权范围列表。", Binding::Class),
    method("_validate_partition_name", validate_partition_name, "(cls, partition)", "校验分区名称。", Binding::Class),
    method("_validate_hash", validate_hash, "(cls, hash_value)", "校验内容哈希文本。", Binding::Class),
};

}  // namespace

std::span<MethodDef> validator_methods() { return methods; }

}  // namespace corvane::transport
