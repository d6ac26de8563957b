#include "corvane/redis/settings_args.h"

#include <array>
#include <cmath>
#include <cstring>

#include "corvane/common/args.h"
#include "corvane/common/call.h"
#include "corvane/redis/module_state.h"

namespace corvane::redis {

namespace {

enum Arg {
    kHost, kPort, kDb, kPassword, kUsername, kSocketTimeout, kConnectTimeout, kSsl, kCertReqs,
    kCheckHostname, kMinVersion, kDecodeResponses,
};

constexpr std::array<Param, 12> kParams{{
    {"host", ArgType::Str, false},
    {"port", ArgType::Int, false},
    {"db", ArgType::Int, false},
    {"password", ArgType::StrOrNone, false},
    {"username", ArgType::StrOrNone, false},
    {"socket_timeout", ArgType::Any, false},
    {"socket_connect_timeout", ArgType::Any, false},
    {"ssl", ArgType::Any, false},
    {"ssl_cert_reqs", ArgType::Any, false},
    {"ssl_check_hostname", ArgType::Any, false},
    {"ssl_min_version", ArgType::Any, false},
    {"decode_responses", ArgType::Any, false},
}};

std::optional<std::string> optional_text(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return std::string(utf8(value));
}

long long whole_number(PyObject* value) {
    const long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) throw_current();
    return number;
}

// Seconds, or none for no limit.
std::optional<double> timeout(PyObject* value, const char* name) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        throw_format(PyExc_TypeError, "%s must be a number of seconds or None, not %.200s", name,
                     Py_TYPE(value)->tp_name);
    }
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) throw_current();
    if (!std::isfinite(seconds) || seconds <= 0) {
        throw_format(PyExc_ValueError, "%s must be a positive number of seconds or None", name);
    }
    return seconds;
}

// ssl_cert_reqs: "none", "optional" or "required", an ssl.VerifyMode, or None (no check).
// A client sees "optional" as "required": a server always presents a certificate.
bool verify_peer(PyObject* value) {
    if (value == nullptr) return true;
    if (value == Py_None) return false;
    if (PyUnicode_Check(value)) {
        const std::string_view mode = utf8(value);
        if (mode == "none") return false;
        if (mode == "optional" || mode == "required") return true;
    } else if (PyLong_Check(value) && !PyBool_Check(value)) {
        const long long mode = whole_number(value);  // ssl.CERT_NONE, CERT_OPTIONAL, CERT_REQUIRED
        if (mode >= 0 && mode <= 2) return mode != 0;
    }
    throw_format(PyExc_ValueError,
                 "ssl_cert_reqs must be 'none', 'optional', 'required' or an ssl.VerifyMode, not %R",
                 value);
}

// ssl_min_version: an ssl.TLSVersion (or its int value), or None for OpenSSL's default.
std::optional<int> min_version(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        const long long version = whole_number(value);
        // MINIMUM_SUPPORTED and MAXIMUM_SUPPORTED, then TLSv1 to TLSv1_3, whose values
        // are OpenSSL's own protocol numbers.
        if (version == -2) return 0;
        if (version == -1) return TLS1_3_VERSION;
        if (version >= TLS1_VERSION && version <= TLS1_3_VERSION) return static_cast<int>(version);
    }
    throw_format(PyExc_ValueError, "ssl_min_version must be an ssl.TLSVersion from TLSv1 on, not %R",
                 value);
}

std::shared_ptr<const TlsContext> tls_context(const Args<kParams.size()>& args) {
    TlsOptions options;
    options.verify_peer = verify_peer(args[kCertReqs]);
    options.check_hostname = args.given(kCheckHostname) && truthy(args[kCheckHostname]);
    options.min_version = min_version(args[kMinVersion]);
    if (options.check_hostname && !options.verify_peer) {
        throw_format(PyExc_ValueError, "ssl_check_hostname requires certificate verification "
                                       "(ssl_cert_reqs='required')");
    }
    if (!(args.given(kSsl) && truthy(args[kSsl]))) return nullptr;
    return std::make_shared<const TlsContext>(options);
}

}  // namespace

std::shared_ptr<const Settings> settings_from_args(PyObject* args, PyObject* kwargs) {
    const auto parsed = parse_args("Redis", kParams, args, kwargs);
    auto settings = std::make_shared<Settings>();
    if (parsed.given(kHost)) {
        settings->host = utf8(parsed[kHost]);
        if (settings->host.empty() || settings->host.find('\0') != std::string::npos) {
            throw_format(PyExc_ValueError, "host must be a non-empty name or address without NUL");
        }
    }
    if (parsed.given(kPort)) {
        const long long port = whole_number(parsed[kPort]);
        if (port < 1 || port > 65535) {
            throw_format(PyExc_ValueError, "port must be between 1 and 65535, not %lld", port);
        }
        settings->port = static_cast<int>(port);
    }
    if (parsed.given(kDb)) {
        settings->db = whole_number(parsed[kDb]);
        if (settings->db < 0) throw_format(PyExc_ValueError, "db must not be negative");
    }
    settings->password = optional_text(parsed[kPassword]);
    settings->username = optional_text(parsed[kUsername]);
    settings->socket_timeout = timeout(parsed[kSocketTimeout], "socket_timeout");
    settings->connect_timeout = timeout(parsed[kConnectTimeout], "socket_connect_timeout");
    if (!settings->connect_timeout) settings->connect_timeout = settings->socket_timeout;
    settings->tls = tls_context(parsed);
    settings->decode_responses = parsed.given(kDecodeResponses) && truthy(parsed[kDecodeResponses]);
    settings->on_signal = check_signals_during_io;
    return settings;
}

}  // namespace corvane::redis
