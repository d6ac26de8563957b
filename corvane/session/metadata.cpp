#include "corvane/session/metadata.h"

#include <algorithm>
#include <array>
#include <climits>

#include "corvane/common/args.h"
#include "corvane/common/boundary.h"
#include "corvane/session/errors.h"
#include "corvane/session/new_session.h"
#include "corvane/session/redis_connection.h"
#include "corvane/session/session_gate.h"
#include "corvane/transport/refuse.h"

namespace corvane::session {

namespace {

constexpr long long kDefaultRetries = 2;
constexpr double kRetryPause = 0.5;
// Tighter than CATEGORY_PATTERN alone allows (128 + kind + 128).
constexpr Py_ssize_t kMaxCategoryLength = 160;

enum class Outcome { Read, CredentialsRejected, Failed };

// One read attempt. The connection is read afresh so that a reconnect made meanwhile by the
// heartbeat is picked up; `connection` is the one used. A family member (from the upkeep)
// ends the read as its clone.
Outcome read_once(PyObject* module, PyObject* self, PyObject* key, Ref& connection, Ref& reply) {
    Ref rejected = authentication_error(module);
    try {
        through_gate([&] { call_method(self, "_ensure_connection"); });
        connection = getattr(self, "_redis_client");
        if (connection.is_none()) return Outcome::Failed;
        reply = call_method(connection.get(), "get", key);
        return reply.is_none() || PyBytes_Check(reply.get()) ? Outcome::Read : Outcome::Failed;
    } catch (const PyError& failure) {
        if (!is_ordinary(failure)) throw;
        if (in_family(module, failure)) raise_clone(self, failure);
        return failure.matches(rejected.get()) ? Outcome::CredentialsRejected : Outcome::Failed;
    }
}

// A negative count allows no attempt; the top leaves the attempt counter room to step past it.
long long retry_count(PyObject* value) {
    return std::min(saturated_integer(value), LLONG_MAX - 1);
}

// A new ticket and connection after `failed` rejected the credentials. Threads sharing a
// gate recover once: a thread that finds a newer connection than its failed one uses it.
void recover_credentials(PyObject* self, PyObject* failed) {
    through_gate([&] {
        if (SessionGate::current() != nullptr && getattr(self, "_redis_client").get() != failed) {
            return;
        }
        connect_with_new_ticket(self);
    });
}

// True when the reads of the calling thread are being stopped: no further attempt.
bool reads_stopped() {
    const SessionGate* gate = SessionGate::current();
    return gate != nullptr && gate->closed();
}

PyObject* redis_get_with_retry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 3> params{
            {{"self"}, {"key", ArgType::Str}, {"max_retries", ArgType::Int, false}}};
        auto a = parse_args("_redis_get_with_retry", params, args, nargs, kwnames);
        PyObject* self = a[0];
        const long long retries = a.given(2) ? retry_count(a[2]) : kDefaultRetries;
        for (long long attempt = 0; attempt <= retries; ++attempt) {
            const bool last = attempt == retries || reads_stopped();
            Ref connection;
            Ref reply;
            switch (read_once(module, self, a[1], connection, reply)) {
                case Outcome::Read:
                    return reply;
                case Outcome::CredentialsRejected:
                    // A new ticket carries new credentials: try again at once.
                    if (last) transport::refuse(module, "DataConnectionError");
                    recover_credentials(self, connection.get());
                    break;
                case Outcome::Failed:
                    if (last) transport::refuse(module, "RemoteDataError");
                    call_method(global(module, "time").get(), "sleep", floating(kRetryPause));
                    break;
            }
        }
        return none();
    });
}

PyObject* json_get(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"self"}, {"key", ArgType::Str}}};
        auto a = parse_args("_json_get", params, args, nargs, kwnames);
        PyObject* self = a[0];
        Ref raw = call_method(self, "_redis_get_with_retry", a[1]);
        if (raw.is_none()) return raw;
        try {
            // Measured on the raw bytes: an oversized value is never decoded.
            const Py_ssize_t size = PyObject_Size(raw.get());
            if (size < 0) throw_current();
            Ref limit = getattr(self, "MAX_METADATA_BYTES");
            if (check_status(PyObject_RichCompareBool(integer(size).get(), limit.get(), Py_GT))) {
                transport::refuse(module, "SerializationError");
            }
            Ref decoded = check(PyUnicode_FromEncodedObject(raw.get(), "utf-8", "strict"));
            Ref json = global(module, "json");
            return call_method(json.get(), "loads", decoded);
        } catch (const PyError& failure) {
            if (!is_ordinary(failure) || in_family(module, failure)) throw;
            transport::refuse(module, "SerializationError");
        }
    });
}

