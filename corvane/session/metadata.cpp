#include "corvane/session/metadata.h"

#include <climits>
#include <cstdint>
#include <optional>
#include <algorithm>

#include "corvane/common/args.h"
#include "corvane/redis/read_budget.h"
#include "corvane/session/closing.h"
#include "corvane/session/errors.h"
#include "corvane/session/redis_connection.h"
#include "corvane/session/session_gate.h"
#include "corvane/session/ticket_calls.h"
#include "corvane/session/upkeep.h"
#include "corvane/transport/refuse.h"
#include "corvane/transport/validators.h"
#include "corvane/session/new_session.h"

namespace corvane::session {

namespace {

constexpr long long kDefaultRetries = 2;
constexpr double kRetryPause = 0.5;
// Tighter than CATEGORY_PATTERN alone allows (128 + kind + 128).
constexpr Py_ssize_t kMaxCategoryLength = 160;

enum class Outcome { Read, CredentialsRejected, Disconnected, SessionLost, Failed };

// One read attempt. The connection is read afresh so that a reconnect made meanwhile by the
// heartbeat is picked up. A family member (from the upkeep) ends the read as its clone, but
// for the upkeep's own reconnect failing (`lost`): its ticket may carry credentials that
// were replaced between its issue and its use.
Outcome read_once(PyObject* module, PyObject* self, PyObject* key, Ref& reply,
                  std::optional<PyError>& lost) {
    Ref rejected = authentication_error(module);
    try {
        try {
            through_gate([&] { call(self, methods::ensure_connection); });
        } catch (const PyError& failure) {
            if (!failure.matches(global(module, "DataConnectionError").get())) throw;
            lost = failure;
            return Outcome::SessionLost;
        }
        Ref connection = getattr(self, "_redis_client");
        // Another thread's connect gave the connection up (its credentials were rejected)
        // and may be pausing before it tries the same ticket again.
        if (connection.is_none()) return Outcome::Disconnected;
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

// A new ticket and connection for a read that failed without a usable session. Threads
// sharing a gate recover once: a thread that finds a new session made since it noted
// `sessions_made` (before its read) reads on with that one.
void recover_session(PyObject* self, std::uint64_t sessions_made) {
    through_gate([&] {
        SessionGate* gate = SessionGate::current();
        if (gate != nullptr && gate->sessions_made() != sessions_made) return;
        session::connect_with_new_ticket(self);
        if (gate != nullptr) gate->session_made();
    });
}

// The count of new sessions that the calling thread's gate has seen made, or 0.
std::uint64_t sessions_made() {
    const SessionGate* gate = SessionGate::current();
    return gate != nullptr ? gate->sessions_made() : 0;
}

// True when the reads of the calling thread are being stopped (all of them, those of the
// category it reads for, or the client's, by close()): no further attempt.
bool reads_stopped(PyObject* self) {
    const SessionGate* gate = SessionGate::current();
    return (gate != nullptr && gate->closed()) || redis::read_budget_stopped() || closing(self);
}

Ref redis_get_with_retry(PyObject* module, const methods::RedisGetWithRetryParams& args) {
    PyObject* self = args.self;
    const long long retries = args.max_retries.given() ? retry_count(args.max_retries) : kDefaultRetries;
    bool renewed_lost_session = false;
    for (long long attempt = 0; attempt <= retries; ++attempt) {
        const bool last = attempt == retries || reads_stopped(self);
        const std::uint64_t before = sessions_made();
        Ref reply;
        std::optional<PyError> lost;
        switch (read_once(module, self, args.key, reply, lost)) {
            case Outcome::Read:
                return reply;
            case Outcome::CredentialsRejected:
                // A new ticket carries new credentials: try again at once.
                if (last) transport::refuse(module, "DataConnectionError");
                recover_session(self, before);
                break;
            case Outcome::Disconnected:
                // Pausing would only wait for a connect that may be bound to fail: a new
                // ticket, at once.
                if (last) transport::refuse(module, "RemoteDataError");
                recover_session(self, before);
                break;
            case Outcome::SessionLost:
                // One new session of its own; a second failure is the session's answer.
                if (last || renewed_lost_session) raise_clone(self, *lost);
                renewed_lost_session = true;
                recover_session(self, before);
                break;
            case Outcome::Failed:
                if (last) transport::refuse(module, "RemoteDataError");
                call_method(global(module, "time").get(), "sleep", floating(kRetryPause));
                break;
        }
    }
    return none();
}

Ref json_get(PyObject* module, const methods::KeyParams& args) {
    PyObject* self = args.self;
    Ref raw = call(self, methods::redis_get_with_retry, args.key);
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
}

Ref json_get_required(PyObject* module, const methods::KeyParams& args) {
    Ref value = call(args.self, methods::json_get, args.key);
    if (value.is_none()) transport::refuse(module, "MetaError");
    return value;
}

Ref concat(PyObject* left, PyObject* right) { return check(PyUnicode_Concat(left, right)); }

Ref get_category_meta(PyObject* module, const methods::CategoryParams& args) {
    PyObject* self = args.self;
    PyObject* category = args.category;
    call(self, methods::validate_category_name, category);
    Ref prefix = getattr(self, "META_CATEGORY_KEY_PREFIX");
    Ref meta = call(self, methods::json_get_required, concat(prefix.get(), category));
    call(self, methods::validate_protocol, meta);
    Ref named = get_item_optional(meta.get(), "category");
    if (named && !named.is_none() && !equal(named.get(), category)) {
        transport::refuse(module, "ProtocolError");
    }
    return meta;
}

Ref get_partition_meta(PyObject*, const methods::PartitionParams& args) {
    PyObject* self = args.self;
    call(self, methods::validate_category_name, args.category);
    call(self, methods::validate_partition_name, args.partition);
    Ref prefix = getattr(self, "META_PARTITION_KEY_PREFIX");
    Ref key = concat(concat(concat(prefix.get(), args.category).get(), text(":").get()).get(), args.partition);
    Ref meta = call(self, methods::json_get_required, key);
    call(self, methods::validate_protocol, meta);
    return meta;
}

Ref validate_protocol(PyObject* module, const methods::ValidateProtocolParams& args) {
    PyObject* self = args.self;
    PyObject* meta = args.meta;
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
}

Ref validate_category_name(PyObject* module, const methods::CategoryParams& args) {
    if (PyUnicode_GET_LENGTH(args.category) > kMaxCategoryLength) {
        transport::refuse(module, "InvalidCategoryError");
    }
    Ref pattern = getattr(args.self, "CATEGORY_PATTERN");
    // fullmatch: "$" alone would also accept a trailing newline.
    Ref match = call_method(pattern.get(), "fullmatch", args.category);
    if (match.is_none()) transport::refuse(module, "InvalidCategoryError");
    return call_method(match.get(), "group", integer(1));
}

}  // namespace

}  // namespace corvane::session

namespace corvane::methods {

const Method<RedisGetWithRetryParams> redis_get_with_retry{"_redis_get_with_retry", session::redis_get_with_retry,
                                                           "带重试的 Redis GET"};
const Method<KeyParams> json_get{"_json_get", session::json_get, "读取 JSON 元数据"};
const Method<KeyParams> json_get_required{"_json_get_required", session::json_get_required, "读取必需的 JSON 元数据"};
const Method<CategoryParams> get_category_meta{"_get_category_meta", session::get_category_meta, "获取类别元数据"};
const Method<PartitionParams> get_partition_meta{"_get_partition_meta", session::get_partition_meta, "获取分区元数据"};
const Method<ValidateProtocolParams> validate_protocol{"_validate_protocol", session::validate_protocol,
                                                       "校验元数据协议版本和数据格式"};
const Method<CategoryParams> validate_category_name{"_validate_category_name", session::validate_category_name,
                                                    "校验类别名称并返回类别类型"};

}  // namespace corvane::methods
