// Redis(...) arguments to connection settings.
#pragma once

#include <memory>

#include "corvane/common/ref.h"

#include "corvane/redis/connection.h"

namespace corvane::redis {

// The settings of Redis(host="localhost", port=6379, db=0, password=None, username=None,
// socket_timeout=None, socket_connect_timeout=None, ssl=False, ssl_cert_reqs="required",
// ssl_check_hostname=False, ssl_min_version=None, decode_responses=False). Throws PyError for
// bad arguments and Failure when the TLS context cannot be built.
std::shared_ptr<const Settings> settings_from_args(PyObject* args, PyObject* kwargs);

}  // namespace corvane::redis