PyObject* json_get_required(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"self"}, {"key", ArgType::Str}}};
        auto a = parse_args("_json_get_required", params, args, nargs, kwnames);
        Ref value = call_method(a[0], "_json_get", a[1]);
        if (value.is_none()) transport::refuse(module, "MetaError");
        return value;
    });
}

Ref concat(PyObject* left, PyObject* right) { return check(PyUnicode_Concat(left, right)); }

PyObject* get_category_meta(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"self"}, {"category", ArgType::Str}}};
        auto a = parse_args("_get_category_meta", params, args, nargs, kwnames);
        PyObject* self = a[0];
        PyObject* category = a[1];
        call_method(self, "_validate_category_name", category);
        Ref prefix = getattr(self, "META_CATEGORY_KEY_PREFIX");
        Ref meta = call_method(self, "_json_get_required", concat(prefix.get(), category));
        call_method(self, "_validate_protocol", meta);
        Ref named = get_item_optional(meta.get(), "category");
        if (named && !named.is_none() && !equal(named.get(), category)) {
            transport::refuse(module, "ProtocolError");
        }
        return meta;
    });
}

PyObject* get_partition_meta(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 3> params{
            {{"self"}, {"category", ArgType::Str}, {"partition", ArgType::Str}}};
        auto a = parse_args("_get_partition_meta", params, args, nargs, kwnames);
        PyObject* self = a[0];
        call_method(self, "_validate_category_name", a[1]);
        call_method(self, "_validate_partition_name", a[2]);
        Ref prefix = getattr(self, "META_PARTITION_KEY_PREFIX");
        Ref key = concat(concat(concat(prefix.get(), a[1]).get(), text(":").get()).get(), a[2]);
        Ref meta = call_method(self, "_json_get_required", key);
        call_method(self, "_validate_protocol", meta);
        return meta;
    });
}

PyObject* validate_protocol(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"self"}, {"meta"}}};
        auto a = parse_args("_validate_protocol", params, args, nargs, kwnames);
        PyObject* self = a[0];
        PyObject* meta = a[1];
        if (!PyDict_Check(meta)) transport::refuse(module, "ProtocolError");
        // Numeric comparison: 1 and 1.0 pass, the text "1" does not.
        Ref version = get_item_optional(meta, "protocol_version");
        if (!version || !equal(version.get(), getattr(self, "PROTOCOL_VERSION").get())) {
            transport::refuse(module, "ProtocolError");
        }
        Ref format = get_item_optional(meta, "data_format");
        if (!format || !PyUnicode_Check(format.get()) ||
            !equal(format.get(), getattr(self, "DATA_FORMAT").get())) {
            transport::refuse(module, "ProtocolError");
        }
        return none();
    });
}

PyObject* validate_category_name(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&] {
        static constexpr std::array<Param, 2> params{{{"self"}, {"category", ArgType::Str}}};
        auto a = parse_args("_validate_category_name", params, args, nargs, kwnames);
        if (PyUnicode_GET_LENGTH(a[1]) > kMaxCategoryLength) {
            transport::refuse(module, "InvalidCategoryError");
        }
        Ref pattern = getattr(a[0], "CATEGORY_PATTERN");
        // fullmatch: "$" alone would also accept a trailing newline.
        Ref match = call_method(pattern.get(), "fullmatch", a[1]);
        if (match.is_none()) transport::refuse(module, "InvalidCategoryError");
        return call_method(match.get(), "group", integer(1));
    });
}

MethodDef methods[] = {
    method("_redis_get_with_retry", redis_get_with_retry, "(self, key, max_retries=2)", "带重试的 Redis GET"),
    method("_json_get", json_get, "(self, key)", "读取 JSON 元数据"),
    method("_json_get_required", json_get_required, "(self, key)", "读取必需的 JSON 元数据"),
    method("_get_category_meta", get_category_meta, "(self, category)", "获取类别元数据"),
    method("_get_partition_meta", get_partition_meta, "(self, category, partition)", "获取分区元数据"),
    method("_validate_protocol", validate_protocol, "(self, meta)", "校验元数据协议版本和数据格式"),
    method("_validate_category_name", validate_category_name, "(self, category)", "校验类别名称并返回类别类型"),
};

}  // namespace

std::span<MethodDef> metadata_methods() { return methods; }

}  // namespace corvane::session
