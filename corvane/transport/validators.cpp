#include "corvane/transport/validators.h"

#include "corvane/common/args.h"
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

Ref validate_api_token(PyObject* module, const methods::ValidateApiTokenParams& args) {
    PyObject* token = args.api_token;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(token);
    if (length == 0 || length > kMaxTokenLength) refuse(module, "AuthError");
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(token, i);
        if (ch < 33 || ch == 127 || Py_UNICODE_ISSPACE(ch)) refuse(module, "AuthError");
    }
    return Ref::borrow(token);
}

Ref required_text(PyObject* module, const methods::RequiredTextParams& args) {
    PyObject* value = args.value;
    if (!PyUnicode_Check(value)) refuse(module, "ProtocolError");
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    if (length == 0 || length > saturated_integer(args.max_length)) refuse(module, "ProtocolError");
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(value, i);
        if (ch < 32 || ch == 127) refuse(module, "ProtocolError");
    }
    return Ref::borrow(value);
}

Ref validate_redis_host(PyObject* module, const methods::ValidateRedisHostParams& args) {
    Ref host = call(args.cls, methods::required_text, args.value, integer(kMaxHostLength));
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
}

Ref validate_scope_list(PyObject* module, const methods::ValidateScopeListParams& args) {
    PyObject* value = args.value;
    const long long max_items = args.max_items.given() ? saturated_integer(args.max_items) : kDefaultMaxScopeItems;
    if (!PyList_Check(value) || PyList_GET_SIZE(value) > max_items) {
        refuse(module, "ProtocolError");
    }
    Ref limit = integer(kMaxScopeItemLength);
    Ref items = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(value, i));
        Ref accepted = call(args.cls, methods::required_text, entry, limit);
        check_status(PyList_Append(items.get(), accepted.get()));
    }
    return items;
}

Ref validate_partition_name(PyObject* module, const methods::ValidatePartitionNameParams& args) {
    if (!PyUnicode_Check(args.partition) || !whole_match(args.cls, "PARTITION_PATTERN", args.partition)) {
        refuse(module, "ProtocolError");
    }
    return Ref::borrow(args.partition);
}

Ref validate_hash(PyObject* module, const methods::ValidateHashParams& args) {
    // A malformed hash is a verification failure of the data, not a protocol fault.
    if (!PyUnicode_Check(args.hash_value) || !whole_match(args.cls, "HASH_PATTERN", args.hash_value)) {
        refuse(module, "SerializationError");
    }
    return Ref::borrow(args.hash_value);
}

}  // namespace

}  // namespace corvane::transport

namespace corvane::methods {

const Method<ValidateApiTokenParams> validate_api_token{"_validate_api_token", transport::validate_api_token,
                                                        "校验 API Token。", Binding::Static};
const Method<RequiredTextParams> required_text{"_required_text", transport::required_text,
                                               "校验必填文本字段。", Binding::Static};
const Method<ValidateRedisHostParams> validate_redis_host{"_validate_redis_host", transport::validate_redis_host,
                                                          "校验 Redis 主机名或 IP 地址。", Binding::Class};
const Method<ValidateScopeListParams> validate_scope_list{"_validate_scope_list", transport::validate_scope_list,
                                                          "校验授权范围列表。", Binding::Class};
const Method<ValidatePartitionNameParams> validate_partition_name{"_validate_partition_name", transport::validate_partition_name,
                                                                  "校验分区名称。", Binding::Class};
const Method<ValidateHashParams> validate_hash{"_validate_hash", transport::validate_hash, "校验内容哈希文本。", Binding::Class};

}  // namespace corvane::methods
